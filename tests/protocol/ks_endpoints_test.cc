#include "ks_endpoints.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ks_hex.h"

namespace ks {
namespace {

// The targets the protocol's peers expect, byte for byte.
TEST(Endpoints, BuildTheTargetsOnTheWire) {
  EXPECT_EQ("/session?action=new", requestTarget(Endpoint::kSessionNew, "ignored"));
  EXPECT_EQ("/session?action=delete&session_id=n1-ab", requestTarget(Endpoint::kSessionDelete, "n1-ab"));
  EXPECT_EQ("/net?action=get_layouts&session_id=x", requestTarget(Endpoint::kGetLayouts, "x"));
  EXPECT_EQ("/net?action=load&session_id=x", requestTarget(Endpoint::kLoad, "x"));
  EXPECT_EQ("/inference?session_id=a%20b%26c%3Fd%3D%FF%00%2B",
            requestTarget(Endpoint::kInference, std::string("a b&c?d=\xff\0+", 11)));
  EXPECT_EQ("/inference?session_id=AZaz09-._~", requestTarget(Endpoint::kInference, "AZaz09-._~"));
}

TEST(Endpoints, AreFoundByPathAndActionOnly) {
  const std::string load = "load";
  const std::string other = "Load";
  ASSERT_NE(nullptr, findEndpoint("/net", &load));
  EXPECT_EQ(Endpoint::kLoad, findEndpoint("/net", &load)->endpoint);
  EXPECT_EQ(nullptr, findEndpoint("/net", &other));
  EXPECT_EQ(nullptr, findEndpoint("/net", nullptr));
  EXPECT_EQ(Endpoint::kInference, findEndpoint("/inference", &other)->endpoint);
  EXPECT_EQ(nullptr, findEndpoint("/inference/", nullptr));
  EXPECT_TRUE(knownPath("/net"));
  EXPECT_FALSE(knownPath("/"));
  for (const EndpointInfo& entry : endpoints()) EXPECT_EQ(&entry, &infoOf(entry.endpoint));
}

TEST(Hex, RoundTripsAndRefusesAnythingButLowerCaseDigits) {
  const unsigned char bytes[] = {0x00, 0x9f, 0xa0, 0xff};
  EXPECT_EQ("009fa0ff", toHex(bytes, sizeof bytes));
  unsigned char back[4] = {};
  ASSERT_TRUE(fromHex("009fa0ff", back, sizeof back));
  EXPECT_EQ(0, std::memcmp(bytes, back, sizeof bytes));
  EXPECT_FALSE(fromHex("009FA0FF", back, sizeof back));
  EXPECT_FALSE(fromHex("009fa0f", back, sizeof back));
  EXPECT_FALSE(fromHex("009fa0fg", back, sizeof back));
}

}  // namespace
}  // namespace ks
