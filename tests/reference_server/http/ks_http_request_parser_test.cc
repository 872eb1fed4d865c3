#include "ks_http_request_parser.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace ks {
namespace server {
namespace {

HttpLimits smallLimits() {
  HttpLimits limits;
  limits.maxRequestLineBytes = 64;
  limits.maxHeaderBytes = 256;
  limits.maxHeaderFields = 4;
  limits.maxBodyBytes = 16;
  limits.maxChunkLineBytes = 16;
  return limits;
}

// Feeds `bytes` in pieces of `piece` bytes (0: all at once) the way a connection would, until the request
// is complete or refused; returns how many bytes were consumed.
size_t feedInPieces(HttpRequestParser& parser, const std::string& bytes, size_t piece = 0) {
  size_t used = 0;
  while (used < bytes.size()) {
    const size_t size = piece == 0 ? bytes.size() - used : std::min(piece, bytes.size() - used);
    const size_t taken = parser.feed(std::string_view(bytes).substr(used, size));
    used += taken;
    const auto phase = parser.phase();
    if (phase == HttpRequestParser::Phase::kComplete || phase == HttpRequestParser::Phase::kRefused) break;
    if (taken == 0 && size > 0) ADD_FAILURE() << "the parser stalled at byte " << used;
  }
  return used;
}

// "<status> <reason>" of the refusal of `request`, or "accepted".
std::string refusalOf(const std::string& request) {
  HttpRequestParser parser(smallLimits());
  feedInPieces(parser, request);
  if (parser.phase() != HttpRequestParser::Phase::kRefused) return "accepted";
  return std::to_string(parser.refusalStatus()) + " " + parser.refusalReason();
}

std::string statusOf(const std::string& request) { return refusalOf(request).substr(0, 3); }

TEST(HttpRequestParser, RefusesEachFramingFaultWithItsStatus) {
  const std::string get = "GET / HTTP/1.1\r\n";
  const struct {
    std::string request;
    std::string status;
  } cases[] = {
      {"GET /" + std::string(70, 'a') + " HTTP/1.1\r\n", "414"},
      {"GET /" + std::string(200, 'a'), "414"},  // refused before the line ends
      {get + "A: " + std::string(300, 'x'), "431"},
      {get + "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nE: 5\r\n\r\n", "431"},
      {"POST / HTTP/1.1\r\nContent-Length: 17\r\n\r\n", "413"},  // before any body byte
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n8\r\n12345678\r\n9\r\n", "413"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(20, '0'), "400"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n" + std::string(300, 'T'), "431"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nA: 1\r\nB: 1\r\nC: 1\r\nD: 1\r\nE: 1\r\n", "431"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n12345\r\n", "400"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nx\r\n", "400"},
      {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "400"},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "400"},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", "400"},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", "400"},
      {"POST / HTTP/1.1\r\nContent-Length: 3, 4\r\n\r\n", "400"},
      {"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", "400"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", "501"},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n", "501"},
      {"POST / HTTP/1.1\r\n\r\n", "411"},
      {"PUT / HTTP/1.1\r\n\r\n", "411"},
      {get + "A: 1\r\n  continued\r\n\r\n", "400"},
      {get + "A 1\r\n\r\n", "400"},
      {get + "A : 1\r\n\r\n", "400"},
      {get + "A: 1\r2\r\n\r\n", "400"},
      {get + "A: \x01\r\n\r\n", "400"},
      {"GET / HTTP/2.0\r\n\r\n", "505"},
      {"GET / HTTP/1.2\r\n\r\n", "505"},
      {"GET /\r\n\r\n", "400"},
      {"GET  / HTTP/1.1\r\n\r\n", "400"},
      {"GET / HTTP/1.1 \r\n\r\n", "400"},
      {"GET /a b HTTP/1.1\r\n\r\n", "400"},
      {"G(T / HTTP/1.1\r\n\r\n", "400"},
      {"GET relative HTTP/1.1\r\n\r\n", "400"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status, statusOf(c.request)) << c.request;
  EXPECT_EQ("413 request body too large: the limit is 16 bytes",
            refusalOf("POST / HTTP/1.1\r\nContent-Length: 17\r\n\r\n"));
}

TEST(HttpRequestParser, ChunkedBodyIsTheSameWhateverTheFeedSplits) {
  const std::string request =
      "POST /run%20it?a=1&b=x%2By+z&flag HTTP/1.1\n"  // bare LF lines are accepted too
      "Host: h\r\nTransfer-Encoding: Chunked\r\n\r\n"
      "5;name=value\r\nhello\r\n1\r\n \r\n5\r\nworld\r\n0\r\nTrailer: t\r\n\r\n"
      "GET /next HTTP/1.1\r\n\r\n";
  for (const size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
    HttpRequestParser parser(smallLimits());
    const size_t used = feedInPieces(parser, request, piece);
    ASSERT_EQ(HttpRequestParser::Phase::kComplete, parser.phase()) << parser.refusalReason();
    EXPECT_EQ(request.find("GET /next"), used) << "piece " << piece;
    const HttpRequest& r = parser.request();
    EXPECT_EQ("hello world", r.body);
    EXPECT_EQ("/run it", r.path);
    EXPECT_EQ("a=1&b=x%2By+z&flag", r.query);
    ASSERT_NE(r.param("b"), nullptr);
    EXPECT_EQ("x+y z", *r.param("b"));
    ASSERT_NE(r.param("flag"), nullptr);
    EXPECT_EQ("", *r.param("flag"));
    ASSERT_NE(r.header("HOST"), nullptr);
    EXPECT_EQ("h", *r.header("HOST"));
  }
}

TEST(HttpRequestParser, PipelinedRequestsAreParsedOneAfterAnother) {
  const std::string first = "POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
  // A stray CRLF between requests is allowed; a proxy may send an absolute URL.
  const std::string second = "\r\nGET http://host:80/b?x=%41 HTTP/1.0\r\n\r\n";
  const std::string both = first + second;
  HttpRequestParser parser(smallLimits());
  EXPECT_EQ(first.size(), feedInPieces(parser, both));
  EXPECT_EQ("abc", parser.takeRequest().body);
  parser.reset();
  EXPECT_EQ(second.size(), feedInPieces(parser, second));
  ASSERT_EQ(HttpRequestParser::Phase::kComplete, parser.phase());
  EXPECT_EQ("/b", parser.request().path);
  EXPECT_EQ("A", *parser.request().param("x"));
  EXPECT_EQ(0, parser.request().minorVersion);
}

TEST(HttpRequestParser, StopsAfterTheHeadSoThatContinueCanBeSentFirst) {
  const std::string head = "PUT /a HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 4\r\n\r\n";
  HttpRequestParser parser(smallLimits());
  EXPECT_EQ(head.size(), parser.feed(head + "body"));
  EXPECT_EQ(HttpRequestParser::Phase::kBody, parser.phase());
  EXPECT_TRUE(parser.expectsContinue());
  EXPECT_EQ(4u, parser.bodyBytesAnnounced());

  const auto expects = [](const std::string& request) {
    HttpRequestParser p(smallLimits());
    feedInPieces(p, request);
    return p.expectsContinue();
  };
  EXPECT_FALSE(expects("PUT /a HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n"));
  EXPECT_FALSE(expects("PUT /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 0\r\n\r\n"));
  // Over the limit: the refusal, never a 100 Continue.
  EXPECT_FALSE(expects("PUT /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 99\r\n\r\n"));
}

// Body bytes received straight into the request, as the server reads a body, in pieces of up to `most`
// bytes of which the receive writes only `wrote`: the request, and the bytes counted, are what feed()
// would have made of the same bytes.
TEST(HttpRequestParser, BodyReceivedInPlaceIsTheBodyFedThrough) {
  const std::string head = "POST /a HTTP/1.1\r\nContent-Length: 11\r\n\r\n";
  const std::string body = "hello world";
  for (const auto& [most, wrote] : {std::pair<size_t, size_t>{64, 64}, {4, 4}, {4, 1}, {3, 0}}) {
    HttpRequestParser parser(smallLimits());
    ASSERT_EQ(head.size(), parser.feed(head));
    size_t room = 0;
    size_t at = 0;
    bool empty = wrote == 0;  // one receive that gets nothing first: it gives its room back
    while (parser.phase() == HttpRequestParser::Phase::kBody) {
      char* into = parser.bodyRoom(most, room);
      ASSERT_NE(into, nullptr);
      ASSERT_EQ(std::min(most, body.size() - at), room);
      const size_t n = std::exchange(empty, false) ? 0 : std::min(std::max<size_t>(wrote, 1), room);
      body.copy(into, n, at);
      parser.commitBody(n);
      at += n;
      ASSERT_EQ(at, parser.request().body.size());
    }
    ASSERT_EQ(HttpRequestParser::Phase::kComplete, parser.phase());
    EXPECT_EQ(body, parser.request().body);
    EXPECT_EQ(head.size() + body.size(), parser.bytesConsumed());
    EXPECT_EQ(nullptr, parser.bodyRoom(64, room));
    EXPECT_EQ(0u, room);
  }
}

// In a chunked body the room ends with the chunk: the chunk's end and the next size line go through
// feed(), and there is no room while the parser reads them.
TEST(HttpRequestParser, BodyRoomEndsWithTheChunk) {
  HttpRequestParser parser(smallLimits());
  const std::string head = "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  ASSERT_EQ(head.size(), parser.feed(head));
  ASSERT_EQ(3u, parser.feed("5\r\n"));
  size_t room = 0;
  char* into = parser.bodyRoom(64, room);
  ASSERT_NE(into, nullptr);
  ASSERT_EQ(5u, room);
  std::string("hello").copy(into, 5);
  parser.commitBody(5);
  EXPECT_EQ(nullptr, parser.bodyRoom(64, room));
  parser.commitBody(0);
  const std::string rest = "\r\n6\r\n world\r\n0\r\n\r\n";
  EXPECT_EQ(rest.size(), feedInPieces(parser, rest));
  ASSERT_EQ(HttpRequestParser::Phase::kComplete, parser.phase()) << parser.refusalReason();
  EXPECT_EQ("hello world", parser.request().body);
}

}  // namespace
}  // namespace server
}  // namespace ks
