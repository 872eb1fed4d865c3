#include "ks_reply_check.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "ks_json_io.h"
#include "ks_status_message.h"

namespace ks {

const rapidjson::Value& checkReply(httplib::Result& result, const std::string& operation,
                                   rapidjson::Document& document) {
  if (!result) {
    throw std::runtime_error(operation.empty() ? std::string("http request error")
                                               : "http request error during operation: " + operation);
  }
  const rapidjson::Value& root = json::parseObjectInPlace(document, &result->body[0]);
  StatusMessage status;
  if (statusFromJson(status, root) && !status.status) {
    std::string text = "Server returned error: " + status.text;
    if (!operation.empty()) text += "; operation: " + operation;
    throw std::runtime_error(text);
  }
  return root;
}

httplib::Result postJson(httplib::Client& client, const std::string& path, size_t size,
                         const std::function<size_t(size_t offset, char* out, size_t length)>& read) {
  std::vector<char> chunk(std::min<size_t>(size, size_t{64} * 1024));
  return client.Post(
      path.c_str(), size,
      [&](size_t offset, size_t length, httplib::DataSink& sink) {
        return sink.write(chunk.data(), read(offset, chunk.data(), std::min(length, chunk.size())));
      },
      "application/json");
}

}  // namespace ks
