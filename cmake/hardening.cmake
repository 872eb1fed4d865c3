# Debian's hardening flags on every target of the tree, as dpkg-buildflags gives them for the tree's
# architecture with every hardening feature on (stack protector, _FORTIFY_SOURCE, format checks, full
# RELRO and BIND_NOW), plus what bookworm's dpkg does not add yet: stack clash protection, and control-flow
# protection on x86-64. Executables are position-independent. The sanitizer and fuzzer trees go without:
# their instrumentation and _FORTIFY_SOURCE check the same calls twice.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

set(ks_hardening_compile)
set(ks_hardening_link)
find_program(KS_DPKG_BUILDFLAGS dpkg-buildflags DOC "dpkg-buildflags, which gives Debian's hardening flags")
if(KS_DPKG_BUILDFLAGS AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE ks_hardening_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  foreach(kind IN ITEMS CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=${ks_hardening_arch}
              ${KS_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    # Optimisation and debug information are the build type's to choose; the prefix map names this
    # checkout, which the build type's own paths do already.
    list(FILTER flags EXCLUDE REGEX "^(-g|-O[0-9s]?|-ffile-prefix-map=.*)$")
    if(kind STREQUAL "LDFLAGS")
      list(APPEND ks_hardening_link ${flags})
    else()
      list(APPEND ks_hardening_compile ${flags})
    endif()
  endforeach()
else()
  set(ks_hardening_compile -D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security)
  set(ks_hardening_link -Wl,-z,relro -Wl,-z,now)
endif()
check_cxx_compiler_flag(-fstack-clash-protection ks_has_stack_clash_protection)
if(ks_has_stack_clash_protection)
  list(APPEND ks_hardening_compile -fstack-clash-protection)
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  list(APPEND ks_hardening_compile -fcf-protection)
endif()
list(REMOVE_DUPLICATES ks_hardening_compile)
list(REMOVE_DUPLICATES ks_hardening_link)
add_compile_options(${ks_hardening_compile})
add_link_options(${ks_hardening_link})

check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
message(STATUS "Hardening: ${ks_hardening_compile} ${ks_hardening_link} PIE")
