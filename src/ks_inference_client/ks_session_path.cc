#include "ks_session_path.h"

namespace ks {

namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

std::string sessionPath(const char* prefix, const std::string& sessionId) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string path(prefix);
  path.reserve(path.size() + sessionId.size() * 3);
  for (const char c : sessionId) {
    const auto byte = static_cast<unsigned char>(c);
    if (isUnreserved(byte)) {
      path += c;
    } else {
      path += '%';
      path += kHex[byte >> 4];
      path += kHex[byte & 15];
    }
  }
  return path;
}

}  // namespace ks
