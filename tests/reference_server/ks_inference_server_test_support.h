// What the server's tests share: the test networks (support/test_models.h), and a server on an ephemeral
// loopback port that stops when the test ends.
#pragma once

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks_inference_server.h"
#include "support/test_models.h"

namespace ks {
namespace server {
namespace testing {

using ks::testing::expectClose;
using ks::testing::floatLayout;
using ks::testing::modelPath;
using ks::testing::readFile;
using ks::testing::referenceInput;
using ks::testing::referenceValues;
using ks::testing::valuesOf;

// `options` with this tree's worker program, unless they name one.
inline InferenceServerOptions withWorker(InferenceServerOptions options) {
  if (options.service.engine.workerProgram.empty()) options.service.engine.workerProgram = KS_WORKER_PROGRAM;
  return options;
}

// A server started on an ephemeral port of 127.0.0.1 (the options' defaults) with this tree's worker
// program; stopped by its destructor.
struct RunningServer {
  explicit RunningServer(InferenceServerOptions options = {})
      : server(withWorker(std::move(options))), port(server.start()) {}
  InferenceServer server;
  const int port;
};

}  // namespace testing
}  // namespace server
}  // namespace ks
