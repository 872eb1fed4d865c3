#include "support/ks_server_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace ks {
namespace testing {

namespace {

const char kListening[] = "listening on http://";

// Host and port from "listening on http://HOST:PORT"; false when the line is not that.
bool parseListening(const std::string& line, std::string& host, int& port) {
  const size_t at = line.find(kListening);
  if (at == std::string::npos) return false;
  const std::string address = line.substr(at + sizeof kListening - 1);
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  try {
    port = std::stoi(address.substr(colon + 1));
  } catch (const std::exception&) {
    return false;
  }
  host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return port > 0 && port < 65536;
}

// What waitpid's `status` says of a process that ended.
std::string howItEnded(int status) {
  return WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                             : "exited with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

ServerProcess::ServerProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& logPath) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe for " + program);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec.
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (dup2(channel[1], STDOUT_FILENO) < 0 || log < 0 || dup2(log, STDERR_FILENO) < 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ::close(channel[1]);
  output_ = channel[0];
  if (pid_ < 0) {
    ::close(output_);
    throw std::runtime_error("cannot start " + program);
  }

  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (true) {
    const size_t newline = text.find('\n');
    if (newline != std::string::npos) {
      if (parseListening(text.substr(0, newline), host_, port_)) return;
      text.erase(0, newline + 1);
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait{output_, POLLIN, 0};
    const int ready = left.count() > 0 ? poll(&wait, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    char chunk[512];
    const ssize_t n = ready > 0 ? read(output_, chunk, sizeof chunk) : -1;
    if (n <= 0) {
      stop();
      throw std::runtime_error(program + (ready == 0 ? " did not say where it listens within 60 s"
                                                     : " exited before saying where it listens"));
    }
    text.append(chunk, static_cast<size_t>(n));
  }
}

ServerProcess::~ServerProcess() { stop(); }

std::chrono::milliseconds ServerProcess::terminate(std::chrono::milliseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  if (pid_ <= 0) return std::chrono::milliseconds(0);
  kill(pid_, SIGTERM);
  kill(pid_, SIGCONT);  // a frozen server takes the signal only once it runs
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > limit) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      return limit;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

void ServerProcess::freeze() {
  if (pid_ <= 0) return;
  kill(pid_, SIGSTOP);
  // Returns once every thread has stopped: one still running could read what the test sends next.
  int status = 0;
  pid_t waited;
  while ((waited = waitpid(pid_, &status, WUNTRACED)) < 0 && errno == EINTR) {
  }
  if (waited == pid_ && !WIFSTOPPED(status)) {  // it had ended
    pid_ = -1;
    ended_ = howItEnded(status);
  }
}

void ServerProcess::thaw() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

void ServerProcess::stop() {
  terminate(std::chrono::seconds(10));
  if (output_ >= 0) {
    ::close(output_);
    output_ = -1;
  }
}

std::string ServerProcess::ended() {
  int status = 0;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    ended_ = howItEnded(status);
  }
  return ended_;
}

size_t ServerProcess::statusBytes(const std::string& field) const {
  if (pid_ <= 0) return 0;
  FILE* status = std::fopen(("/proc/" + std::to_string(pid_) + "/status").c_str(), "r");
  if (status == nullptr) return 0;
  char line[256];
  size_t kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, field.c_str(), field.size()) == 0) kib = std::strtoull(line + field.size(), nullptr, 10);
  }
  std::fclose(status);
  return kib * 1024;
}

namespace {

// utime and stime of a /proc stat file, in seconds; 0 when it cannot be read.
double statCpuSeconds(const std::string& path) {
  FILE* stat = std::fopen(path.c_str(), "r");
  if (stat == nullptr) return 0.0;
  char line[1024];
  const bool read = std::fgets(line, sizeof line, stat) != nullptr;
  std::fclose(stat);
  if (!read) return 0.0;
  // Fields after the command name, which is in parentheses and may hold spaces: state is field 3,
  // utime and stime are fields 14 and 15.
  const char* after = std::strrchr(line, ')');
  if (after == nullptr) return 0.0;
  unsigned long long utime = 0, stime = 0;
  if (std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return 0.0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

double ServerProcess::cpuSeconds() const {
  return pid_ <= 0 ? 0.0 : statCpuSeconds("/proc/" + std::to_string(pid_) + "/stat");
}

std::map<int, double> ServerProcess::threadCpuSeconds() const {
  std::map<int, double> threads;
  if (pid_ <= 0) return threads;
  const std::string folder = "/proc/" + std::to_string(pid_) + "/task";
  DIR* tasks = ::opendir(folder.c_str());
  if (tasks == nullptr) return threads;
  while (const dirent* task = ::readdir(tasks)) {
    const int tid = std::atoi(task->d_name);
    if (tid > 0) threads[tid] = statCpuSeconds(folder + "/" + task->d_name + "/stat");
  }
  ::closedir(tasks);
  return threads;
}

std::map<int, double> ServerProcess::childCpuSeconds() const {
  std::map<int, double> children;
  for (const auto& [tid, seconds] : threadCpuSeconds()) {
    std::ifstream list("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(tid) + "/children");
    for (int child = 0; list >> child;) children[child] = statCpuSeconds("/proc/" + std::to_string(child) + "/stat");
  }
  return children;
}

}  // namespace testing
}  // namespace ks
