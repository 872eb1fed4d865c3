#include "ks_inference_request.h"

#include <stdexcept>

#include "ks_json_io.h"
#include "ks_tensor_json.h"

namespace ks {

std::string inferenceRequestToJson(const InferenceRequest& request) {
  size_t expected = 64;
  for (const Tensor& tensor : request.input_tensors) expected += json::tensorJsonSizeHint(tensor);
  return json::writeObject(expected, [&](json::Writer& writer, json::Output& output) {
    writer.Key("input_tensors");
    writer.StartArray();
    for (const Tensor& tensor : request.input_tensors) json::writeTensor(writer, output, tensor);
    writer.EndArray();
    writer.Key("repetitions_count");
    writer.Uint(request.repetitions_count);
  });
}

void inferenceRequestFromJson(InferenceRequest& request, const char* text) {
  const json::ParsedMessage parsed(text);
  inferenceRequestFromJson(request, parsed.root());
}

void inferenceRequestFromJson(InferenceRequest& request, const rapidjson::Value& root) {
  const rapidjson::Value* tensors = json::findMember(root, "input_tensors");
  if (!json::isArray(tensors)) throw std::invalid_argument("'input_tensors' should be an array of tensors");
  const rapidjson::Value* count = json::findMember(root, "repetitions_count");
  if (count != nullptr) {
    if (!count->IsInt()) throw std::invalid_argument("'repetitions_count' should be int");
    request.repetitions_count = static_cast<uint32_t>(count->GetInt());
  }
  request.input_tensors.clear();
  for (const rapidjson::Value& value : tensors->GetArray()) {
    request.input_tensors.emplace_back();
    tensorFromJson(request.input_tensors.back(), value);
  }
}

}  // namespace ks
