#include "ks_http_request_parser.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "ks_http_text.h"

namespace ks {
namespace server {

HttpRequestParser::HttpRequestParser(const HttpLimits& limits) : limits_(limits) {}

void HttpRequestParser::reset() {
  phase_ = Phase::kHead;
  step_ = Step::kRequestLine;
  request_ = HttpRequest{};
  line_ = std::string();
  sectionBytes_ = sectionFields_ = announced_ = remaining_ = roomGiven_ = 0;
  consumed_ = 0;
  chunked_ = expectsContinue_ = false;
  refusalStatus_ = 0;
  refusalReason_.clear();
}

std::string HttpRequestParser::bodyTooLarge() const {
  return "request body too large: the limit is " + std::to_string(limits_.maxBodyBytes) + " bytes";
}

bool HttpRequestParser::refuse(int status, std::string reason) {
  phase_ = Phase::kRefused;
  refusalStatus_ = status;
  refusalReason_ = std::move(reason);
  return false;
}

// The most bytes, line end included, that the line being read may still take.
size_t HttpRequestParser::lineLimit() const {
  const auto left = [this](size_t limit) { return limit > sectionBytes_ ? limit - sectionBytes_ : 0; };
  switch (step_) {
    case Step::kRequestLine: return left(limits_.maxRequestLineBytes + 2);  // blank lines before it count
    case Step::kHeaderLine:
    case Step::kTrailerLine: return left(limits_.maxHeaderBytes);
    default: return limits_.maxChunkLineBytes + 2;
  }
}

size_t HttpRequestParser::feed(std::string_view bytes) {
  size_t used = 0;
  while (used < bytes.size() && (phase_ == Phase::kHead || phase_ == Phase::kBody)) {
    const std::string_view rest = bytes.substr(used);
    if (step_ == Step::kFixedBody || step_ == Step::kChunkData) {
      reserveBody(request_.body.size() + remaining_);
      const size_t n = std::min(remaining_, rest.size());
      request_.body.append(rest.data(), n);
      used += n;
      bodyTaken(n);
      continue;
    }

    const void* newline = std::memchr(rest.data(), '\n', rest.size());
    const size_t take =
        newline ? static_cast<size_t>(static_cast<const char*>(newline) - rest.data()) + 1 : rest.size();
    if (line_.size() + take > lineLimit()) {
      switch (step_) {
        case Step::kRequestLine:
          refuse(414, "the request line is longer than " + std::to_string(limits_.maxRequestLineBytes) + " bytes");
          break;
        case Step::kHeaderLine:
          refuse(431, "the header section is longer than " + std::to_string(limits_.maxHeaderBytes) + " bytes");
          break;
        case Step::kTrailerLine:
          refuse(431, "the trailer section is longer than " + std::to_string(limits_.maxHeaderBytes) + " bytes");
          break;
        default:
          refuse(400, "a chunk-size line is longer than " + std::to_string(limits_.maxChunkLineBytes) + " bytes");
      }
      break;
    }
    line_.append(rest.data(), take);
    used += take;
    consumed_ += take;
    if (!newline) break;

    const Phase before = phase_;
    std::string line = std::move(line_);
    line_.clear();
    if (!takeLine(line)) break;
    // Give the caller the head, or a chunk's announced size, before any byte that follows.
    if (phase_ != before || step_ == Step::kChunkData) break;
  }
  return used;
}

bool HttpRequestParser::takeLine(std::string_view raw) {
  std::string_view line = raw.substr(0, raw.size() - 1);  // without its LF
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.find('\r') != std::string_view::npos)
    return refuse(400, "a line of the request holds a bare carriage return");
  if (line.find('\0') != std::string_view::npos) return refuse(400, "a line of the request holds a NUL byte");

