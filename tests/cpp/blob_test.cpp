// The writer's refusal of values a 32-bit blob field cannot hold. Only a
// stage reference value can pass 2^32 in a store of test size.
#include "serialize/blob.hpp"

#include <gtest/gtest.h>

namespace trellan::test {

TEST(BlobWriter, ReferenceValueBeyond32BitsIsRefused) {
  GraphStore s;
  ASSERT_TRUE(s.intern(NodeKey::source("x", ParamMap())).ok());
  ASSERT_TRUE(s.intern(NodeKey::stage({0}, {StageOp{"op|g", {StageRef::input(0xFFFFFFFFULL)}}})).ok());
  EXPECT_TRUE(serialize_with(s, {}).ok());
  ASSERT_TRUE(s.intern(NodeKey::stage({0}, {StageOp{"op|g", {StageRef::input(1ULL << 32)}}})).ok());
  auto blob = serialize_with(s, {});
  ASSERT_FALSE(blob.ok());
  EXPECT_EQ(blob.error().message(),
            "cannot write trellan IR blob: stage reference value 4294967296 in node 2 does not fit "
            "in a 32-bit field");
}

}  // namespace trellan::test
