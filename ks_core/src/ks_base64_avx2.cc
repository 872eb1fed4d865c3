// The AVX2 Base64 kernel: 24 bytes <-> 32 characters per step, the SSSE3 method on two 128-bit lanes.
// Compiled with -mavx2 and run only where the CPU (and OS) support it.
#include <immintrin.h>

#include "ks_base64_kernels.h"

namespace ks {

namespace {

// Six-bit indices for 24 input bytes: lane 0 takes its 12 bytes from offset `LowOffset` (0 or 4) of its
// 16, lane 1 from offset 0. Each 32-bit lane gets its three bytes as [b1 b0 b2 b1], so both multiplies
// find every 6-bit field in one 16-bit half.
template <int LowOffset>
inline __m256i splitIntoIndices(__m256i in) {
  constexpr int o = LowOffset;  // NOLINT(readability-identifier-naming): one letter keeps the table readable
  in = _mm256_shuffle_epi8(
      in, _mm256_setr_epi8(o + 1, o + 0, o + 2, o + 1, o + 4, o + 3, o + 5, o + 4, o + 7, o + 6, o + 8, o + 7, o + 10,
                           o + 9, o + 11, o + 10, 1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
  const __m256i ac =
      _mm256_mulhi_epu16(_mm256_and_si256(in, _mm256_set1_epi32(0x0FC0FC00)), _mm256_set1_epi32(0x04000040));
  const __m256i bd =
      _mm256_mullo_epi16(_mm256_and_si256(in, _mm256_set1_epi32(0x003F03F0)), _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(ac, bd);
}

// The alphabet's character for each index: ranges 52..63 map to 1..12 by a saturating subtract, 26..51
// to 0, and 0..25 are set apart as 13; the range picks the offset to add.
inline __m256i indicesToCharacters(__m256i indices) {
  __m256i range = _mm256_subs_epu8(indices, _mm256_set1_epi8(51));
  range =
      _mm256_or_si256(range, _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), indices), _mm256_set1_epi8(13)));
  const __m256i offsets =
      _mm256_broadcastsi128_si256(_mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                                '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0));
  return _mm256_add_epi8(indices, _mm256_shuffle_epi8(offsets, range));
}

// For 32 characters: their six-bit values, and a mask that is zero when all are in the alphabet. A
// character's high nibble gives its class (one bit each); its low nibble gives the classes it is invalid in.
inline __m256i charactersToValues(__m256i in, __m256i& values) {
  const __m256i low = _mm256_and_si256(in, _mm256_set1_epi8(0x0F));
  const __m256i high = _mm256_and_si256(_mm256_srli_epi32(in, 4), _mm256_set1_epi8(0x0F));
  // Classes: 0x01 "+/" row, 0x02 digits, 0x04 "A-O" and "a-o", 0x08 "P-Z" and "p-z", 0x10 no letters.
  const __m256i invalidForLow = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A));
  const __m256i classOfHigh = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10));
  const __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(invalidForLow, low), _mm256_shuffle_epi8(classOfHigh, high));
  // '+' and '/' share a high nibble but need different offsets: '/' borrows slot 1.
  const __m256i slot = _mm256_add_epi8(high, _mm256_cmpeq_epi8(in, _mm256_set1_epi8('/')));
  const __m256i offsets = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(0, 63 - '/', 62 - '+', 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0));
  values = _mm256_add_epi8(in, _mm256_shuffle_epi8(offsets, slot));
  return bad;
}

// Packs 32 six-bit values into 24 bytes in the low three quarters of the result.
inline __m256i packValues(__m256i values) {
  const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));  // a << 6 | b
  const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));     // ab << 12 | cd
  const __m256i lanes =
      _mm256_shuffle_epi8(groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                                                   5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  return _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
}

// Writes the 24 bytes of one decoded block, exactly: nothing past the decoded data is touched, as with
// the scalar kernel.
inline void storeBlock(unsigned char* out, __m256i values) {
  const __m256i bytes = packValues(values);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
}

}  // namespace

void encodeBase64Avx2(const unsigned char* data, size_t size, char* out) {
  size_t i = 0;
  // A step reads 32 bytes and uses 24. The first one loads its lanes separately; later ones load once
  // from 4 bytes back, so lane 0's bytes start at offset 4 and the load never passes byte i + 28.
  if (size >= 28) {
    const __m256i in =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 12)), 1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), indicesToCharacters(splitIntoIndices<0>(in)));
    i = 24;
    out += 32;
  }
  for (; i + 28 <= size; i += 24, out += 32) {
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i - 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), indicesToCharacters(splitIntoIndices<4>(in)));
  }
  encodeBase64Scalar(data + i, size - i, out);
}

Base64Decoded decodeBase64Avx2(const char* text, size_t length, unsigned char* out, size_t capacity) {
  const size_t decodable = base64SimdDecodableLength(length);
  size_t done = 0;
  size_t written = 0;
  // Blocks with a fault, or whose 24 bytes would not fit, are left to the scalar kernel, which then
  // decides `ok` and `size` exactly as it would have for the whole text. Four blocks at a time share one
  // test; the first group with a fault is done again block by block to find where it is.
  const auto load = [text](size_t at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + at)); };
  for (; done + 128 <= decodable && written + 96 <= capacity; done += 128, written += 96) {
    __m256i v0, v1, v2, v3;
    const __m256i bad = _mm256_or_si256(
        _mm256_or_si256(charactersToValues(load(done), v0), charactersToValues(load(done + 32), v1)),
        _mm256_or_si256(charactersToValues(load(done + 64), v2), charactersToValues(load(done + 96), v3)));
    if (!_mm256_testz_si256(bad, bad)) break;
    storeBlock(out + written, v0);
    storeBlock(out + written + 24, v1);
    storeBlock(out + written + 48, v2);
    storeBlock(out + written + 72, v3);
  }
  for (; done + 32 <= decodable && written + 24 <= capacity; done += 32, written += 24) {
    __m256i values;
    const __m256i bad = charactersToValues(load(done), values);
    if (!_mm256_testz_si256(bad, bad)) break;
    storeBlock(out + written, values);
  }
  const Base64Decoded rest = decodeBase64Scalar(text + done, length - done, out + written, capacity - written);
  return {rest.ok, written + rest.size};
}

}  // namespace ks
