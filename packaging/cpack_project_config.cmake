# Read by cpack before it builds the packages (CPACK_PROJECT_CONFIG_FILE). dpkg-shlibdeps must know the
# packages' architecture to search that architecture's library folders and pick its objdump: a cross
# tree's packages are not the build machine's.
set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
