// The networks the server holds, one per distinct network: sessions that load byte-identical networks
// share one loaded network, which goes with its last user.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "ks_onnx_network.h"

namespace ks {
namespace server {

// Thread-safe.
class NetworkRegistry {
 public:
  // Each network may hold `networkLimit` bytes, all networks together `totalLimit`; 0: no limit.
  NetworkRegistry(size_t networkLimit, size_t totalLimit);
  ~NetworkRegistry();

  NetworkRegistry(const NetworkRegistry&) = delete;
  NetworkRegistry& operator=(const NetworkRegistry&) = delete;

  // The loaded network for `modelBytes`: the one already held when byte-identical bytes (by SHA-256) were
  // loaded before and still have a user, else a new one. Concurrent loads of the same bytes load once and
  // all wait for it. Throws what OnnxNetwork's constructor throws, to every caller waiting for that load.
  // The network may outlive the registry.
  std::shared_ptr<const OnnxNetwork> load(const std::string& modelBytes);

  // Networks held now, and the bytes they hold together.
  size_t count() const;
  size_t heldBytes() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace server
}  // namespace ks
