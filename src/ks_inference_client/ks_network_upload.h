// The body of a network load request, produced piece by piece from the network file's bytes: the Base64
// text of a large network is never held whole, so an upload needs little more memory than the file.
#pragma once

#include <cstddef>
#include <vector>

#include "ks_net_load_request.h"

namespace ks {

class NetworkUpload {
 public:
  // `frame` is the message around the "net" text; `file` the network's bytes (kept by reference: it must
  // outlive this object).
  NetworkUpload(LoadRequestFrame frame, const std::vector<unsigned char>& file);

  // Length of the whole message.
  size_t size() const { return frame_.prefix.size() + netLength_ + frame_.suffix.size(); }

  // Writes the message's bytes from `offset` on into `out`: min(capacity, size() - offset) of them, which
  // it returns.
  size_t read(size_t offset, char* out, size_t capacity) const;

 private:
  // Writes `count` characters of the Base64 text from character `position` on.
  void readNet(size_t position, char* out, size_t count) const;

  LoadRequestFrame frame_;
  const std::vector<unsigned char>& file_;
  size_t netLength_;
};

}  // namespace ks
