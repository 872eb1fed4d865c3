// Base64 (standard alphabet "A-Za-z0-9+/", "=" padding, no line breaks) for tensor data in text messages.
#pragma once

#include <cstddef>

#include "ks_core/ks_buffer.h"

namespace ks {

// Length of the Base64 text of `size` bytes, without terminator: 4 * ceil(size / 3). Throws ks::Exception
// (status kOutOfRange) when that length does not fit in 32 bits.
unsigned estimateBase64Length(unsigned size);

// Writes the Base64 text of `size` bytes at `data` into `out`, followed by a NUL when `capacity` leaves room
// for it, and returns the text's length. Writes nothing and returns 0 when `capacity` is below
// estimateBase64Length(size). `data` may be null when `size` is 0.
unsigned encodeBase64(const unsigned char* data, unsigned size, char* out, unsigned capacity);

// Decodes `length` characters of `text` (never reading past them) into `out`, replacing its contents.
// Returns false for text that is not Base64: a length that is not a multiple of 4, a character outside
// the alphabet, or padding anywhere but in the last two places of the last group. `out` then holds the
// bytes of the groups before the fault. Bits below the last encoded byte are ignored.
bool decodeBase64(const char* text, unsigned length, Buffer& out);

// --- Allocation-free forms for large data.

// 4 * ceil(size / 3), for sizes whose result fits in size_t.
constexpr size_t base64EncodedLength(size_t size) { return (size + 2) / 3 * 4; }

// Writes exactly base64EncodedLength(size) characters, no terminator.
void encodeBase64To(const unsigned char* data, size_t size, char* out);

struct Base64Decoded {
  bool ok;      // false when the text is not Base64 (as for decodeBase64)
  size_t size;  // when ok: the bytes the text stands for; otherwise: the bytes decoded before the fault
};

// Decodes `length` characters of `text` into `out`, writing at most `capacity` bytes (the first ones) and
// never reading past the text.
Base64Decoded decodeBase64To(const char* text, size_t length, unsigned char* out, size_t capacity);

}  // namespace ks
