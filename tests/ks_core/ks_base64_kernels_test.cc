// Every SIMD Base64 kernel must behave exactly like the portable one: the same text, the same bytes
// written (and none past them), the same ok/size, for valid and invalid input and any capacity.
#include "ks_base64_kernels.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ks {

// Names the kernel in test output.
void PrintTo(const Base64Kernel& kernel, std::ostream* os) { *os << kernel.name; }

namespace {

using Bytes = std::vector<unsigned char>;
using Text = std::vector<char>;  // exactly sized on the heap, so AddressSanitizer sees any over-read

constexpr size_t kGuard = 64;
constexpr unsigned char kFill = 0xA5;

const Base64Kernel& scalarKernel() { return *base64Kernels().begin(); }

Bytes randomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
  return bytes;
}

// The text, checked to fill exactly its length and leave the guard after it alone.
Text encodeWith(const Base64Kernel& kernel, const Bytes& bytes) {
  const size_t length = base64EncodedLength(bytes.size());
  Text out(length + kGuard, static_cast<char>(kFill));
  kernel.encode(bytes.data(), bytes.size(), out.data());
  for (size_t i = length; i < out.size(); ++i) {
    EXPECT_EQ(kFill, static_cast<unsigned char>(out[i])) << kernel.name << " wrote past the text at " << i;
  }
  out.resize(length);
  return out;
}

struct Decoded {
  bool ok;
  size_t size;
  Bytes buffer;  // the whole output buffer, guard included

  bool operator==(const Decoded& other) const { return ok == other.ok && size == other.size && buffer == other.buffer; }
};

std::ostream& operator<<(std::ostream& os, const Decoded& d) {
  return os << "{ok=" << d.ok << ", size=" << d.size << "}";
}

Decoded decodeWith(const Base64Kernel& kernel, const Text& text, size_t capacity) {
  // A copy with no spare capacity behind the characters.
  const Text exact(text);  // NOLINT(performance-unnecessary-copy-initialization)
  Bytes buffer(capacity + kGuard, kFill);
  const Base64Decoded result = kernel.decode(exact.data(), exact.size(), buffer.data(), capacity);
  for (size_t i = capacity; i < buffer.size(); ++i) {
    EXPECT_EQ(kFill, buffer[i]) << kernel.name << " wrote past capacity " << capacity << " at " << i;
  }
  return {result.ok, result.size, std::move(buffer)};
}

size_t fullCapacity(const Text& text) { return text.size() / 4 * 3; }

class Base64KernelTest : public testing::TestWithParam<Base64Kernel> {
 protected:
  void SetUp() override {
    if (!GetParam().supported) GTEST_SKIP() << GetParam().name << " is not supported by this CPU";
  }

  void expectDecodesLikeScalar(const Text& text, size_t capacity) {
    EXPECT_EQ(decodeWith(scalarKernel(), text, capacity), decodeWith(GetParam(), text, capacity))
        << "text '" << std::string(text.begin(), text.end()) << "', capacity " << capacity;
  }

  void expectSameTextAndRoundTrip(const Bytes& bytes) {
    const Text text = encodeWith(GetParam(), bytes);
    ASSERT_EQ(encodeWith(scalarKernel(), bytes), text) << bytes.size() << " bytes";
    const Decoded decoded = decodeWith(GetParam(), text, bytes.size());
    EXPECT_TRUE(decoded.ok);
    EXPECT_EQ(bytes, Bytes(decoded.buffer.begin(), decoded.buffer.begin() + bytes.size()));
    EXPECT_EQ(bytes.size(), decoded.size);
  }
};

std::vector<Base64Kernel> simdKernels() {
  std::vector<Base64Kernel> kernels;
  for (const Base64Kernel& kernel : base64Kernels()) {
    if (kernel.encode != scalarKernel().encode) kernels.push_back(kernel);
  }
  return kernels;
}

TEST_P(Base64KernelTest, EncodesAndRoundTripsEveryLengthUpTo300) {
  for (size_t size = 0; size <= 300; ++size) expectSameTextAndRoundTrip(randomBytes(size, 1000 + size));
}

TEST_P(Base64KernelTest, EncodesAndRoundTripsMegabytesWithOddRemainders) {
  for (size_t extra : {0, 1, 2, 47, 95}) expectSameTextAndRoundTrip(randomBytes((1 << 20) + extra, extra));
}

TEST_P(Base64KernelTest, RejectsEveryByteOutsideTheAlphabetAtEveryPosition) {
  const Text valid = encodeWith(scalarKernel(), randomBytes(99, 7));  // 132 characters, no padding
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t position = 0; position < valid.size(); ++position) {
    for (int c = 0; c < 256; ++c) {
      Text text = valid;
      text[position] = static_cast<char>(c);
      const Decoded decoded = decodeWith(GetParam(), text, fullCapacity(text));
      ASSERT_EQ(decodeWith(scalarKernel(), text, fullCapacity(text)), decoded) << "byte " << c << " at " << position;
      // Padding may stand in the last two places; everything else outside the alphabet is a fault.
      const bool inAlphabet = c != 0 && alphabet.find(static_cast<char>(c)) != std::string::npos;
      if (position < valid.size() - 2) {
        ASSERT_EQ(inAlphabet, decoded.ok) << "byte " << c << " at " << position;
      }
    }
  }
}

TEST_P(Base64KernelTest, ReportsTheBytesBeforeAFaultInLongerTexts) {
  // Characters on both sides of each alphabet range, the alphabet's ASCII with the top bit set, and NUL.
  const unsigned char bad[] = {'*', ',', '.', ':', '@', '[', '`', '{', 0x7F, 0x80, 0xAB, 0xAF, 0xC1, 0xFF, 0, '='};
  for (size_t size : {48, 96, 384, 1000}) {
    const Text valid = encodeWith(scalarKernel(), randomBytes(size, static_cast<unsigned>(size)));
    for (size_t position = 0; position < valid.size(); ++position) {
      Text text = valid;
      text[position] = static_cast<char>(bad[position % sizeof bad]);
      expectDecodesLikeScalar(text, fullCapacity(text));
    }
  }
}

TEST_P(Base64KernelTest, HandlesPaddingAndLengthsNotAMultipleOfFour) {
  const Text valid = encodeWith(scalarKernel(), randomBytes(200, 3));
  for (size_t length = 0; length <= valid.size(); ++length) {
    const Text prefix(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(length));
    expectDecodesLikeScalar(prefix, length / 4 * 3);
    for (const char* suffix : {"=", "==", "A=", "AB==", "ABC=", "A===", "====", "=AAA"}) {
      Text text = prefix;
      text.insert(text.end(), suffix, suffix + std::strlen(suffix));
      expectDecodesLikeScalar(text, fullCapacity(text));
    }
  }
}

TEST_P(Base64KernelTest, NeverWritesPastTheCapacity) {
  const Text valid = encodeWith(scalarKernel(), randomBytes(299, 5));  // ends in "="
  Text faulty = valid;
  faulty[300] = '-';
  for (size_t capacity = 0; capacity <= fullCapacity(valid) + 3; ++capacity) {
    expectDecodesLikeScalar(valid, capacity);
    expectDecodesLikeScalar(faulty, capacity);
  }
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Base64KernelTest);
INSTANTIATE_TEST_SUITE_P(Simd, Base64KernelTest, testing::ValuesIn(simdKernels()),
                         [](const testing::TestParamInfo<Base64Kernel>& info) { return info.param.name; });

}  // namespace
}  // namespace ks
