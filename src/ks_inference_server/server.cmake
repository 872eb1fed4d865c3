# The reference inference server: sessions, the HTTP handlers (library ks_server) and the executable.

find_package(PkgConfig REQUIRED)
if(NOT TARGET PkgConfig::HTTPLIB)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
find_package(Threads REQUIRED)

add_library(ks_server STATIC
  ks_session_store.cc
  ks_inference_server.cc
)
target_include_directories(ks_server PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
target_link_libraries(ks_server
  PUBLIC ks_inference_engine ks_core Threads::Threads
  PRIVATE ks_protocol PkgConfig::HTTPLIB ks_warnings)

add_executable(ks_inference_server ks_inference_server_main.cc)
target_link_libraries(ks_inference_server PRIVATE ks_server ks_warnings)
