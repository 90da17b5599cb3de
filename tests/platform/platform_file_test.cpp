// File services that guard user data: pending output files, and replacing
// symbolic links instead of writing through them.
#include <gtest/gtest.h>

#include "pack/pack_test_support.h"
#include "platform/platform.h"

using namespace test_support;

namespace {

TEST(PendingFileTest, AbandonedFileLeavesNothingAndKeepsTheOldFile) {
  TempDir tmp;
  WriteBytes(tmp / "out", ToBytes("old"));
  {
    platform::PendingFile pending;
    ASSERT_TRUE(pending.Create(tmp / "out"));
    ASSERT_EQ(platform::WriteFile(pending.file(), "new contents", 12), 12);
    EXPECT_EQ(ListTree(tmp.path()).size(), 2u);  // the old file and the temporary
  }
  EXPECT_EQ(ListTree(tmp.path()), std::vector<std::string>{"out"});
  EXPECT_EQ(ReadBytes(tmp / "out"), ToBytes("old"));
  platform::PendingFile missing;
  EXPECT_FALSE(missing.Create(tmp / "no/out"));
}

TEST(PendingFileTest, CommitAndCreateReplaceASymbolicLinkWithoutWritingThrough) {
  TempDir tmp;
  WriteBytes(tmp / "target", ToBytes("precious"));
  std::filesystem::create_symlink(tmp / "target", tmp / "out");
  std::filesystem::create_symlink(tmp / "target", tmp / "link");
  platform::PendingFile pending;
  ASSERT_TRUE(pending.Create(tmp / "out"));
  ASSERT_EQ(platform::WriteFile(pending.file(), "new", 3), 3);
  ASSERT_TRUE(pending.Commit());
  platform::File file = platform::CreateReplacing(tmp / "link");
  ASSERT_EQ(platform::WriteFile(file, "x", 1), 1);
  EXPECT_FALSE(platform::IsSymbolicLink(tmp / "out") || platform::IsSymbolicLink(tmp / "link"));
  EXPECT_EQ(ReadBytes(tmp / "out"), ToBytes("new"));
  EXPECT_EQ(ReadBytes(tmp / "target"), ToBytes("precious"));
  EXPECT_EQ(ListTree(tmp.path()), (std::vector<std::string>{"link", "out", "target"}));
}

}  // namespace
