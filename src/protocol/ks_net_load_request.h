// The network load request: a whole network file as Base64 text, the tensors to feed and read, and where
// the server is to run it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace ks {

struct NetLoadRequest {
  std::vector<char> net;                    // Base64 text of the network file, followed by a NUL
  std::vector<std::string> input_tensors;   // names of the tensors the caller feeds, in its order
  std::vector<std::string> output_tensors;  // names of the tensors the caller reads, in its order
  std::string key;                          // passed through for the server
  std::string cache_dir;                    // passed through for the server
  int32_t backend = 0;                      // ks::BackendId
  int32_t device_type = 0;                  // ks::DeviceType
  int32_t device_index = 0;
};

// {"input_tensors":[...],"output_tensors":[...],"net":"...","key":"...","cache_dir":"...","backend":i,
// "device_type":i,"device_index":i}. Names are written whole; "net", "key" and "cache_dir" up to their
// first NUL (a `net` without NUL is written whole).
std::string loadRequestToJson(const NetLoadRequest& request);

// The message around its "net" text, for sending a large network without building the whole text:
// prefix + net + suffix is what loadRequestToJson writes for a request whose `net` holds that text, when
// the text needs no escaping (Base64 never does). `request.net` itself is not used.
struct LoadRequestFrame {
  std::string prefix;  // up to and including the opening quote of "net"
  std::string suffix;  // from the closing quote of "net" to the end
};
LoadRequestFrame loadRequestFrame(const NetLoadRequest& request);

// Fills `request` from the text. Throws std::invalid_argument naming the first member, in the order
// written above, that is absent or of the wrong type; `request` is unchanged then. Then the three ints,
// "net" (up to its first NUL, plus a NUL), "key" and "cache_dir" are stored and the names are appended to
// the lists; a name that is not a string throws, keeping what was stored and appended before it.
void loadRequestFromJson(NetLoadRequest& request, const char* text);

// The same for a message parsed already: `root` as json::ParsedMessage or json::parseObjectInPlace give it.
void loadRequestFromJson(NetLoadRequest& request, const rapidjson::Value& root);

}  // namespace ks
