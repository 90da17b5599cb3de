// The pack reader on packs built by hand: open codes, entry codes, what is
// and is not written, and the refusal of names that leave the destination.
#include <gtest/gtest.h>
#include <unistd.h>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

const char* const kMagics[] = {"KERVMAXA", "KERVMAXU", "KERVMAXZ"};

class PackReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dest_ = tmp_ / "dest";
    std::filesystem::create_directory(dest_);
  }

  // Writes `bytes` as the pack file and opens it as `kind`.
  int Open(const Bytes& bytes, PackKind kind) {
    WriteBytes(packPath_, bytes);
    return OpenPack(packPath_, kind, &pack_, &reason_);
  }

  int Next() {
    packed_ = unpacked_ = 0xDEADBEEF;
    return NextEntry(dest_, &name_, *pack_, &packed_, &unpacked_, &reason_);
  }

  Bytes Out(const std::string& name) { return ReadBytes(dest_ + "/" + name); }
  bool Exists(const std::string& name) { return std::filesystem::exists(tmp_ / name); }
  std::vector<std::string> DestTree() { return ListTree(dest_); }

  TempDir tmp_;
  std::string dest_;
  std::string packPath_ = tmp_ / "game.pak";
  PackPtr pack_;
  std::string reason_;
  std::string name_;
  uint32_t packed_ = 0;
  uint32_t unpacked_ = 0;
};

// ---- opening ---------------------------------------------------------------

TEST_F(PackReaderTest, EveryDifferingPairOfMagicAndKindIsRefused) {
  const PackKind kinds[] = {PackKind::kAudio, PackKind::kStored, PackKind::kDeflated};
  for (int m = 0; m < 3; ++m) {
    HandPack hand(kMagics[m]);
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(Open(hand.Build(), kinds[k]), m == k ? kPackOk : kPackBadPack) << kMagics[m] << " as " << k;
      EXPECT_EQ(pack_ != nullptr, m == k);
    }
  }
}

TEST_F(PackReaderTest, FileShorterThanHeaderIsRefused) {
  EXPECT_EQ(Open(ToBytes("KERVMAXU\0\0\0"), PackKind::kStored), kPackBadPack);
  EXPECT_EQ(pack_, nullptr);
}

TEST_F(PackReaderTest, UnfinishedMarkerIsRefused) {
  Bytes file = ToBytes("KERVMAXZKERV");
  Put32(file, 0);
  EXPECT_EQ(Open(file, PackKind::kDeflated), kPackBadPack);
  EXPECT_EQ(reason_, "unfinished pack");
}

TEST_F(PackReaderTest, MissingPackGivesMinusTwoWithoutReason) {
  EXPECT_EQ(OpenPack(tmp_ / "absent.UPAK", PackKind::kStored, &pack_, &reason_), kPackFileError);
  EXPECT_TRUE(reason_.empty());
}

TEST_F(PackReaderTest, StoredDirectoryPastTheEndOfTheFileIsMinusOne) {
  HandPack hand("KERVMAXU");
  hand.AddRecord("a", 16, 0);
  Bytes file = hand.Build();
  file.pop_back();  // the directory is one byte short of directorySize
  EXPECT_EQ(Open(file, PackKind::kStored), kPackNoMemory);
  // A directory offset beyond the file, and a huge size: no allocation.
  Bytes far = HandPack("KERVMAXU").Build(0xFFFFFFF0u);
  EXPECT_EQ(Open(far, PackKind::kStored), kPackNoMemory);
  far[8] = far[9] = 0xFF;  // directoryOffset beyond the file
  EXPECT_EQ(Open(far, PackKind::kStored), kPackNoMemory);
  Bytes farZ = HandPack("KERVMAXZ").Build();
  farZ[9] = 0x10;
  EXPECT_EQ(Open(farZ, PackKind::kDeflated), kPackNoMemory);
}

TEST_F(PackReaderTest, CompressedDirectoryThatDoesNotInflateIsMinusTwo) {
  HandPack hand("KERVMAXZ");
  hand.AddRecord("a", 16, 0, U32(0));
  Bytes file = hand.Build();
  Bytes cut(file.begin(), file.end() - 1);
  EXPECT_EQ(Open(cut, PackKind::kDeflated), kPackFileError);
  Bytes damaged = file;
  damaged[damaged.size() - 6] ^= 0x55;
  EXPECT_EQ(Open(damaged, PackKind::kDeflated), kPackFileError);
}

