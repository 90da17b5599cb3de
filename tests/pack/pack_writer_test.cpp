// SPDX-License-Identifier: GPL-2.0-or-later
// The pack writer, checked by reading its bytes by hand and inflating its
// streams with another tool (zlib-flate from qpdf).
#include <gtest/gtest.h>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

class PackWriterTest : public ::testing::Test {
 protected:
  platform::File Source(const Bytes& bytes) {
    WriteBytes(tmp_ / "source", bytes);
    return platform::OpenExistingReadOnly(tmp_ / "source");
  }
  // Inflates a zlib stream with zlib-flate; empty on failure.
  Bytes ZlibFlate(const Bytes& stream) {
    WriteBytes(tmp_ / "in.z", stream);
    std::string command = "zlib-flate -uncompress < " + tmp_ / "in.z" + " > " + tmp_ / "out" + " 2>/dev/null";
    return std::system(command.c_str()) == 0 ? ReadBytes(tmp_ / "out") : Bytes();
  }
  // The file at path_ and the records of its compressed directory.
  Bytes File() { return ReadBytes(path_); }
  Bytes Records(const Bytes& file) { return ZlibFlate(Bytes(file.begin() + At32(file, 8), file.end())); }
  std::string Head() {
    const Bytes file = File();
    return std::string(file.begin(), file.begin() + 12);
  }

  TempDir tmp_;
  std::string path_ = tmp_ / "out.pak";
  PackPtr pack_;
};

// Data that does not shrink enough is taken back first: the entry after it
// starts right after the header.
TEST_F(PackWriterTest, DeflatedPackIsLaidOutAsTheFormatSays) {
  ASSERT_EQ(CreatePack(path_, PackKind::kDeflated, &pack_), PackWriteResult::kOk);
  platform::File noise = Source(Sample(400000, false));
  EXPECT_EQ(AppendDeflatedEntry(*pack_, "noise", noise, 400000 * 19 / 20), PackWriteResult::kNotSmaller);
  EXPECT_EQ(EntryCount(*pack_), 0u);
  const Bytes text = Sample(600000);
  platform::File source = Source(text);
  ASSERT_EQ(AppendDeflatedEntry(*pack_, "docs\\a.txt", source), PackWriteResult::kOk);
  EXPECT_EQ(Head(), "KERVMAXZKERV");  // unfinished until closed
  ClosePack(std::move(pack_));        // closing finishes a pack in write mode

  const Bytes file = File(), records = Records(file);
  EXPECT_EQ(Head().substr(0, 8), "KERVMAXZ");
  ASSERT_EQ(records.size(), At32(file, 12));
  ASSERT_EQ(records.size(), 10u + 14u);
  EXPECT_EQ(std::string(records.begin() + 2, records.begin() + 12), "docs\\a.txt");
  const uint32_t offset = At32(records, 12), packed = At32(records, 16);
  EXPECT_EQ(offset, 16u);
  EXPECT_EQ(At32(records, 20), text.size());
  EXPECT_EQ(offset + packed, At32(file, 8));
  const Bytes stream(file.begin() + offset, file.begin() + offset + packed);
  EXPECT_EQ(ZlibFlate(stream), text);
  EXPECT_EQ(stream[1], 0x9C);  // zlib header of the default level
}

// A handle that goes away on an error path, mid-pack, leaves a pack that
// reads as unfinished, not one that looks complete with entries missing.
TEST_F(PackWriterTest, AHandleDestroyedMidPackLeavesItUnfinished) {
  {
    PackPtr pack;
    ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack), PackWriteResult::kOk);
    platform::File source = Source(Bytes(3000, 'a'));
    ASSERT_EQ(AppendStoredEntry(*pack, "first", source), PackWriteResult::kOk);
  }
  EXPECT_EQ(Head(), "KERVMAXUKERV");
  std::string reason;
  EXPECT_EQ(OpenPack(path_, PackKind::kStored, &pack_, &reason), kPackBadPack);
  EXPECT_EQ(reason, "unfinished pack");
}

TEST_F(PackWriterTest, OnlyAPackFinishedWithinItsSizeLimitLosesItsMarker) {
  ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack_, 1000), PackWriteResult::kOk);
  platform::File small = Source(Bytes(500, 'a'));
  ASSERT_EQ(AppendStoredEntry(*pack_, "small", small), PackWriteResult::kOk);
  platform::File big = Source(Bytes(600, 'b'));
  EXPECT_EQ(AppendStoredEntry(*pack_, "big", big), PackWriteResult::kTooLarge);
  EXPECT_EQ(FinishPack(*pack_), PackWriteResult::kNotWritable);
  ClosePack(std::move(pack_));
  EXPECT_EQ(Head(), "KERVMAXUKERV");
  EXPECT_LE(File().size(), 1000u);
  // The directory, too, must fit.
  ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack_, 40), PackWriteResult::kOk);
  platform::File ten = Source(Bytes(10, 'a'));
  ASSERT_EQ(AppendStoredEntry(*pack_, "a-long-name", ten), PackWriteResult::kOk);
  EXPECT_EQ(FinishPack(*pack_), PackWriteResult::kTooLarge);
  EXPECT_EQ(Head(), "KERVMAXUKERV");
  // An abandoned pack keeps its marker; an empty one finishes and reads back.
  // (Audio records are laid out by hand in the reader's tests and round trip
  // through the audio entry tests.)
  ASSERT_EQ(CreatePack(path_, PackKind::kAudio, &pack_), PackWriteResult::kOk);
  AbandonPack(std::move(pack_));
  EXPECT_EQ(Head(), "KERVMAXAKERV");
  ASSERT_EQ(CreatePack(path_, PackKind::kAudio, &pack_), PackWriteResult::kOk);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  ASSERT_EQ(OpenPack(path_, PackKind::kAudio, &pack_), kPackOk);
  DirectoryEntry entry;
  EXPECT_EQ(NextRecord(*pack_, &entry), kPackEnd);
}

}  // namespace
