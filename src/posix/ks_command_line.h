// Command lines read with glibc's getopt_long, one way in every program: long options by name, "--opt
// value" and "--opt=value" alike, a one-letter alias where an option has one, and one sentence for
// whatever is wrong with the line.
#pragma once

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <string>
#include <string_view>
#include <vector>

namespace ks {

struct CommandLineOption {
  const char* name;  // without the "--"
  bool takesValue;
  char alias = 0;  // '-h' for --help, say; 0: none
};

// Calls `take(name, value)` for each option in command-line order (`value` null for an option that takes
// none) until `take` returns false. Throws Error with "unknown option '--x'", "--x needs a value", "--x
// takes no value" or "unexpected argument 'x'". Not reentrant: getopt_long keeps its state in globals.
template <typename Error, typename Take>
void readCommandLine(int argc, char* const* argv, const std::vector<CommandLineOption>& options, Take take) {
  std::vector<option> longOptions;
  std::string shortOptions = "+:";  // stop at the first non-option; ':' for a missing value
  for (const CommandLineOption& o : options) {
    longOptions.push_back(
        {o.name, o.takesValue ? required_argument : no_argument, nullptr, 256 + static_cast<int>(longOptions.size())});
    if (o.alias != 0) shortOptions += std::string(1, o.alias) + (o.takesValue ? ":" : "");
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  const auto named = [&](int code) -> const CommandLineOption& {
    if (code >= 256) return options[static_cast<size_t>(code - 256)];
    for (const CommandLineOption& o : options) {
      if (o.alias == code) return o;
    }
    return options.front();  // getopt_long returns only the codes it was given
  };
  opterr = 0;
  optind = 0;  // starts getopt afresh, also after an earlier command line
  for (;;) {
    const int code = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
    if (code == -1) break;
    const std::string given = argv[optind - 1] != nullptr ? argv[optind - 1] : "";
    const std::string name = given.substr(0, given.find('='));
    if (code == ':') throw Error(name + " needs a value");
    if (code == '?') {
      for (const CommandLineOption& o : options) {
        if (!o.takesValue && name == std::string("--") + o.name) throw Error(name + " takes no value");
      }
      throw Error("unknown option '" + (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : given) + "'");
    }
    const CommandLineOption& o = named(code);
    if (!take(std::string_view(o.name), o.takesValue ? static_cast<const char*>(optarg) : nullptr)) return;
  }
  if (optind < argc) throw Error(std::string("unexpected argument '") + argv[optind] + "'");
}

// readCommandLine for a program with nothing to add to the sentence: prints "PROGRAM: sentence" and exits
// with 2 (a `take` that throws std::invalid_argument ends the same way).
template <typename Take>
void readCommandLineOrExit(const char* program, int argc, char* const* argv,
                           const std::vector<CommandLineOption>& options, Take take) {
  try {
    readCommandLine<std::invalid_argument>(argc, argv, options, take);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    std::exit(2);
  }
}

}  // namespace ks
