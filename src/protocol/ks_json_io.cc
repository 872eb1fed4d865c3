#include "ks_json_io.h"

#include <cstring>
#include <stdexcept>

namespace ks {
namespace json {

namespace {

bool needsEscaping(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == '"' || c == '\\') return true;
  }
  return false;
}

}  // namespace

void writeString(Writer& writer, Output& output, const char* text, size_t length) {
  if (needsEscaping(text, length)) {
    writer.String(text, static_cast<rapidjson::SizeType>(length));
    return;
  }
  writeRawString(writer, output, length, [&](char* at) {
    if (length) std::memcpy(at, text, length);
  });
}

void writeCString(Writer& writer, const char* text) {
  writer.String(text, static_cast<rapidjson::SizeType>(std::strlen(text)));
}

const rapidjson::Value& parseObjectInPlace(rapidjson::Document& document, char* text) {
  if (text != nullptr) document.ParseInsitu<rapidjson::kParseIterativeFlag>(text);
  if (text == nullptr || document.HasParseError() || !document.IsObject()) document.SetObject();
  return document;
}

ParsedMessage::ParsedMessage(const char* text) {
  if (text != nullptr) {
    const size_t length = std::strlen(text);
    text_.reset(new char[length + 1]);
    std::memcpy(text_.get(), text, length + 1);
  }
  root_ = &parseObjectInPlace(document_, text_.get());
}

const rapidjson::Value* findMember(const rapidjson::Value& object, const char* name) {
  // FindMember scans from the first member, so the first of equal names is the one found.
  const auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

const rapidjson::Value& requireMember(const rapidjson::Value& object, const char* name,
                                      bool (*test)(const rapidjson::Value*), const char* message) {
  const rapidjson::Value* member = findMember(object, name);
  if (!test(member)) throw std::invalid_argument(message);
  return *member;
}

}  // namespace json
}  // namespace ks
