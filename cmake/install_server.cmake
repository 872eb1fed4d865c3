# Install rules of the reference server (component server, the package ks-inference-server): the programs
# ks_inference_server and ks_remote_run, the worker program the server starts, a man page for each, the systemd unit, and in a private folder the
# shared libraries these programs were built with. ONNX Runtime goes there because Debian has no package of
# it; the client library and the core stand-in because a server machine has no framework, and the stand-in
# must not pose as the framework's libks_core where other programs would find it. The programs find the
# folder through their RUNPATH, relative to $ORIGIN, so the package also runs unpacked anywhere.

set(ks_server_private_dir lib/ks-inference-server)
file(RELATIVE_PATH ks_server_rpath /${CMAKE_INSTALL_BINDIR} /${ks_server_private_dir})
set_target_properties(ks_inference_server ks_remote_run PROPERTIES INSTALL_RPATH "$ORIGIN/${ks_server_rpath}")
install(TARGETS ks_inference_server ks_remote_run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT server)
# The worker program lives with the private libraries, where the server looks for it
# (../lib/ks-inference-server/ from its own folder), and finds ONNX Runtime beside itself.
set_target_properties(ks_inference_worker PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ks_inference_worker RUNTIME DESTINATION ${ks_server_private_dir} COMPONENT server)
install(TARGETS ks_netclient ks_core LIBRARY DESTINATION ${ks_server_private_dir}
  COMPONENT server NAMELINK_SKIP)
# Installed under its soname, the name the programs ask for (ONNX Runtime 1.x: libonnxruntime.so.1),
# whatever file OnnxRuntime_LIBRARY points at.
file(REAL_PATH "${OnnxRuntime_LIBRARY}" ks_onnxruntime_file)
install(FILES ${ks_onnxruntime_file} RENAME libonnxruntime.so.1 DESTINATION ${ks_server_private_dir}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT server)

# Man pages generated from the programs' own --help at build time, so they cannot drift from it; the .h2m
# files add what --help does not say.
find_program(KS_HELP2MAN help2man REQUIRED DOC "help2man, which writes the programs' man pages")
foreach(program IN ITEMS ks_inference_server ks_remote_run)
  set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${KS_HELP2MAN} --no-info --version-string=${PROJECT_VERSION}
            --include=${PROJECT_SOURCE_DIR}/packaging/${program}.h2m --output=${page}
            $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
    COMMENT "Writing the man page of ${program}"
    VERBATIM)
  list(APPEND ks_man_pages ${page}.gz)
endforeach()
add_custom_target(ks_man_pages ALL DEPENDS ${ks_man_pages})
install(FILES ${ks_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)

# Absolute, where Debian 12's systemd.pc puts units; the package installs it there, not under /usr.
set(KS_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Folder the server's systemd unit is installed into")
install(FILES ${PROJECT_SOURCE_DIR}/deploy/ks-inference-server.service DESTINATION ${KS_SYSTEMD_UNIT_DIR}
  COMPONENT server)
