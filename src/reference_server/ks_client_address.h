// Who sent a request, as the per-client bounds count clients: the peer's address, or, when the peer is a
// proxy this server trusts, the address that proxy put in X-Forwarded-For. nginx appends the address it
// was connected from to what the client sent, so only the entries to the right of the last untrusted
// address are the proxies' own word; whatever a client wrote stands to its left.
#pragma once

#include <set>
#include <string>

#include "ks_http_message.h"

namespace ks {
namespace server {

class ClientAddresses {
 public:
  // `trustedProxies`: IP addresses (IPv4 or IPv6) separated by commas; empty: none. Throws
  // std::invalid_argument naming an entry that is not an IP address.
  explicit ClientAddresses(const std::string& trustedProxies = "");

  // The client of `request`, as an IP address in its canonical text form. Walking X-Forwarded-For
  // (its last header) from the right, past the trusted proxies, it is the first address no trusted
  // proxy has; an entry that is no address ends the walk at the proxy that passed it on.
  std::string of(const HttpRequest& request) const;

  bool trusts(const std::string& address) const { return trusted_.count(address) != 0; }

  // What the per-client bounds count as one client: an IPv4 address itself, an IPv6 address's /64, the
  // least a site is given (so one machine cannot pose as 2^64 clients). `address` is canonical, as of()
  // returns it.
  static std::string countedAs(const std::string& address);

 private:
  std::set<std::string> trusted_;
};

// `text` as an IP address in canonical form ("::1" for "0:0::1", brackets dropped, an IPv4-mapped IPv6
// address as IPv4); empty when it is none.
std::string canonicalAddress(const std::string& text);

}  // namespace server
}  // namespace ks
