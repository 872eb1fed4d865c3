// The server as hostile and ordinary peers see it: real loopback sockets, raw bytes as an attacker sends them,
// and Debian's cpp-httplib client as the library's own peer.
#include "ks_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <rapidjson/document.h>

#include "ks_unique_fd.h"
#include "support/raw_connection.h"

namespace ks {
namespace server {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A loopback connection that sends raw bytes and reads raw replies.
using ks::testing::bodyOf;
using ks::testing::statusOf;
using RawClient = ks::testing::RawConnection;

// The server under test with a few routes, and the records of its request log.
class TestServer {
 public:
  explicit TestServer(HttpServerOptions options) : server_(std::move(options)) {
    // GET echoes the query, POST the body.
    server_.route("/echo", [](HttpRequest& request, HttpResponse& response) {
      response.contentType = "text/plain";
      response.body = request.method == "GET" ? request.query : request.body;
    });
    server_.route("/throw", [](HttpRequest&, HttpResponse&) { throw std::runtime_error("handler fault"); });
    server_.route(
        "/slow",
        [](HttpRequest& request, HttpResponse& response) {
          std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(*request.param("ms"))));
          response.body = R"({"answer":42})";
        },
        RouteBody::kJson);
    server_.setRequestLog([this](const HttpRequestRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
      recorded_.notify_all();
    });
  }

  HttpServer& server() { return server_; }
  int start() { return port_ = server_.start(); }
  int port() const { return port_; }

  // The first record with `status`, waiting for it up to 5 s (the log follows the reply's last write).
  HttpRequestRecord recordWithStatus(int status) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto match = [&] {
      return std::find_if(records_.begin(), records_.end(), [&](const auto& r) { return r.status == status; });
    };
    recorded_.wait_for(lock, 5s, [&] { return match() != records_.end(); });
    return match() != records_.end() ? *match() : HttpRequestRecord{};
  }

  std::vector<HttpRequestRecord> records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable recorded_;
  std::vector<HttpRequestRecord> records_;
  HttpServer server_;  // last: stopped before the records go
  int port_ = 0;
};

HttpServerOptions testOptions() {
  HttpServerOptions options;
  options.workers = 2;
  options.limits.maxBodyBytes = size_t{1} << 20;
  options.stopGrace = 1s;
  options.keepAliveInterval = 100ms;
  return options;
}

TEST(HttpServer, StopWithTricklingClientsOpenReturnsAtOnce) {
  HttpServerOptions options = testOptions();
  options.stopGrace = 2s;
  TestServer s(options);
  s.start();
  std::vector<std::unique_ptr<RawClient>> tricklers;
  for (int i = 0; i < 200; ++i) {
    tricklers.push_back(std::make_unique<RawClient>(s.port()));
    tricklers.back()->send("GET /echo HTTP/1.1\r\nHo");
  }
  for (const auto end = Clock::now() + 5s; s.server().openConnections() < 200 && Clock::now() < end;) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(200u, s.server().openConnections());
  const auto start = Clock::now();
  s.server().stop();
  // Nothing reached a handler, so nothing may hold stop() back, let alone for the grace period.
  EXPECT_LT(millisecondsSince(start), 500.0);
  EXPECT_TRUE(tricklers.front()->closedByServer(1s));
}

TEST(HttpServer, ConnectionsPastTheCapAreClosedAtOnce) {
  HttpServerOptions options = testOptions();
  options.maxConnections = 2;
  TestServer s(options);
  RawClient first(s.start());
  RawClient second(s.port());
  RawClient third(s.port());
  EXPECT_TRUE(third.closedByServer(1s));
  first.send("GET /echo?first HTTP/1.1\r\n\r\n");
  EXPECT_EQ("first", bodyOf(first.readReply()));
}

