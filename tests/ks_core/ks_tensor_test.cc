#include "ks_core/ks_tensor.h"

#include <gtest/gtest.h>

#include "ks_core/ks_static_vector.h"
#include "ks_core/ks_status.h"
#include "support/expect_throw.h"

namespace ks {
namespace {

TensorLayout layoutOf(TensorDataType type, TensorSize size) {
  return TensorLayout(type, TensorFormat::kNchw, size, TensorSize(), TensorChannelOrder::kNone);
}

TEST(StaticVector, FullVectorRaisesCapacityErrorAndKeepsItsElements) {
  TensorSize size{1, 2, 3, 4};
  try {
    size.pushBack(5);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(Status::kCapacityExceeded, e.status());
    EXPECT_EQ(19, static_cast<int>(e.status()));
    EXPECT_EQ("pushBack", e.function());
    EXPECT_EQ("./include/ks_core/ks_static_vector", e.file());
    EXPECT_STREQ(e.what(), "No room for new element. StaticVector is full.");
    EXPECT_EQ(nullptr, e.parent());
  }
  EXPECT_EQ((TensorSize{1, 2, 3, 4}), size);
}

TEST(TensorLayout, ByteSizeIsElementCountTimesElementSize) {
  EXPECT_EQ(768u, layoutOf(TensorDataType::kFloat32, {1, 3, 8, 8}).byteSize());
  EXPECT_EQ(10u, layoutOf(TensorDataType::kFloat16, {5}).byteSize());
  EXPECT_EQ(32u, layoutOf(TensorDataType::kInt64, {2, 2}).byteSize());
  EXPECT_EQ(0u, layoutOf(TensorDataType::kUInt8, {7, 0, 3}).byteSize());
  EXPECT_EQ(0u, layoutOf(TensorDataType::kInt8, {}).byteSize());
  EXPECT_EQ(0u, TensorLayout().byteSize());
  EXPECT_EQ(4294967295u, layoutOf(TensorDataType::kUInt8, {65535, 65537}).byteSize());
}

TEST(TensorLayout, UnusableLayoutsAreHeldButHaveNoByteSize) {
  const TensorLayout negative = layoutOf(TensorDataType::kFloat32, {2, -1});
  EXPECT_FALSE(negative.isValid());
  EXPECT_EQ((TensorSize{2, -1}), negative.size());
  EXPECT_KS_THROW(negative.byteSize(), 6, "Tensor layout has negative dimension -1");
  EXPECT_KS_THROW(layoutOf(static_cast<TensorDataType>(-3), {1}).byteSize(), 6,
                  "Tensor layout has unknown data type -3");
  EXPECT_KS_THROW(layoutOf(TensorDataType::kFloat32, {65536, 65536}).byteSize(), 5,
                  "Tensor layout's byte size does not fit in 32 bits");
  // A product far beyond 32 bits must not wrap back into range.
  EXPECT_FALSE(layoutOf(TensorDataType::kInt64, {2147483647, 2147483647, 2147483647, 4}).isValid());
}

TEST(TensorLayout, TextNamesTheTypeAndDimensionsAndAnUnknownTypeByItsCode) {
  EXPECT_EQ("int64 [1,3,0,8]", layoutText(TensorLayout(TensorDataType::kInt64, TensorFormat::kNchw, {1, 3, 0, 8},
                                                       TensorSize(), TensorChannelOrder::kNone)));
  EXPECT_EQ("type 9 []", layoutText(TensorLayout(static_cast<TensorDataType>(9), TensorFormat::kPlain, TensorSize(),
                                                 TensorSize(), TensorChannelOrder::kNone)));
}

TEST(Tensor, ReuseKeepsAnUnsharedLargeEnoughBufferAndReplacesOthers) {
  Tensor tensor;
  EXPECT_EQ(nullptr, tensor.data());
  tensor.reuse(layoutOf(TensorDataType::kFloat32, {4}), DeviceContext());
  ASSERT_NE(tensor.data(), nullptr);
  EXPECT_GE(tensor.buffer()->size(), 16u);
  const unsigned char* first = tensor.data();

  tensor.reuse(layoutOf(TensorDataType::kFloat32, {2}), DeviceContext());
  EXPECT_EQ(first, tensor.data());
  EXPECT_EQ(8u, tensor.layout().byteSize());

  const Tensor copy = tensor;  // shares the buffer
  tensor.reuse(layoutOf(TensorDataType::kFloat32, {2}), DeviceContext());
  EXPECT_NE(tensor.data(), copy.data());

  tensor.reuse(layoutOf(TensorDataType::kFloat32, {64}), DeviceContext());
  EXPECT_GE(tensor.buffer()->size(), 256u);
}

TEST(Tensor, FailedReuseLeavesTheTensorUnchanged) {
  Tensor tensor(layoutOf(TensorDataType::kInt32, {3}));
  const unsigned char* data = tensor.data();
  EXPECT_THROW(tensor.reuse(layoutOf(TensorDataType::kInt32, {-3}), DeviceContext()), Exception);
  EXPECT_EQ(layoutOf(TensorDataType::kInt32, {3}), tensor.layout());
  EXPECT_EQ(data, tensor.data());
}

TEST(Exception, FormatsItsMessageAndKeepsItsParent) {
  const Exception parent(nullptr, Status::kIoError, "read", "file.cc", 3, "cannot read %s", "x.bin");
  const Exception e(&parent, Status::kRuntimeError, "load", "other.cc", 9, "%d%% done", 50);
  EXPECT_STREQ(e.what(), "50% done");
  EXPECT_EQ(9, e.line());
  ASSERT_NE(e.parent(), nullptr);
  EXPECT_EQ("cannot read x.bin", e.parent()->message());
  EXPECT_STREQ(statusName(Status::kCapacityExceeded), "CAPACITY_EXCEEDED");
  EXPECT_STREQ(statusName(static_cast<Status>(30)), "UNKNOWN_STATUS");
}

}  // namespace
}  // namespace ks
