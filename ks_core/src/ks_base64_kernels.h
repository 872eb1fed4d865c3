// The Base64 kernels built into ks_core (the portable one and any SIMD ones for this processor) and the
// choice among them. Internal: tests and benchmarks use it to reach every kernel, not just the chosen one.
#pragma once

#include <cstddef>

#include "ks_core/ks_base64.h"

namespace ks {

// Every kernel has exactly the contract of encodeBase64To / decodeBase64To: for any input it writes the
// same bytes and returns the same result as the portable kernel, only faster.
using Base64EncodeFn = void (*)(const unsigned char* data, size_t size, char* out);
using Base64DecodeFn = Base64Decoded (*)(const char* text, size_t length, unsigned char* out, size_t capacity);

struct Base64Kernel {
  const char* name;  // "scalar", "ssse3", "avx2", "neon"
  Base64EncodeFn encode;
  Base64DecodeFn decode;
  bool supported;  // whether this CPU can run it; never call a kernel that is not
};

struct Base64KernelList {
  const Base64Kernel* begin() const { return items; }
  const Base64Kernel* end() const { return items + count; }
  const Base64Kernel* items;
  size_t count;
};

// The kernels compiled for this processor, the portable one first, then in order of preference.
// Built on first use; the list lives as long as the program.
Base64KernelList base64Kernels();

// The kernel encodeBase64To and decodeBase64To use: the last supported one of base64Kernels(),
// chosen once per process.
const Base64Kernel& activeBase64Kernel();

// The portable kernel, and the one the SIMD kernels hand their tails and faulty blocks to.
void encodeBase64Scalar(const unsigned char* data, size_t size, char* out);
Base64Decoded decodeBase64Scalar(const char* text, size_t length, unsigned char* out, size_t capacity);

// How many leading characters of a `length`-character text a SIMD kernel may decode by itself: the whole
// groups but the last, which alone may hold padding. The portable kernel takes the rest, so it also
// judges a length that is not a multiple of 4. Static, because the files that use it are built for
// different instruction sets and must not share one out-of-line copy.
static inline size_t base64SimdDecodableLength(size_t length) {
  const size_t whole = length - length % 4;
  return whole >= 4 ? whole - 4 : 0;
}

// SIMD kernels, compiled only for their processor and with their own instruction-set flags.
void encodeBase64Ssse3(const unsigned char* data, size_t size, char* out);
Base64Decoded decodeBase64Ssse3(const char* text, size_t length, unsigned char* out, size_t capacity);
void encodeBase64Avx2(const unsigned char* data, size_t size, char* out);
Base64Decoded decodeBase64Avx2(const char* text, size_t length, unsigned char* out, size_t capacity);
void encodeBase64Neon(const unsigned char* data, size_t size, char* out);
Base64Decoded decodeBase64Neon(const char* text, size_t length, unsigned char* out, size_t capacity);

}  // namespace ks
