// The SSSE3 Base64 kernel: 12 bytes <-> 16 characters per step, after Muła and Lemire's vectorised
// encoding and decoding. Compiled with -mssse3 and run only where the CPU has it.
#include <tmmintrin.h>

#include <cstdint>
#include <cstring>

#include "ks_base64_kernels.h"

namespace ks {

namespace {

// Six-bit indices, one per byte, for 12 input bytes sitting in the low three quarters of `in`.
inline __m128i splitIntoIndices(__m128i in) {
  // Each 32-bit lane takes its three bytes as [b1 b0 b2 b1], so both multiplies below find every 6-bit
  // field in one 16-bit half.
  in = _mm_shuffle_epi8(in, _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
  const __m128i ac = _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0FC0FC00)), _mm_set1_epi32(0x04000040));
  const __m128i bd = _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003F03F0)), _mm_set1_epi32(0x01000010));
  return _mm_or_si128(ac, bd);
}

// The alphabet's character for each index: the index plus an offset that depends on its range. Ranges
// 52..63 map to 1..12 by a saturating subtract, 26..51 to 0, and 0..25 are set apart as 13.
inline __m128i indicesToCharacters(__m128i indices) {
  __m128i range = _mm_subs_epu8(indices, _mm_set1_epi8(51));
  range = _mm_or_si128(range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), indices), _mm_set1_epi8(13)));
  const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                        '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  return _mm_add_epi8(indices, _mm_shuffle_epi8(offsets, range));
}

// For 16 characters: their six-bit values in `values`, and whether any is outside the alphabet.
// Validation classifies each character by its high nibble (one bit per class) and asks its low nibble
// which classes it is invalid in.
inline bool charactersToValues(__m128i in, __m128i& values) {
  const __m128i low = _mm_and_si128(in, _mm_set1_epi8(0x0F));
  const __m128i high = _mm_and_si128(_mm_srli_epi32(in, 4), _mm_set1_epi8(0x0F));
  // Classes: 0x01 "+/" row, 0x02 digits, 0x04 "A-O" and "a-o", 0x08 "P-Z" and "p-z", 0x10 no letters.
  const __m128i invalidForLow =
      _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m128i classOfHigh =
      _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m128i bad = _mm_and_si128(_mm_shuffle_epi8(invalidForLow, low), _mm_shuffle_epi8(classOfHigh, high));
  // '+' and '/' share a high nibble but need different offsets: '/' borrows slot 1.
  const __m128i slot = _mm_add_epi8(high, _mm_cmpeq_epi8(in, _mm_set1_epi8('/')));
  const __m128i offsets =
      _mm_setr_epi8(0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
  values = _mm_add_epi8(in, _mm_shuffle_epi8(offsets, slot));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) == 0xFFFF;
}

// Packs sixteen six-bit values into 12 bytes in the low three quarters of the result.
inline __m128i packValues(__m128i values) {
  const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));  // a << 6 | b
  const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));     // ab << 12 | cd
  return _mm_shuffle_epi8(groups, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
}

}  // namespace

void encodeBase64Ssse3(const unsigned char* data, size_t size, char* out) {
  size_t i = 0;
  // Each step loads 16 bytes and uses 12, so it stops while a full load still lies inside the data.
  for (; i + 16 <= size; i += 12, out += 16) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), indicesToCharacters(splitIntoIndices(in)));
  }
  encodeBase64Scalar(data + i, size - i, out);
}

Base64Decoded decodeBase64Ssse3(const char* text, size_t length, unsigned char* out, size_t capacity) {
  const size_t decodable = base64SimdDecodableLength(length);
  size_t done = 0;
  size_t written = 0;
  // Blocks with a fault, or whose 12 bytes would not fit, are left to the scalar kernel, which then
  // decides `ok` and `size` exactly as it would have for the whole text.
  for (; done + 16 <= decodable && written + 12 <= capacity; done += 16, written += 12) {
    __m128i values;
    if (!charactersToValues(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + done)), values)) break;
    const __m128i bytes = packValues(values);
    // Exactly 12 bytes: nothing past the decoded data is touched, as with the scalar kernel.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + written), bytes);
    const uint32_t last = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8)));
    std::memcpy(out + written + 8, &last, 4);
  }
  const Base64Decoded rest = decodeBase64Scalar(text + done, length - done, out + written, capacity - written);
  return {rest.ok, written + rest.size};
}

}  // namespace ks
