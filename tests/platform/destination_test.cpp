// SPDX-License-Identifier: GPL-2.0-or-later
// The destination walk: what it refuses, that it never writes outside the
// destination even while a link is swapped in and out of the path by a second
// thread, and the folders it creates when asked.
#include "platform/destination.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <thread>

#include "pack/pack_test_support.h"

using namespace test_support;
using platform::PlaceError;

namespace {

class DestinationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"dest", "dest/sub", "outside"}) std::filesystem::create_directory(tmp_ / dir);
  }
  // Places `path` under a destination opened with `options` and writes
  // `text` into it. Returns what Create said (and false from Commit as kSystem).
  PlaceError Put(const std::string& path, const std::string& text, platform::DestinationOptions options = {}) {
    platform::Destination destination;
    EXPECT_TRUE(destination.Open(dest_, options));
    return Put(destination, path, text);
  }
  static PlaceError Put(platform::Destination& destination, const std::string& path, const std::string& text) {
    platform::PendingFile file;
    const PlaceError error = destination.Create(path, &file);
    if (error != PlaceError::kNone) return error;
    if (platform::WriteFile(file.file(), text.data(), text.size()) != static_cast<int64_t>(text.size()) ||
        !file.Commit()) {
      return PlaceError::kSystem;
    }
    return PlaceError::kNone;
  }

  TempDir tmp_;
  std::string dest_ = tmp_ / "dest";
};

// Also when creating folders: no folder is made through a link or over a
// file, and a protected file is refused under any of its names.
TEST_F(DestinationTest, RefusesLinksFilesInTheWayAndProtectedFiles) {
  std::filesystem::create_directory_symlink(tmp_ / "outside", dest_ + "/link");
  WriteBytes(dest_ + "/file", ToBytes("file"));
  WriteBytes(dest_ + "/pack", ToBytes("pack"));
  std::filesystem::create_hard_link(dest_ + "/pack", dest_ + "/sub/alias");
  platform::Destination destination;
  ASSERT_TRUE(destination.Open(dest_, {.createFolders = true}));
  destination.Protect(platform::OpenExistingReadOnly(dest_ + "/pack"));
  const std::pair<std::string, PlaceError> cases[] = {
      {"link/new/f", PlaceError::kLinkOnPath}, {"file/f", PlaceError::kNotAFolder},
      {"pack", PlaceError::kProtected},        {"./sub//alias", PlaceError::kProtected}};
  for (const auto& [path, expected] : cases) {
    std::string where;
    platform::PendingFile file;
    EXPECT_EQ(destination.Create(path, &file, &where), expected) << path;
    EXPECT_FALSE(file.IsOpen()) << path;
    EXPECT_EQ(where, expected == PlaceError::kProtected ? path : path.substr(0, 4));
  }
  EXPECT_TRUE(ListTree(tmp_ / "outside").empty());
  EXPECT_EQ(ReadBytes(dest_ + "/pack"), ToBytes("pack"));
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"file", "link", "pack", "sub", "sub/alias"}));
}

// A protected name is refused in its folder, reached by any path, whether
// or not a file is there; the same name elsewhere is not. A last "." names
// no file.
TEST_F(DestinationTest, RefusesProtectedNamesAndDots) {
  platform::Destination destination;
  ASSERT_TRUE(destination.Open(dest_));
  destination.ProtectName(dest_ + "/sub", "game.ZPAK");
  const std::pair<std::string, PlaceError> cases[] = {
      {"sub/game.ZPAK", PlaceError::kProtected}, {"./sub/../sub/game.ZPAK", PlaceError::kLeaves},
      {"sub//game.ZPAK", PlaceError::kProtected}, {"game.ZPAK", PlaceError::kNone},
      {"sub/game.zpak", PlaceError::kNone},       {".", PlaceError::kNoFile},
      {"sub/.", PlaceError::kNoFile},             {"sub/./ok", PlaceError::kNone}};
  for (const auto& [path, expected] : cases) EXPECT_EQ(Put(destination, path, "x"), expected) << path;
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"game.ZPAK", "sub", "sub/game.zpak", "sub/ok"}));
}

TEST_F(DestinationTest, CreatesMissingFoldersOnlyWhenAsked) {
  EXPECT_EQ(Put("a/b/f", "x"), PlaceError::kMissingFolder);
  EXPECT_EQ(Put("a/b/f", "x", {.createFolders = true}), PlaceError::kNone);
  EXPECT_EQ(Put("//a//b//g", "y", {.createFolders = true, .durable = true}), PlaceError::kNone);
  EXPECT_EQ(ReadBytes(dest_ + "/a/b/f"), ToBytes("x"));
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"a", "a/b", "a/b/f", "a/b/g", "sub"}));
}

