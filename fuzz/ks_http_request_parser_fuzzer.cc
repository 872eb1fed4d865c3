// Fuzzes the HTTP request parser. Each input is parsed as a stream of pipelined requests three times: fed
// whole, fed in pieces whose size the input chooses, and in such pieces with the bodies written where the
// parser makes room for them. All must end the same way, no body may pass the limit, and a refusal must
// carry a 4xx or 5xx status and a reason. Any breach aborts, which libFuzzer reports.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ks_http_request_parser.h"

namespace {

using ks::server::HttpLimits;
using ks::server::HttpRequest;
using ks::server::HttpRequestParser;

// Small limits, so that mutations reach every one of them.
HttpLimits fuzzLimits() {
  HttpLimits limits;
  limits.maxRequestLineBytes = 256;
  limits.maxHeaderBytes = 1024;
  limits.maxHeaderFields = 16;
  limits.maxBodyBytes = 4096;
  limits.maxChunkLineBytes = 64;
  return limits;
}

void require(bool condition) {
  if (!condition) std::abort();
}

std::string describe(const HttpRequest& r) {
  std::string text = r.method + '|' + r.target + '|' + r.path + '|' + r.query + '|' + std::to_string(r.minorVersion);
  for (const auto& [name, value] : r.params) text.append("|").append(name).append("=").append(value);
  for (const auto& [name, value] : r.headers) text.append("|").append(name).append(":").append(value);
  return text + '|' + std::to_string(r.body.size()) + ':' + r.body + '\n';
}

// What parsing `bytes` in pieces of `piece` bytes (0: all that is left) produced. `inPlace`: body bytes
// are written where the parser makes room for them, as the server receives a body, each time a third
// fewer than there is room for.
std::string parseAll(std::string_view bytes, size_t piece, bool inPlace = false) {
  const HttpLimits limits = fuzzLimits();
  HttpRequestParser parser(limits);
  std::string outcome;
  size_t used = 0;
  while (used < bytes.size()) {
    const size_t size = piece == 0 ? bytes.size() - used : std::min(piece, bytes.size() - used);
    size_t room = 0;
    char* into = inPlace ? parser.bodyRoom(size, room) : nullptr;
    require(into != nullptr || room == 0);
    require(room <= size);
    size_t taken = 0;
    if (into != nullptr) {
      taken = room - room / 3;
      std::memcpy(into, bytes.data() + used, taken);
      parser.commitBody(taken);
    } else {
      if (inPlace) parser.commitBody(0);
      taken = parser.feed(bytes.substr(used, size));
    }
    require(taken <= size);
    used += taken;
    require(parser.bodyBytesAnnounced() <= limits.maxBodyBytes);
    require(parser.request().body.size() <= parser.bodyBytesAnnounced());
    if (parser.phase() == HttpRequestParser::Phase::kRefused) {
      require(parser.refusalStatus() >= 400 && parser.refusalStatus() <= 599 && !parser.refusalReason().empty());
      return outcome + "refused " + std::to_string(parser.refusalStatus()) + " " + parser.refusalReason();
    }
    if (parser.phase() == HttpRequestParser::Phase::kComplete) {
      outcome += describe(parser.takeRequest());
      parser.reset();
      continue;
    }
    require(taken > 0);  // it may pause after the head or a chunk-size line, but never stall
  }
  return outcome + "phase " + std::to_string(static_cast<int>(parser.phase()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string whole = parseAll(bytes, 0);
  require(whole == parseAll(bytes, 1 + data[0] % 17));
  require(whole == parseAll(bytes, 1 + data[0] % 17, true));
  return 0;
}
