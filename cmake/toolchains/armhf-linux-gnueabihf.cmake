# Cross build for 32-bit ARM Linux (Debian armhf) with Debian's cross compiler and multiarch libraries.
# Programs built here run on the build machine through qemu-arm, so CTest runs the target's tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Multiarch keeps armhf libraries under /usr/lib/arm-linux-gnueabihf and shares /usr/include.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
# No -L: programs must start with the multiarch loader and C library (libc6:armhf), the ones the armhf
# libraries they load come with. The cross toolchain's own copy (/usr/arm-linux-gnueabihf) is a different
# build of glibc, and mixing its loader with the multiarch libc crashes as soon as a thread starts.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
