// The portable Base64 kernel: the reference every SIMD kernel must match, and the code that finishes
// their tails, padding and faulty blocks.
#include <cstdint>
#include <cstring>

#include "ks_base64_kernels.h"

namespace ks {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint32_t kBad = 0x01000000;  // above any 24-bit group: marks a character outside the alphabet

// Lookup tables built once: pairs of characters for 12-bit halves of a group when encoding, and for
// decoding each of the four positions of a group its six bits already shifted into place (kBad when the
// character is not in the alphabet), so a group costs four loads and three ORs.
struct Tables {
  char pairs[4096][2];
  uint32_t decode[4][256];

  Tables() {
    for (int i = 0; i < 4096; ++i) {
      pairs[i][0] = kAlphabet[i >> 6];
      pairs[i][1] = kAlphabet[i & 63];
    }
    for (int position = 0; position < 4; ++position) {
      for (int c = 0; c < 256; ++c) decode[position][c] = kBad;
      for (uint32_t v = 0; v < 64; ++v) {
        decode[position][static_cast<unsigned char>(kAlphabet[v])] = v << (18 - 6 * position);
      }
    }
  }
};

const Tables& tables() {
  static const Tables kInstance;
  return kInstance;
}

inline uint32_t decodeGroup(const Tables& t, const unsigned char* p) {
  return t.decode[0][p[0]] | t.decode[1][p[1]] | t.decode[2][p[2]] | t.decode[3][p[3]];
}

inline void encodeGroup(const Tables& t, uint32_t group, char* out) {
  std::memcpy(out, t.pairs[group >> 12], 2);
  std::memcpy(out + 2, t.pairs[group & 0xFFF], 2);
}

inline void put(unsigned char* out, size_t& written, size_t capacity, unsigned char byte) {
  if (written < capacity) out[written] = byte;
  ++written;
}

}  // namespace

void encodeBase64Scalar(const unsigned char* data, size_t size, char* out) {
  const Tables& t = tables();
  size_t i = 0;
  // Two groups per step from one 8-byte load (6 bytes used), while the load stays inside the data.
  for (; i + 8 <= size; i += 6, out += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    encodeGroup(t, static_cast<uint32_t>(word >> 40), out);
    encodeGroup(t, static_cast<uint32_t>(word >> 16) & 0xFFFFFF, out + 4);
  }
  for (; i + 3 <= size; i += 3, out += 4) {
    encodeGroup(t, (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2], out);
  }
  const size_t rest = size - i;
  if (rest == 0) return;
  const uint32_t group = (uint32_t{data[i]} << 16) | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
  out[0] = kAlphabet[group >> 18];
  out[1] = kAlphabet[(group >> 12) & 63];
  out[2] = rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
  out[3] = '=';
}

Base64Decoded decodeBase64Scalar(const char* text, size_t length, unsigned char* out, size_t capacity) {
  const Tables& t = tables();
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t written = 0;
  if (length % 4 != 0) {
    // Decode what groups there are, so the caller learns how far the text was good.
    const Base64Decoded whole = decodeBase64Scalar(text, length - length % 4, out, capacity);
    return {false, whole.size};
  }
  if (length == 0) return {true, 0};
  const size_t groups = length / 4 - 1;  // the last group may hold padding

  // Full groups whose bytes all fit go straight out; the bounds check then moves to put().
  const size_t fast = capacity / 3 < groups ? capacity / 3 : groups;
  size_t g = 0;
  for (; g < fast; ++g, p += 4, out += 3) {
    const uint32_t v = decodeGroup(t, p);
    if (v & kBad) return {false, g * 3};
    out[0] = static_cast<unsigned char>(v >> 16);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v);
  }
  out -= g * 3;
  written = g * 3;
  for (; g < groups; ++g, p += 4) {
    const uint32_t v = decodeGroup(t, p);
    if (v & kBad) return {false, written};
    put(out, written, capacity, static_cast<unsigned char>(v >> 16));
    put(out, written, capacity, static_cast<unsigned char>(v >> 8));
    put(out, written, capacity, static_cast<unsigned char>(v));
  }

  // The last group: "xxxx", "xxx=" or "xx==".
  const int padding = p[3] == '=' ? (p[2] == '=' ? 2 : 1) : 0;
  const unsigned char zero = 'A';
  const unsigned char last[4] = {p[0], p[1], padding == 2 ? zero : p[2], padding ? zero : p[3]};
  const uint32_t v = decodeGroup(t, last);
  if (v & kBad) return {false, written};
  put(out, written, capacity, static_cast<unsigned char>(v >> 16));
  if (padding < 2) put(out, written, capacity, static_cast<unsigned char>(v >> 8));
  if (padding < 1) put(out, written, capacity, static_cast<unsigned char>(v));
  return {true, written};
}

}  // namespace ks
