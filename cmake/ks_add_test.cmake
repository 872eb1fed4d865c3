# ks_add_test(NAME SOURCES file... LIBRARIES target...): a GoogleTest program run as one CTest test (its
# cases run in one process, which is fast under qemu).
# ks_add_test(NAME COMMAND command...): a test that is a command, such as a CMake script.
# Either way the test runs on the target: cross builds run programs through CMAKE_CROSSCOMPILING_EMULATOR,
# and instrumented trees skip the leaks ONNX Runtime has on its own error paths.
function(ks_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;COMMAND" ${ARGN})
  if(ARG_SOURCES)
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main ks_warnings)
    add_test(NAME ${name} COMMAND ${name})
  else()
    add_test(NAME ${name} COMMAND ${ARG_COMMAND})
  endif()
  if(KS_SANITIZE)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp")
  endif()
endfunction()
