// Which Base64 kernels exist for this build and which one this CPU runs. The build defines
// KS_BASE64_X86_KERNELS or KS_BASE64_NEON_KERNELS when it compiles the matching SIMD files.
#include "ks_base64_kernels.h"

#if defined(KS_BASE64_NEON_KERNELS)
#include <sys/auxv.h>
#endif

namespace ks {

namespace {

#if defined(KS_BASE64_NEON_KERNELS)
// Debian armhf only promises VFPv3-D16, so NEON is asked of the kernel, not assumed.
bool cpuHasNeon() {
  constexpr unsigned long kHwcapNeon = 1ul << 12;  // HWCAP_NEON on 32-bit ARM Linux
  return (getauxval(AT_HWCAP) & kHwcapNeon) != 0;
}
#endif

struct KernelTable {
  Base64Kernel items[3] = {};
  size_t count = 0;

  KernelTable() {
    add({"scalar", encodeBase64Scalar, decodeBase64Scalar, true});
#if defined(KS_BASE64_X86_KERNELS)
    __builtin_cpu_init();
    add({"ssse3", encodeBase64Ssse3, decodeBase64Ssse3, __builtin_cpu_supports("ssse3") != 0});
    // The CPU-feature check covers the OS side too: AVX2 counts only when the OS saves YMM state.
    add({"avx2", encodeBase64Avx2, decodeBase64Avx2, __builtin_cpu_supports("avx2") != 0});
#elif defined(KS_BASE64_NEON_KERNELS)
    add({"neon", encodeBase64Neon, decodeBase64Neon, cpuHasNeon()});
#endif
  }

  void add(const Base64Kernel& kernel) { items[count++] = kernel; }
};

const KernelTable& kernelTable() {
  static const KernelTable kTable;
  return kTable;
}

}  // namespace

Base64KernelList base64Kernels() {
  const KernelTable& table = kernelTable();
  return {table.items, table.count};
}

const Base64Kernel& activeBase64Kernel() {
  static const Base64Kernel& chosen = []() -> const Base64Kernel& {
    const KernelTable& table = kernelTable();
    size_t best = 0;
    for (size_t i = 0; i < table.count; ++i) {
      if (table.items[i].supported) best = i;
    }
    return table.items[best];
  }();
  return chosen;
}

}  // namespace ks
