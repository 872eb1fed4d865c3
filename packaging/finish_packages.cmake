# Run by cpack once it has built the .deb files (CPACK_POST_BUILD_SCRIPTS), for what CMake 3.25's DEB
# generator cannot write: the field "Multi-Arch: same" of the packages in CPACK_KS_MULTIARCH_SAME_PACKAGES
# (and of their -dbgsym packages, which co-install as they do), no postinst/postrm that only run ldconfig
# (CPack adds them to any package with a library under /usr/lib; the library package has an ldconfig
# trigger instead, and the server's libraries are private, out of ldconfig's reach), and ELF files without
# the compilers' .comment sections, as dh_strip leaves them. Each package is unpacked with dpkg-deb -R and
# built again with dpkg-deb -b.

# Whether FILE is a maintainer script CPack wrote only to run ldconfig.
function(ks_is_ldconfig_script file result)
  set(${result} FALSE PARENT_SCOPE)
  if(EXISTS ${file})
    file(STRINGS ${file} lines)
    list(FILTER lines EXCLUDE
      REGEX "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[\t ]*ldconfig|fi|)$")
    if(NOT lines)
      set(${result} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND dpkg-deb --field ${deb} Package OUTPUT_VARIABLE package
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/finish/${package})
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}/finish)
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  foreach(script IN ITEMS postinst postrm)
    ks_is_ldconfig_script(${tree}/DEBIAN/${script} only_ldconfig)
    if(only_ldconfig)
      file(REMOVE ${tree}/DEBIAN/${script})
    endif()
  endforeach()
  if(NOT deb MATCHES "\\.ddeb$")
    file(GLOB_RECURSE files LIST_DIRECTORIES false ${tree}/usr/* ${tree}/lib/*)
    foreach(file IN LISTS files)
      if(NOT IS_SYMLINK ${file})
        file(READ ${file} magic LIMIT 4 HEX)
        if(magic STREQUAL "7f454c46")
          execute_process(COMMAND ${CPACK_KS_OBJCOPY} --remove-section=.comment ${file} COMMAND_ERROR_IS_FATAL ANY)
        endif()
      endif()
    endforeach()
    # The md5sums CPack wrote are of the files before.
    set(sums "")
    foreach(file IN LISTS files)
      if(NOT IS_SYMLINK ${file})
        file(MD5 ${file} sum)
        file(RELATIVE_PATH path ${tree} ${file})
        string(APPEND sums "${sum}  ${path}\n")
      endif()
    endforeach()
    file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
  endif()
  string(REGEX REPLACE "-dbgsym$" "" base_package "${package}")
  if(base_package IN_LIST CPACK_KS_MULTIARCH_SAME_PACKAGES)
    file(READ ${tree}/DEBIAN/control control)
    string(REGEX REPLACE "(Architecture: [^\n]*\n)" "\\1Multi-Arch: same\n" control "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
