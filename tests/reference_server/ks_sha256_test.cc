#include "ks_sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace ks {
namespace server {
namespace {

// FIPS 180-4's examples (one block, two blocks) and the empty message.
TEST(Sha256, GivesTheStandardsDigests) {
  const auto hexOf = [](const std::string& text) { return digestHex(sha256(text.data(), text.size())); };
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hexOf("abc"));
  EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
            hexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", hexOf(""));
  Sha256Digest back{};
  ASSERT_TRUE(digestFromHex(hexOf("abc"), back));
  EXPECT_EQ(sha256("abc", 3), back);
}

}  // namespace
}  // namespace server
}  // namespace ks
