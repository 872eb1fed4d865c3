# Cross build for 32-bit ARM Linux (Debian armhf) with Debian's cross compiler. The target's libraries come
# from a sysroot that scripts/setup makes with scripts/make-root (Debian 12's armhf packages, unpacked into
# the cache folder), never from this machine's package database. Programs built here run on the build
# machine through qemu-arm with that sysroot as their root, so CTest runs the target's tests.
# KS_ARMHF_SYSROOT (a cache variable or the environment's) points at another sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT KS_ARMHF_SYSROOT)
  if(DEFINED ENV{KS_ARMHF_SYSROOT})
    set(ks_sysroot "$ENV{KS_ARMHF_SYSROOT}")
  else()
    # The cache folder as the scripts name it (scripts/lib/npm_fetch.bash is its one home).
    execute_process(
      COMMAND bash -c "source '${CMAKE_CURRENT_LIST_DIR}/../../scripts/lib/npm_fetch.bash' && printf %s \"$ks_cache_dir\""
      OUTPUT_VARIABLE ks_cache RESULT_VARIABLE ks_cache_result)
    if(NOT ks_cache_result EQUAL 0 OR NOT ks_cache)
      message(FATAL_ERROR "cannot read the cache folder from scripts/lib/npm_fetch.bash")
    endif()
    set(ks_sysroot "${ks_cache}/armhf-sysroot")
  endif()
  set(KS_ARMHF_SYSROOT "${ks_sysroot}" CACHE PATH "Root of the armhf libraries the cross build links")
endif()
# try_compile projects read this file again, with this variable passed in.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KS_ARMHF_SYSROOT)
if(NOT EXISTS "${KS_ARMHF_SYSROOT}/usr/include/stdio.h")
  message(FATAL_ERROR "no armhf sysroot in ${KS_ARMHF_SYSROOT}: scripts/setup makes it")
endif()

set(CMAKE_SYSROOT "${KS_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config answers from the sysroot alone, its paths prefixed with it (cpp-httplib's flags come from there).
set(ENV{PKG_CONFIG_LIBDIR} "${KS_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${KS_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KS_ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")
# The loader and the C library a program starts with come from the sysroot, as the libraries it loads do.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${KS_ARMHF_SYSROOT}")
