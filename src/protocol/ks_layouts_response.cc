#include "ks_layouts_response.h"

#include <stdexcept>

#include "ks_json_io.h"
#include "ks_tensor_json.h"

namespace ks {

namespace {

void writeLayouts(json::Writer& writer, const std::vector<TensorLayout>& layouts) {
  writer.StartArray();
  for (const TensorLayout& layout : layouts) json::writeLayout(writer, layout);
  writer.EndArray();
}

void readLayouts(std::vector<TensorLayout>& layouts, const rapidjson::Value& array) {
  for (const rapidjson::Value& value : array.GetArray()) {
    TensorLayout layout;
    layoutFromJson(layout, value);
    layouts.push_back(layout);
  }
}

}  // namespace

std::string layoutsToJson(const LayoutsResponse& response) {
  const size_t count = response.input_layouts.size() + response.output_layouts.size();
  return json::writeObject(64 + 96 * count, [&](json::Writer& writer, json::Output&) {
    writer.Key("input_layouts");
    writeLayouts(writer, response.input_layouts);
    writer.Key("output_layouts");
    writeLayouts(writer, response.output_layouts);
  });
}

void layoutsFromJson(LayoutsResponse& response, const char* text) {
  const json::ParsedMessage parsed(text);
  layoutsFromJson(response, parsed.root());
}

void layoutsFromJson(LayoutsResponse& response, const rapidjson::Value& root) {
  const rapidjson::Value* inputs = json::findMember(root, "input_layouts");
  const rapidjson::Value* outputs = json::findMember(root, "output_layouts");
  if (!json::isArray(inputs) || !json::isArray(outputs)) {
    throw std::invalid_argument("Server response should contain 'input_layouts' and 'output_layouts' array");
  }
  readLayouts(response.input_layouts, *inputs);
  readLayouts(response.output_layouts, *outputs);
}

}  // namespace ks
