# Installs the client library, the core stand-in, their headers and a CMake package:
# find_package(ks_netclient) gives ks::netclient (and ks::core).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(ks_core PROPERTIES EXPORT_NAME core)
install(TARGETS ks_netclient ks_core EXPORT ks_netclientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ks_netclient DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/ks_core/include/ks_core DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(ks_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ks_netclient)
install(EXPORT ks_netclientTargets NAMESPACE ks:: DESTINATION ${ks_package_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ks_netclientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ks_netclientConfig.cmake INSTALL_DESTINATION ${ks_package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ks_netclientConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ks_netclientConfig.cmake ${PROJECT_BINARY_DIR}/ks_netclientConfigVersion.cmake
  DESTINATION ${ks_package_dir})
