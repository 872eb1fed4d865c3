#include "remote_run_options.h"

#include <gtest/gtest.h>

#include "support/expect_throw.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace ks {
namespace tools {
namespace {

RemoteRunOptions parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv = {"ks_remote_run"};
  argv.insert(argv.end(), args);
  return parseRemoteRunOptions(static_cast<int>(argv.size()), argv.data());
}

void expectUsageError(std::initializer_list<const char*> args, const std::string& message) {
  EXPECT_THROW_MSG(parse(args), UsageError, message);
}

TEST(RemoteRunOptions, KeepsInputsInCommandLineOrderWhetherFileOrRandom) {
  const RemoteRunOptions options =
      parse({"--server", "127.0.0.1:8080", "--net=a.onnx", "--input-name", "mask", "--input", "image=x=1.npy",
             "--random-inputs", "--output", "out", "--repetitions", "0", "--device-index", "-1"});
  EXPECT_EQ("127.0.0.1", options.host);
  EXPECT_EQ(8080, options.port);
  EXPECT_EQ("a.onnx", options.netPath);
  ASSERT_EQ(2u, options.inputs.size());
  EXPECT_EQ("mask", options.inputs[0].name);
  EXPECT_EQ("", options.inputs[0].file);
  EXPECT_EQ("image", options.inputs[1].name);
  EXPECT_EQ("x=1.npy", options.inputs[1].file) << "only the first '=' separates the name";
  EXPECT_TRUE(options.haveRepetitions) << "--repetitions 0 still asks for statistics";
  EXPECT_EQ(-1, options.deviceIndex);
}

TEST(RemoteRunOptions, RefusesIncompleteOrContradictoryCommandLines) {
  expectUsageError({"--net", "a", "--input", "i=f", "--output", "o"}, "--server HOST:PORT is required");
  expectUsageError({"--server", "h:1", "--input", "i=f", "--output", "o"}, "--net FILE is required");
  expectUsageError({"--server", "h:1", "--net", "a", "--input-name", "i", "--output", "o"},
                   "--input-name i has no file: add --random-inputs to fill it");
  expectUsageError(
      {"--server", "h:1", "--net", "a", "--input", "i=f", "--input-name", "i", "--random-inputs", "--output", "o"},
      "input 'i' is named twice");
  expectUsageError({"--server", "h:1", "--net", "a", "--input", "i=f", "--output", "o", "--output", "o"},
                   "output 'o' is named twice");
}

TEST(RemoteRunOptions, AcceptsNoInputsForANetworkThatTakesNone) {
  EXPECT_TRUE(parse({"--server", "h:1", "--net", "constant.onnx"}).inputs.empty());
}

TEST(RemoteRunOptions, RefusesMalformedValues) {
  expectUsageError({"--server", "localhost"}, "--server takes HOST:PORT, not 'localhost'");
  expectUsageError({"--server", "h:0"}, "the port of --server takes an integer in 1..65535, not '0'");
  expectUsageError({"--server", "h:80x"}, "the port of --server takes an integer in 1..65535, not '80x'");
  expectUsageError({"--input", "=f"}, "--input takes NAME=FILE, not '=f'");
  expectUsageError({"--input", "name"}, "--input takes NAME=FILE, not 'name'");
  expectUsageError({"--repetitions", "-1"}, "--repetitions takes an integer in 0..4294967295, not '-1'");
  expectUsageError({"--soak", "0"}, "--soak takes an integer in 1..604800, not '0'");
  expectUsageError({"--seed"}, "--seed needs a value");
  expectUsageError({"--quiet=yes"}, "--quiet takes no value");
  expectUsageError({"--frobnicate"}, "unknown option '--frobnicate'");
}

TEST(RemoteRunOptions, HelpNeedsNothingElse) {
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"--net", "a", "-h", "--bogus"}).help);
}

}  // namespace
}  // namespace tools
}  // namespace ks
