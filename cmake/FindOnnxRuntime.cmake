# Finds ONNX Runtime's C/C++ API headers and shared library and defines the imported target
# OnnxRuntime::OnnxRuntime.
#
# Where to look: OnnxRuntime_ROOT (a folder with include/ and lib/), else the copy scripts/fetch-onnxruntime
# puts in the cache folder. The results are the cache variables OnnxRuntime_INCLUDE_DIR and
# OnnxRuntime_LIBRARY, so a user with an ONNX Runtime of their own points either at it.

# The cache folder as the scripts name it (scripts/lib/npm_fetch.bash is its one home).
execute_process(
  COMMAND bash -c "source '${CMAKE_CURRENT_LIST_DIR}/../scripts/lib/npm_fetch.bash' && printf %s \"$ks_cache_dir\""
  OUTPUT_VARIABLE ks_onnxruntime_cache RESULT_VARIABLE ks_cache_result)
if(NOT ks_cache_result EQUAL 0 OR NOT ks_onnxruntime_cache)
  message(FATAL_ERROR "cannot read the cache folder from scripts/lib/npm_fetch.bash")
endif()
# The version scripts/fetch-onnxruntime fetches, named once for both.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/onnxruntime_version.txt" ks_onnxruntime_version LIMIT_COUNT 1)
set(ks_onnxruntime_hint "${ks_onnxruntime_cache}/onnxruntime-${ks_onnxruntime_version}")

# A tree configured for another pinned version forgets what it found in that version's folder.
foreach(ks_cached IN ITEMS OnnxRuntime_INCLUDE_DIR OnnxRuntime_LIBRARY OnnxRuntime_NOTICES)
  if(${ks_cached} MATCHES "^${ks_onnxruntime_cache}/onnxruntime-" AND
     NOT ${ks_cached} MATCHES "^${ks_onnxruntime_hint}/")
    unset(${ks_cached} CACHE)
  endif()
endforeach()

find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h
  HINTS ${ks_onnxruntime_hint}/include
  PATH_SUFFIXES onnxruntime onnxruntime/core/session
  DOC "Folder holding onnxruntime_cxx_api.h")
find_library(OnnxRuntime_LIBRARY onnxruntime
  HINTS ${ks_onnxruntime_hint}/lib
  DOC "ONNX Runtime's shared library")

if(OnnxRuntime_INCLUDE_DIR AND EXISTS "${OnnxRuntime_INCLUDE_DIR}/onnxruntime_c_api.h")
  file(STRINGS "${OnnxRuntime_INCLUDE_DIR}/onnxruntime_c_api.h" ks_ort_api_line REGEX "^#define ORT_API_VERSION [0-9]+")
  string(REGEX REPLACE "^#define ORT_API_VERSION ([0-9]+).*" "\\1" OnnxRuntime_API_VERSION "${ks_ort_api_line}")
endif()

# ONNX Runtime's third-party notices, for a package that carries the library; optional.
find_file(OnnxRuntime_NOTICES ThirdPartyNotices.txt HINTS ${ks_onnxruntime_hint}/share ${OnnxRuntime_ROOT}
  PATH_SUFFIXES share NO_DEFAULT_PATH DOC "ONNX Runtime's ThirdPartyNotices.txt")

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OnnxRuntime
  REQUIRED_VARS OnnxRuntime_LIBRARY OnnxRuntime_INCLUDE_DIR
  REASON_FAILURE_MESSAGE "run scripts/fetch-onnxruntime, or set OnnxRuntime_ROOT to an ONNX Runtime with include/ and lib/")

if(OnnxRuntime_FOUND AND NOT TARGET OnnxRuntime::OnnxRuntime)
  add_library(OnnxRuntime::OnnxRuntime SHARED IMPORTED)
  set_target_properties(OnnxRuntime::OnnxRuntime PROPERTIES
    IMPORTED_LOCATION "${OnnxRuntime_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}")
endif()
mark_as_advanced(OnnxRuntime_INCLUDE_DIR OnnxRuntime_LIBRARY)
