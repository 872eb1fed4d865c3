# Tests of the reference server: its session store, the raw HTTP protocol, and end to end through the
# client library, on the networks of ks_test_models (engine_tests.cmake).

find_package(PkgConfig REQUIRED)
if(NOT TARGET PkgConfig::HTTPLIB)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
endif()
find_package(Threads REQUIRED)

ks_add_test(ks_session_store_test
  SOURCES ks_inference_server/ks_session_store_test.cc
  LIBRARIES ks_server)

ks_add_test(ks_inference_server_test
  SOURCES ks_inference_server/ks_inference_server_test.cc ks_inference_server/ks_inference_server_http_test.cc
  LIBRARIES ks_server ks_netclient ks_protocol PkgConfig::HTTPLIB Threads::Threads)
target_compile_definitions(ks_inference_server_test PRIVATE KS_TEST_MODELS_DIR="${ks_test_models_dir}")
add_dependencies(ks_inference_server_test ks_test_models)
