// The inference request: input tensors and how many times to run the network on them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ks_core/ks_tensor.h"
#include "ks_tensor_json.h"

#include <rapidjson/document.h>

namespace ks {

struct InferenceRequest {
  std::vector<Tensor> input_tensors;  // in the caller's order
  uint32_t repetitions_count = 1;
};

// {"input_tensors":[tensor objects],"repetitions_count":n}. Throws as the tensor writer does.
std::string inferenceRequestToJson(const InferenceRequest& request);

// Fills `request` from the text. Throws std::invalid_argument when "input_tensors" is not an array or a
// present "repetitions_count" is not an int (the request is unchanged then); an absent count keeps its
// value, a negative one is taken as its 32-bit pattern. Then replaces the tensors with those read; a bad
// tensor throws as tensorFromJson does, leaving the tensors read before it and the partly filled one.
void inferenceRequestFromJson(InferenceRequest& request, const char* text);

// The same for a message parsed already: `root` as json::ParsedMessage or json::parseObjectInPlace give it.
void inferenceRequestFromJson(InferenceRequest& request, const rapidjson::Value& root);

// The same reading for a peer that wants the tensors' data in memory of its own: `layouts` receives the
// tensors' layouts, their data goes where `placer` says, and `repetitions` receives the count (or keeps
// its value when absent). The checks and messages are those above.
void inferenceRequestFromJson(std::vector<TensorLayout>& layouts, uint32_t& repetitions, const rapidjson::Value& root,
                              TensorPlacer& placer);

}  // namespace ks
