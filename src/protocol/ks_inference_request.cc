#include "ks_inference_request.h"

#include <stdexcept>

#include "ks_json_io.h"
#include "ks_tensor_json.h"

namespace ks {

std::string inferenceRequestToJson(const InferenceRequest& request) {
  const size_t expected = 64 + json::tensorsJsonSizeHint(request.input_tensors);
  return json::writeObject(expected, [&](json::Writer& writer, json::Output& output) {
    writer.Key("input_tensors");
    json::writeTensors(writer, output, request.input_tensors);
    writer.Key("repetitions_count");
    writer.Uint(request.repetitions_count);
  });
}

void inferenceRequestFromJson(InferenceRequest& request, const char* text) {
  const json::ParsedMessage parsed(text);
  inferenceRequestFromJson(request, parsed.root());
}

namespace {

// The request's tensor array, after reading the count into `repetitions` (kept when absent). Throws the
// codec's messages; nothing changes when it throws.
const rapidjson::Value& readHead(const rapidjson::Value& root, uint32_t& repetitions) {
  const rapidjson::Value& tensors =
      json::requireMember(root, "input_tensors", json::isArray, "'input_tensors' should be an array of tensors");
  const rapidjson::Value* count = json::findMember(root, "repetitions_count");
  if (count != nullptr) {
    if (!count->IsInt()) throw std::invalid_argument("'repetitions_count' should be int");
    repetitions = static_cast<uint32_t>(count->GetInt());
  }
  return tensors;
}

}  // namespace

void inferenceRequestFromJson(InferenceRequest& request, const rapidjson::Value& root) {
  const rapidjson::Value& tensors = readHead(root, request.repetitions_count);
  request.input_tensors.clear();
  json::appendTensors(request.input_tensors, tensors);
}

void inferenceRequestFromJson(std::vector<TensorLayout>& layouts, uint32_t& repetitions, const rapidjson::Value& root,
                              TensorPlacer& placer) {
  const rapidjson::Value& tensors = readHead(root, repetitions);
  layouts.clear();
  json::appendTensors(layouts, tensors, placer);
}

}  // namespace ks