TEST_F(PackReaderTest, CompressedDirectorySizeBoundsTheInflatedRecords) {
  HandPack hand("KERVMAXA");
  hand.AddRecord("clip.wav", 16, 0, Bytes(50, 0));
  const uint32_t length = static_cast<uint32_t>(hand.records().size());
  EXPECT_EQ(Open(hand.Build(length - 1), PackKind::kAudio), kPackFileError);
  // A larger size is only a capacity: the directory is what inflates.
  ASSERT_EQ(Open(hand.Build(length + 1000), PackKind::kAudio), kPackOk);
  DirectoryEntry entry;
  EXPECT_EQ(NextRecord(*pack_, &entry), kPackOk);
  EXPECT_EQ(entry.name, "clip.wav");
  EXPECT_EQ(NextRecord(*pack_, &entry), kPackEnd);
}

TEST_F(PackReaderTest, EmptyDirectoriesListNothing) {
  ASSERT_EQ(Open(HandPack("KERVMAXU").Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackEnd);
  ASSERT_EQ(Open(HandPack("KERVMAXZ").Build(), PackKind::kDeflated), kPackOk);
  EXPECT_EQ(Next(), kPackEnd);
  EXPECT_TRUE(DestTree().empty());
}

// ---- entries -----------------------------------------------------------------

TEST_F(PackReaderTest, StoredEntriesAreCopiedAndSizesReported) {
  HandPack hand("KERVMAXU");
  Bytes first = ToBytes("first file\n");
  Bytes second = NoiseBytes(700000);  // several chunks
  hand.AddRecord("one.txt", hand.AddData(first), static_cast<uint32_t>(first.size()));
  hand.AddRecord("\\two.bin", hand.AddData(second), static_cast<uint32_t>(second.size()));
  hand.AddRecord("empty", hand.AddData({}), 0);
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  ASSERT_EQ(Next(), kPackOk);
  EXPECT_EQ(name_, "one.txt");
  EXPECT_EQ(packed_, first.size());
  EXPECT_EQ(unpacked_, first.size());
  ASSERT_EQ(Next(), kPackOk);
  EXPECT_EQ(name_, "\\two.bin");
  ASSERT_EQ(Next(), kPackOk);
  EXPECT_EQ(packed_, 0u);
  EXPECT_EQ(unpacked_, 0u);
  EXPECT_EQ(Next(), kPackEnd);
  EXPECT_EQ(Out("one.txt"), first);
  EXPECT_EQ(Out("two.bin"), second);
  EXPECT_TRUE(std::filesystem::is_regular_file(dest_ + "/empty"));
  EXPECT_EQ(Out("empty").size(), 0u);
  EXPECT_EQ(DestTree(), (std::vector<std::string>{"empty", "one.txt", "two.bin"}));
}

TEST_F(PackReaderTest, DeflatedEntryInflatesInChunksAndReportsTheInflatedLength) {
  HandPack hand("KERVMAXZ");
  Bytes text = SampleText(3 << 20);
  Bytes stream = Deflate(text);
  hand.AddRecord("big.txt", hand.AddData(stream), static_cast<uint32_t>(stream.size()),
                 U32(static_cast<uint32_t>(text.size())));
  // Bytes after the stream's end inside packedSize are ignored, and a
  // recorded size larger than the data only bounds it.
  Bytes small = Deflate(ToBytes("hello"));
  Bytes padded = small;
  Append(padded, ToBytes("trailing junk"));
  hand.AddRecord("hello.txt", hand.AddData(padded), static_cast<uint32_t>(padded.size()), U32(100));
  ASSERT_EQ(Open(hand.Build(), PackKind::kDeflated), kPackOk);
  ASSERT_EQ(Next(), kPackOk) << reason_;
  EXPECT_EQ(unpacked_, text.size());
  EXPECT_EQ(packed_, stream.size());
  EXPECT_EQ(Out("big.txt"), text);
  ASSERT_EQ(Next(), kPackOk) << reason_;
  EXPECT_EQ(unpacked_, 5u);
  EXPECT_EQ(Out("hello.txt"), ToBytes("hello"));
}

TEST_F(PackReaderTest, DeflatedEntryLargerThanItsRecordedSizeWritesNothing) {
  HandPack hand("KERVMAXZ");
  Bytes text = SampleText(1000);
  Bytes stream = Deflate(text);
  hand.AddRecord("f.txt", hand.AddData(stream), static_cast<uint32_t>(stream.size()), U32(999));
  ASSERT_EQ(Open(hand.Build(), PackKind::kDeflated), kPackOk);
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_TRUE(DestTree().empty());
}

TEST_F(PackReaderTest, CorruptOrIncompleteDeflatedDataWritesNothingAndKeepsAnExistingFile) {
  WriteBytes(dest_ + "/keep.txt", ToBytes("old contents"));
  Bytes stream = Deflate(SampleText(5000));
  Bytes damaged = stream;
  damaged[stream.size() / 2] ^= 0xFF;
  damaged[stream.size() / 2 + 1] ^= 0xFF;
  Bytes cut(stream.begin(), stream.end() - 3);
  for (const Bytes& data : {damaged, cut}) {
    HandPack hand("KERVMAXZ");
    hand.AddRecord("keep.txt", hand.AddData(data), static_cast<uint32_t>(data.size()), U32(5000));
    ASSERT_EQ(Open(hand.Build(), PackKind::kDeflated), kPackOk);
    EXPECT_EQ(Next(), kPackFileError);
    EXPECT_EQ(name_, "keep.txt");
    EXPECT_EQ(Out("keep.txt"), ToBytes("old contents"));
    EXPECT_EQ(DestTree(), std::vector<std::string>{"keep.txt"});
  }
}

TEST_F(PackReaderTest, DataRunningPastTheEndOfThePackWritesNothing) {
  for (const char* magic : {"KERVMAXU", "KERVMAXZ", "KERVMAXA"}) {
    HandPack hand(magic);
    Bytes data = ToBytes("data");
    Bytes tail = std::string(magic) == "KERVMAXZ" ? U32(4) : std::string(magic) == "KERVMAXA" ? Bytes(50, 0) : Bytes();
    hand.AddRecord("x", hand.AddData(data), 0xFFFFFFF0u, tail);
    PackKind kind = magic[7] == 'U' ? PackKind::kStored : magic[7] == 'Z' ? PackKind::kDeflated : PackKind::kAudio;
    ASSERT_EQ(Open(hand.Build(), kind), kPackOk);
    EXPECT_EQ(Next(), kPackFileError) << magic;
    EXPECT_EQ(packed_, 0xFFFFFFF0u);
    EXPECT_TRUE(DestTree().empty());
  }
}

TEST_F(PackReaderTest, RecordPastTheEndOfTheDirectoryIsCorruptNotTheEnd) {
  HandPack hand("KERVMAXU");
  hand.AddRecord("a", hand.AddData(ToBytes("A")), 1);
  Bytes partial;
  Put16(partial, 3);
  Append(partial, ToBytes("bcd"));
  Put32(partial, 16);  // packedSize missing
  hand.AddRawRecordBytes(partial);
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackOk);
  EXPECT_EQ(Next(), kPackBadPack);
  // A single stray byte, and a negative name length, are corrupt too.
  HandPack stray("KERVMAXU");
  stray.AddRawRecordBytes({0x01});
  ASSERT_EQ(Open(stray.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackBadPack);
  HandPack negative("KERVMAXU");
  negative.AddRawRecordBytes({0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(Open(negative.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackBadPack);
}

TEST_F(PackReaderTest, OverlongNamesAndPathsFailAndTheReaderMovesOn) {
  HandPack hand("KERVMAXU");
  const uint32_t at = hand.AddData(ToBytes("x"));
  hand.AddRecord(std::string(260, 'n'), at, 1);
  std::string deep;  // 259 bytes of name, but joined to dest it is longer
  while (deep.size() < 250) deep += "d\\";
  deep += std::string(259 - deep.size(), 'f');
  hand.AddRecord(deep, at, 1);
  hand.AddRecord("fine", at, 1);
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_EQ(name_.size(), 260u);
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_EQ(reason_, "output path longer than 259 bytes");
  EXPECT_EQ(Next(), kPackOk);
  EXPECT_EQ(Out("fine"), ToBytes("x"));
}

TEST_F(PackReaderTest, MissingSubdirectoryFails) {
  HandPack hand("KERVMAXU");
  hand.AddRecord("sub\\file", hand.AddData(ToBytes("x")), 1);
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_TRUE(DestTree().empty());
  std::filesystem::create_directory(dest_ + "/sub");
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackOk);
  EXPECT_EQ(Out("sub/file"), ToBytes("x"));
}

TEST_F(PackReaderTest, NamesLeavingTheDestinationAreRefusedAndNothingIsCreatedOutside) {
  std::filesystem::create_directory(dest_ + "/a");
  const std::vector<std::string> bad = {"..\\evil", "a\\..\\..\\evil", "a/../../evil", "\\\\evil",
                                        "/evil",    "\\/evil",         "..",           std::string("ok\0x", 4),
                                        "",         "\\"};
  for (const std::string& name : bad) {
    HandPack hand("KERVMAXU");
    hand.AddRecord(name, hand.AddData(ToBytes("pwned")), 5);
    ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
    EXPECT_EQ(Next(), kPackFileError) << name;
    EXPECT_EQ(reason_, "name would leave the destination directory") << name;
  }
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"dest", "dest/a", "game.pak"}));
}