  switch (step_) {
    case Step::kRequestLine:
      if (line.empty()) {  // blank lines before a request are allowed (RFC 9112, 2.2)
        sectionBytes_ += raw.size();
        return true;
      }
      if (line.size() > limits_.maxRequestLineBytes) {
        return refuse(414, "the request line is longer than " + std::to_string(limits_.maxRequestLineBytes) + " bytes");
      }
      sectionBytes_ = 0;
      step_ = Step::kHeaderLine;
      return parseRequestLine(line);
    case Step::kHeaderLine: sectionBytes_ += raw.size(); return line.empty() ? finishHead() : parseHeaderLine(line);
    case Step::kChunkLine: return parseChunkLine(line);
    case Step::kChunkEnd:
      if (!line.empty()) return refuse(400, "a chunk's data is longer than its size says");
      step_ = Step::kChunkLine;
      return true;
    case Step::kTrailerLine:
      sectionBytes_ += raw.size();
      if (line.empty()) {
        phase_ = Phase::kComplete;
        return true;
      }
      if (++sectionFields_ > limits_.maxHeaderFields) {
        return refuse(431, "the request has more than " + std::to_string(limits_.maxHeaderFields) + " trailer fields");
      }
      return true;  // trailers are dropped: nothing here reads them
    default: return refuse(500, "the request parser lost its place");
  }
}

bool HttpRequestParser::parseRequestLine(std::string_view line) {
  static const char kMalformed[] = "the request line is not 'method target HTTP/1.x'";
  const size_t space1 = line.find(' ');
  const size_t space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
  if (space2 == std::string_view::npos) return refuse(400, kMalformed);
  const std::string_view method = line.substr(0, space1);
  const std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::string_view version = line.substr(space2 + 1);
  if (!isToken(method) || target.empty()) return refuse(400, kMalformed);
  if (!std::all_of(target.begin(), target.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; })) {
    return refuse(400, "the request target holds a character that must be percent-encoded");
  }
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
      version[5] > '9' || version[7] < '0' || version[7] > '9') {
    return refuse(400, kMalformed);
  }
  if (version[5] != '1' || version[7] > '1')
    return refuse(505, "HTTP version " + std::string(version.substr(5)) + " is not supported; only 1.0 and 1.1 are");

  request_.method = std::string(method);
  request_.target = std::string(target);
  request_.minorVersion = version[7] - '0';

  // Origin form ("/path?query") as clients send it; absolute form ("http://host/path") as proxies may.
  std::string_view pathAndQuery = target;
  if (target == "*") {
    request_.path = "*";
    return true;
  }
  if (startsWithIgnoringCase(target, "http://") || startsWithIgnoringCase(target, "https://")) {
    const size_t authority = target.find("//") + 2;
    const size_t end = target.find_first_of("/?", authority);
    pathAndQuery = end == std::string_view::npos ? std::string_view() : target.substr(end);
  } else if (target.front() != '/') {
    return refuse(400, "the request target is neither a path nor an absolute URL");
  }
  const size_t question = std::min(pathAndQuery.find('?'), pathAndQuery.size());
  request_.path = percentDecoded(pathAndQuery.substr(0, question), false);
  if (request_.path.empty()) request_.path = "/";
  if (question < pathAndQuery.size()) {
    request_.query = std::string(pathAndQuery.substr(question + 1));
    parseQuery(request_.query, request_.params);
  }
  return true;
}

bool HttpRequestParser::parseHeaderLine(std::string_view line) {
  if (request_.headers.size() >= limits_.maxHeaderFields) {
    return refuse(431, "the request has more than " + std::to_string(limits_.maxHeaderFields) + " header fields");
  }
  if (line.front() == ' ' || line.front() == '\t') {
    return refuse(400, "a header field is folded onto a continuation line");
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
    return refuse(400, "a header line is not 'name: value'");
  }
  const std::string_view value = trimmed(line.substr(colon + 1));
  if (!std::all_of(value.begin(), value.end(), [](unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7f); })) {
    return refuse(400, "a header field value holds a control character");
  }
  request_.headers.emplace_back(lowerCased(line.substr(0, colon)), std::string(value));
  return true;
}

