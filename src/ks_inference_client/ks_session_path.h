// Request paths that carry a session identifier.
#pragma once

#include <string>

namespace ks {

// `prefix` followed by `sessionId`, every byte of which outside the URL-unreserved characters
// (A-Z a-z 0-9 - . _ ~) is percent-encoded, so that the server decodes exactly the identifier it issued.
// Identifiers made of unreserved characters, what servers normally issue, are appended unchanged.
std::string sessionPath(const char* prefix, const std::string& sessionId);

}  // namespace ks