TEST_F(PackReaderTest, SymbolicLinkToADirectoryOnTheWayIsRefused) {
  std::filesystem::create_directory(tmp_ / "elsewhere");
  std::filesystem::create_directory_symlink(tmp_ / "elsewhere", dest_ + "/link");
  HandPack hand("KERVMAXU");
  hand.AddRecord("link\\file", hand.AddData(ToBytes("x")), 1);
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_TRUE(ListTree(tmp_ / "elsewhere").empty());
}

TEST_F(PackReaderTest, SymbolicLinkAtTheOutputNameIsReplacedNotWrittenThrough) {
  WriteBytes(tmp_ / "target", ToBytes("precious"));
  std::filesystem::create_symlink(tmp_ / "target", dest_ + "/out.txt");
  HandPack hand("KERVMAXU");
  hand.AddRecord("out.txt", hand.AddData(ToBytes("new")), 3);
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  ASSERT_EQ(Next(), kPackOk);
  EXPECT_FALSE(std::filesystem::is_symlink(dest_ + "/out.txt"));
  EXPECT_EQ(Out("out.txt"), ToBytes("new"));
  EXPECT_EQ(ReadBytes(tmp_ / "target"), ToBytes("precious"));
}

TEST_F(PackReaderTest, OutputThatIsAnExistingDirectoryFailsAndKeepsIt) {
  std::filesystem::create_directory(dest_ + "/dir");
  HandPack hand("KERVMAXU");
  hand.AddRecord("dir", hand.AddData(ToBytes("x")), 1);
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_TRUE(std::filesystem::is_directory(dest_ + "/dir"));
  EXPECT_EQ(DestTree(), std::vector<std::string>{"dir"});
}

