// Peak memory of a piece of work, measured in a child process so that nothing done before counts.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ks {
namespace testing {

// Whether memory figures mean anything in this build: the sanitizers' shadow memory and quarantine change
// every one of them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryFiguresHold = false;
#elif defined(__has_feature)
constexpr bool kMemoryFiguresHold = !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer);
#else
constexpr bool kMemoryFiguresHold = true;
#endif

// A field of /proc/self/status ("VmRSS:", "VmHWM:", "VmSize:", "VmPeak:") in bytes.
inline size_t statusBytes(const char* field) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  size_t kib = 0;
  const size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, status)) {
    if (std::strncmp(line, field, length) == 0) kib = std::strtoull(line + length, nullptr, 10);
  }
  std::fclose(status);
  return kib * 1024;
}

struct Peak {
  size_t resident;  // rise of the resident high-water mark
  size_t reserved;  // rise of the address-space high-water mark: what a 32-bit process must find room for
  double seconds;   // how long the work took
};

// Runs `work` in a forked child that first resets its high-water marks, and returns how far they rose.
// The child has only the calling thread; `work` must not rely on others.
template <typename Work>
Peak peakOf(Work&& work) {
  int channel[2];
  if (pipe(channel) != 0) return Peak{0, 0, 0};
  const pid_t child = fork();
  if (child == 0) {
    if (FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", clear);
      std::fclose(clear);
    }
    const size_t resident = statusBytes("VmRSS:");
    const size_t reserved = statusBytes("VmSize:");
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    work();
    clock_gettime(CLOCK_MONOTONIC, &end);
    const Peak rise{statusBytes("VmHWM:") - resident, statusBytes("VmPeak:") - reserved,
                    static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) * 1e-9};
    (void)!write(channel[1], &rise, sizeof rise);
    _exit(0);
  }
  Peak rise{0, 0, 0};
  (void)!read(channel[0], &rise, sizeof rise);
  waitpid(child, nullptr, 0);
  close(channel[0]);
  close(channel[1]);
  return rise;
}

}  // namespace testing
}  // namespace ks
