// The protocol's requests in one table: what each is called, its method, its path and action, and whether
// it names a session. The client builds its request targets from it, the server routes by it and counts
// requests under its names, and the load generator sends what the client sends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ks {

enum class Endpoint { kSessionNew, kSessionDelete, kGetLayouts, kLoad, kInference, kHealthz, kMetrics };
constexpr size_t kEndpointCount = 7;

struct EndpointInfo {
  Endpoint endpoint;
  const char* name;    // in metrics and logs: "session_new", "load", ...
  const char* method;  // "GET" or "POST"
  const char* path;    // "/session", "/net", ...
  const char* action;  // the value of the "action" parameter that selects it; null: the path alone does
  bool session;        // the target carries "session_id"
};

// Every endpoint, in the order of the enum.
const EndpointInfo (&endpoints())[kEndpointCount];
const EndpointInfo& infoOf(Endpoint endpoint);

// The endpoint a decoded path and "action" value (null when absent) select, or null.
const EndpointInfo* findEndpoint(std::string_view path, const std::string* action);
// Whether some endpoint has this path (so a request for it that selects none lacks or misnames its action).
bool knownPath(std::string_view path);

// The request target, e.g. "/net?action=load&session_id=" with `sessionId` percent-encoded; the id is
// ignored by endpoints that name no session.
std::string requestTarget(Endpoint endpoint, std::string_view sessionId = {});

// `text` with every byte outside URI's unreserved characters (A-Z a-z 0-9 - . _ ~) written as %XX, so
// that the server decodes exactly the bytes sent. Text made of unreserved characters comes back unchanged.
std::string percentEncoded(std::string_view text);

}  // namespace ks
