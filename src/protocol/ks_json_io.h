// The codec's plumbing: how message text is written and parsed, and how members are looked up. Every
// message writer and reader goes through these, so all messages share one set of JSON rules.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include <rapidjson/document.h>
#include <rapidjson/writer.h>

namespace ks {
namespace json {

// Output stream for rapidjson::Writer that appends to a std::string. RapidJSON's own StringBuffer reserves
// six bytes per character before each string it writes; this stream reserves nothing, and lets long runs
// that need no escaping (Base64 text) be written in place with extend().
class Output {
 public:
  typedef char Ch;

  explicit Output(std::string& text) : text_(text) {}

  void Put(char c) { text_.push_back(c); }
  size_t size() const { return text_.size(); }
  void Flush() {}

  // Appends `count` characters of unspecified value and returns where they start.
  char* extend(size_t count) {
    const size_t at = text_.size();
    text_.resize(at + count);
    return &text_[at];
  }

 private:
  std::string& text_;
};

using Writer = rapidjson::Writer<Output>;

// Writes one message: an object whose members `writeMembers(writer, output)` adds, as compact text.
// `expectedSize` is reserved up front so a large message is not copied while it grows.
template <typename WriteMembers>
std::string writeObject(size_t expectedSize, WriteMembers&& writeMembers) {
  std::string text;
  text.reserve(expectedSize);
  Output output(text);
  Writer writer(output);
  writer.StartObject();
  writeMembers(writer, output);
  writer.EndObject();
  return text;
}

// Writes a string value of `length` characters that need no escaping; `fill(char*)` writes them in place.
template <typename Fill>
void writeRawString(Writer& writer, Output& output, size_t length, Fill&& fill) {
  // The writer places the separator and the opening quote and counts the value; the characters and the
  // closing quote follow straight into the output.
  writer.RawValue("\"", 1, rapidjson::kStringType);
  char* at = output.extend(length + 1);
  fill(at);
  at[length] = '"';
}

// Writes `length` characters of `text` as a string value. Long text that needs no escaping (Base64, the
// usual case) is copied in one piece instead of character by character; the bytes are the same.
void writeString(Writer& writer, Output& output, const char* text, size_t length);

// Writes the characters of `text` before its first NUL as a string value.
void writeCString(Writer& writer, const char* text);

// Parses NUL-terminated `text` in place (strict JSON, one root value) and returns the root object. Text
// that does not parse, a null `text` and a root that is not an object all give an object without
// members. Strings are unescaped into the text itself and the document points into it, so a large message
// is not copied: `text` must outlive every use of the document. Parsing is iterative, so nesting depth
// costs heap, not stack. A number whose exponent has more than six digits makes the text not parse (the
// text is cut after its 'e'): RapidJSON cannot take such exponents safely.
const rapidjson::Value& parseObjectInPlace(rapidjson::Document& document, char* text);

// A message parsed from a private copy of its text (parsing in place is faster than copying each string
// into the document), with the root as parseObjectInPlace gives it.
class ParsedMessage {
 public:
  explicit ParsedMessage(const char* text);
  ParsedMessage(const ParsedMessage&) = delete;
  ParsedMessage& operator=(const ParsedMessage&) = delete;

  const rapidjson::Value& root() const { return *root_; }

 private:
  std::unique_ptr<char[]> text_;
  rapidjson::Document document_;
  const rapidjson::Value* root_;
};

// The first member of `object` named `name` (exact bytes), or null when there is none.
const rapidjson::Value* findMember(const rapidjson::Value& object, const char* name);

// Type tests of the message rules. An absent member (null pointer) passes none of them.
inline bool isArray(const rapidjson::Value* v) { return v && v->IsArray(); }
inline bool isString(const rapidjson::Value* v) { return v && v->IsString(); }
// A number without fraction or exponent in the signed 32-bit range.
inline bool isInt(const rapidjson::Value* v) { return v && v->IsInt(); }
inline bool isBool(const rapidjson::Value* v) { return v && v->IsBool(); }
// A number held as a double (written with a fraction or an exponent, or beyond the 64-bit integers) within
// -3.4028234e38..3.4028234e38.
inline bool isFloat(const rapidjson::Value* v) { return v && v->IsFloat(); }

// The first member of `object` named `name` when it passes `test`; otherwise throws std::invalid_argument
// with `message`. A reader's checks in their order are a sequence of these.
const rapidjson::Value& requireMember(const rapidjson::Value& object, const char* name,
                                      bool (*test)(const rapidjson::Value*), const char* message);

// The characters of a string value before its first NUL.
inline std::string cString(const rapidjson::Value& v) { return std::string(v.GetString()); }

}  // namespace json
}  // namespace ks
