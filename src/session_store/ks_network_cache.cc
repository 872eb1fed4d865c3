#include "ks_network_cache.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

#include "ks_hex.h"

namespace ks {
namespace server {
namespace {

namespace fs = std::filesystem;

const char kSuffix[] = ".onnx";

std::string fileNameOf(const std::string& key) { return toHex(key.data(), key.size()) + kSuffix; }

bool isNetworkFile(const std::string& name) {
  if (name.size() <= sizeof kSuffix - 1) return false;
  const size_t stem = name.size() - (sizeof kSuffix - 1);
  if (name.compare(stem, std::string::npos, kSuffix) != 0) return false;
  return stem % 2 == 0 && std::all_of(name.begin(), name.begin() + static_cast<long>(stem),
                                      [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

NetworkCache::NetworkCache(std::string folder, uint64_t maxBytes) : folder_(std::move(folder)), maxBytes_(maxBytes) {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec) throw std::runtime_error("cannot create cache folder " + folder_ + ": " + ec.message());

  struct Found {
    std::string name;
    uint64_t bytes;
    fs::file_time_type modified;
  };
  std::vector<Found> found;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code entryError;
    if (isNetworkFile(name) && it->is_regular_file(entryError)) {
      found.push_back({name, it->file_size(entryError), it->last_write_time(entryError)});
    } else if (!name.empty() && name.back() == '~') {
      fs::remove(it->path(), entryError);  // left by a run that stopped while writing
    }
  }
  if (ec) throw std::runtime_error("cannot read cache folder " + folder_ + ": " + ec.message());
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.modified < b.modified; });
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Found& file : found) {
    entries_[file.name] = Entry{file.bytes, ++clock_};
    totalBytes_ += file.bytes;
  }
  evictLocked();
}

std::string NetworkCache::find(const std::string& key) {
  if (key.empty() || key.size() > kMaxKeyBytes) return {};
  const std::string name = fileNameOf(key);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = entries_.find(name);
    if (entry == entries_.end()) return {};
    entry->second.lastUse = ++clock_;
  }
  const fs::path path = fs::path(folder_) / name;
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::error_code ignored;
  fs::last_write_time(path, fs::file_time_type::clock::now(), ignored);  // the order of use survives a restart
  return bytes;
}

bool NetworkCache::store(const std::string& key, std::string_view bytes) {
  if (key.empty() || key.size() > kMaxKeyBytes || bytes.empty()) return false;
  if (maxBytes_ != 0 && bytes.size() > maxBytes_) return false;
  const std::string name = fileNameOf(key);
  const fs::path target = fs::path(folder_) / name;
  uint64_t partialNumber;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    partialNumber = ++partials_;
  }
  // Written aside and renamed, so a concurrent load under the same key never reads half a file. The name
  // stays within 255 bytes for the longest key.
  fs::path partial = target;
  partial += "." + std::to_string(partialNumber % 100000) + "~";
  std::error_code ec;
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) {
      file.close();
      fs::remove(partial, ec);
      return false;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  fs::rename(partial, target, ec);
  if (ec) {
    fs::remove(partial, ec);
    return false;
  }
  auto entry = entries_.find(name);
  if (entry != entries_.end()) totalBytes_ -= entry->second.bytes;
  entries_[name] = Entry{bytes.size(), ++clock_};
  totalBytes_ += bytes.size();
  evictLocked();
  return true;
}

void NetworkCache::evictLocked() {
  while (maxBytes_ != 0 && totalBytes_ > maxBytes_ && !entries_.empty()) {
    auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                   [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; });
    std::error_code ignored;
    fs::remove(fs::path(folder_) / oldest->first, ignored);
    totalBytes_ -= oldest->second.bytes;
    entries_.erase(oldest);
  }
}

uint64_t NetworkCache::totalBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totalBytes_;
}

size_t NetworkCache::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace server
}  // namespace ks
