#include "ks_endpoints.h"

#include <cstring>

#include "ks_hex.h"

namespace ks {
namespace {

const EndpointInfo kEndpoints[kEndpointCount] = {
    {Endpoint::kSessionNew, "session_new", "GET", "/session", "new", false},
    {Endpoint::kSessionDelete, "session_delete", "GET", "/session", "delete", true},
    {Endpoint::kGetLayouts, "get_layouts", "GET", "/net", "get_layouts", true},
    {Endpoint::kLoad, "load", "POST", "/net", "load", true},
    {Endpoint::kInference, "inference", "POST", "/inference", nullptr, true},
    {Endpoint::kHealthz, "healthz", "GET", "/healthz", nullptr, false},
    {Endpoint::kMetrics, "metrics", "GET", "/metrics", nullptr, false},
};

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

const EndpointInfo (&endpoints())[kEndpointCount] { return kEndpoints; }

const EndpointInfo& infoOf(Endpoint endpoint) { return kEndpoints[static_cast<size_t>(endpoint)]; }

const EndpointInfo* findEndpoint(std::string_view path, const std::string* action) {
  for (const EndpointInfo& entry : kEndpoints) {
    if (path != entry.path) continue;
    if (entry.action == nullptr || (action != nullptr && *action == entry.action)) return &entry;
  }
  return nullptr;
}

bool knownPath(std::string_view path) {
  for (const EndpointInfo& entry : kEndpoints) {
    if (path == entry.path) return true;
  }
  return false;
}

std::string requestTarget(Endpoint endpoint, std::string_view sessionId) {
  const EndpointInfo& entry = infoOf(endpoint);
  std::string target = entry.path;
  char separator = '?';
  if (entry.action != nullptr) {
    target += "?action=";
    target += entry.action;
    separator = '&';
  }
  if (entry.session) {
    target += separator;
    target += "session_id=";
    target += percentEncoded(sessionId);
  }
  return target;
}

std::string percentEncoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (isUnreserved(byte)) {
      out += c;
    } else {
      out += '%';
      appendHex(out, byte, HexCase::kUpper);
    }
  }
  return out;
}

}  // namespace ks
