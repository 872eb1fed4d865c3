#include "ks_inference_response.h"

#include <cmath>
#include <stdexcept>

#include "ks_json_io.h"
#include "ks_tensor_json.h"

namespace ks {

namespace {

template <typename Tensors>
std::string writeResponse(const Tensors& tensors, const InferenceStats& stats) {
  // RapidJSON's writer stops at a non-finite number and the text would end there.
  if (!std::isfinite(stats.duration)) {
    throw std::invalid_argument("Inference statistics' duration is not a finite number");
  }
  const size_t expected = 160 + json::tensorsJsonSizeHint(tensors);
  return json::writeObject(expected, [&](json::Writer& writer, json::Output& output) {
    writer.Key("output_tensors");
    json::writeTensors(writer, output, tensors);
    writer.Key("inference_stats");
    writer.StartObject();
    writer.Key("has_info");
    writer.Bool(stats.hasInfo);
    writer.Key("duration");
    writer.Double(static_cast<double>(stats.duration));
    writer.Key("repetitions_count");
    writer.Uint(stats.repetitionsCount);
    writer.EndObject();
  });
}

}  // namespace

std::string inferenceResponseToJson(const InferenceResponse& response) {
  return writeResponse(response.output_tensors, response.inference_stats);
}

std::string inferenceResponseToJson(const std::vector<TensorView>& outputs, const InferenceStats& stats) {
  return writeResponse(outputs, stats);
}

void inferenceResponseFromJson(InferenceResponse& response, const char* text) {
  const json::ParsedMessage parsed(text);
  inferenceResponseFromJson(response, parsed.root());
}

void inferenceResponseFromJson(InferenceResponse& response, const rapidjson::Value& root) {
  const rapidjson::Value& tensors = json::requireMember(root, "output_tensors", json::isArray,
                                                        "Server response should contain 'output_tensors' array");
  json::appendTensors(response.output_tensors, tensors);

  InferenceStats& stats = response.inference_stats;
  const rapidjson::Value* statsValue = json::findMember(root, "inference_stats");
  if (statsValue == nullptr) {
    stats = InferenceStats();
    return;
  }
  if (!statsValue->IsObject()) throw std::invalid_argument("Stats should be an object");
  const rapidjson::Value& hasInfo =
      json::requireMember(*statsValue, "has_info", json::isBool, "Stats should have 'has_info' boolean field");
  const rapidjson::Value& duration =
      json::requireMember(*statsValue, "duration", json::isFloat, "Stats should have 'duration' float field");
  const rapidjson::Value& count = json::requireMember(*statsValue, "repetitions_count", json::isInt,
                                                      "Stats should have 'repetitions_count' int field");
  stats.hasInfo = hasInfo.GetBool();
  stats.duration = static_cast<float>(duration.GetDouble());
  stats.repetitionsCount = static_cast<uint32_t>(count.GetInt());
}

}  // namespace ks
