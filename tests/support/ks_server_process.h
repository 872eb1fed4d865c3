// A server program run as a child process for the length of a benchmark or a test: started on a port of the
// system's choosing, found through the "listening on http://HOST:PORT" line it prints, stopped with
// SIGTERM; its own figures are read from /proc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace ks {
namespace testing {

class ServerProcess {
 public:
  // Runs `program` with `arguments` (which should make it pick a free port and print where it listens),
  // its standard error going to `logPath` (appended to; /dev/null discards it), and waits until it prints
  // its address. Throws std::runtime_error when it cannot be started, exits, or says nothing within 60 s;
  // a child that was started is stopped again then.
  ServerProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& logPath);
  // Stops the server: SIGTERM, then SIGKILL when it has not exited within 10 s.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  const std::string& host() const { return host_; }
  int port() const { return port_; }

  // Processor seconds the server has used so far (user and system, all its threads); 0 once it has ended.
  double cpuSeconds() const;
  // The same for each of its threads, by thread id; empty once it has ended.
  std::map<int, double> threadCpuSeconds() const;
  // The same for the processes it started that run now (a server's workers), by process id.
  std::map<int, double> childCpuSeconds() const;

  // Empty while the server runs; once it has ended, how ("exited with status 1", "killed by signal 11").
  std::string ended();

  // A field of the server's /proc/PID/status ("VmHWM:", "VmRSS:") in bytes; 0 once it has ended.
  size_t statusBytes(const std::string& field) const;

  // Stops the server with SIGSTOP and returns once it has stopped: the system still accepts its connections
  // and takes their bytes, but the server reads nothing until thaw() (SIGCONT). A frozen server is thawed
  // when it is terminated.
  void freeze();
  void thaw();

  // Sends SIGTERM and returns how long the server took to exit; after `limit` it is killed and `limit`
  // returned.
  std::chrono::milliseconds terminate(std::chrono::milliseconds limit);

 private:
  void stop();

  pid_t pid_ = -1;
  std::string ended_;
  int output_ = -1;  // read end of the pipe on the child's standard output
  std::string host_;
  int port_ = 0;
};

}  // namespace testing
}  // namespace ks
