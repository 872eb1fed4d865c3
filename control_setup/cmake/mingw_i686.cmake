# Cross build for i686 Windows with mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CTest run the Windows test programs here through Wine's 32-bit side: CONTROL_SETUP_WINE32, the
# command scripts/test-control-setup makes for the i386 root that holds it, or Debian's wine32 where it is
# installed. The caller chooses the Wine prefix through WINEPREFIX.
find_program(CONTROL_SETUP_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(CONTROL_SETUP_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CONTROL_SETUP_WINE32})
endif()
