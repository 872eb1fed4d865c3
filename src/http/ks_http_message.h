// The request a handler of ks::server::HttpServer receives and the reply it fills in.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ks {
namespace server {

using HttpParams = std::vector<std::pair<std::string, std::string>>;

// The first parameter called `name` in `params`, or null.
const std::string* findParam(const HttpParams& params, std::string_view name);

struct HttpRequest {
  std::string method;                                        // as sent, case-sensitive ("GET", "POST")
  std::string target;                                        // as sent on the request line
  std::string path;                                          // percent-decoded, without the query
  std::string query;                                         // raw, after the '?'
  HttpParams params;                                         // decoded query parameters, in order
  std::vector<std::pair<std::string, std::string>> headers;  // names lower-cased, values trimmed
  // Owned by the handler, which may parse it in place.
  std::string body;
  std::string clientAddress;  // "ip:port" of the peer
  int minorVersion = 1;       // HTTP/1.<minorVersion>

  // The first query parameter called `name`, or null.
  const std::string* param(std::string_view name) const;
  // The first header called `name` (any case), or null.
  const std::string* header(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::string logNote;  // not sent: handed to the request log with the request's record
  // The connection closes after this reply: for a request whose body made no sense, since what follows it
  // on the connection cannot be trusted to start a request.
  bool closeConnection = false;
};

}  // namespace server
}  // namespace ks
