// File services that guard user data: pending output files and replacing
// symbolic links instead of writing through them.
#include <gtest/gtest.h>

#include <filesystem>

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
}

TEST(PendingFileTest, CommitReplacesTheFileAndASymbolicLinkWithoutWritingThrough) {
  TempDir tmp;
  WriteBytes(tmp / "target", ToBytes("precious"));
  std::filesystem::create_symlink(tmp / "target", tmp / "out");
  platform::PendingFile pending;
  ASSERT_TRUE(pending.Create(tmp / "out"));
  ASSERT_EQ(platform::WriteFile(pending.file(), "new", 3), 3);
  ASSERT_TRUE(pending.Commit());
  EXPECT_FALSE(std::filesystem::is_symlink(tmp / "out"));
  EXPECT_EQ(ReadBytes(tmp / "out"), ToBytes("new"));
  EXPECT_EQ(ReadBytes(tmp / "target"), ToBytes("precious"));
  EXPECT_EQ(ListTree(tmp.path()), (std::vector<std::string>{"out", "target"}));
}

TEST(PendingFileTest, MissingDirectoryFailsAtCreate) {
  TempDir tmp;
  platform::PendingFile pending;
  EXPECT_FALSE(pending.Create(tmp / "missing/out"));
  EXPECT_TRUE(ListTree(tmp.path()).empty());
}

TEST(CreateReplacingTest, ReplacesASymbolicLinkInsteadOfWritingThroughIt) {
  TempDir tmp;
  WriteBytes(tmp / "target", ToBytes("precious"));
  std::filesystem::create_symlink(tmp / "target", tmp / "link");
  platform::File file = platform::CreateReplacing(tmp / "link");
  ASSERT_TRUE(file.IsOpen());
  ASSERT_EQ(platform::WriteFile(file, "x", 1), 1);
  EXPECT_FALSE(platform::IsSymbolicLink(tmp / "link"));
  EXPECT_EQ(ReadBytes(tmp / "target"), ToBytes("precious"));
}

TEST(TruncateFileTest, CutsTheFile) {
  TempDir tmp;
  WriteBytes(tmp / "f", ToBytes("0123456789"));
  platform::File file = platform::OpenExistingReadWrite(tmp / "f");
  ASSERT_TRUE(platform::TruncateFile(file, 4));
  EXPECT_EQ(platform::FileSize(file), 4);
  EXPECT_EQ(ReadBytes(tmp / "f"), ToBytes("0123"));
}

TEST(OpenExistingTest, DirectoriesAreNotFiles) {
  TempDir tmp;
  EXPECT_FALSE(platform::OpenExistingReadOnly(tmp.path()).IsOpen());
  EXPECT_FALSE(platform::OpenExistingReadWrite(tmp.path()).IsOpen());
}

}  // namespace
