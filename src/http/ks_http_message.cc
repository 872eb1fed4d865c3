#include "ks_http_message.h"

#include "ks_http_text.h"

namespace ks {
namespace server {

const std::string* findParam(const HttpParams& params, std::string_view name) {
  for (const auto& [key, value] : params) {
    if (key == name) return &value;
  }
  return nullptr;
}

const std::string* HttpRequest::param(std::string_view name) const { return findParam(params, name); }

const std::string* HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return &value;
  }
  return nullptr;
}

}  // namespace server
}  // namespace ks
