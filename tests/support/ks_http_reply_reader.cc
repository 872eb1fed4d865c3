#include "support/ks_http_reply_reader.h"

#include <cstring>

namespace ks {
namespace testing {

namespace {

bool equalsIgnoringCase(const std::string& text, const char* lowerCase) {
  const size_t length = std::strlen(lowerCase);
  if (text.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerCase[i]) return false;
  }
  return true;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(const std::string& text, size_t begin, size_t end) {
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Calls `each` with every comma-separated element of a header value, trimmed; empty elements are skipped.
template <typename Each>
void forEachListElement(const std::string& value, Each&& each) {
  size_t begin = 0;
  while (begin <= value.size()) {
    size_t end = value.find(',', begin);
    if (end == std::string::npos) end = value.size();
    const std::string element = trimmed(value, begin, end);
    if (!element.empty()) each(element);
    begin = end + 1;
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void HttpReplyReader::reset() {
  state_ = State::kStatusLine;
  reply_.status = 0;
  reply_.keepAlive = true;
  reply_.body.clear();  // keeps its capacity for the next reply
  line_.clear();
  headerLines_ = 0;
  remaining_ = 0;
  hasLength_ = chunked_ = otherCoding_ = http10_ = sawKeepAlive_ = sawClose_ = false;
  started_ = false;
}

size_t HttpReplyReader::takeLine(const char* data, size_t size, bool& complete) {
  const void* newline = std::memchr(data, '\n', size);
  const size_t length = newline ? static_cast<size_t>(static_cast<const char*>(newline) - data) : size;
  if (line_.size() + length > kMaxLineBytes)
    throw MalformedReply("line longer than " + std::to_string(kMaxLineBytes) + " bytes");
  line_.append(data, length);
  complete = newline != nullptr;
  if (!complete) return size;
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  return length + 1;
}

size_t HttpReplyReader::feed(const char* data, size_t size) {
  size_t used = 0;
  while (used < size && state_ != State::kDone) {
    started_ = true;
    const char* at = data + used;
    const size_t left = size - used;
    switch (state_) {
      case State::kBody:
      case State::kChunkData: {
        const size_t take = left < remaining_ ? left : remaining_;
        appendBody(at, take);
        used += take;
        remaining_ -= take;
        if (remaining_ == 0) state_ = state_ == State::kBody ? State::kDone : State::kChunkEnd;
        break;
      }
      case State::kUntilClose:
        appendBody(at, left);
        used += left;
        break;
      default: {
        bool complete = false;
        used += takeLine(at, left, complete);
        if (!complete) break;
        switch (state_) {
          case State::kStatusLine: onStatusLine(); break;
          case State::kHeaders:
          case State::kTrailers:
            if (line_.empty()) {
              if (state_ == State::kHeaders)
                onHeadersEnd();
              else
                state_ = State::kDone;
            } else {
              if (++headerLines_ > kMaxHeaderLines)
                throw MalformedReply("more than " + std::to_string(kMaxHeaderLines) + " header lines");
              if (state_ == State::kHeaders) onHeaderLine();  // trailers carry nothing we use
            }
            break;
          case State::kChunkSize: onChunkSizeLine(); break;
          case State::kChunkEnd:
            if (!line_.empty()) throw MalformedReply("chunk data longer than its size");
            state_ = State::kChunkSize;
            break;
          default: break;
        }
        line_.clear();
      }
    }
  }
  return used;
}

bool HttpReplyReader::finishAtClose() {
  if (state_ == State::kUntilClose) state_ = State::kDone;
  return state_ == State::kDone;
}

void HttpReplyReader::onStatusLine() {
  // "HTTP/1.x SSS reason"; the reason may be empty, with or without the space before it.
  const std::string& l = line_;
  const bool shaped = l.size() >= 12 && l.compare(0, 7, "HTTP/1.") == 0 && (l[7] == '0' || l[7] == '1') &&
                      l[8] == ' ' && (l.size() == 12 || l[12] == ' ');
  int status = 0;
  for (size_t i = 9; shaped && i < 12; ++i) {
    if (l[i] < '0' || l[i] > '9') throw MalformedReply("status code is not three digits");
    status = status * 10 + (l[i] - '0');
  }
  if (!shaped || status < 100 || status > 599) throw MalformedReply("not an HTTP/1.x status line");
  http10_ = l[7] == '0';
  reply_.status = status;
  state_ = State::kHeaders;
}

void HttpReplyReader::onHeaderLine() {
  if (isSpace(line_[0])) throw MalformedReply("folded header line");
  const size_t colon = line_.find(':');
  if (colon == std::string::npos || colon == 0) throw MalformedReply("header line without a name");
  const std::string name = line_.substr(0, colon);
  if (name.find_first_of(" \t") != std::string::npos) throw MalformedReply("white space in a header name");
  const std::string value = trimmed(line_, colon + 1, line_.size());

  if (equalsIgnoringCase(name, "content-length")) {
    // Digits only: a list, a sign or a second, different length is how replies get smuggled.
    if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos) {
      throw MalformedReply("Content-Length is not a number");
    }
    const size_t length = std::stoull(value);
    if (hasLength_ && length != remaining_) throw MalformedReply("two different Content-Length headers");
    hasLength_ = true;
    remaining_ = length;
  } else if (equalsIgnoringCase(name, "transfer-encoding")) {
    forEachListElement(value, [this](const std::string& coding) {
      chunked_ = equalsIgnoringCase(coding, "chunked");
      otherCoding_ = !chunked_;
    });
  } else if (equalsIgnoringCase(name, "connection")) {
    forEachListElement(value, [this](const std::string& option) {
      if (equalsIgnoringCase(option, "close")) sawClose_ = true;
      if (equalsIgnoringCase(option, "keep-alive")) sawKeepAlive_ = true;
    });
  }
}

void HttpReplyReader::onHeadersEnd() {
  const int status = reply_.status;
  if (status >= 100 && status < 200) {
    // An interim reply: the real one follows on the same connection.
    const bool began = started_;
    reset();
    started_ = began;
    return;
  }
  reply_.keepAlive = http10_ ? sawKeepAlive_ && !sawClose_ : !sawClose_;
  if (status == 204 || status == 304) {
    state_ = State::kDone;
  } else if (chunked_ || otherCoding_) {
    if (hasLength_) throw MalformedReply("both Content-Length and Transfer-Encoding");
    if (chunked_) {
      state_ = State::kChunkSize;
    } else {
      reply_.keepAlive = false;
      state_ = State::kUntilClose;
    }
  } else if (hasLength_) {
    if (remaining_ > kMaxBodyBytes)
      throw MalformedReply("body larger than " + std::to_string(kMaxBodyBytes) + " bytes");
    reply_.body.reserve(remaining_);
    state_ = remaining_ == 0 ? State::kDone : State::kBody;
  } else {
    reply_.keepAlive = false;
    state_ = State::kUntilClose;
  }
  headerLines_ = 0;  // trailers have their own allowance
}

void HttpReplyReader::onChunkSizeLine() {
  size_t size = 0;
  size_t digits = 0;
  for (; digits < line_.size(); ++digits) {
    const int value = hexDigit(line_[digits]);
    if (value < 0) break;
    if (digits == 15) throw MalformedReply("chunk size too large");
    size = size * 16 + static_cast<size_t>(value);
  }
  // After the digits only white space and chunk extensions (";name=value") may follow.
  size_t rest = digits;
  while (rest < line_.size() && isSpace(line_[rest])) ++rest;
  if (digits == 0 || (rest < line_.size() && line_[rest] != ';')) throw MalformedReply("bad chunk size line");
  if (size == 0) {
    state_ = State::kTrailers;
    return;
  }
  if (size > kMaxBodyBytes - reply_.body.size())
    throw MalformedReply("body larger than " + std::to_string(kMaxBodyBytes) + " bytes");
  remaining_ = size;
  state_ = State::kChunkData;
}

void HttpReplyReader::appendBody(const char* data, size_t size) {
  if (size > kMaxBodyBytes - reply_.body.size())
    throw MalformedReply("body larger than " + std::to_string(kMaxBodyBytes) + " bytes");
  reply_.body.append(data, size);
}

}  // namespace testing
}  // namespace ks
