#include "ks_run_scheduler.h"

#include <utility>

#include "ks_engine_error.h"
#include "ks_held_memory.h"

namespace ks {
namespace server {
namespace {

using Reply = WorkerProcess::Lease::Reply;

// How long the loop waits awake for a reply when the network's last run took no longer: a small
// network's reply comes within the time a sleeping thread takes to wake (tens of microseconds on a
// virtual machine, where the worker's own wake costs as much), and under load the loop has other events
// long before.
constexpr std::chrono::microseconds kSpinFor{200};
// A network whose runs take every channel of its worker, more waiting, and last past kLongRun holds
// processors for long: its worker's threads get the lowest priority (kLongRunNice) until its queue
// empties, so that the short runs of other networks do not wait for a processor behind it. The pace of
// those is then what the long runs leave them, which is nearly all; a network running alone, or not
// filling its worker, keeps the processors as any program does.
constexpr std::chrono::milliseconds kLongRun{100};
constexpr int kLongRunNice = 19;

std::exception_ptr interruption(const std::string& reason) {
  return std::make_exception_ptr(EngineError(EngineError::Kind::kInterrupted, reason));
}

}  // namespace

struct RunScheduler::Entry {
  enum class State {
    kWaiting,    // in its network's queue
    kPlacing,    // on a channel, its inputs being placed (maybe on the pool)
    kRunning,    // sent to the worker
    kEnding,     // its worker closed the channel; waiting to hear how the process ended
    kAlone,      // being run again alone, on a thread of its own
    kAnswering,  // done; its outputs being encoded (maybe on the pool)
  };

