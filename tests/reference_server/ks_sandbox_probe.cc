// A stand-in for ks_inference_worker that the server starts like the real one: it locks itself down with
// the real sandbox, says hello, and then does to a "network" what its bytes say, so the tests can watch the
// sandbox and the server meet a worker that breaks out:
//   "open"    opens a file               "socket"  makes a socket      "exec"  runs a program
//   "fork"    makes a process            "crash"   dies of SIGSEGV     "abort" calls std::terminate
//   "hang"    never answers              "garbage" answers nonsense
//   "lie"     loads as float [1] -> [1], then answers a run with an output outside its region
//   "shout"   writes a forged request log line and thousands of others to its stdout and stderr, then loads
//   "cut"     cuts its stderr to nothing and rewinds it, then loads
//   anything else: loads, a network of nothing
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "ks_shared_memory.h"
#include "ks_worker_channel.h"
#include "ks_worker_messages.h"
#include "ks_worker_sandbox.h"

using namespace ks::server;

int main() {
  WorkerChannel control{UniqueFd(3)};
  enterNamespaces();
  SandboxLimits limits;
  limits.fileBytes = 1 << 20;
  // The server's sockets, as the worker program counts them: the highest descriptor it was handed.
  for (int fd = 3; fd < 64; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) limits.lastChannelFd = fd;
  }
  lockDown(limits);
  if (!control.send(encode(HelloMessage{"probe"}))) return 0;
  for (;;) {
    std::string message;
    UniqueFd fd;
    if (control.receive(message, &fd) != WorkerChannel::Received::kMessage) return 0;
    if (typeOf(message) != WorkerMessageType::kLoad) continue;
    const SharedMemory bytes = SharedMemory::adoptReadOnly(std::move(fd), 1 << 20);
    const std::string what(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (what == "open") {
      ::open("/etc/hostname", O_RDONLY);
    } else if (what == "socket") {
      ::socket(AF_INET, SOCK_STREAM, 0);
    } else if (what == "exec") {
      char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
      ::execv("/bin/true", argv);
    } else if (what == "fork") {
      ::fork();
    } else if (what == "crash") {
      std::raise(SIGSEGV);
    } else if (what == "abort") {
      std::terminate();
    } else if (what == "hang") {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    } else if (what == "garbage") {
      control.send("not a message");
      continue;
    } else if (what == "shout") {
      const std::string forged =
          "2026-01-01T00:00:00.000Z 10.0.0.1 GET /inference inference session=forged 200 in=1 out=1 0.100ms\n";
      (void)!::write(2, forged.data(), forged.size());
      for (int i = 0; i < 5000; ++i) {
        const std::string line = "line " + std::to_string(i) + (i % 2 == 0 ? "\x1b[2J\n" : "\n");
        (void)!::write(1 + i % 2, line.data(), line.size());
      }
    } else if (what == "cut") {
      (void)!::ftruncate(2, 0);
      (void)!::lseek(2, 0, SEEK_SET);
    } else if (what == "lie") {
      LoadedMessage loaded;
      loaded.inputs.push_back(ValueDescription{"x", 0, "float32", {1}});
      loaded.outputs.push_back(ValueDescription{"y", 0, "float32", {1}});
      control.send(encode(loaded));
      const WorkerChannel channel{UniqueFd(4)};
      UniqueFd region;
      if (channel.receive(message, &region) != WorkerChannel::Received::kMessage) return 0;
      RunMessage run;
      decode(message, run);
      RanMessage ran;
      ran.sequence = run.sequence;
      ran.outputs.push_back(PlacedTensor{0, 0, {1}, uint64_t{1} << 40, 4});
      channel.send(encode(ran));
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    LoadedMessage loaded;
    control.send(encode(loaded));
  }
}
