# The inference engine: ONNX graph description (protobuf) and network execution (OpenCV DNN).

find_package(Protobuf REQUIRED)

# Debian's libopencv-dnn-dev ships headers and libraries but no CMake package (that comes only with the
# libopencv-dev meta package), so fall back to locating the two modules we use directly.
find_package(OpenCV QUIET COMPONENTS core dnn)
if(OpenCV_FOUND)
  add_library(ks_opencv_dnn INTERFACE)
  target_include_directories(ks_opencv_dnn SYSTEM INTERFACE ${OpenCV_INCLUDE_DIRS})
  target_link_libraries(ks_opencv_dnn INTERFACE ${OpenCV_LIBS})
else()
  find_path(KS_OPENCV_INCLUDE_DIR opencv2/dnn.hpp PATH_SUFFIXES opencv4 REQUIRED)
  find_library(KS_OPENCV_CORE_LIBRARY opencv_core REQUIRED)
  find_library(KS_OPENCV_DNN_LIBRARY opencv_dnn REQUIRED)
  add_library(ks_opencv_dnn INTERFACE)
  target_include_directories(ks_opencv_dnn SYSTEM INTERFACE ${KS_OPENCV_INCLUDE_DIR})
  target_link_libraries(ks_opencv_dnn INTERFACE ${KS_OPENCV_DNN_LIBRARY} ${KS_OPENCV_CORE_LIBRARY})
endif()

# ONNX's own message definitions, compiled from the copy python3-onnx installs (never copied in here).
find_file(KS_ONNX_PROTO onnx/onnx.proto PATHS /usr/lib/python3/dist-packages NO_DEFAULT_PATH REQUIRED
  DOC "onnx.proto of ONNX's python package")
cmake_path(GET KS_ONNX_PROTO PARENT_PATH ks_onnx_proto_package_dir)
cmake_path(GET ks_onnx_proto_package_dir PARENT_PATH ks_onnx_proto_root)
set(ks_onnx_generated_dir ${CMAKE_CURRENT_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${ks_onnx_generated_dir}/onnx)
add_custom_command(
  OUTPUT ${ks_onnx_generated_dir}/onnx/onnx.pb.cc ${ks_onnx_generated_dir}/onnx/onnx.pb.h
  COMMAND protobuf::protoc --cpp_out=${ks_onnx_generated_dir} -I${ks_onnx_proto_root} ${KS_ONNX_PROTO}
  DEPENDS ${KS_ONNX_PROTO} protobuf::protoc
  COMMENT "Generating C++ classes from onnx/onnx.proto"
  VERBATIM)

# Generated code is not ours: built without our warning flags, its header seen as a system header.
add_library(ks_onnx_proto STATIC ${ks_onnx_generated_dir}/onnx/onnx.pb.cc)
target_include_directories(ks_onnx_proto SYSTEM PUBLIC ${ks_onnx_generated_dir})
target_link_libraries(ks_onnx_proto PUBLIC protobuf::libprotobuf)
set_target_properties(ks_onnx_proto PROPERTIES POSITION_INDEPENDENT_CODE ON)

add_library(ks_inference_engine STATIC
  ks_onnx_graph.cc
  ks_inference_engine.cc
)
target_include_directories(ks_inference_engine PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
target_link_libraries(ks_inference_engine
  PUBLIC ks_core
  PRIVATE ks_onnx_proto ks_opencv_dnn ks_warnings)
set_target_properties(ks_inference_engine PROPERTIES POSITION_INDEPENDENT_CODE ON)
