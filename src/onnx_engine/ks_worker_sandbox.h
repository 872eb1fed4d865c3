// The worker's confinement: before it reads a byte of a client's network, a worker process gives up every
// way out of its own memory but the descriptors it was handed. After lockDown() it can compute, allocate
// within its limit and talk to the server over the sockets it holds; anything else ends it.
#pragma once

#include <cstddef>
#include <string>

namespace ks {
namespace server {

struct SandboxLimits {
  size_t addressSpaceBytes = 0;  // RLIMIT_AS; 0 leaves it as it is
  int maxDescriptors = 64;       // RLIMIT_NOFILE: descriptors held now plus those still to come
  // RLIMIT_FSIZE: how far it may grow the shared regions it was handed (the only files it can reach).
  size_t fileBytes = 0;
  // Descriptors 1 to this one are its standard output and error (a pipe the server reads) and its sockets
  // to the server: the only ones it may write to. Those it is handed later (the shared regions) come
  // above, and are the only ones it may size or seek.
  int lastChannelFd = 2;
};

// Enters new network, IPC and UTS namespaces, through a new user namespace when the process lacks the
// privilege to do without; does nothing where the kernel allows neither. Must run before the process
// starts a thread. Returns what it entered, for the log ("net,ipc,uts", "user,net,ipc,uts" or "none").
std::string enterNamespaces();

// Confines the whole process for good, every thread included: no core files, no new processes or
// threads, no file past `limits.fileBytes`, at most `limits.maxDescriptors` descriptors and `limits.addressSpaceBytes`
// of address space; no new privileges; and a seccomp-BPF filter that kills the process on any system call outside what
// computing and talking over held sockets need (no open, socket, connect, exec, fork, ptrace, ...; no write but to
// descriptors 1 to `limits.lastChannelFd`, no ftruncate or lseek but above it). Returns a summary for the log. Throws
// std::system_error when a step fails: a worker never runs unconfined.
std::string lockDown(const SandboxLimits& limits);

}  // namespace server
}  // namespace ks
