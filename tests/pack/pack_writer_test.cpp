// The pack writer, checked by reading its bytes by hand and inflating its
// streams with another tool (zlib-flate from qpdf).
#include <gtest/gtest.h>

#include <cstdio>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

uint32_t At32(const Bytes& b, size_t offset) {
  return b[offset] | (b[offset + 1] << 8) | (b[offset + 2] << 16) | (static_cast<uint32_t>(b[offset + 3]) << 24);
}

// Inflates a zlib stream with zlib-flate; empty on failure.
Bytes InflateWithZlibFlate(const TempDir& tmp, const Bytes& stream) {
  const std::string in = tmp / "stream.z";
  const std::string out = tmp / "stream.out";
  WriteBytes(in, stream);
  std::string command = "zlib-flate -uncompress < '" + in + "' > '" + out + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  return ReadBytes(out);
}

class PackWriterTest : public ::testing::Test {
 protected:
  // A source file holding `bytes`, opened for reading.
  platform::File Source(const Bytes& bytes) {
    WriteBytes(tmp_ / "source", bytes);
    return platform::OpenExistingReadOnly(tmp_ / "source");
  }

  TempDir tmp_;
  std::string path_ = tmp_ / "out.pak";
  PackPtr pack_;
};

TEST_F(PackWriterTest, DeflatedPackLaidOutAsTheFormatSays) {
  ASSERT_EQ(CreatePack(path_, PackKind::kDeflated, &pack_), PackWriteResult::kOk);
  Bytes text = SampleText(600000);
  platform::File source = Source(text);
  ASSERT_EQ(AppendDeflatedEntry(*pack_, "docs\\a.txt", source), PackWriteResult::kOk);
  // Until finished, the header carries the unfinished marker.
  Bytes partial = ReadBytes(path_);
  ASSERT_GE(partial.size(), 16u);
  EXPECT_EQ(std::string(partial.begin(), partial.begin() + 12), "KERVMAXZKERV");
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  ClosePack(std::move(pack_));

  Bytes file = ReadBytes(path_);
  ASSERT_EQ(std::string(file.begin(), file.begin() + 8), "KERVMAXZ");
  const uint32_t directoryOffset = At32(file, 8);
  const uint32_t directorySize = At32(file, 12);
  ASSERT_LE(directoryOffset, file.size());
  Bytes records = InflateWithZlibFlate(tmp_, Bytes(file.begin() + directoryOffset, file.end()));
  ASSERT_EQ(records.size(), directorySize);
  ASSERT_EQ(records.size(), 10u + 14u);  // one record, name of 10 bytes
  EXPECT_EQ(records[0] | (records[1] << 8), 10);
  EXPECT_EQ(std::string(records.begin() + 2, records.begin() + 12), "docs\\a.txt");
  const uint32_t dataOffset = At32(records, 12);
  const uint32_t packedSize = At32(records, 16);
  EXPECT_EQ(dataOffset, 16u);
  EXPECT_EQ(At32(records, 20), text.size());
  EXPECT_EQ(dataOffset + packedSize, directoryOffset);
  Bytes stream(file.begin() + dataOffset, file.begin() + dataOffset + packedSize);
  EXPECT_EQ(InflateWithZlibFlate(tmp_, stream), text);
  EXPECT_EQ(stream[0], 0x78);
  EXPECT_EQ(stream[1], 0xDA);  // zlib header of level 9
}

TEST_F(PackWriterTest, StoredPackHasRawRecordsAtTheEnd) {
  ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack_), PackWriteResult::kOk);
  Bytes data = NoiseBytes(300000);
  platform::File source = Source(data);
  ASSERT_EQ(AppendStoredEntry(*pack_, "n.bin", source), PackWriteResult::kOk);
  ClosePack(std::move(pack_));  // closing finishes a pack in write mode
  Bytes file = ReadBytes(path_);
  ASSERT_EQ(std::string(file.begin(), file.begin() + 8), "KERVMAXU");
  const uint32_t directoryOffset = At32(file, 8);
  EXPECT_EQ(At32(file, 12), 15u);
  ASSERT_EQ(file.size(), directoryOffset + 15u);
  EXPECT_EQ(At32(file, directoryOffset + 7), 16u);
  EXPECT_EQ(At32(file, directoryOffset + 11), data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + 16));
}

TEST_F(PackWriterTest, EmptyCompressedDirectoryFinishes) {
  ASSERT_EQ(CreatePack(path_, PackKind::kDeflated, &pack_), PackWriteResult::kOk);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  ClosePack(std::move(pack_));
  std::string reason;
  ASSERT_EQ(OpenPack(path_, PackKind::kDeflated, &pack_, &reason), kPackOk) << reason;
  DirectoryEntry entry;
  EXPECT_EQ(NextRecord(*pack_, &entry), kPackEnd);
}