  Ticket ticket = 0;
  std::shared_ptr<const InferenceEngine> engine;
  std::string owner;
  Network* network = nullptr;
  std::unique_ptr<RunJob> job;
  std::optional<InferenceEngine::Run> run;
  RunMessage request;
  uint32_t repetitions = 1;
  State state = State::kWaiting;
  EventLoop::TimerId limitTimer = 0;
  EventLoop::TimerId graceTimer = 0;
  int watched = -1;  // the channel's descriptor while the loop watches it
  bool interrupted = false;
  std::string reason;
  std::shared_ptr<RunControl> alone;         // stops it while it runs alone
  EventLoop::Clock::time_point roomUntil{};  // the end of its wait for room in the memory budget
  EventLoop::Clock::time_point sent{};       // when its run went to the worker
  EventLoop::TimerId longTimer = 0;          // kLongRun after it went, unless its worker gives way already
  EventLoop::TimerId roomTimer = 0;
};

struct RunScheduler::Network {
  Network(std::shared_ptr<const HostedNetwork> network, size_t limit, size_t ownerLimit)
      : hosted(std::move(network)), waiting(limit, ownerLimit) {}
  std::shared_ptr<const HostedNetwork> hosted;
  FairQueue<Ticket> waiting;
  size_t out = 0;                        // runs holding a channel
  bool starting = false;                 // a worker process is being started for it
  bool pumping = false;                  // pump() is under way (a run that fails at once comes back into it)
  bool again = false;                    // pump() was asked for meanwhile
  std::chrono::microseconds lastRun{0};  // from a run's message to its reply, the last time
};

RunScheduler::RunScheduler(EventLoop& loop, TaskPool& pool, RunSchedulerOptions options)
    : loop_(loop), pool_(pool), options_(options), self_(std::make_shared<RunScheduler*>(this)) {}

RunScheduler::~RunScheduler() {
  self_.reset();  // what the threads still post finds no one
  for (auto& [ticket, entry] : entries_) {
    if (entry->alone) entry->alone->interrupt("the server is stopping");
  }
  for (const auto& [fd, channel] : channels_) loop_.unwatchKey(fd, channel.key);
  std::list<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.splice(threads.end(), threads_);
    threads.splice(threads.end(), ended_);
  }
  for (std::thread& thread : threads) thread.join();
  // A run a pool thread is placing or answering keeps its entry until it is done.
  entries_.clear();
}

void RunScheduler::post(std::function<void()> task) {
  std::weak_ptr<RunScheduler*> self = self_;
  loop_.post([self, task = std::move(task)] {
    if (self.lock()) task();
  });
}

void RunScheduler::detach(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Threads that ended are joined here, off the loop's way: by now they have returned or are about to.
  for (std::thread& thread : ended_) thread.join();
  ended_.clear();
  threads_.emplace_front();
  const auto self = threads_.begin();
  *self = std::thread([this, self, work = std::move(work)] {
    work();
    std::lock_guard<std::mutex> lock(mutex_);
    // The destructor may have taken the list already; then it joins this thread itself.
    for (auto it = threads_.begin(); it != threads_.end(); ++it) {
      if (it == self) {
        ended_.splice(ended_.end(), threads_, it);
        break;
      }
    }
  });
}

RunScheduler::Ticket RunScheduler::submit(std::shared_ptr<const InferenceEngine> engine, const std::string& owner,
                                          std::unique_ptr<RunJob> job, Refused& refused) {
  refused = Refused::kNone;
  const HostedNetwork* hosted = &engine->network();
  auto& slot = networks_[hosted];
  if (!slot) {
    std::shared_ptr<const HostedNetwork> network(engine, &engine->network());  // held through the engine
    slot = std::make_unique<Network>(std::move(network), options_.queueLimit, options_.sessionQueueLimit);
  }
  Network& network = *slot;
  const Ticket ticket = nextTicket_++;
  switch (network.waiting.push(owner, ticket)) {
    case FairQueue<Ticket>::Pushed::kQueued: break;
    case FairQueue<Ticket>::Pushed::kFull: refused = Refused::kNetworkFull; break;
    case FairQueue<Ticket>::Pushed::kOwnerFull: refused = Refused::kSessionFull; break;
  }
  if (refused != Refused::kNone) {
    tidy(network);
    return 0;
  }
  auto entry = std::make_shared<Entry>();
  entry->ticket = ticket;
  entry->engine = std::move(engine);
  entry->owner = owner;
  entry->network = &network;
  entry->job = std::move(job);
  if (options_.timeLimit.count() > 0) {
    const std::string reason =
        "it ran longer than the limit of " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options_.timeLimit).count()) +
        " s an inference may take";
    entry->limitTimer = loop_.at(EventLoop::Clock::now() + options_.timeLimit, [this, ticket, reason] {
      const auto found = entries_.find(ticket);
      if (found != entries_.end()) found->second->limitTimer = 0;
      interrupt(ticket, reason);
    });
  }
  entries_.emplace(ticket, std::move(entry));
  ++count_;
  ++waiting_;
  std::string stopping;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping = stopReason_;
  }
  if (!stopping.empty()) {
    interrupt(ticket, stopping);
  } else {
    pump(network);
  }
  tidy(network);
  return ticket;
}

void RunScheduler::tidy(Network& network) {
  if (network.waiting.empty() && network.out == 0 && !network.starting && !network.pumping) {
    networks_.erase(network.hosted.get());
  }
}

void RunScheduler::pump(Network& network) {
  if (network.pumping) {
    network.again = true;
    return;
  }
  network.pumping = true;
  do {
    network.again = false;
    while (!network.waiting.empty()) {
      if (!network.hosted->workerRunning()) {
        if (!network.starting) startWorker(network);
        break;
      }
      std::optional<HostedNetwork::Lease> lease = network.hosted->tryLease();
      if (!lease) break;  // every channel is out: the next to come back pumps again
      const Ticket ticket = *network.waiting.pop();
      --waiting_;
      Entry& entry = *entries_.at(ticket);
      ++network.out;
      entry.run.emplace(entry.engine->begin(std::move(*lease)));
      entry.run->neverWaitForRoom();
      start(entry);
    }
  } while (network.again);
  network.pumping = false;
  // Its queue is empty: a network that gave way takes its processors back.
  if (network.waiting.empty()) network.hosted->setWorkerNice(0);
}

