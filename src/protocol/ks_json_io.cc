#include "ks_json_io.h"

#include <cstddef>
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

namespace {

// RapidJSON adds a number's exponent to its count of fraction digits in an int without checking: an
// exponent of nine digits or more, on a number with many fraction digits, overflows it (undefined
// behaviour, an index into its table of powers of ten once the sum wraps). No double needs more than three
// exponent digits, so the text is cut at the exponent of any number that has more than kMaxExponentDigits,
// which RapidJSON then refuses as a number without exponent. Strings are skipped with strchr, so the scan
// costs little next to the parse: the messages' bulk is Base64 text, which holds no quote.
constexpr size_t kMaxExponentDigits = 6;

void cutOverlongExponents(char* text) {
  for (char* at = text; *at != '\0';) {
    if (*at == '"') {
      // To the closing quote: one preceded by an even number of backslashes.
      char* end = at + 1;
      while (true) {
        end = std::strchr(end, '"');
        if (end == nullptr) return;  // unterminated: the parse fails anyway
        size_t backslashes = 0;
        while (end - backslashes > at + 1 && end[-1 - static_cast<ptrdiff_t>(backslashes)] == '\\') ++backslashes;
        if (backslashes % 2 == 0) break;
        ++end;
      }
      at = end + 1;
      continue;
    }
    if ((*at == 'e' || *at == 'E') && at != text && at[-1] >= '0' && at[-1] <= '9') {
      char* digits = at + 1;
      if (*digits == '+' || *digits == '-') ++digits;
      size_t count = 0;
      while (digits[count] >= '0' && digits[count] <= '9') ++count;
      if (count > kMaxExponentDigits) {
        at[1] = '\0';
        return;
      }
      at = digits + count;
      continue;
    }
    ++at;
  }
}

}  // namespace

const rapidjson::Value& parseObjectInPlace(rapidjson::Document& document, char* text) {
  if (text != nullptr) {
    cutOverlongExponents(text);
    document.ParseInsitu<rapidjson::kParseIterativeFlag>(text);
  }
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
