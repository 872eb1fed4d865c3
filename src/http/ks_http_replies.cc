#include <sys/socket.h>

#include <utility>

#include "ks_http_loop.h"
#include "ks_http_text.h"

namespace ks {
namespace server {
namespace {

// After a reply that ends the connection, the client's unread bytes are drained for this long so that
// closing does not send a reset that could destroy the reply in flight.
constexpr auto kLinger = std::chrono::seconds(2);

}  // namespace

void HttpServer::Impl::runJob(HttpJob& job) {
  // The loop does not read a connection while its request is with the workers, so a client that closed
  // while the request waited in the queue is only seen here, before the work starts. A job without the
  // duplicate (a 100 Continue was still going out) is not looked at: it runs.
  job.clientGone = job.socket && peerClosed(job.socket.get());
  if (!job.clientGone) {
    try {
      (*job.handler)(job.request, job.response);
    } catch (...) {
      job.response = HttpResponse{500, refusalContentType, refusalText(500, "internal error"), "", false};
    }
  }
  job.request = HttpRequest{};  // the body goes now, on this thread
  int unclaimed = kUnclaimed;
  if (!job.clientGone && job.socket && job.claim->compare_exchange_strong(unclaimed, kWorkerWrites)) {
    const bool keepAlive = job.keepAlive && !job.response.closeConnection;
    job.wire = statusLine(job.response.status);
    if (!appendReplyHead(job.wire, job.response, keepAlive, job.http10) || job.headOnly) {
      job.response.body = std::string();
    }
    job.sent = writeNow(job.socket.get(), job.wire, job.response.body);
    job.direct = true;
  }
  job.socket.reset();
}

void HttpServer::Impl::takeFinished() {
  std::vector<std::unique_ptr<HttpJob>> done = workers.takeFinished();
  for (auto& job : done) {
    --jobsOut;
    budgetUsed -= job->budget;
    const auto found = connections.find(job->connection);
    if (found == connections.end() || found->second->dead) continue;  // the client went away
    HttpConnection& c = *found->second;
    c.claim.reset();
    if (job->clientGone) {
      c.record.clientGone = true;
      fail(c);
      continue;
    }
    if (job->direct) {
      c.replyStatus = job->response.status;
      c.record.note = std::move(job->response.logNote);
      if (job->response.closeConnection) c.keepAlive = false;
      if (stopping) c.keepAlive = false;
      c.phase = Phase::kWriting;
      c.record.bytesOut += job->sent;
      const std::string& head = job->wire;
      std::string& body = job->response.body;
      if (job->sent < head.size() + body.size()) {
        // The rest goes as any reply's does, from where the socket stopped taking it.
        if (job->sent < head.size()) {
          send(c, head.substr(job->sent));
          send(c, std::move(body));
          c.outOffset = 0;
        } else {
          const size_t into = job->sent - head.size();
          send(c, std::move(body));
          c.outOffset = into;
        }
        flush(c);
      } else {
        replyWritten(c);
      }
      continue;
    }
    if (stopping) c.keepAlive = false;
    reply(c, job->response);
  }
}

void HttpServer::Impl::reply(HttpConnection& c, HttpResponse& response) {
  c.replyStatus = response.status;
  c.record.note = std::move(response.logNote);
  if (response.closeConnection) c.keepAlive = false;
  c.phase = Phase::kWriting;
  if (c.streaming) {  // the head and the spaces are out: the body follows as the last chunk
    if (c.http10) {
      send(c, std::move(response.body));  // HTTP/1.0: the body ends with the connection
    } else {
      if (!response.body.empty()) {
        send(c, chunkSizeLine(response.body.size()));
        send(c, std::move(response.body));
        send(c, "\r\n");
      }
      send(c, "0\r\n\r\n");
    }
    return flush(c);
  }
  std::string head = statusLine(response.status);
  const bool hasBody = appendReplyHead(head, response, c.keepAlive, c.http10);
  send(c, std::move(head));
  if (hasBody && !c.headOnly) send(c, std::move(response.body));
  flush(c);
}

// A refusal ends the connection: after a framing error, or a request cut short, nothing that follows
// can be trusted to start a request.
void HttpServer::Impl::refuse(HttpConnection& c, int status, const std::string& why) {
  noteRequest(c);
  budgetUsed -= c.budget;
  c.budget = 0;
  c.http10 = c.parser.request().minorVersion == 0;
  c.keepAlive = false;
  c.headOnly = false;
  c.pending.clear();
  HttpResponse response{status, refusalContentType, refusalText(status, why), "", true};
  reply(c, response);
}

// A JSON route's reply is late: start it, or keep it alive with one more space.
void HttpServer::Impl::tick(HttpConnection& c) {
  const bool http10 = c.http10;
  int unclaimed = kUnclaimed;
  if (!c.streaming && c.claim && !c.claim->compare_exchange_strong(unclaimed, kLoopStreams)) {
    return;  // the worker is writing the reply itself
  }
  if (!c.streaming) {
    c.streaming = c.record.streamed = true;
    std::string head = statusLine(200) + "Content-Type: application/json\r\n";
    if (http10) {
      c.keepAlive = false;
    } else {
      head += "Transfer-Encoding: chunked\r\n";
    }
    if (!c.keepAlive) head += "Connection: close\r\n";
    send(c, head + "\r\n");
  } else if (!c.out.empty()) {
    c.nextTick = Clock::now() + options.keepAliveInterval;
    return;  // the client is not reading: no point piling up spaces
  }
  send(c, http10 ? " " : "1\r\n \r\n");
  c.nextTick = Clock::now() + options.keepAliveInterval;
  flush(c);
}

void HttpServer::Impl::send(HttpConnection& c, std::string bytes) {
  if (bytes.empty()) return;
  if (c.out.empty()) c.lastProgress = Clock::now();
  c.out.push_back(std::move(bytes));
}

void HttpServer::Impl::flush(HttpConnection& c) {
  if (!c.writeQueued()) return fail(c);
  if (c.out.empty() && c.phase == Phase::kWriting) return replyWritten(c);
  watch(c);
  setDeadline(c);
}

void HttpServer::Impl::replyWritten(HttpConnection& c) {
  log(c, c.replyStatus);
  if (!c.keepAlive || stopping) {
    if (stopping) return retire(c);
    ::shutdown(c.fd.get(), SHUT_WR);
    c.phase = Phase::kLingering;
    c.lingerUntil = Clock::now() + kLinger;
  } else {
    c.parser.reset();
    c.phase = Phase::kIdle;
    c.inputHeld = false;
    c.idleSince = Clock::now();
    if (!c.pending.empty()) resumable.push_back(c.id);
  }
  watch(c);
  setDeadline(c);
}

void HttpServer::Impl::log(HttpConnection& c, int status) {
  if (c.logged) return;
  c.logged = true;
  if (!requestLog) return;
  c.record.status = status;
  c.record.duration = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - c.requestStart);
  try {
    requestLog(c.record);
  } catch (...) {  // the owner's log failing must not take the loop down
  }
}

}  // namespace server
}  // namespace ks
