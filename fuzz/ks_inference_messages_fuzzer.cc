// Fuzzes the inference request and response readers.
#include "fuzz_support.h"
#include "ks_inference_request.h"
#include "ks_inference_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = ks::fuzz::textOf(data, size);
  ks::fuzz::readsCleanly([&] {
    ks::InferenceRequest request;
    ks::inferenceRequestFromJson(request, text.c_str());
  });
  ks::fuzz::readsCleanly([&] {
    ks::InferenceResponse response;
    ks::inferenceResponseFromJson(response, text.c_str());
  });
  return 0;
}
