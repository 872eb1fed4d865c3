// The check every reply of the server passes before anything is read from it, and the one way requests
// with a body are posted.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <httplib.h>
#include <rapidjson/document.h>

namespace ks {

// Throws std::runtime_error "http request error during operation: <operation>" ("http request error" for
// an empty operation) when there is no reply, and "Server returned error: <text>[; operation: <operation>]"
// when the reply is a status message with status false. A reply that is no status message, or one with
// status true, passes whatever its HTTP status; a mistyped status message throws the codec's
// std::invalid_argument. The body is parsed in place, once, into `document` (only what precedes an
// embedded NUL counts), and the root object is returned for the reply's own reader, so a large reply is
// neither parsed twice nor copied; an unparseable body gives an object without members.
const rapidjson::Value& checkReply(httplib::Result& result, const std::string& operation,
                                   rapidjson::Document& document);

// Posts `size` bytes of JSON that `read(offset, out, length)` writes into `out` piece by piece (returning
// how many it wrote), so the body never has to exist whole in httplib's hands.
httplib::Result postJson(httplib::Client& client, const std::string& path, size_t size,
                         const std::function<size_t(size_t offset, char* out, size_t length)>& read);

}  // namespace ks
