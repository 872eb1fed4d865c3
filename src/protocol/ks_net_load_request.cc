#include "ks_net_load_request.h"

#include <cstring>
#include <stdexcept>

#include "ks_json_io.h"

namespace ks {

namespace {

void writeNames(json::Writer& writer, const std::vector<std::string>& names) {
  writer.StartArray();
  for (const std::string& name : names) writer.String(name.data(), static_cast<rapidjson::SizeType>(name.size()));
  writer.EndArray();
}

void readNames(std::vector<std::string>& names, const rapidjson::Value& array, const char* message) {
  for (const rapidjson::Value& name : array.GetArray()) {
    if (!name.IsString()) throw std::invalid_argument(message);
    names.push_back(json::cString(name));
  }
}

// Length of the text before the first NUL, or of the whole buffer when it holds none.
size_t textLength(const std::vector<char>& text) {
  const void* nul = std::memchr(text.data(), '\0', text.size());
  return nul ? static_cast<const char*>(nul) - text.data() : text.size();
}

// Writes the message with `netLength` characters of "net" left to `writeNet`, which writes that value.
template <typename WriteNet>
std::string writeLoadRequest(const NetLoadRequest& request, size_t netLength, WriteNet&& writeNet) {
  size_t expected = 256 + netLength + request.key.size() + request.cache_dir.size();
  for (const auto& name : request.input_tensors) expected += name.size() + 3;
  for (const auto& name : request.output_tensors) expected += name.size() + 3;
  return json::writeObject(expected, [&](json::Writer& writer, json::Output& output) {
    writer.Key("input_tensors");
    writeNames(writer, request.input_tensors);
    writer.Key("output_tensors");
    writeNames(writer, request.output_tensors);
    writer.Key("net");
    writeNet(writer, output);
    writer.Key("key");
    json::writeCString(writer, request.key.c_str());
    writer.Key("cache_dir");
    json::writeCString(writer, request.cache_dir.c_str());
    writer.Key("backend");
    writer.Int(request.backend);
    writer.Key("device_type");
    writer.Int(request.device_type);
    writer.Key("device_index");
    writer.Int(request.device_index);
  });
}

}  // namespace

std::string loadRequestToJson(const NetLoadRequest& request) {
  const size_t netLength = textLength(request.net);
  return writeLoadRequest(request, netLength, [&](json::Writer& writer, json::Output& output) {
    json::writeString(writer, output, request.net.data(), netLength);
  });
}

LoadRequestFrame loadRequestFrame(const NetLoadRequest& request) {
  size_t split = 0;
  std::string text = writeLoadRequest(request, 0, [&](json::Writer& writer, json::Output& output) {
    json::writeRawString(writer, output, 0, [](char*) {});
    split = output.size() - 1;  // between the quotes
  });
  LoadRequestFrame frame;
  frame.suffix = text.substr(split);
  text.resize(split);
  frame.prefix = std::move(text);
  return frame;
}

void loadRequestFromJson(NetLoadRequest& request, const char* text) {
  const json::ParsedMessage parsed(text);
  loadRequestFromJson(request, parsed.root());
}

void loadRequestFromJson(NetLoadRequest& request, const rapidjson::Value& root) {
  const rapidjson::Value& inputs =
      json::requireMember(root, "input_tensors", json::isArray, "'input_tensors' is not set properly");
  const rapidjson::Value& outputs =
      json::requireMember(root, "output_tensors", json::isArray, "'output_tensors' is not set properly");
  const rapidjson::Value& net = json::requireMember(root, "net", json::isString, "'net' is not set properly");
  const rapidjson::Value& key = json::requireMember(root, "key", json::isString, "'key' is not set properly");
  const rapidjson::Value& cacheDir =
      json::requireMember(root, "cache_dir", json::isString, "'cache_dir' is not set properly");
  const rapidjson::Value& backend = json::requireMember(root, "backend", json::isInt, "'backend' is not set properly");
  const rapidjson::Value& deviceType =
      json::requireMember(root, "device_type", json::isInt, "'device_type' is not set properly");
  const rapidjson::Value& deviceIndex =
      json::requireMember(root, "device_index", json::isInt, "'device_index' is not set properly");

  request.backend = backend.GetInt();
  request.device_type = deviceType.GetInt();
  request.device_index = deviceIndex.GetInt();
  const char* netText = net.GetString();
  const size_t netLength = std::strlen(netText);
  request.net.assign(netText, netText + netLength + 1);
  request.key = json::cString(key);
  request.cache_dir = json::cString(cacheDir);
  readNames(request.input_tensors, inputs, "'input_tensors' should be an array of strings");
  readNames(request.output_tensors, outputs, "'output_tensors' should be an array of strings");
}

}  // namespace ks
