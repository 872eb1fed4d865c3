// redis-server for a test: Debian's, in a scratch folder, listening on a Unix socket only, nothing saved;
// killed with the test.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

namespace ks {
namespace testing {

class RedisProcess {
 public:
  explicit RedisProcess(std::filesystem::path folder) : folder_(std::move(folder)) { start(); }
  ~RedisProcess() { stop(); }
  RedisProcess(const RedisProcess&) = delete;
  RedisProcess& operator=(const RedisProcess&) = delete;

  void start() {
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string socket = this->socket();
      const std::string log = (folder_ / "redis.log").string();
      ::execlp("redis-server", "redis-server", "--port", "0", "--unixsocket", socket.c_str(), "--save", "",
               "--appendonly", "no", "--logfile", log.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int tries = 0; tries < 200 && !answers(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(answers()) << "redis-server did not start";
  }
  // Killed at once, its data with it.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    std::filesystem::remove(socket());
  }
  // Stopped and resumed: a store that is there but does not answer.
  void pause() { ::kill(pid_, SIGSTOP); }
  void resume() { ::kill(pid_, SIGCONT); }

  std::string socket() const { return (folder_ / "redis.sock").string(); }
  std::string address() const { return "unix:" + socket(); }

 private:
  bool answers() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket().copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
  }

  std::filesystem::path folder_;
  pid_t pid_ = -1;
};

}  // namespace testing
}  // namespace ks
