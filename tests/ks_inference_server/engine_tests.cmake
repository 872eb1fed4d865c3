# Tests of the inference engine, on networks, inputs and numpy reference outputs made at build time by
# models/make_models.py and models/reference.py (Debian's python3 has onnx and numpy).

find_package(Threads REQUIRED)

set(KS_PYTHON /usr/bin/python3 CACHE FILEPATH "Python with Debian's onnx and numpy, for the test networks")
set(ks_models_source_dir ${PROJECT_SOURCE_DIR}/models)
set(ks_test_models_dir ${PROJECT_BINARY_DIR}/models)

set(ks_test_model_files)
foreach(file
    mlp.onnx cnn.onnx identity.onnx
    mlp.input.raw mlp.logits.raw
    cnn.image.raw cnn.features.raw cnn.pooled.raw
    identity.input.raw identity.output.raw)
  list(APPEND ks_test_model_files ${ks_test_models_dir}/${file})
endforeach()

set(ks_reference ${KS_PYTHON} ${ks_models_source_dir}/reference.py --models ${ks_test_models_dir})
add_custom_command(
  OUTPUT ${ks_test_model_files}
  COMMAND ${KS_PYTHON} ${ks_models_source_dir}/make_models.py ${ks_test_models_dir}
  COMMAND ${ks_reference} --make-inputs ${ks_test_models_dir}
  COMMAND ${ks_reference} mlp ${ks_test_models_dir}/mlp.input.npy --out ${ks_test_models_dir}
  COMMAND ${ks_reference} cnn ${ks_test_models_dir}/cnn.image.npy --out ${ks_test_models_dir}
  COMMAND ${ks_reference} identity ${ks_test_models_dir}/identity.input.npy --out ${ks_test_models_dir}
  DEPENDS ${ks_models_source_dir}/make_models.py ${ks_models_source_dir}/reference.py
  COMMENT "Making the test networks and their numpy reference outputs"
  VERBATIM)
# Other tests (the server's) may depend on this target and read the same folder.
add_custom_target(ks_test_models DEPENDS ${ks_test_model_files})

ks_add_test(ks_onnx_graph_test
  SOURCES ks_inference_server/ks_onnx_graph_test.cc
  LIBRARIES ks_inference_engine ks_onnx_proto)

ks_add_test(ks_inference_engine_test
  SOURCES ks_inference_server/ks_inference_engine_test.cc
  LIBRARIES ks_inference_engine ks_onnx_proto Threads::Threads)
target_compile_definitions(ks_inference_engine_test PRIVATE KS_TEST_MODELS_DIR="${ks_test_models_dir}")
add_dependencies(ks_inference_engine_test ks_test_models)
