// The layouts reply: the tensor layouts of a loaded network's inputs and outputs.
#pragma once

#include <string>
#include <vector>

#include "ks_core/ks_tensor_layout.h"

#include <rapidjson/document.h>

namespace ks {

struct LayoutsResponse {
  std::vector<TensorLayout> input_layouts;   // in input order
  std::vector<TensorLayout> output_layouts;  // in output order
};

// {"input_layouts":[layout objects],"output_layouts":[layout objects]}.
std::string layoutsToJson(const LayoutsResponse& response);

// Appends the layouts read to the two lists (pass them empty). Throws std::invalid_argument when either
// member is absent or not an array, before appending anything; a bad layout object throws as
// layoutFromJson does, keeping the layouts appended before it.
void layoutsFromJson(LayoutsResponse& response, const char* text);

// The same for a message parsed already: `root` as json::ParsedMessage or json::parseObjectInPlace give it.
void layoutsFromJson(LayoutsResponse& response, const rapidjson::Value& root);

}  // namespace ks
