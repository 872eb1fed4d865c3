#include "ks_network_cache.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace ks {
namespace server {
namespace {

namespace fs = std::filesystem;

struct TempFolder {
  TempFolder() : path(fs::temp_directory_path() / ("ks_cache_test_" + std::to_string(getpid()))) {
    fs::remove_all(path);
  }
  ~TempFolder() { fs::remove_all(path); }
  fs::path path;
};

TEST(NetworkCache, EvictsTheLeastRecentlyUsedNetworksBeyondItsBound) {
  TempFolder folder;
  NetworkCache cache(folder.path.string(), 250);
  ASSERT_TRUE(cache.store("a", std::string(100, 'a')));
  ASSERT_TRUE(cache.store("b", std::string(100, 'b')));
  EXPECT_EQ(std::string(100, 'a'), cache.find("a"));  // now "b" is the least recently used
  ASSERT_TRUE(cache.store("c", std::string(100, 'c')));
  EXPECT_EQ("", cache.find("b"));
  EXPECT_EQ(std::string(100, 'a'), cache.find("a"));
  EXPECT_EQ(200u, cache.totalBytes());
  EXPECT_EQ(2, std::distance(fs::directory_iterator(folder.path), {}));
  EXPECT_FALSE(cache.store("d", std::string(251, 'd')));  // larger than the whole bound: not kept
  EXPECT_EQ(2u, cache.count());
}

TEST(NetworkCache, KeepsTheLongestKeyAndFindsWhatAnEarlierRunLeft) {
  TempFolder folder;
  const std::string longest(NetworkCache::kMaxKeyBytes, '\xfe');
  {
    NetworkCache cache(folder.path.string(), 0);
    ASSERT_TRUE(cache.store(longest, "network"));
    std::ofstream(folder.path / "abcd.onnx.7~") << "half written";  // left by a run that stopped mid-write
  }
  NetworkCache again(folder.path.string(), 0);
  EXPECT_EQ("network", again.find(longest));
  EXPECT_EQ(1u, again.count());
  EXPECT_FALSE(fs::exists(folder.path / "abcd.onnx.7~"));
  EXPECT_FALSE(again.store(longest + "x", "network"));
}

}  // namespace
}  // namespace server
}  // namespace ks
