# Every Base64 kernel built for this processor against the portable one. The kernel table is internal to
# ks_core, hence the private include of its sources.
ks_add_test(ks_base64_kernels_test
  SOURCES ks_core/ks_base64_kernels_test.cc
  LIBRARIES ks_core)
target_include_directories(ks_base64_kernels_test PRIVATE ${PROJECT_SOURCE_DIR}/ks_core/src)