void RunScheduler::start(Entry& entry) {
  entry.state = Entry::State::kPlacing;
  const Ticket ticket = entry.ticket;
  // Its tensors take at most three quarters of the Base64 that carries them. While the budget has no
  // room for that, the run waits for others to give some back, as an event: retried every few
  // milliseconds until its wait is over, then placed anyway.
  const HeldMemory& memory = entry.engine->network().memory();
  const size_t needed = entry.job->placeBytes() / 4 * 3;
  if (memory.budget() != 0 && memory.held() + needed > memory.budget() && !entry.interrupted) {
    const auto now = EventLoop::Clock::now();
    if (entry.roomUntil == EventLoop::Clock::time_point{}) entry.roomUntil = now + options_.roomWait;
    if (now < entry.roomUntil) {
      entry.roomTimer = loop_.at(now + std::chrono::milliseconds(5), [this, ticket] {
        Entry& waiting = *entries_.at(ticket);
        waiting.roomTimer = 0;
        start(waiting);
      });
      return;
    }
  }
  auto place = [&entry]() -> std::pair<uint32_t, std::exception_ptr> {
    try {
      return {entry.job->place(*entry.run), nullptr};
    } catch (...) {
      return {0, std::current_exception()};
    }
  };
  if (entry.job->placeBytes() <= options_.poolBytes) {
    const auto [repetitions, error] = place();
    return placed(ticket, repetitions, error);
  }
  pool_.post([this, place, ticket, held = entries_.at(ticket), self = std::weak_ptr<RunScheduler*>(self_)] {
    if (!self.lock()) return;
    const auto [repetitions, error] = place();
    post([this, ticket, repetitions = repetitions, error = error] { placed(ticket, repetitions, error); });
  });
}

void RunScheduler::placed(Ticket ticket, uint32_t repetitions, const std::exception_ptr& error) {
  Entry& entry = *entries_.at(ticket);
  if (entry.roomTimer != 0) loop_.cancel(entry.roomTimer);
  entry.roomTimer = 0;
  if (entry.interrupted) return fail(entry, interruption(entry.reason));
  if (error) return fail(entry, error);
  entry.repetitions = repetitions;
  try {
    entry.request = entry.run->prepare(repetitions, RunLimits{options_.inferenceMemoryBytes, nullptr, entry.owner});
  } catch (...) {
    return fail(entry, std::current_exception());
  }
  entry.state = Entry::State::kRunning;
  HostedNetwork::Lease& lease = entry.run->lease();
  if (!lease.send(entry.request)) {
    // The worker is gone: as if it had ended under the run.
    entry.state = Entry::State::kEnding;
    lease.process().whenEnded(
        [this, ticket](const WorkerExit& exit) { post([this, ticket, exit] { onWorkerEnded(ticket, exit); }); });
    return;
  }
  const int fd = lease.channel().descriptor();
  const uint64_t worker = lease.process().serial();
  Channel& channel = channels_[fd];
  if (channel.worker != worker || channel.key == 0) {
    channel.worker = worker;
    channel.key = loop_.watch(fd, EPOLLIN, [this, fd](uint32_t events) { onChannel(fd, events); });
  }
  channel.owner = ticket;
  entry.watched = fd;
  entry.sent = EventLoop::Clock::now();
  if (lease.process().nice() == 0) {
    entry.longTimer = loop_.at(entry.sent + kLongRun, [this, ticket] {
      const auto found = entries_.find(ticket);
      if (found == entries_.end()) return;
      Entry& running = *found->second;
      running.longTimer = 0;
      if (running.state == Entry::State::kRunning && !running.network->waiting.empty()) {
        running.run->lease().process().setNice(kLongRunNice);
      }
    });
  }
  // A small network answers within microseconds: the loop looks for the reply awake for that long.
  if (entry.network->lastRun <= kSpinFor) loop_.spinUntil(entry.sent + kSpinFor);
}

void RunScheduler::onChannel(int fd, uint32_t events) {
  const auto found = channels_.find(fd);
  if (found == channels_.end()) return;
  if (found->second.owner != 0) return onReply(found->second.owner);
  // No run is out on it: its worker has gone (or said something unasked, which only a worker that is
  // going does). It leaves the set, lest a closed socket wake the loop for ever.
  if ((events & (EPOLLHUP | EPOLLERR)) != 0) {
    loop_.unwatchKey(fd, found->second.key);
    channels_.erase(found);
  }
}

