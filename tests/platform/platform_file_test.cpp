// SPDX-License-Identifier: GPL-2.0-or-later
// Creating a file over a symbolic link replaces the link instead of writing
// through it; a file's write limit. (Pending files are checked through the
// pack reader, which relies on them for every output.)
#include <gtest/gtest.h>

#include <cerrno>

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

// Writes and kernel copies stop at the limit, with what fits written and
// EFBIG, as at the file-size limit; the limit goes with a moved record.
TEST(WriteLimitTest, WritesStopAtTheLimitAndTheLimitMovesWithTheRecord) {
  TempDir tmp;
  WriteBytes(tmp / "source", Bytes(100, 's'));
  platform::File source = platform::OpenExistingReadOnly(tmp / "source");
  platform::File file = platform::CreateReplacing(tmp / "out");
  file.SetWriteLimit(10);
  platform::File moved(std::move(file));
  EXPECT_EQ(moved.WriteLimit(), 10u);
  EXPECT_EQ(platform::WriteFile(moved, "123456", 6), 6);
  errno = 0;
  EXPECT_EQ(platform::WriteFile(moved, "789abc", 6), 4);
  EXPECT_EQ(errno, EFBIG);
  EXPECT_EQ(platform::CopyFileRange(source, 0, moved, 5), -1);
  EXPECT_EQ(errno, EFBIG);
  ASSERT_EQ(platform::SeekFile(moved, 2, platform::SeekOrigin::kBegin), 2);
  EXPECT_EQ(platform::CopyFileRange(source, 0, moved, 50), 8);  // up to the limit
  EXPECT_EQ(ReadBytes(tmp / "out"), ToBytes("12ssssssss"));
  platform::File other = platform::DuplicateFile(moved);
  EXPECT_EQ(other.WriteLimit(), UINT64_MAX);
}

}  // namespace
