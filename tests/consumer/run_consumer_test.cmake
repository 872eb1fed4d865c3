# Installs the library's components (runtime, development) into a fresh prefix and the core stand-in into
# a prefix of its own, standing in for the framework's installed core; builds the consumer project
# against both with find_package(ks_netclient) and runs it. Variables: BUILD_DIR, SOURCE_DIR, WORK_DIR,
# and for a cross build TOOLCHAIN_FILE and EMULATOR (its command line, words joined with '|').
file(REMOVE_RECURSE ${WORK_DIR})
foreach(install IN ITEMS "runtime;prefix" "development;prefix" "ks_core_standin;framework")
  list(GET install 0 component)
  list(GET install 1 prefix)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component ${component} --prefix ${WORK_DIR}/${prefix}
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(result)
    message(FATAL_ERROR "installing ${component} failed")
  endif()
endforeach()
set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G Ninja
              "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix\;${WORK_DIR}/framework")
if(TOOLCHAIN_FILE)
  # A cross build looks for packages in its sysroot only, and in the roots named beside it.
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE}
       "-DCMAKE_FIND_ROOT_PATH=${WORK_DIR}/prefix\;${WORK_DIR}/framework")
endif()
execute_process(COMMAND ${configure} RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "configuring the consumer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "building the consumer failed")
endif()
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
execute_process(COMMAND ${EMULATOR} ${WORK_DIR}/build/consumer RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "the consumer failed")
endif()
