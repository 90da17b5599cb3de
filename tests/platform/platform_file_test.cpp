// Creating a file over a symbolic link replaces the link instead of writing
// through it. (Pending files are checked through the pack reader, which
// relies on them for every output.)
#include <gtest/gtest.h>

#include "pack/pack_test_support.h"
#include "platform/platform.h"

using namespace test_support;

namespace {

TEST(CreateReplacingTest, ReplacesASymbolicLinkWithoutWritingThrough) {
  TempDir tmp;
  WriteBytes(tmp / "target", ToBytes("precious"));
  std::filesystem::create_symlink(tmp / "target", tmp / "link");
  platform::File file = platform::CreateReplacing(tmp / "link");
  ASSERT_EQ(platform::WriteFile(file, "x", 1), 1);
  EXPECT_FALSE(std::filesystem::is_symlink(tmp / "link"));
  EXPECT_EQ(ReadBytes(tmp / "link"), ToBytes("x"));
  EXPECT_EQ(ReadBytes(tmp / "target"), ToBytes("precious"));
}

}  // namespace
