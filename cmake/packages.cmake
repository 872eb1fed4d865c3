# Debian packages made from the install components by CPack's DEB generator, for the tree's architecture:
# libks-netclient1, libks-netclient-dev and ks-netclient-tools, and from a tree that builds the server
# ks-inference-server; each with its -dbgsym package of debug information.
#   cpack --config <tree>/CPackConfig.cmake -B <output folder>
# Depends come from dpkg-shlibdeps, except on the framework's libks_core (see below).
if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  return()  # not a Debian-family target
endif()

set(KS_PACKAGE_MAINTAINER "ks_netclient maintainers <ks-netclient@example.org>" CACHE STRING
  "Maintainer field of the Debian packages")
find_program(KS_DPKG_ARCHITECTURE dpkg-architecture REQUIRED)
execute_process(COMMAND ${KS_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
  OUTPUT_VARIABLE ks_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)

set(ks_packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(ks_runtime_package libks-netclient1)
set(ks_development_package libks-netclient-dev)
set(ks_tools_package ks-netclient-tools)
set(ks_server_package ks-inference-server)

# Every package carries the changelog and a copyright file in /usr/share/doc/<package>.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ks_packaging_dir}/changelog)
execute_process(COMMAND gzip -9nc ${ks_packaging_dir}/changelog OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND_ERROR_IS_FATAL ANY)
set(ks_components runtime development tools)
if(KS_BUILD_SERVER)
  list(APPEND ks_components server)
endif()
foreach(component IN LISTS ks_components)
  set(package ${ks_${component}_package})
  set(copyright ${ks_packaging_dir}/${package}.copyright)
  if(NOT EXISTS ${copyright})
    set(copyright ${ks_packaging_dir}/copyright)
  endif()
  install(FILES ${copyright} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} RENAME copyright
    COMPONENT ${component})
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component})
endforeach()

if(KS_BUILD_SERVER)
  install(FILES ${ks_packaging_dir}/${ks_server_package}.lintian-overrides DESTINATION
    ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${ks_server_package} COMPONENT server)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${ks_components})
set(CPACK_PACKAGE_NAME ks-netclient)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KS_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information goes into a -dbgsym package per package, found by build id: CPack splits it out of the
# files it finds unstripped and strips them then, with the tree's own binutils (the armhf ones for armhf).
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE ks-netclient)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ks_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libks_core.so.1 is the framework's and comes from no Debian package: dpkg-shlibdeps is shown the
# stand-in only to resolve the soname, and (CPack passes --ignore-missing-info) emits no dependency on it.
# The same for libks_netclient.so.1 as ks_remote_run needs it: the tools package depends on the runtime
# package of this build by name (CPACK_COMPONENT_TOOLS_DEPENDS).
get_target_property(ks_core_dir ks_core BINARY_DIR)
get_target_property(ks_netclient_dir ks_netclient BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${ks_core_dir} ${ks_netclient_dir})
# A cross tree's system libraries are found in its sysroot (see cpack_project_config.cmake).
if(CMAKE_SYSROOT)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}
    ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  set(CPACK_KS_SYSROOT_DPKG_DATABASE ${CMAKE_SYSROOT}/.ks-dpkg)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ks_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library running ks networks on a remote server
libks_netclient lets a host program of the ks inference framework run a
neural network on a remote inference server instead of on the device:
ks::RemoteNetBackend implements the framework's ks::INetBackend by sending
every operation as an HTTP/1.1 request.

The framework's core library, libks_core, is not part of this package: the
framework provides it.")
# shlibs and the ldconfig trigger: CPack 3.25 writes no trigger, and shlibs only for every package at once,
# which would announce the server's private libraries to other packages.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${ks_packaging_dir}/${ks_runtime_package}/shlibs ${ks_packaging_dir}/${ks_runtime_package}/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${ks_development_package})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "client library running ks networks on a remote server - development files
Headers, CMake package (find_package(ks_netclient) gives ks::netclient) and
pkg-config file (ks_netclient.pc) of libks_netclient.

Building against it needs the ks framework's core library and headers
(libks_core, ks_core/*.h), which the framework provides.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ks_tools_package})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line client of ks inference servers
ks_remote_run loads a network on a ks inference server, runs it on inputs
from .npy files (or random ones) and prints a summary of every output and the
server's timing statistics: a way to try a server from a device.

It is built on libks_netclient, and so needs the ks framework's core library,
which the framework provides.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME ${ks_server_package})
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_DESCRIPTION "reference inference server for ks_netclient clients
ks_inference_server runs the ONNX networks that clients of libks_netclient
upload, with ONNX Runtime on the CPU, behind an HTTP/1.1 layer built to face
hostile clients. Every network runs in a sandboxed worker process of its own,
so a network that crashes the engine costs its own requests only. ONNX
Runtime comes in a private folder. The systemd unit ks-inference-server.service
is enabled and started on installation; it answers on 127.0.0.1 only until
told otherwise in /etc/default/ks-inference-server.

The package contains no networks or other model data.")

# The maintainer scripts that manage the service (as dh_installsystemd writes them; deb-systemd-helper
# and deb-systemd-invoke come from init-system-helpers) and the conffile.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
# Several nodes share their sessions through Redis (--session-store) behind nginx.
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "redis-server, nginx")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
  ${ks_packaging_dir}/${ks_server_package}/postinst ${ks_packaging_dir}/${ks_server_package}/prerm
  ${ks_packaging_dir}/${ks_server_package}/postrm ${ks_packaging_dir}/${ks_server_package}/conffiles)

# What CPack 3.25 cannot say: Multi-Arch, and that the ldconfig trigger replaces its ldconfig scripts;
# and what dh_strip removes beside the debug information: the compilers' .comment sections.
set(CPACK_KS_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_KS_MULTIARCH_SAME_PACKAGES ${ks_runtime_package} ${ks_development_package})
set(CPACK_PROJECT_CONFIG_FILE ${ks_packaging_dir}/cpack_project_config.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${ks_packaging_dir}/finish_packages.cmake)
include(CPack)
