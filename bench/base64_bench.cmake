# Base64 throughput of every kernel this CPU runs, with memcpy of the same bytes as the yardstick.
add_executable(ks_base64_benchmark ks_base64_benchmark.cc)
target_include_directories(ks_base64_benchmark PRIVATE ${PROJECT_SOURCE_DIR}/ks_core/src)
target_link_libraries(ks_base64_benchmark PRIVATE ks_core benchmark::benchmark ks_warnings)