// Keeping existing files: anything under the name (a file, a dangling link)
// is refused at Create, and a file that appears between Create and Commit
// is not replaced either; the temporary file goes away in both cases.
TEST_F(DestinationTest, KeepsWhatIsAlreadyThereEvenWhenItAppearsLate) {
  WriteBytes(dest_ + "/old", ToBytes("old"));
  std::filesystem::create_symlink(tmp_ / "outside/none", dest_ + "/dangling");
  EXPECT_EQ(Put("old", "new", {.keepExisting = true}), PlaceError::kExists);
  EXPECT_EQ(Put("dangling", "new", {.keepExisting = true}), PlaceError::kExists);
  platform::Destination destination;
  ASSERT_TRUE(destination.Open(dest_, {.keepExisting = true}));
  platform::PendingFile file;
  ASSERT_EQ(destination.Create("late", &file), PlaceError::kNone);
  WriteBytes(dest_ + "/late", ToBytes("first"));
  ASSERT_EQ(platform::WriteFile(file.file(), "second", 6), 6);
  EXPECT_FALSE(file.Commit());
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadBytes(dest_ + "/late"), ToBytes("first"));
  EXPECT_EQ(ReadBytes(dest_ + "/old"), ToBytes("old"));
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"dangling", "late", "old", "sub"}));
  EXPECT_TRUE(ListTree(tmp_ / "outside").empty());
}

// An unnamed file is read back through a second descriptor after Commit and
// never appears in its folder.
TEST_F(DestinationTest, UnnamedFilesLeaveNothingInTheirFolder) {
  platform::PendingFile file;
  ASSERT_TRUE(file.CreateUnnamed(dest_));
  platform::File reader = platform::DuplicateFile(file.file());
  ASSERT_EQ(platform::WriteFile(file.file(), "bytes", 5), 5);
  EXPECT_TRUE(file.Commit());
  char back[5];
  ASSERT_TRUE(platform::ReadFileAt(reader, 0, back, 5));
  EXPECT_EQ(std::string(back, 5), "bytes");
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"sub"}));
  EXPECT_FALSE(file.CreateUnnamed(tmp_ / "missing"));
}

// A second thread swaps the folder "sub" with a link to "outside" as fast as
// it can while files are placed under "sub" (existing folders, and folders
// created on the way): every file lands inside the destination or fails.
// The TwinVQ bitstream's fatal limits end the process with exit() in the
// middle of an entry: the file in progress goes with it.
TEST_F(DestinationTest, AnExitMidFileLeavesNoTemporaryBehind) {
  EXPECT_EXIT(
      {
        platform::RemovePendingFilesOnSignals();
        platform::Destination destination;
        platform::PendingFile file;
        if (!destination.Open(dest_) || destination.Create("sub/f", &file) != PlaceError::kNone) std::_Exit(3);
        std::exit(1);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"sub"}));
}

TEST_F(DestinationTest, ALinkSwappedInWhileWritingNeverLeadsOutside) {
  std::filesystem::create_directory_symlink(tmp_ / "outside", dest_ + "/swap");
  std::atomic<bool> stop{false};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    const std::string sub = dest_ + "/sub", swap = dest_ + "/swap";
    while (!stop) {
      if (::renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
    }
  });
  platform::Destination existing, creating;
  ASSERT_TRUE(existing.Open(dest_));
  ASSERT_TRUE(creating.Open(dest_, {.createFolders = true}));
  int written = 0;
  // On a loaded machine one thread can starve the other: go on past the
  // first 3000 rounds until both have had their turns (bounded).
  for (int i = 0; i < 30000 && (i < 3000 || written < 10 || swaps.load() <= 100); ++i) {
    const std::string n = std::to_string(i);
    written += Put(existing, "sub/f" + n, n) == PlaceError::kNone;
    written += Put(creating, "sub/d" + n + "/f", n) == PlaceError::kNone;
  }
  stop = true;
  swapper.join();
  EXPECT_GT(swaps.load(), 100);
  EXPECT_GT(written, 0);
  EXPECT_EQ(ListTree(tmp_ / "outside"), std::vector<std::string>{});
  // The real folder is back under one of the two names, holding every file.
  std::vector<std::string> inside = ListTree(dest_);
  EXPECT_EQ(std::count_if(inside.begin(), inside.end(),
                          [](const std::string& p) { return p.find("/f") != std::string::npos; }),
            written);
}

}  // namespace
