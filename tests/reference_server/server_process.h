// The server program itself, started as a child process on a free loopback port, so tests can attack it as
// a client would and read its own memory figures from /proc.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ks {
namespace server {
namespace testing {

class ServerProcess {
 public:
  // Starts KS_SERVER_PROGRAM with --host 127.0.0.1 --port 0 and `options`, and waits for its port.
  explicit ServerProcess(const std::vector<std::string>& options) {
    std::vector<std::string> args = {KS_SERVER_PROGRAM, "--host", "127.0.0.1", "--port", "0"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (failed != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start " + args[0]);
    }
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const size_t colon = line.rfind(':');
    if (line.rfind("listening on http://", 0) != 0 || colon == std::string::npos) {
      stop();
      throw std::runtime_error("the server did not start: '" + line + "'");
    }
    port_ = std::stoi(line.substr(colon + 1));
  }
  ~ServerProcess() { stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // A field of the server's /proc/PID/status ("VmHWM:", "VmRSS:") in bytes.
  size_t statusBytes(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind(field, 0) == 0) return std::stoull(line.substr(field.size())) * 1024;
    }
    return 0;
  }

  // Whether the process still runs.
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  // Sends SIGTERM and returns how long the process took to exit, giving up (and killing it) after `limit`.
  std::chrono::milliseconds terminate(std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    kill(pid_, SIGTERM);
    while (std::chrono::steady_clock::now() - start < limit) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return limit;
  }

 private:
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testing
}  // namespace server
}  // namespace ks
