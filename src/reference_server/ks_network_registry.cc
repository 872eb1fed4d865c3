#include "ks_network_registry.h"

#include <future>
#include <map>
#include <mutex>

#include "ks_sha256.h"

namespace ks {
namespace server {

struct NetworkRegistry::State {
  struct Entry {
    std::weak_ptr<const OnnxNetwork> network;
    std::shared_future<std::shared_ptr<const OnnxNetwork>> loading;  // valid while the first load runs
  };

  const size_t networkLimit;
  MemoryBudgetRef total;
  mutable std::mutex mutex;  // guards entries
  std::map<Sha256Digest, Entry> entries;

  State(size_t networkLimit_, size_t totalLimit)
      : networkLimit(networkLimit_), total(MemoryBudget::create("all networks", totalLimit)) {}
};

NetworkRegistry::NetworkRegistry(size_t networkLimit, size_t totalLimit)
    : state_(std::make_shared<State>(networkLimit, totalLimit)) {}

NetworkRegistry::~NetworkRegistry() = default;

std::shared_ptr<const OnnxNetwork> NetworkRegistry::load(const std::string& modelBytes) {
  const Sha256Digest digest = sha256(modelBytes.data(), modelBytes.size());
  std::promise<std::shared_ptr<const OnnxNetwork>> promise;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    State::Entry& entry = state_->entries[digest];
    if (std::shared_ptr<const OnnxNetwork> held = entry.network.lock()) return held;
    if (entry.loading.valid()) {
      std::shared_future<std::shared_ptr<const OnnxNetwork>> loading = entry.loading;
      lock.unlock();
      return loading.get();
    }
    entry.loading = promise.get_future().share();
  }

  std::shared_ptr<const OnnxNetwork> network;
  try {
    auto* loaded = new OnnxNetwork(
        modelBytes, MemoryBudgetRef(MemoryBudget::create("network", state_->networkLimit, state_->total.get())));
    // The entry goes with the network's last user; the registry's state outlives both.
    std::weak_ptr<State> weakState = state_;
    network = std::shared_ptr<const OnnxNetwork>(loaded, [weakState, digest](const OnnxNetwork* gone) {
      if (std::shared_ptr<State> state = weakState.lock()) {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto found = state->entries.find(digest);
        if (found != state->entries.end() && found->second.network.expired() && !found->second.loading.valid()) {
          state->entries.erase(found);
        }
      }
      delete gone;
    });
  } catch (...) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->entries.erase(digest);
    promise.set_exception(std::current_exception());
    throw;
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  State::Entry& entry = state_->entries[digest];
  entry.network = network;
  entry.loading = {};
  promise.set_value(network);
  return network;
}

size_t NetworkRegistry::count() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  size_t held = 0;
  for (const auto& entry : state_->entries) held += entry.second.network.expired() ? 0 : 1;
  return held;
}

size_t NetworkRegistry::heldBytes() const { return state_->total->used(); }

}  // namespace server
}  // namespace ks
