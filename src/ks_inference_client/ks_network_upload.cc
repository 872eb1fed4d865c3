#include "ks_network_upload.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ks_core/ks_base64.h"

namespace ks {

NetworkUpload::NetworkUpload(LoadRequestFrame frame, const std::vector<unsigned char>& file)
    : frame_(std::move(frame)), file_(file), netLength_(base64EncodedLength(file.size())) {}

size_t NetworkUpload::read(size_t offset, char* out, size_t capacity) const {
  const size_t total = size();
  if (offset >= total) return 0;
  const size_t count = std::min(capacity, total - offset);
  const size_t prefix = frame_.prefix.size();
  size_t done = 0;
  while (done < count) {
    const size_t at = offset + done;
    size_t piece;
    if (at < prefix) {
      piece = std::min(count - done, prefix - at);
      std::memcpy(out + done, frame_.prefix.data() + at, piece);
    } else if (at < prefix + netLength_) {
      piece = std::min(count - done, prefix + netLength_ - at);
      readNet(at - prefix, out + done, piece);
    } else {
      const size_t from = at - prefix - netLength_;
      piece = count - done;
      std::memcpy(out + done, frame_.suffix.data() + from, piece);
    }
    done += piece;
  }
  return count;
}

void NetworkUpload::readNet(size_t position, char* out, size_t count) const {
  // Whole groups of four characters go straight out; a group cut by the start or the end of the range
  // is encoded aside and copied in part.
  const size_t groups = file_.size() / 3 + (file_.size() % 3 ? 1 : 0);
  const auto encodeGroup = [&](size_t group, char* into) {
    const size_t start = group * 3;
    encodeBase64To(file_.data() + start, std::min<size_t>(3, file_.size() - start), into);
  };
  char group[4];
  size_t done = 0;
  size_t index = position / 4;
  const size_t skip = position % 4;
  if (skip) {
    encodeGroup(index, group);
    done = std::min(count, 4 - skip);
    std::memcpy(out, group + skip, done);
    ++index;
  }
  const size_t whole = std::min((count - done) / 4, groups - index);
  if (whole) {
    const size_t start = index * 3;
    encodeBase64To(file_.data() + start, std::min(whole * 3, file_.size() - start), out + done);
    done += whole * 4;
    index += whole;
  }
  if (done < count) {
    encodeGroup(index, group);
    std::memcpy(out + done, group, count - done);
  }
}

}  // namespace ks
