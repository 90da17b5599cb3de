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
  // The records of the finished compressed pack at `path_`.
  Bytes Records(const Bytes& file) { return ZlibFlate(Bytes(file.begin() + At32(file, 8), file.end())); }
  std::string Head(size_t n) {
    Bytes file = ReadBytes(path_);
    return std::string(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min(n, file.size())));
  }

  TempDir tmp_;
  std::string path_ = tmp_ / "out.pak";
  PackPtr pack_;
};

TEST_F(PackWriterTest, DeflatedPackIsLaidOutAsTheFormatSays) {
  ASSERT_EQ(CreatePack(path_, PackKind::kDeflated, &pack_), PackWriteResult::kOk);
  const Bytes text = Sample(600000);
  platform::File source = Source(text);
  ASSERT_EQ(AppendDeflatedEntry(*pack_, "docs\\a.txt", source), PackWriteResult::kOk);
  EXPECT_EQ(Head(12), "KERVMAXZKERV");  // unfinished until closed
  ClosePack(std::move(pack_));          // closing finishes a pack in write mode

  const Bytes file = ReadBytes(path_);
  EXPECT_EQ(Head(8), "KERVMAXZ");
  const Bytes records = Records(file);
  ASSERT_EQ(records.size(), At32(file, 12));
  ASSERT_EQ(records.size(), 10u + 14u);
  EXPECT_EQ(std::string(records.begin() + 2, records.begin() + 12), "docs\\a.txt");
  const uint32_t offset = At32(records, 12), packed = At32(records, 16);
  EXPECT_EQ(offset, 16u);
  EXPECT_EQ(At32(records, 20), text.size());
  EXPECT_EQ(offset + packed, At32(file, 8));
  const Bytes stream(file.begin() + offset, file.begin() + offset + packed);
  EXPECT_EQ(ZlibFlate(stream), text);
  EXPECT_EQ(stream[1], 0xDA);  // zlib header of level 9
}

TEST_F(PackWriterTest, EmptyCompressedDirectoryFinishes) {
  ASSERT_EQ(CreatePack(path_, PackKind::kDeflated, &pack_), PackWriteResult::kOk);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  ASSERT_EQ(OpenPack(path_, PackKind::kDeflated, &pack_), kPackOk);
  DirectoryEntry entry;
  EXPECT_EQ(NextRecord(*pack_, &entry), kPackEnd);
}

TEST_F(PackWriterTest, DataThatDoesNotShrinkIsTakenBackAndThePackStaysClean) {
  ASSERT_EQ(CreatePack(path_, PackKind::kDeflated, &pack_), PackWriteResult::kOk);
  platform::File noise = Source(Sample(400000, false));
  EXPECT_EQ(AppendDeflatedEntry(*pack_, "noise", noise, 400000 * 19 / 20), PackWriteResult::kNotSmaller);
  EXPECT_EQ(DataEnd(*pack_), 16u);
  EXPECT_EQ(EntryCount(*pack_), 0u);
  platform::File text = Source(Sample(1000));
  ASSERT_EQ(AppendDeflatedEntry(*pack_, "text", text, 1000 * 19 / 20), PackWriteResult::kOk);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  const Bytes file = ReadBytes(path_);
  const Bytes records = Records(file);
  ASSERT_EQ(records.size(), 4u + 14u);
  EXPECT_EQ(At32(records, 6), 16u);
  EXPECT_EQ(At32(records, 6) + At32(records, 10), At32(file, 8));
}

TEST_F(PackWriterTest, PassingTheSizeLimitLeavesThePackUnfinished) {
  ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack_, 1000), PackWriteResult::kOk);
  platform::File small = Source(Bytes(500, 'a'));
  ASSERT_EQ(AppendStoredEntry(*pack_, "small", small), PackWriteResult::kOk);
  platform::File big = Source(Bytes(600, 'b'));
  EXPECT_EQ(AppendStoredEntry(*pack_, "big", big), PackWriteResult::kTooLarge);
  EXPECT_EQ(FinishPack(*pack_), PackWriteResult::kNotWritable);
  ClosePack(std::move(pack_));
  EXPECT_EQ(Head(12), "KERVMAXUKERV");
  EXPECT_LE(ReadBytes(path_).size(), 1000u);
  // The directory, too, must fit.
  ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack_, 40), PackWriteResult::kOk);
  platform::File ten = Source(Bytes(10, 'a'));
  ASSERT_EQ(AppendStoredEntry(*pack_, "a-long-name", ten), PackWriteResult::kOk);
  EXPECT_EQ(FinishPack(*pack_), PackWriteResult::kTooLarge);
  EXPECT_EQ(Head(12), "KERVMAXUKERV");
}

TEST_F(PackWriterTest, AudioRecordsCarryFormatAndInfoForDataWrittenByTheCaller) {
  ASSERT_EQ(CreatePack(path_, PackKind::kAudio, &pack_), PackWriteResult::kOk);
  const Bytes stream = ToBytes("OggS-pretend");
  ASSERT_EQ(platform::WriteFile(PackFile(*pack_), stream.data(), stream.size()), 12);
  DirectoryEntry entry;
  entry.name = "music\\a.ogg";
  entry.dataOffset = 16;
  entry.packedSize = 12;
  entry.streamFormat = FMT_OGG;
  entry.info.samplerate = 22050;
  entry.info.quality = 0.5f;
  ASSERT_EQ(AddEntryRecord(*pack_, entry), PackWriteResult::kOk);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  const Bytes file = ReadBytes(path_);
  const Bytes records = Records(file);
  ASSERT_EQ(records.size(), 11u + 60u);
  EXPECT_EQ(At32(records, 2 + 11 + 8), FMT_OGG);
  EXPECT_EQ(At32(records, 2 + 11 + 12), 22050u);
  EXPECT_EQ(std::string(file.begin() + 16, file.begin() + 28), "OggS-pretend");
  AbandonPack(std::move(pack_));
  // An abandoned pack keeps its marker.
  ASSERT_EQ(CreatePack(path_, PackKind::kAudio, &pack_), PackWriteResult::kOk);
  AbandonPack(std::move(pack_));
  EXPECT_EQ(Head(12), "KERVMAXAKERV");
}

}  // namespace
