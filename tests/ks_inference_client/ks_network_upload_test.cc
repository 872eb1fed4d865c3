#include "ks_network_upload.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "ks_core/ks_base64.h"

namespace ks {
namespace {

// The whole message, read back in pieces of `piece` bytes.
std::string readAll(const NetworkUpload& upload, size_t piece) {
  std::string text;
  std::string buffer(piece, '\0');
  while (text.size() < upload.size()) {
    const size_t got = upload.read(text.size(), &buffer[0], piece);
    if (got == 0) break;
    text.append(buffer, 0, got);
  }
  return text;
}

TEST(NetworkUpload, ProducesExactlyTheWritersMessageInPiecesOfAnySize) {
  std::mt19937 random(11);
  for (size_t fileSize : {0, 1, 2, 3, 4, 5, 100, 1000, 70001}) {
    std::vector<unsigned char> file(fileSize);
    for (auto& byte : file) byte = static_cast<unsigned char>(random());
    NetLoadRequest request;
    request.input_tensors = {"in"};
    request.key = "k";
    request.device_index = -1;
    const LoadRequestFrame frame = loadRequestFrame(request);
    request.net.assign(base64EncodedLength(fileSize) + 1, '\0');
    encodeBase64To(file.data(), fileSize, request.net.data());
    const std::string expected = loadRequestToJson(request);

    const NetworkUpload upload(frame, file);
    ASSERT_EQ(expected.size(), upload.size());
    for (size_t piece : {1, 2, 3, 5, 7, 64, 4093, 65536}) {
      EXPECT_EQ(expected, readAll(upload, piece)) << "file " << fileSize << ", pieces of " << piece;
    }
    char spare = 'x';
    EXPECT_EQ(0u, upload.read(upload.size(), &spare, 1));
    EXPECT_EQ('x', spare);
  }
}

}  // namespace
}  // namespace ks