void RunScheduler::stopWatching(Entry& entry) {
  if (entry.watched >= 0) {
    const auto found = channels_.find(entry.watched);
    if (found != channels_.end() && found->second.owner == entry.ticket) found->second.owner = 0;
  }
  entry.watched = -1;
  if (entry.graceTimer != 0) loop_.cancel(entry.graceTimer);
  entry.graceTimer = 0;
  if (entry.longTimer != 0) loop_.cancel(entry.longTimer);
  entry.longTimer = 0;
}

void RunScheduler::onReply(Ticket ticket) {
  const auto found = entries_.find(ticket);
  if (found == entries_.end()) return;
  Entry& entry = *found->second;
  RanMessage ran;
  Reply reply;
  try {
    reply = entry.run->lease().poll(entry.request, ran);
  } catch (const EngineError& e) {
    stopWatching(entry);
    if (e.kind() == EngineError::Kind::kInterrupted && entry.interrupted)
      return fail(entry, interruption(entry.reason));
    return fail(entry, std::current_exception());
  } catch (...) {
    stopWatching(entry);
    return fail(entry, std::current_exception());
  }
  if (reply == Reply::kPending) return;
  entry.network->lastRun = std::chrono::duration_cast<std::chrono::microseconds>(EventLoop::Clock::now() - entry.sent);
  if (reply == Reply::kClosed) {
    const auto channel = channels_.find(entry.watched);
    if (channel != channels_.end()) {
      loop_.unwatchKey(entry.watched, channel->second.key);
      channels_.erase(channel);
    }
  }
  stopWatching(entry);
  if (reply == Reply::kReady) return succeed(entry, ran);
  entry.state = Entry::State::kEnding;
  entry.run->lease().process().whenEnded(
      [this, ticket](const WorkerExit& exit) { post([this, ticket, exit] { onWorkerEnded(ticket, exit); }); });
}

void RunScheduler::onWorkerEnded(Ticket ticket, const WorkerExit& exit) {
  const auto found = entries_.find(ticket);
  if (found == entries_.end()) return;
  Entry& entry = *found->second;
  if (entry.interrupted) return fail(entry, interruption(entry.reason));
  // A stop is no one's doing; any other end may be another run's, so this one is tried again by itself.
  if (exit.end == WorkerEnd::kStopped || exit.end == WorkerEnd::kRunning) {
    return fail(entry, std::make_exception_ptr(EngineError(EngineError::Kind::kWorkerLost, describeExit(exit))));
  }
  entry.state = Entry::State::kAlone;
  entry.alone = std::make_shared<RunControl>();
  std::shared_ptr<RunControl> control = entry.alone;
  std::shared_ptr<Entry> running = entries_.at(ticket);
  detach([this, running, ticket, control] {
    RanMessage ran;
    std::exception_ptr error;
    try {
      ran = running->run->lease().runAgainAlone(running->request, control.get(), running->owner);
    } catch (...) {
      error = std::current_exception();
    }
    post([this, ticket, ran = std::move(ran), error] { aloneDone(ticket, ran, error); });
  });
}

void RunScheduler::aloneDone(Ticket ticket, const RanMessage& ran, const std::exception_ptr& error) {
  Entry& entry = *entries_.at(ticket);
  entry.alone.reset();
  if (error) return fail(entry, error);
  succeed(entry, ran);
}

void RunScheduler::succeed(Entry& entry, const RanMessage& ran) {
  entry.state = Entry::State::kAnswering;
  const Ticket ticket = entry.ticket;
  const double milliseconds = entry.run->accept(ran);
  size_t bytes = 0;
  for (const TensorView& output : entry.run->outputs()) bytes += output.layout.byteSize();
  if (bytes <= options_.poolBytes) {
    entry.job->succeeded(*entry.run, milliseconds, entry.repetitions);
    return release(ticket);
  }
  pool_.post([this, answering = entries_.at(ticket), ticket, milliseconds, self = std::weak_ptr<RunScheduler*>(self_)] {
    if (!self.lock()) return;
    answering->job->succeeded(*answering->run, milliseconds, answering->repetitions);
    post([this, ticket] { release(ticket); });
  });
}

