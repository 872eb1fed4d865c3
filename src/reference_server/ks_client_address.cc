#include "ks_client_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <stdexcept>

namespace ks {
namespace server {
namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The host part of an "ip:port" or "[ip]:port" peer address.
std::string hostOf(const std::string& peer) {
  if (!peer.empty() && peer.front() == '[') return peer.substr(1, peer.find(']') - 1);
  return peer.substr(0, peer.rfind(':'));
}

}  // namespace

std::string canonicalAddress(const std::string& text) {
  std::string host = trimmed(text);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  unsigned char bytes[16];
  char canonical[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, host.c_str(), bytes) == 1) return inet_ntop(AF_INET, bytes, canonical, sizeof canonical);
  if (inet_pton(AF_INET6, host.c_str(), bytes) != 1) return "";
  // A dual-stack listener sees IPv4 peers as ::ffff:a.b.c.d: the same client as a.b.c.d.
  const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::equal(mapped, mapped + 12, bytes)) return inet_ntop(AF_INET, bytes + 12, canonical, sizeof canonical);
  return inet_ntop(AF_INET6, bytes, canonical, sizeof canonical);
}

std::string ClientAddresses::countedAs(const std::string& address) {
  unsigned char bytes[16];
  if (inet_pton(AF_INET6, address.c_str(), bytes) != 1) return address;
  std::fill(bytes + 8, bytes + 16, 0);
  char prefix[INET6_ADDRSTRLEN];
  return std::string(inet_ntop(AF_INET6, bytes, prefix, sizeof prefix)) + "/64";
}

ClientAddresses::ClientAddresses(const std::string& trustedProxies) {
  size_t start = 0;
  while (start < trustedProxies.size()) {
    const size_t comma = std::min(trustedProxies.find(',', start), trustedProxies.size());
    const std::string entry = trimmed(trustedProxies.substr(start, comma - start));
    const std::string address = canonicalAddress(entry);
    if (address.empty()) throw std::invalid_argument("a trusted proxy is an IP address, not '" + entry + "'");
    trusted_.insert(address);
    start = comma + 1;
  }
}

std::string ClientAddresses::of(const HttpRequest& request) const {
  std::string client = canonicalAddress(hostOf(request.clientAddress));
  if (!trusts(client)) return client;
  const std::string* forwarded = nullptr;
  for (const auto& [name, value] : request.headers) {
    if (name == "x-forwarded-for") forwarded = &value;
  }
  if (forwarded == nullptr) return client;
  size_t end = forwarded->size();
  while (trusts(client)) {
    const size_t comma = end == 0 ? std::string::npos : forwarded->rfind(',', end - 1);
    const size_t start = comma == std::string::npos ? 0 : comma + 1;
    const std::string entry = canonicalAddress(forwarded->substr(start, end - start));
    if (entry.empty()) break;
    client = entry;
    if (comma == std::string::npos) break;
    end = comma;
  }
  return client;
}

}  // namespace server
}  // namespace ks
