// The inference response: output tensors and the server's timing statistics.
#pragma once

#include <string>
#include <vector>

#include "ks_core/ks_inference_stats.h"
#include "ks_core/ks_tensor.h"
#include "ks_tensor_json.h"

#include <rapidjson/document.h>

namespace ks {

struct InferenceResponse {
  std::vector<Tensor> output_tensors;  // in the server's order
  InferenceStats inference_stats;
};

// {"output_tensors":[tensor objects],"inference_stats":{"has_info":b,"duration":d,"repetitions_count":n}},
// the duration widened to double (always written with a fraction or an exponent). Throws
// std::invalid_argument for a duration that is not finite (it has no JSON form), and as the tensor writer
// does.
std::string inferenceResponseToJson(const InferenceResponse& response);

// The same text for outputs whose bytes lie elsewhere (a server's engine memory).
std::string inferenceResponseToJson(const std::vector<TensorView>& outputs, const InferenceStats& stats);

// Appends the tensors read to `output_tensors`, then reads the statistics: an absent "inference_stats"
// zeroes them; otherwise it must be an object with a bool "has_info", a float "duration" and an int
// "repetitions_count" (a negative one taken as its 32-bit pattern), checked in that order. Throws
// std::invalid_argument: when "output_tensors" is not an array (nothing changed), for a bad tensor (as
// tensorFromJson; earlier tensors and the partly filled one stay) and for bad statistics (they stay as
// they were).
void inferenceResponseFromJson(InferenceResponse& response, const char* text);

// The same for a message parsed already: `root` as json::ParsedMessage or json::parseObjectInPlace give it.
void inferenceResponseFromJson(InferenceResponse& response, const rapidjson::Value& root);

}  // namespace ks
