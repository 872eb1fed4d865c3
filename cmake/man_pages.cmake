# ks_man_page(PROGRAM COMPONENT): a man page for PROGRAM written at build time by help2man from the
# program's own --help and --version, so it cannot drift from them, with what packaging/PROGRAM.h2m adds;
# installed gzipped in man1 as part of COMPONENT. A cross-built program runs through the tree's emulator.
find_program(KS_HELP2MAN help2man REQUIRED DOC "help2man, which writes the programs' man pages")

function(ks_man_page program component)
  set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
  set(run $<TARGET_FILE:${program}>)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    # help2man runs a path, not a command line: a script of one line puts the emulator in front.
    set(run ${PROJECT_BINARY_DIR}/man/${program}.run)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "' '" emulator)
    file(GENERATE OUTPUT ${run} CONTENT "#!/bin/sh\nexec '${emulator}' $<TARGET_FILE:${program}> \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${KS_HELP2MAN} --no-info --include=${PROJECT_SOURCE_DIR}/packaging/${program}.h2m --output=${page} ${run}
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
    COMMENT "Writing the man page of ${program}"
    VERBATIM)
  add_custom_target(${program}_man_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