bool HttpRequestParser::finishHead() {
  bool hasLength = false;
  bool hasCoding = false;
  uint64_t length = 0;
  std::string coding;
  for (const auto& [name, value] : request_.headers) {
    if (name == "transfer-encoding") {
      coding += (hasCoding ? "," : "") + value;
      hasCoding = true;
    } else if (name == "content-length") {
      std::string_view list = value;
      do {  // a comma list of equal values is one value (RFC 9110, 8.6)
        const size_t comma = std::min(list.find(','), list.size());
        const std::string_view item = trimmed(list.substr(0, comma));
        list.remove_prefix(std::min(comma + 1, list.size()));
        if (item.empty() || !std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; })) {
          return refuse(400, "Content-Length is not a decimal number");
        }
        uint64_t number = 0;
        for (char c : item) {
          if (number > (std::numeric_limits<uint64_t>::max() - 9) / 10) {
            return refuse(400, "Content-Length is too large to be a byte count");
          }
          number = number * 10 + static_cast<uint64_t>(c - '0');
        }
        if (hasLength && number != length) return refuse(400, "the request has Content-Length values that differ");
        hasLength = true;
        length = number;
      } while (!list.empty());
    }
  }

  if (hasCoding && hasLength) return refuse(400, "the request has both Transfer-Encoding and Content-Length");
  if (hasCoding) {
    const std::string lower = lowerCased(trimmed(coding));
    if (lower != "chunked") return refuse(501, "Transfer-Encoding '" + coding + "' is not supported; only chunked is");
    chunked_ = true;
  } else if (hasLength) {
    if (length > limits_.maxBodyBytes) {
      return refuse(413, bodyTooLarge());
    }
    announced_ = remaining_ = static_cast<size_t>(length);
  } else if (request_.method == "POST" || request_.method == "PUT") {
    return refuse(411, "a " + request_.method + " request needs a Content-Length or a chunked body");
  }

  const bool hasBody = chunked_ || length > 0;
  const std::string* expect = request_.header("expect");
  expectsContinue_ = hasBody && request_.minorVersion == 1 && expect && lowerCased(*expect) == "100-continue";
  phase_ = hasBody ? Phase::kBody : Phase::kComplete;
  step_ = chunked_ ? Step::kChunkLine : Step::kFixedBody;
  sectionBytes_ = 0;
  return true;
}

bool HttpRequestParser::parseChunkLine(std::string_view line) {
  static const char kMalformed[] = "a chunk-size line is not a hexadecimal size with optional extensions";
  const size_t room = limits_.maxBodyBytes - announced_;
  uint64_t size = 0;
  size_t digits = 0;
  for (; digits < line.size() && hexValue(line[digits]) >= 0; ++digits) {
    if (size > (std::numeric_limits<uint64_t>::max() >> 4)) return refuse(400, kMalformed);
    size = size * 16 + static_cast<uint64_t>(hexValue(line[digits]));
    if (size > room) {  // stops long before the value could overflow
      return refuse(413, bodyTooLarge());
    }
  }
  const std::string_view extensions = trimmed(line.substr(digits));
  if (digits == 0 || (!extensions.empty() && extensions.front() != ';')) return refuse(400, kMalformed);
  if (size == 0) {
    step_ = Step::kTrailerLine;
    sectionBytes_ = sectionFields_ = 0;
    return true;
  }
  announced_ += static_cast<size_t>(size);
  remaining_ = static_cast<size_t>(size);
  step_ = Step::kChunkData;
  return true;
}

char* HttpRequestParser::bodyRoom(size_t most, size_t& room) {
  room = 0;
  if (!inBody() || most == 0) return nullptr;
  reserveBody(request_.body.size() + remaining_);
  room = std::min(remaining_, most);
  // Within the capacity just reserved: the string only marks the bytes as its own, clearing them in
  // memory the receive is about to write anyway.
  const size_t start = request_.body.size();
  request_.body.resize(start + room);
  roomGiven_ = room;
  return &request_.body[start];
}

void HttpRequestParser::commitBody(size_t n) {
  // What was not written is given back.
  const size_t written = std::min(n, roomGiven_);
  request_.body.resize(request_.body.size() - (roomGiven_ - written));
  roomGiven_ = 0;
  if (written > 0) bodyTaken(written);
}

// Counts `n` body bytes as received, ending the body or the chunk when it is whole.
void HttpRequestParser::bodyTaken(size_t n) {
  consumed_ += n;
  remaining_ -= n;
  if (remaining_ > 0) return;
  if (step_ == Step::kFixedBody) {
    phase_ = Phase::kComplete;
  } else {
    step_ = Step::kChunkEnd;
  }
}

// Makes room for `total` body bytes. A chunked body grows by doubling, never past the limit; a body of
// known length is allocated once.
void HttpRequestParser::reserveBody(size_t total) {
  std::string& body = request_.body;
  if (body.capacity() >= total) return;
  const size_t doubled = std::min(body.capacity() * 2, limits_.maxBodyBytes);
  body.reserve(chunked_ ? std::max(total, doubled) : total);
}

}  // namespace server
}  // namespace ks