TEST_F(PackReaderTest, AudioRecordIsSixtyBytesPlusNameAndItsStreamIsNotOpenedYet) {
  HandPack hand("KERVMAXA");
  Bytes tail = U32(0);
  Bytes info(46, 0);
  info[0] = 0x44;  // samplerate 44100 = 0xAC44
  info[1] = 0xAC;
  Append(tail, info);
  const uint32_t at = hand.AddData(ToBytes("RIFF...."));
  hand.AddRecord("clip1", at, 8, tail);
  hand.AddRecord("clip2", at, 8, tail);
  ASSERT_EQ(hand.records().size(), 2u * 65u);
  ASSERT_EQ(Open(hand.Build(), PackKind::kAudio), kPackOk);
  EXPECT_EQ(Next(), kPackAudioFailed);
  EXPECT_EQ(name_, "clip1");
  // The reader stands at the next record after a failure.
  DirectoryEntry entry;
  ASSERT_EQ(NextRecord(*pack_, &entry), kPackOk);
  EXPECT_EQ(entry.name, "clip2");
  EXPECT_EQ(entry.info.samplerate, 44100u);
  EXPECT_TRUE(DestTree().empty());
}

TEST_F(PackReaderTest, VerifyReadsWithoutWriting) {
  HandPack hand("KERVMAXZ");
  Bytes stream = Deflate(ToBytes("abc"));
  hand.AddRecord("a", hand.AddData(stream), static_cast<uint32_t>(stream.size()), U32(3));
  hand.AddRecord("b", hand.AddData(stream), static_cast<uint32_t>(stream.size()), U32(2));
  ASSERT_EQ(Open(hand.Build(), PackKind::kDeflated), kPackOk);
  DirectoryEntry entry;
  uint32_t unpacked = 0;
  ASSERT_EQ(NextRecord(*pack_, &entry), kPackOk);
  EXPECT_EQ(VerifyEntry(*pack_, entry, &unpacked), kPackOk);
  EXPECT_EQ(unpacked, 3u);
  ASSERT_EQ(NextRecord(*pack_, &entry), kPackOk);
  EXPECT_EQ(VerifyEntry(*pack_, entry, &unpacked), kPackFileError);
  EXPECT_TRUE(DestTree().empty());
}

TEST(PackFormatTest, NumbersAreLittleEndian) {
  const uint8_t bytes[4] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(LoadU32(bytes), 0x04030201u);
  EXPECT_EQ(LoadU16(bytes), 0x0201u);
  uint8_t out[4];
  StoreU32(out, 0xA1B2C3D4u);
  EXPECT_EQ(out[0], 0xD4);
  EXPECT_EQ(out[3], 0xA1);
}

}  // namespace
