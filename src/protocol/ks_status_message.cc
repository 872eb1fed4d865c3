#include "ks_status_message.h"

#include <stdexcept>

#include "ks_json_io.h"

namespace ks {

std::string statusToJson(const StatusMessage& message) {
  return json::writeObject(32 + message.text.size(), [&](json::Writer& writer, json::Output&) {
    writer.Key("status");
    writer.Bool(message.status);
    writer.Key("text");
    writer.String(message.text.data(), static_cast<rapidjson::SizeType>(message.text.size()));
  });
}

bool statusFromJson(StatusMessage& message, const char* text) {
  const json::ParsedMessage parsed(text);
  return statusFromJson(message, parsed.root());
}

bool statusFromJson(StatusMessage& message, const rapidjson::Value& root) {
  const rapidjson::Value* status = json::findMember(root, "status");
  if (status == nullptr) return false;
  if (!status->IsBool()) throw std::invalid_argument("Got status message with invalid status");
  message.status = status->GetBool();
  const rapidjson::Value* body = json::findMember(root, "text");
  if (body == nullptr) return true;
  if (!body->IsString()) throw std::invalid_argument("Got status message with invalid 'message'");
  message.text = json::cString(*body);
  return true;
}

}  // namespace ks
