# Install rules of the client library, in components that become its Debian packages:
#   runtime      libks_netclient.so.1 (libks-netclient1)
#   development  headers, the .so link, the CMake package and ks_netclient.pc (libks-netclient-dev)
# and, apart, ks_core_standin: the stand-in core library and its headers. The framework provides the real
# libks_core, so no package carries the stand-in; a plain `cmake --install` still installs it, which gives a
# prefix that works on its own. find_package(ks_netclient) gives ks::netclient and finds ks::core.

# Debian's multiarch folder (lib/<triplet>) on every Debian-family target, the armhf cross build included:
# GNUInstallDirs chooses it only for a native build with the prefix /usr, while the packages come from
# trees configured with any prefix. Its plain default "lib" counts as not chosen.
if(CMAKE_LIBRARY_ARCHITECTURE
   AND (NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} OR "$CACHE{CMAKE_INSTALL_LIBDIR}" STREQUAL "lib"))
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries" FORCE)
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS ks_netclient EXPORT ks_netclientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ks_netclient DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT development)

# The stand-in needs an export set of its own: CMake exports the client library only when every library it
# links is exported somewhere. The package config does not read these files (the framework's may differ).
set_target_properties(ks_core PROPERTIES EXPORT_NAME core)
install(TARGETS ks_core EXPORT ks_core_standin
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ks_core_standin)
install(EXPORT ks_core_standin NAMESPACE ks:: FILE ks_coreTargets.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ks_core COMPONENT ks_core_standin)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/ks_core/include/ks_core DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT ks_core_standin)

set(ks_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ks_netclient)
install(EXPORT ks_netclientTargets NAMESPACE ks:: DESTINATION ${ks_package_dir} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ks_netclientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ks_netclientConfig.cmake INSTALL_DESTINATION ${ks_package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ks_netclientConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ks_netclientConfig.cmake
  ${PROJECT_BINARY_DIR}/ks_netclientConfigVersion.cmake DESTINATION ${ks_package_dir} COMPONENT development)

# A .pc file names its prefix, which is known only when installing (/usr in a package, --prefix otherwise):
# it is written then, so PKG_CONFIG_SYSROOT_DIR works on it as on every other .pc file of the system.
install(CODE "
  set(ks_pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(ks_pc_libdir \"${CMAKE_INSTALL_LIBDIR}\")
  set(ks_pc_includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(ks_pc_version \"${PROJECT_VERSION}\")
  set(ks_pc_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/ks_netclient.pc\")
  message(STATUS \"Installing: \${ks_pc_file}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/ks_netclient.pc.in\" \"\${ks_pc_file}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${ks_pc_file}\")
" COMPONENT development)