void RunScheduler::fail(Entry& entry, std::exception_ptr error) {
  entry.job->failed(std::move(error));
  release(entry.ticket);
}

void RunScheduler::release(Ticket ticket) {
  const auto found = entries_.find(ticket);
  if (found == entries_.end()) return;
  std::shared_ptr<Entry> entry = std::move(found->second);
  entries_.erase(found);
  --count_;
  stopWatching(*entry);
  if (entry->limitTimer != 0) loop_.cancel(entry->limitTimer);
  if (entry->roomTimer != 0) loop_.cancel(entry->roomTimer);
  Network& network = *entry->network;
  const bool held = entry->run.has_value();
  entry->run.reset();  // the channel goes back
  entry.reset();
  if (held) --network.out;
  pump(network);
  tidy(network);
}

void RunScheduler::interrupt(Ticket ticket, const std::string& reason) {
  const auto found = entries_.find(ticket);
  if (found == entries_.end()) return;
  Entry& entry = *found->second;
  if (entry.interrupted || entry.state == Entry::State::kAnswering) return;
  entry.interrupted = true;
  entry.reason = reason;
  switch (entry.state) {
    case Entry::State::kWaiting:
      entry.network->waiting.remove(entry.owner, ticket);
      --waiting_;
      return fail(entry, interruption(reason));
    case Entry::State::kRunning: {
      HostedNetwork::Lease& lease = entry.run->lease();
      lease.channel().interrupt(entry.request);
      entry.graceTimer = loop_.at(EventLoop::Clock::now() + options_.grace, [this, ticket] {
        const auto late = entries_.find(ticket);
        if (late == entries_.end()) return;
        Entry& overdue = *late->second;
        overdue.graceTimer = 0;
        // It did not stop in time: its worker goes, and the runs beside it are run again alone.
        overdue.run->lease().process().kill(WorkerEnd::kTimedOut);
        stopWatching(overdue);
        fail(overdue, interruption(overdue.reason));
      });
      return;
    }
    case Entry::State::kAlone:
      if (entry.alone) entry.alone->interrupt(reason);
      return;
    case Entry::State::kPlacing:
      // Waiting for room: it goes now. Else placed() sees it.
      if (entry.roomTimer != 0) placed(ticket, 0, nullptr);
      return;
    case Entry::State::kEnding:  // onWorkerEnded() sees it
    case Entry::State::kAnswering: return;
  }
}

void RunScheduler::interruptAll(const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopReason_ = reason;
  }
  post([this, reason] {
    std::vector<Ticket> tickets;
    for (const auto& [ticket, entry] : entries_) tickets.push_back(ticket);
    for (const Ticket ticket : tickets) interrupt(ticket, reason);
  });
}

void RunScheduler::startWorker(Network& network) {
  network.starting = true;
  std::shared_ptr<const HostedNetwork> hosted = network.hosted;
  detach([this, hosted] {
    std::exception_ptr error;
    try {
      hosted->startWorker();
    } catch (...) {
      error = std::current_exception();
    }
    post([this, hosted, error] {
      const auto found = networks_.find(hosted.get());
      if (found == networks_.end()) return;
      Network& network = *found->second;
      network.starting = false;
      if (error) {
        failWaiting(network, error);
      } else {
        pump(network);
      }
      tidy(network);
    });
  });
}

void RunScheduler::failWaiting(Network& network, const std::exception_ptr& error) {
  while (std::optional<Ticket> ticket = network.waiting.pop()) {
    --waiting_;
    const auto found = entries_.find(*ticket);
    const std::shared_ptr<Entry> entry = std::move(found->second);
    entries_.erase(found);
    --count_;
    if (entry->limitTimer != 0) loop_.cancel(entry->limitTimer);
    entry->job->failed(error);
  }
}

}  // namespace server
}  // namespace ks
