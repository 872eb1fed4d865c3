// Bytes as hex digits and back: digests, file names and identifiers in lower case, percent-escapes in
// upper case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ks {

enum class HexCase { kLower, kUpper };

// Appends the two digits of `byte`, high nibble first.
void appendHex(std::string& out, uint8_t byte, HexCase letters = HexCase::kLower);
// `size` bytes as 2 * size lower-case digits.
std::string toHex(const void* data, size_t size);
// Fills `size` bytes from exactly 2 * size lower-case digits; false (and `out` partly written) for any
// other text.
bool fromHex(std::string_view text, void* out, size_t size);

}  // namespace ks
