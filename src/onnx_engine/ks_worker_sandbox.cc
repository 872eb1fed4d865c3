#include "ks_worker_sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>

// Instrumented builds run the sanitizers' runtime in the worker too; it needs a few calls more.
#if defined(__SANITIZE_ADDRESS__)
#define KS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KS_SANITIZED 1
#endif
#endif
#ifndef KS_SANITIZED
#define KS_SANITIZED 0
#endif

namespace ks {
namespace server {
namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), "sandbox: " + what);
}

void limit(int resource, rlim_t value, const char* name) {
  const rlimit bound{value, value};
  if (::setrlimit(resource, &bound) != 0) fail(errno, std::string("setrlimit ") + name);
}

struct FilterDeleter {
  void operator()(void* filter) const { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterDeleter>;

void allow(const Filter& filter, int syscall, const char* name) {
  const int result = seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, syscall, 0);
  if (result != 0) fail(-result, std::string("allowing ") + name);
}

template <typename... Conditions>
void allowWhen(const Filter& filter, int syscall, const char* name, Conditions... conditions) {
  const int result = seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, syscall, sizeof...(Conditions), conditions...);
  if (result != 0) fail(-result, std::string("allowing ") + name);
}

// What computing and talking over held sockets takes, and nothing that reaches beyond the process: no
// path is opened, no socket made or connected, no program run, no process made or traced.
void installFilter(int lastChannelFd) {
  Filter filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
  if (!filter) fail(ENOMEM, "seccomp_init");
  // One filter for every thread, or a thread started earlier would stay free.
  int result = seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1);
  if (result != 0) fail(-result, "seccomp TSYNC");

#define KS_ALLOW(name) allow(filter, SCMP_SYS(name), #name)
  // Memory. Nothing may become executable: the engine's code is all loaded already.
  KS_ALLOW(brk);
  KS_ALLOW(munmap);
  KS_ALLOW(mremap);
  KS_ALLOW(madvise);
  allowWhen(filter, SCMP_SYS(mmap), "mmap", SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
  allowWhen(filter, SCMP_SYS(mprotect), "mprotect", SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
  // Descriptors it holds: the pipe of its standard output and error and the sockets to the server, which
  // it may write (descriptor 0 is /dev/null, read-only); the shared regions, which it may grow. Nothing it writes
  // reaches a file, and nothing it sizes or seeks is anything but a region.
  const auto last = static_cast<scmp_datum_t>(lastChannelFd);
  KS_ALLOW(read);
  KS_ALLOW(readv);
  KS_ALLOW(close);
  KS_ALLOW(fstat);
#if KS_SANITIZED
  // The sanitizers' runtime writes to pipes of its own (see below).
  KS_ALLOW(write);
#else
  allowWhen(filter, SCMP_SYS(write), "write", SCMP_A0(SCMP_CMP_LE, last));
#endif
  allowWhen(filter, SCMP_SYS(writev), "writev", SCMP_A0(SCMP_CMP_LE, last));
  allowWhen(filter, SCMP_SYS(lseek), "lseek", SCMP_A0(SCMP_CMP_GT, last));
  allowWhen(filter, SCMP_SYS(ftruncate), "ftruncate", SCMP_A0(SCMP_CMP_GT, last));
  // Asking a region's seals, never adding one.
  allowWhen(filter, SCMP_SYS(fcntl), "fcntl", SCMP_A1(SCMP_CMP_EQ, F_GET_SEALS));
  // fstat() in glibc is fstatat(fd, "", AT_EMPTY_PATH): a path lookup only with an empty path.
  allowWhen(filter, SCMP_SYS(newfstatat), "newfstatat", SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH));
  KS_ALLOW(recvmsg);
  allowWhen(filter, SCMP_SYS(sendmsg), "sendmsg", SCMP_A0(SCMP_CMP_LE, last));
  KS_ALLOW(recvfrom);
  allowWhen(filter, SCMP_SYS(sendto), "sendto", SCMP_A0(SCMP_CMP_LE, last));
  KS_ALLOW(poll);
  KS_ALLOW(ppoll);
  // Threads it has: waiting, time, scheduling.
  KS_ALLOW(futex);
  KS_ALLOW(set_robust_list);
  KS_ALLOW(rseq);
  KS_ALLOW(sched_yield);
  KS_ALLOW(sched_getaffinity);
  KS_ALLOW(getcpu);
  KS_ALLOW(clock_gettime);
  KS_ALLOW(clock_getres);
  KS_ALLOW(clock_nanosleep);
  KS_ALLOW(gettimeofday);
  KS_ALLOW(nanosleep);
  KS_ALLOW(restart_syscall);
  KS_ALLOW(getrandom);
  KS_ALLOW(getpid);
  KS_ALLOW(gettid);
  KS_ALLOW(getrusage);
  // Reading a limit, never setting one.
  allowWhen(filter, SCMP_SYS(prlimit64), "prlimit64", SCMP_A2(SCMP_CMP_EQ, 0));
  // Signals to itself only: abort() is how std::terminate ends a process, and its cause should reach the
  // server as SIGABRT, not as the sandbox's kill.
  KS_ALLOW(rt_sigreturn);
  KS_ALLOW(rt_sigprocmask);
  allowWhen(filter, SCMP_SYS(tgkill), "tgkill", SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(::getpid())));
  KS_ALLOW(exit);
  KS_ALLOW(exit_group);
#if KS_SANITIZED
  // AddressSanitizer's runtime asks about the terminal it reports to, handles its own signals and tests
  // whether memory is readable by writing it to a pipe.
  KS_ALLOW(pipe2);
  KS_ALLOW(ioctl);
  KS_ALLOW(sigaltstack);
  KS_ALLOW(rt_sigaction);
  KS_ALLOW(prctl);
  KS_ALLOW(getppid);
  KS_ALLOW(sched_getaffinity);
#endif
#undef KS_ALLOW

  result = seccomp_load(filter.get());
  if (result != 0) fail(-result, "seccomp_load");
}

}  // namespace

std::string enterNamespaces() {
  const int isolated = CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS;
  if (::unshare(isolated) == 0) return "net,ipc,uts";
  // Without CAP_SYS_ADMIN, a user namespace of its own gives the process the right to make the others.
  if (::unshare(CLONE_NEWUSER | isolated) == 0) return "user,net,ipc,uts";
  return "none";
}

std::string lockDown(const SandboxLimits& limits) {
  limit(RLIMIT_CORE, 0, "RLIMIT_CORE");
  limit(RLIMIT_NPROC, 0, "RLIMIT_NPROC");
  limit(RLIMIT_FSIZE, limits.fileBytes, "RLIMIT_FSIZE");
  limit(RLIMIT_NOFILE, static_cast<rlim_t>(limits.maxDescriptors), "RLIMIT_NOFILE");
  if (limits.addressSpaceBytes != 0) limit(RLIMIT_AS, limits.addressSpaceBytes, "RLIMIT_AS");
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail(errno, "PR_SET_NO_NEW_PRIVS");
  installFilter(limits.lastChannelFd);
  return "seccomp,no_new_privs,rlimits(as=" + std::to_string(limits.addressSpaceBytes >> 20) +
         "MiB,nofile=" + std::to_string(limits.maxDescriptors) +
         ",nproc=0,fsize=" + std::to_string(limits.fileBytes >> 20) + "MiB,core=0)";
}

}  // namespace server
}  // namespace ks
