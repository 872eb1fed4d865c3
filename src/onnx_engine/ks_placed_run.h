// One run of a network in the worker on tensors placed in a channel's shared region: the inputs are handed
// to ONNX Runtime where they lie, and the outputs are copied into the region after them.
#pragma once

#include <atomic>
#include <cstddef>

#include <onnxruntime_cxx_api.h>

#include "ks_onnx_network.h"
#include "ks_shared_memory.h"
#include "ks_worker_messages.h"

namespace ks {
namespace server {

// Runs `network` as `request` says (repetitions, memory limit, parallel or not) with `options`, which
// another thread may terminate. The region may grow for the outputs, to at most `maxRegionBytes`. Returns
// where each output lies, in the request's order. Throws EngineError: kBadRequest for a request that does
// not fit the network or the region (the server's fault) and for an output that cannot be sent (not a
// tensor of the seven data types, more than 4 dimensions); kOverBudget when a run needs more than its
// limit or the outputs more room than the region may take; kInterrupted when `options` was terminated;
// kRunFailed with the engine's own text otherwise.
RanMessage runPlaced(const OnnxNetwork& network, const RunMessage& request, SharedMemory& region, size_t maxRegionBytes,
                     const Ort::RunOptions& options, const std::atomic<bool>& terminated);

}  // namespace server
}  // namespace ks