TEST_F(PackWriterTest, DataThatDoesNotShrinkIsTakenBackAndThePackStaysClean) {
  ASSERT_EQ(CreatePack(path_, PackKind::kDeflated, &pack_), PackWriteResult::kOk);
  Bytes noise = NoiseBytes(400000);
  platform::File noisy = Source(noise);
  EXPECT_EQ(AppendDeflatedEntry(*pack_, "noise", noisy, noise.size() * 19 / 20 + 1), PackWriteResult::kNotSmaller);
  EXPECT_EQ(DataEnd(*pack_), 16u);
  EXPECT_EQ(EntryCount(*pack_), 0u);
  Bytes text = SampleText(1000);
  platform::File good = Source(text);
  ASSERT_EQ(AppendDeflatedEntry(*pack_, "text", good, text.size() * 19 / 20 + 1), PackWriteResult::kOk);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  ClosePack(std::move(pack_));
  Bytes file = ReadBytes(path_);
  const uint32_t directoryOffset = At32(file, 8);
  Bytes records = InflateWithZlibFlate(tmp_, Bytes(file.begin() + directoryOffset, file.end()));
  ASSERT_EQ(records.size(), 4u + 14u);
  EXPECT_EQ(At32(records, 6), 16u);
  EXPECT_EQ(At32(records, 6) + At32(records, 10), directoryOffset);
}

TEST_F(PackWriterTest, EntryPastTheSizeLimitIsRefusedAndTheMarkerStays) {
  ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack_, 1000), PackWriteResult::kOk);
  platform::File small = Source(Bytes(500, 'a'));
  ASSERT_EQ(AppendStoredEntry(*pack_, "small", small), PackWriteResult::kOk);
  platform::File big = Source(Bytes(600, 'b'));
  EXPECT_EQ(AppendStoredEntry(*pack_, "big", big), PackWriteResult::kTooLarge);
  EXPECT_EQ(FinishPack(*pack_), PackWriteResult::kNotWritable);
  ClosePack(std::move(pack_));
  Bytes file = ReadBytes(path_);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 12), "KERVMAXUKERV");
  EXPECT_LE(file.size(), 1000u);
  EXPECT_EQ(OpenPack(path_, PackKind::kStored, &pack_), kPackBadPack);
}

TEST_F(PackWriterTest, DirectoryPastTheSizeLimitLeavesThePackUnfinished) {
  ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack_, 40), PackWriteResult::kOk);
  platform::File source = Source(Bytes(10, 'a'));
  ASSERT_EQ(AppendStoredEntry(*pack_, "a-name-that-is-long", source), PackWriteResult::kOk);
  EXPECT_EQ(FinishPack(*pack_), PackWriteResult::kTooLarge);
  ClosePack(std::move(pack_));
  EXPECT_EQ(OpenPack(path_, PackKind::kStored, &pack_), kPackBadPack);
}

TEST_F(PackWriterTest, AbandonedPackKeepsItsMarker) {
  ASSERT_EQ(CreatePack(path_, PackKind::kDeflated, &pack_), PackWriteResult::kOk);
  platform::File source = Source(SampleText(100));
  ASSERT_EQ(AppendDeflatedEntry(*pack_, "a", source), PackWriteResult::kOk);
  AbandonPack(std::move(pack_));
  Bytes file = ReadBytes(path_);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 12), "KERVMAXZKERV");
}

TEST_F(PackWriterTest, BadNamesAreRefusedWithoutHarmingThePack) {
  ASSERT_EQ(CreatePack(path_, PackKind::kStored, &pack_), PackWriteResult::kOk);
  platform::File source = Source(ToBytes("x"));
  EXPECT_EQ(AppendStoredEntry(*pack_, std::string(260, 'n'), source), PackWriteResult::kBadName);
  EXPECT_EQ(AppendStoredEntry(*pack_, "", source), PackWriteResult::kBadName);
  EXPECT_EQ(AppendStoredEntry(*pack_, std::string(259, 'n'), source), PackWriteResult::kOk);
  EXPECT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
}

TEST_F(PackWriterTest, AudioRecordsCarryFormatAndInfoForDataWrittenByTheCaller) {
  ASSERT_EQ(CreatePack(path_, PackKind::kAudio, &pack_), PackWriteResult::kOk);
  const uint64_t start = DataEnd(*pack_);
  Bytes stream = ToBytes("OggS-pretend-stream");
  ASSERT_EQ(platform::WriteFile(PackFile(*pack_), stream.data(), stream.size()), static_cast<int64_t>(stream.size()));
  DirectoryEntry entry;
  entry.name = "music\\a.ogg";
  entry.dataOffset = static_cast<uint32_t>(start);
  entry.packedSize = static_cast<uint32_t>(stream.size());
  entry.streamFormat = FMT_OGG;
  entry.info.samplerate = 22050;
  entry.info.channels = 2;
  entry.info.quality = 0.5f;
  ASSERT_EQ(AddEntryRecord(*pack_, entry), PackWriteResult::kOk);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  ClosePack(std::move(pack_));
  Bytes file = ReadBytes(path_);
  Bytes records = InflateWithZlibFlate(tmp_, Bytes(file.begin() + At32(file, 8), file.end()));
  ASSERT_EQ(records.size(), 11u + 60u);
  EXPECT_EQ(At32(records, 2 + 11 + 8), FMT_OGG);
  EXPECT_EQ(At32(records, 2 + 11 + 12), 22050u);  // info word 0
  EXPECT_EQ(std::string(file.begin() + 16, file.begin() + 16 + stream.size()), "OggS-pretend-stream");
  ASSERT_EQ(OpenPack(path_, PackKind::kAudio, &pack_), kPackOk);
  DirectoryEntry back;
  ASSERT_EQ(NextRecord(*pack_, &back), kPackOk);
  EXPECT_EQ(back.info.channels, 2u);
  EXPECT_EQ(back.info.quality, 0.5f);
}

}  // namespace