TEST(HttpServer, ClientThatStopsReadingIsDroppedAfterTheWriteStallTimeout) {
  HttpServerOptions options = testOptions();
  options.writeStallTimeout = 300ms;
  options.limits.maxBodyBytes = size_t{64} << 20;  // a reply far larger than the socket buffers
  TestServer s(options);
  RawClient client(s.start());
  const std::string body(options.limits.maxBodyBytes, 'r');
  client.send("POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  const auto start = Clock::now();
  while (s.server().openConnections() > 0 && millisecondsSince(start) < 5000) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(0u, s.server().openConnections());
  EXPECT_EQ(0, s.records().at(0).status);  // the reply was not written whole
}

TEST(HttpServer, SlowJsonReplyIsStreamedAsSpacesThenTheBodyToADefaultClient) {
  TestServer s(testOptions());
  httplib::Client client("127.0.0.1", s.start());
  const auto result = client.Get("/slow?ms=1000");
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(200, result->status);
  const size_t spaces = result->body.find_first_not_of(' ');
  EXPECT_GE(spaces, 5u);  // one every 100 ms from 100 ms on
  rapidjson::Document json;
  json.Parse(result->body.c_str());
  ASSERT_FALSE(json.HasParseError()) << result->body;
  EXPECT_EQ(42, json["answer"].GetInt());
  EXPECT_TRUE(s.recordWithStatus(200).streamed);
}

TEST(HttpServer, StreamedSpacesKeepAClientWithAShortReadTimeoutWaiting) {
  TestServer s(testOptions());
  httplib::Client client("127.0.0.1", s.start());
  client.set_read_timeout(0, 400'000);  // as the 5 s default against a 12 s inference, scaled down
  const auto result = client.Get("/slow?ms=1500");
  ASSERT_TRUE(result) << httplib::to_string(result.error());
  EXPECT_EQ(R"({"answer":42})", result->body.substr(result->body.find_first_not_of(' ')));
}

TEST(HttpServer, SlowJsonReplyToHttp10EndsWithTheConnection) {
  TestServer s(testOptions());
  RawClient client(s.start());
  client.send("GET /slow?ms=500 HTTP/1.0\r\n\r\n");
  const std::string reply = client.readToEnd();
  EXPECT_EQ("200", statusOf(reply));
  EXPECT_EQ(std::string::npos, reply.find("Transfer-Encoding")) << reply;
  const std::string body = bodyOf(reply);
  EXPECT_GE(body.find_first_not_of(' '), 2u) << body;
  EXPECT_EQ(R"({"answer":42})", body.substr(body.find_first_not_of(' ')));
}

TEST(HttpServer, KeepAliveRequestsTakeWellUnderTheDelayedAckTime) {
  TestServer s(testOptions());
  httplib::Client client("127.0.0.1", s.start());
  client.set_keep_alive(true);
  std::vector<double> times;
  for (int i = 0; i < 200; ++i) {
    const auto start = Clock::now();
    const auto result = client.Get("/echo?small");
    times.push_back(millisecondsSince(start));
    ASSERT_TRUE(result);
  }
  std::nth_element(times.begin(), times.begin() + 100, times.end());
  EXPECT_LT(times[100], 5.0);  // Nagle against a delayed ACK costs about 40 ms
  std::set<std::string> connections;
  for (const auto& record : s.records()) connections.insert(record.clientAddress);
  EXPECT_EQ(1u, connections.size());
}

TEST(HttpServer, PipelinedRequestsAreAnsweredInOrder) {
  TestServer s(testOptions());
  RawClient client(s.start());
  client.send(
      "POST /echo HTTP/1.1\r\nContent-Length: 1\r\n\r\naGET /echo?b HTTP/1.1\r\n\r\nGET /none HTTP/1.1\r\n\r\n"
      "GET /echo?d HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ("a", bodyOf(client.readReply()));
  EXPECT_EQ("b", bodyOf(client.readReply()));
  EXPECT_EQ("404", statusOf(client.readReply()));
  EXPECT_EQ("d", bodyOf(client.readReply()));
  EXPECT_TRUE(client.closedByServer());
}

// The loop reads nothing of a connection whose request is with the workers, so a client that left while its
// request waited for a free worker is seen by the worker, which must not start it.
TEST(HttpServer, QueuedRequestWhoseClientLeftIsNotHandled) {
  HttpServerOptions options = testOptions();
  options.workers = 1;
  std::mutex mutex;
  std::condition_variable changed;
  bool release = false;
  std::atomic<int> handled{0};
  TestServer s(options);
  s.server().route("/hold", [&](HttpRequest&, HttpResponse&) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, 10s, [&] { return release; });
  });
  s.server().route("/count", [&](HttpRequest&, HttpResponse&) { ++handled; });
  // Polls for up to 5 s until `figure` of the server reads 1.
  const auto awaitOne = [&](size_t (HttpServer::*figure)() const) {
    for (const auto end = Clock::now() + 5s; (s.server().*figure)() != 1 && Clock::now() < end;) {
      std::this_thread::sleep_for(5ms);
    }
    return (s.server().*figure)();
  };
  RawClient holder(s.start());
  holder.send("GET /hold HTTP/1.1\r\n\r\n");
  ASSERT_EQ(1u, awaitOne(&HttpServer::requestsRunning));
  {
    RawClient gone(s.port());
    gone.send("GET /count HTTP/1.1\r\n\r\n");
    ASSERT_EQ(1u, awaitOne(&HttpServer::requestsQueued));
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  changed.notify_all();
  EXPECT_EQ("200", statusOf(holder.readReply()));
  const HttpRequestRecord dropped = s.recordWithStatus(0);
  EXPECT_EQ("/count", dropped.path);
  EXPECT_TRUE(dropped.clientGone);
  EXPECT_EQ(0, handled.load());
}

// A deferred route answers later, from any thread, and leaves the loop free meanwhile: requests to it are
// answered in the order their work ends, not the order they came; one whose client hangs up is abandoned
// at once, and only that one.
TEST(HttpServer, DeferredRepliesComeWhenTheirWorkEndsAndAHangUpAbandonsOnlyItsOwn) {
  std::mutex mutex;
  std::map<std::string, HttpReply> waiting;
  std::vector<std::string> abandoned;
  TestServer s(testOptions());
  s.server().routeDeferred("/later", [&](HttpRequest& request, HttpReply reply) {
    const std::string name = *request.param("name");
    reply.onAbandoned([&, name] {
      std::lock_guard<std::mutex> lock(mutex);
      abandoned.push_back(name);
    });
    std::lock_guard<std::mutex> lock(mutex);
    waiting.emplace(name, std::move(reply));
  });
  const auto answer = [&](const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    waiting.at(name).send(HttpResponse{200, "text/plain", name, "", false});
  };
  const auto awaitWaiting = [&](size_t count) {
    for (const auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(2ms)) {
      std::lock_guard<std::mutex> lock(mutex);
      if (waiting.size() == count) return true;
    }
    return false;
  };
  RawClient first(s.start());
  first.send("GET /later?name=first HTTP/1.1\r\n\r\n");
  RawClient second(s.port());
  second.send("GET /later?name=second HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(awaitWaiting(2));
  {
    RawClient gone(s.port());
    gone.send("GET /later?name=gone HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(awaitWaiting(3));
  }
  // The loop is not held by the three waiting: an ordinary request goes through.
  RawClient other(s.port());
  other.send("GET /echo?x HTTP/1.1\r\n\r\n");
  EXPECT_EQ("x", bodyOf(other.readReply()));
  std::thread([&] { answer("second"); }).join();
  EXPECT_EQ("second", bodyOf(second.readReply()));
  answer("first");
  EXPECT_EQ("first", bodyOf(first.readReply()));
  EXPECT_TRUE(s.recordWithStatus(0).clientGone);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(std::vector<std::string>{"gone"}, abandoned);
  EXPECT_EQ(1u, s.server().requestsDeferred());  // "gone", never answered
}

TEST(HttpServer, ThrowingHandlerGets500AndTheServerGoesOn) {
  TestServer s(testOptions());
  httplib::Client client("127.0.0.1", s.start());
  const auto failed = client.Get("/throw");
  ASSERT_TRUE(failed);
  EXPECT_EQ(500, failed->status);
  EXPECT_EQ("internal error\n", failed->body);
  const auto next = client.Get("/echo?after");
  ASSERT_TRUE(next);
  EXPECT_EQ("after", next->body);
}

TEST(HttpServer, ContinueIsSentOnlyWhenTheBodyBudgetAllowsTheBody) {
  HttpServerOptions options = testOptions();
  options.bodyBudgetBytes = options.limits.maxBodyBytes * 3 / 2;
  TestServer s(options);
  s.start();
  const std::string body(options.limits.maxBodyBytes, 'b');
  const std::string head =
      "POST /echo HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  RawClient first(s.port());
  first.send(head);
  EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", first.readReply());
  RawClient second(s.port());
  second.send(head);
  EXPECT_EQ("503", statusOf(second.readReply()));  // both bodies together would pass the budget
  first.send(body);
  EXPECT_EQ(body.size(), bodyOf(first.readReply()).size());
}

TEST(HttpServer, HandlerRunningAtStopGetsTheOverrunCallAfterTheGrace) {
  HttpServerOptions options = testOptions();
  options.stopGrace = 300ms;
  std::mutex mutex;
  std::condition_variable released;
  bool aborted = false;
  Clock::time_point abortedAt;
  HttpServer server(options);
  server.route("/hang", [&](HttpRequest&, HttpResponse&) {
    std::unique_lock<std::mutex> lock(mutex);
    released.wait_for(lock, 10s, [&] { return aborted; });
  });
  server.setStopOverrun([&] {
    std::lock_guard<std::mutex> lock(mutex);
    aborted = true;
    abortedAt = Clock::now();
    released.notify_all();
  });
  RawClient client(server.start());
  client.send("GET /hang HTTP/1.1\r\n\r\n");
  for (const auto end = Clock::now() + 5s; server.requestsRunning() == 0 && Clock::now() < end;) {
    std::this_thread::sleep_for(5ms);
  }
  const auto start = Clock::now();
  server.stop();
  const double stopped = millisecondsSince(start);
  ASSERT_TRUE(aborted);
  EXPECT_GE((std::chrono::duration<double, std::milli>(abortedAt - start).count()), 300.0);
  EXPECT_LT(stopped, 300.0 + 500.0);
}

}  // namespace
}  // namespace server
}  // namespace ks
