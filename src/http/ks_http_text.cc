#include "ks_http_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace ks {
namespace server {

bool isTokenChar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return isTokenChar(c); });
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string lowerCased(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), lowerAscii);
  return lower;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string percentDecoded(std::string_view text, bool plusIsSpace) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += plusIsSpace && text[i] == '+' ? ' ' : text[i];
    }
  }
  return decoded;
}

void parseQuery(std::string_view query, std::vector<std::pair<std::string, std::string>>& params) {
  while (!query.empty()) {
    const size_t end = std::min(query.find('&'), query.size());
    const std::string_view item = query.substr(0, end);
    query.remove_prefix(std::min(end + 1, query.size()));
    if (item.empty()) continue;
    const size_t equals = std::min(item.find('='), item.size());
    params.emplace_back(percentDecoded(item.substr(0, equals), true),
                        percentDecoded(item.substr(std::min(equals + 1, item.size())), true));
  }
}

bool listsToken(const std::string* value, std::string_view token) {
  if (value == nullptr) return false;
  std::string_view rest = *value;
  while (!rest.empty()) {
    const size_t comma = std::min(rest.find(','), rest.size());
    const std::string_view item = trimmed(rest.substr(0, comma));
    rest.remove_prefix(std::min(comma + 1, rest.size()));
    if (equalsIgnoringCase(item, token)) return true;
  }
  return false;
}

bool wantsKeepAlive(const HttpRequest& request) {
  const std::string* connection = request.header("connection");
  if (request.minorVersion == 0) return listsToken(connection, "keep-alive");
  return !listsToken(connection, "close");
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 422: return "Unprocessable Content";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
  }
}

const std::string& httpDate() {
  thread_local std::string date;
  thread_local time_t dateSecond = 0;
  const time_t now = std::time(nullptr);
  if (now != dateSecond) {
    tm utc{};
    gmtime_r(&now, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    date = text;
    dateSecond = now;
  }
  return date;
}

std::string statusLine(int status) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\nDate: " + httpDate() + "\r\n";
}

bool appendReplyHead(std::string& head, const HttpResponse& response, bool keepAlive, bool http10) {
  const int status = response.status;
  const bool hasBody = status >= 200 && status != 204 && status != 304;
  if (hasBody) {
    if (!response.contentType.empty()) head += "Content-Type: " + response.contentType + "\r\n";
    head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  }
  if (!keepAlive) {
    head += "Connection: close\r\n";
  } else if (http10) {
    head += "Connection: keep-alive\r\n";
  }
  head += "\r\n";
  return hasBody;
}

std::string chunkSizeLine(size_t size) {
  char text[24];
  std::snprintf(text, sizeof text, "%zx\r\n", size);
  return text;
}

}  // namespace server
}  // namespace ks
