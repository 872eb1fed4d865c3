# Read by cpack before it builds the packages (CPACK_PROJECT_CONFIG_FILE). dpkg-shlibdeps must know the
# packages' architecture to search that architecture's library folders and pick its objdump: a cross
# tree's packages are not the build machine's.
set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
# A cross tree's libraries lie in its sysroot, whose own dpkg database (scripts/make-root) says which
# package holds each of them and what their symbols files promise.
if(CPACK_KS_SYSROOT_DPKG_DATABASE)
  set(ENV{DPKG_ADMINDIR} "${CPACK_KS_SYSROOT_DPKG_DATABASE}")
endif()
