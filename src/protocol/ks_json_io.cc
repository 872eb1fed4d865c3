#include "ks_json_io.h"

#include <cstring>

namespace ks {
namespace json {

void writeCString(Writer& writer, const char* text) {
  writer.String(text, static_cast<rapidjson::SizeType>(std::strlen(text)));
}

const rapidjson::Value& parseObject(rapidjson::Document& document, const char* text) {
  if (text != nullptr) document.Parse<rapidjson::kParseIterativeFlag>(text);
  if (text == nullptr || document.HasParseError() || !document.IsObject()) document.SetObject();
  return document;
}

const rapidjson::Value* findMember(const rapidjson::Value& object, const char* name) {
  // FindMember scans from the first member, so the first of equal names is the one found.
  const auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

}  // namespace json
}  // namespace ks
