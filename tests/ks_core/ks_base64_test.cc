#include "ks_core/ks_base64.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/expect_throw.h"

namespace ks {
namespace {

std::string encode(const std::string& bytes) {
  std::vector<char> out(estimateBase64Length(static_cast<unsigned>(bytes.size())) + 1, 'x');
  const unsigned length =
      encodeBase64(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned>(bytes.size()),
                   out.data(), static_cast<unsigned>(out.size()));
  EXPECT_EQ('\0', out[length]);
  return std::string(out.data(), length);
}

// Decoded bytes, or "<invalid:N>" with the count of bytes produced before the fault.
std::string decode(const std::string& text) {
  Buffer buffer;
  const bool ok = decodeBase64(text.data(), static_cast<unsigned>(text.size()), buffer);
  const std::string bytes(reinterpret_cast<const char*>(buffer.data()), buffer.size());
  return ok ? bytes : "<invalid:" + std::to_string(buffer.size()) + ">";
}

TEST(Base64, EncodesTheStandardTestVectors) {
  EXPECT_EQ("", encode(""));
  EXPECT_EQ("Zg==", encode("f"));
  EXPECT_EQ("Zm8=", encode("fo"));
  EXPECT_EQ("Zm9v", encode("foo"));
  EXPECT_EQ("Zm9vYg==", encode("foob"));
  EXPECT_EQ("Zm9vYmE=", encode("fooba"));
  EXPECT_EQ("Zm9vYmFy", encode("foobar"));
  EXPECT_EQ("+/+/", encode(std::string("\xfb\xff\xbf", 3)));
}

TEST(Base64, EstimateIsExactAndRefusesLengthsBeyond32Bits) {
  EXPECT_EQ(0u, estimateBase64Length(0));
  EXPECT_EQ(4u, estimateBase64Length(1));
  EXPECT_EQ(4u, estimateBase64Length(3));
  EXPECT_EQ(8u, estimateBase64Length(4));
  EXPECT_EQ(4294967292u, estimateBase64Length(3221225469u));
  EXPECT_KS_THROW(estimateBase64Length(3221225470u), 5, "Base64 text of 3221225470 bytes is too long");
}

TEST(Base64, EncodeWritesNothingWhenTheCapacityIsTooSmall) {
  char out[8];
  std::memset(out, '#', sizeof out);
  const unsigned char data[4] = {1, 2, 3, 4};
  EXPECT_EQ(0u, encodeBase64(data, 4, out, 7));
  EXPECT_EQ("########", std::string(out, 8));
  // Exactly the text's length: written, without terminator.
  EXPECT_EQ(8u, encodeBase64(data, 4, out, 8));
  EXPECT_EQ("AQIDBA==", std::string(out, 8));
}

TEST(Base64, DecodesWhatItEncodesForEveryRemainder) {
  std::mt19937 random(7);
  for (size_t size = 0; size < 200; ++size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    EXPECT_EQ(bytes, decode(encode(bytes))) << "size " << size;
  }
}

TEST(Base64, RejectsTextThatIsNotBase64AndReportsWhatItDecodedBefore) {
  EXPECT_EQ("<invalid:3>", decode("Zm9vYg="));   // length not a multiple of 4
  EXPECT_EQ("<invalid:3>", decode("Zm9v*mFy"));  // character outside the alphabet
  EXPECT_EQ("<invalid:3>", decode("Zm9vYmF"));
  EXPECT_EQ("<invalid:0>", decode("Zg==Zm9v"));  // padding before the last group
  EXPECT_EQ("<invalid:3>", decode("Zm9vZ==="));  // three padding characters
  EXPECT_EQ("<invalid:3>", decode("Zm9vZ=9v"));  // padding inside the last group
  EXPECT_EQ("<invalid:3>", decode(std::string("Zm9v\0mFy", 8)));
  EXPECT_EQ("foobar", decode("Zm9vYmFy"));
}

TEST(Base64, DecodeNeverWritesPastItsCapacityNorReadsPastItsLength) {
  const std::string text = "Zm9vYmFyYmF6";  // "foobarbaz"
  for (size_t capacity = 0; capacity <= 9; ++capacity) {
    std::vector<unsigned char> out(capacity + 1, 0xEE);
    const Base64Decoded result = decodeBase64To(text.data(), text.size(), out.data(), capacity);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(9u, result.size);
    EXPECT_EQ(std::string("foobarbaz", capacity), std::string(out.begin(), out.begin() + capacity));
    EXPECT_EQ(0xEE, out[capacity]) << "capacity " << capacity;
  }
  // Only the given characters are read: the invalid one after them does not count.
  const std::string longer = "Zm9v!";
  unsigned char out[3];
  EXPECT_TRUE(decodeBase64To(longer.data(), 4, out, 3).ok);
}

}  // namespace
}  // namespace ks
