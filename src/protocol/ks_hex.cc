#include "ks_hex.h"

namespace ks {

void appendHex(std::string& out, uint8_t byte, HexCase letters) {
  const char* digits = letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  out += digits[byte >> 4];
  out += digits[byte & 15];
}

std::string toHex(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  std::string text;
  text.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) appendHex(text, bytes[i]);
  return text;
}

bool fromHex(std::string_view text, void* out, size_t size) {
  if (text.size() != 2 * size) return false;
  auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
  auto* bytes = static_cast<uint8_t*>(out);
  for (size_t i = 0; i < size; ++i) {
    const int high = nibble(text[2 * i]);
    const int low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace ks
