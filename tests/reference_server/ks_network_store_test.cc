#include "ks_network_store.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace ks {
namespace server {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TempFolder {
  TempFolder() : path(fs::temp_directory_path() / ("ks_network_store_test_" + std::to_string(getpid()))) {
    fs::remove_all(path);
  }
  ~TempFolder() { fs::remove_all(path); }
  fs::path path;
};

Sha256Digest digestOf(const std::string& bytes) { return sha256(bytes.data(), bytes.size()); }

fs::path fileOf(const TempFolder& folder, const std::string& bytes) {
  return folder.path / (digestHex(digestOf(bytes)) + ".onnx");
}

const NetworkStore::NamedNetworks kNoneNamed = [] { return std::set<std::string>(); };

TEST(NetworkStore, AnUploadOfTheSameBytesWritesADamagedFileAgain) {
  TempFolder folder;
  NetworkStore store(folder.path.string(), 0, 0ms);
  const std::string network(1000, 'n');
  ASSERT_TRUE(store.put(digestOf(network), network, kNoneNamed));
  {
    std::fstream file(fileOf(folder, network), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(500);
    file.put('x');  // the same size, other bytes
  }
  ASSERT_TRUE(store.put(digestOf(network), network, kNoneNamed));
  NetworkStore::Fault fault = NetworkStore::Fault::kMissing;
  const std::optional<SharedMemory> read = store.get(digestHex(digestOf(network)), &fault);
  ASSERT_TRUE(read);
  EXPECT_EQ(network, std::string(reinterpret_cast<const char*>(read->data()), read->size()));
}

TEST(NetworkStore, MakesRoomByRemovingTheLeastRecentlyUsedNetworksNoSessionNamesAndNothingNewer) {
  TempFolder folder;
  NetworkStore store(folder.path.string(), 250, 1min);
  const std::string a(100, 'a'), b(100, 'b'), c(100, 'c'), d(100, 'd'), e(100, 'e');
  ASSERT_TRUE(store.put(digestOf(a), a, kNoneNamed));
  ASSERT_TRUE(store.put(digestOf(b), b, kNoneNamed));
  // Used an hour and two hours ago: b the least recently.
  fs::last_write_time(fileOf(folder, a), fs::file_time_type::clock::now() - 1h);
  fs::last_write_time(fileOf(folder, b), fs::file_time_type::clock::now() - 2h);
  const NetworkStore::NamedNetworks bNamed = [&] { return std::set<std::string>{digestHex(digestOf(b))}; };

  ASSERT_TRUE(store.put(digestOf(c), c, bNamed));
  EXPECT_FALSE(fs::exists(fileOf(folder, a)));  // the unnamed one went, though b was used earlier
  EXPECT_TRUE(fs::exists(fileOf(folder, b)));
  // Now only b (named) and c (used within the settle time) are there: nothing can go.
  EXPECT_FALSE(store.put(digestOf(d), d, bNamed));
  EXPECT_FALSE(fs::exists(fileOf(folder, d)));
  // Nor when the store cannot tell what is named.
  fs::last_write_time(fileOf(folder, c), fs::file_time_type::clock::now() - 1h);
  EXPECT_FALSE(store.put(digestOf(d), d, [&]() -> std::set<std::string> { throw std::runtime_error("down"); }));
  ASSERT_TRUE(store.put(digestOf(e), e, bNamed));
  EXPECT_FALSE(fs::exists(fileOf(folder, c)));
  EXPECT_EQ(200u, store.totalBytes());
  EXPECT_FALSE(store.put(digestOf(std::string(251, 'f')), std::string(251, 'f'), kNoneNamed));
}

}  // namespace
}  // namespace server
}  // namespace ks
