// The NEON Base64 kernel for 32-bit ARM: 48 bytes <-> 64 characters per step. The structured loads and
// stores (vld3/vst4, vld4/vst3) split bytes and characters into their positions in a group, so the bit
// work is plain shifts. Compiled with -mfpu=neon and run only where the CPU has NEON.
#include <arm_neon.h>

#include "ks_base64_kernels.h"

namespace ks {

namespace {

// A 16-entry table lookup for 16 indices below 16 (32-bit ARM has only 8-byte table lookups).
inline uint8x16_t lookup16(uint8x8x2_t table, uint8x16_t indices) {
  return vcombine_u8(vtbl2_u8(table, vget_low_u8(indices)), vtbl2_u8(table, vget_high_u8(indices)));
}

inline uint8x8x2_t table16(const uint8_t (&entries)[16]) { return {{vld1_u8(entries), vld1_u8(entries + 8)}}; }

// The alphabet's character for each six-bit index: ranges 52..63 map to 1..12 by a saturating subtract,
// 26..51 to 0, and 0..25 are set apart as 13; the range picks the offset to add.
inline uint8x16_t indicesToCharacters(uint8x16_t indices, uint8x8x2_t offsets) {
  uint8x16_t range = vqsubq_u8(indices, vdupq_n_u8(51));
  range = vorrq_u8(range, vandq_u8(vcltq_u8(indices, vdupq_n_u8(26)), vdupq_n_u8(13)));
  return vaddq_u8(indices, lookup16(offsets, range));
}

// Classification tables for decoding: a character's high nibble gives its class (one bit each: 0x01
// "+/" row, 0x02 digits, 0x04 "A-O" and "a-o", 0x08 "P-Z" and "p-z", 0x10 no letters), its low nibble
// the classes it is invalid in; the offset to a character's value depends on its high nibble, with '/'
// borrowing slot 1 since it shares the row of '+'.
struct DecodeTables {
  uint8x8x2_t invalidForLow;
  uint8x8x2_t classOfHigh;
  uint8x8x2_t offsets;
};

// Turns 16 characters into their six-bit values and ORs any alphabet fault into `bad`.
inline uint8x16_t charactersToValues(uint8x16_t in, const DecodeTables& t, uint8x16_t& bad) {
  const uint8x16_t high = vshrq_n_u8(in, 4);
  const uint8x16_t low = vandq_u8(in, vdupq_n_u8(0x0F));
  bad = vorrq_u8(bad, vandq_u8(lookup16(t.invalidForLow, low), lookup16(t.classOfHigh, high)));
  const uint8x16_t slot = vaddq_u8(high, vceqq_u8(in, vdupq_n_u8('/')));
  return vaddq_u8(in, lookup16(t.offsets, slot));
}

constexpr uint8_t kEncodeOffsets[16] = {'a' - 26,
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('0' - 52),
                                        uint8_t('+' - 62),
                                        uint8_t('/' - 63),
                                        'A',
                                        0,
                                        0};
constexpr uint8_t kInvalidForLow[16] = {0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                        0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A};
constexpr uint8_t kClassOfHigh[16] = {0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                      0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10};
constexpr uint8_t kDecodeOffsets[16] = {
    0, 63 - '/', 62 - '+', 52 - '0', uint8_t(-'A'), uint8_t(-'A'), uint8_t(26 - 'a'), uint8_t(26 - 'a'), 0, 0, 0, 0,
    0, 0,        0,        0};

}  // namespace

void encodeBase64Neon(const unsigned char* data, size_t size, char* out) {
  const uint8x8x2_t offsets = table16(kEncodeOffsets);
  const uint8x16_t sixBits = vdupq_n_u8(0x3F);
  size_t i = 0;
  for (; i + 48 <= size; i += 48, out += 64) {
    const uint8x16x3_t in = vld3q_u8(data + i);  // the first, second and third bytes of 16 groups
    uint8x16x4_t indices;
    indices.val[0] = vshrq_n_u8(in.val[0], 2);
    indices.val[1] = vandq_u8(vsliq_n_u8(vshrq_n_u8(in.val[1], 4), in.val[0], 4), sixBits);
    indices.val[2] = vandq_u8(vsliq_n_u8(vshrq_n_u8(in.val[2], 6), in.val[1], 2), sixBits);
    indices.val[3] = vandq_u8(in.val[2], sixBits);
    for (int k = 0; k < 4; ++k) indices.val[k] = indicesToCharacters(indices.val[k], offsets);
    vst4q_u8(reinterpret_cast<uint8_t*>(out), indices);
  }
  encodeBase64Scalar(data + i, size - i, out);
}

Base64Decoded decodeBase64Neon(const char* text, size_t length, unsigned char* out, size_t capacity) {
  const DecodeTables t{table16(kInvalidForLow), table16(kClassOfHigh), table16(kDecodeOffsets)};
  const size_t decodable = base64SimdDecodableLength(length);
  size_t done = 0;
  size_t written = 0;
  // Blocks with a fault, or whose 48 bytes would not fit, are left to the scalar kernel, which then
  // decides `ok` and `size` exactly as it would have for the whole text.
  for (; done + 64 <= decodable && written + 48 <= capacity; done += 64, written += 48) {
    const uint8x16x4_t in = vld4q_u8(reinterpret_cast<const uint8_t*>(text + done));
    uint8x16_t bad = vdupq_n_u8(0);
    const uint8x16_t a = charactersToValues(in.val[0], t, bad);
    const uint8x16_t b = charactersToValues(in.val[1], t, bad);
    const uint8x16_t c = charactersToValues(in.val[2], t, bad);
    const uint8x16_t d = charactersToValues(in.val[3], t, bad);
    const uint8x8_t folded = vorr_u8(vget_low_u8(bad), vget_high_u8(bad));
    if (vget_lane_u64(vreinterpret_u64_u8(folded), 0) != 0) break;
    uint8x16x3_t bytes;
    bytes.val[0] = vorrq_u8(vshlq_n_u8(a, 2), vshrq_n_u8(b, 4));
    bytes.val[1] = vorrq_u8(vshlq_n_u8(b, 4), vshrq_n_u8(c, 2));
    bytes.val[2] = vorrq_u8(vshlq_n_u8(c, 6), d);
    vst3q_u8(out + written, bytes);
  }
  const Base64Decoded rest = decodeBase64Scalar(text + done, length - done, out + written, capacity - written);
  return {rest.ok, written + rest.size};
}

}  // namespace ks
