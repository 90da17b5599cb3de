// The pack reader on packs laid out by hand: open codes, entry codes, and
// what is and is not written.
#include <gtest/gtest.h>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

class PackReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(dest_); }

  int Open(const Bytes& bytes, PackKind kind) {
    WriteBytes(packPath_, bytes);
    return OpenPack(packPath_, kind, &pack_, &reason_);
  }
  int Next() { return NextEntry(dest_, &name_, *pack_, &packed_, &unpacked_, &reason_); }
  // Opens a Stored pack of one record and unpacks it.
  int UnpackOne(const std::string& name, const Bytes& data) {
    HandPack hand("KERVMAXU");
    hand.Add(name, data);
    EXPECT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
    return Next();
  }
  Bytes Out(const std::string& name) { return ReadBytes(dest_ + "/" + name); }

  TempDir tmp_;
  std::string dest_ = tmp_ / "dest";
  std::string packPath_ = tmp_ / "game.pak";
  PackPtr pack_;
  std::string reason_, name_;
  uint32_t packed_ = 0, unpacked_ = 0;
};

TEST_F(PackReaderTest, OpenRefusesWrongKindsUnfinishedAndUnreadablePacks) {
  const char* magics[] = {"KERVMAXA", "KERVMAXU", "KERVMAXZ"};
  for (int m = 0; m < 3; ++m) {
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(Open(HandPack(magics[m]).Build(), PackKind(k)), m == k ? kPackOk : kPackBadPack) << m << k;
    }
  }
  EXPECT_EQ(Open(ToBytes("KERVMAXU\0\0\0"), PackKind::kStored), kPackBadPack);  // shorter than the header
  Bytes unfinished = ToBytes("KERVMAXZKERV");
  Put32(unfinished, 0);
  EXPECT_EQ(Open(unfinished, PackKind::kDeflated), kPackBadPack);
  EXPECT_EQ(reason_, "unfinished pack");
  EXPECT_EQ(OpenPack(tmp_ / "absent", PackKind::kStored, &pack_, &reason_), kPackFileError);
  EXPECT_EQ(reason_, "");  // a missing pack is not worth a diagnostic
}

TEST_F(PackReaderTest, OpenChecksTheDirectoryAgainstTheFile) {
  HandPack stored("KERVMAXU");
  stored.Add("a", {});
  Bytes file = stored.Build();
  file.pop_back();  // one byte short of directorySize
  EXPECT_EQ(Open(file, PackKind::kStored), kPackNoMemory);
  EXPECT_EQ(Open(HandPack("KERVMAXU").Build(0xFFFFFFF0u), PackKind::kStored), kPackNoMemory);  // no allocation
  Bytes far = HandPack("KERVMAXZ").Build();
  far[10] = 0x10;  // directoryOffset beyond the file
  EXPECT_EQ(Open(far, PackKind::kDeflated), kPackNoMemory);

  HandPack deflated("KERVMAXZ");
  deflated.Add("a", ToBytes("a"));
  file = deflated.Build();
  EXPECT_EQ(Open(Bytes(file.begin(), file.end() - 1), PackKind::kDeflated), kPackFileError);  // cut
  file[file.size() - 6] ^= 0x55;
  EXPECT_EQ(Open(file, PackKind::kDeflated), kPackFileError);  // damaged
  const uint32_t length = static_cast<uint32_t>(deflated.records().size());
  EXPECT_EQ(Open(deflated.Build(length - 1), PackKind::kDeflated), kPackFileError);  // inflates to more
  ASSERT_EQ(Open(deflated.Build(length + 1000), PackKind::kDeflated), kPackOk);     // only a capacity
  EXPECT_EQ(Next(), kPackOk);
  EXPECT_EQ(Next(), kPackEnd);
  ASSERT_EQ(Open(HandPack("KERVMAXZ").Build(), PackKind::kDeflated), kPackOk);  // empty directory
  EXPECT_EQ(Next(), kPackEnd);
}

TEST_F(PackReaderTest, EntriesAreWrittenInChunksWithTheirSizes) {
  HandPack stored("KERVMAXU");
  const Bytes noise = Sample(700000, false);
  stored.Add("\\noise", noise);
  stored.Add("empty", {});
  ASSERT_EQ(Open(stored.Build(), PackKind::kStored), kPackOk);
  ASSERT_EQ(Next(), kPackOk);
  EXPECT_EQ(Out("noise"), noise);
  ASSERT_EQ(Next(), kPackOk);
  EXPECT_EQ(packed_ + unpacked_, 0u);
  EXPECT_TRUE(std::filesystem::is_regular_file(dest_ + "/empty"));
  EXPECT_EQ(Next(), kPackEnd);

  HandPack deflated("KERVMAXZ");
  const Bytes text = Sample(3 << 20);
  deflated.Add("big", text);
  // Bytes after the stream's end are ignored; the recorded size only bounds.
  Bytes padded = Deflate(ToBytes("hello"));
  const uint32_t packed = static_cast<uint32_t>(padded.size() + 4);
  Append(padded, ToBytes("junk"));
  deflated.AddRecord("hello", deflated.AddData(padded), packed, U32(100));
  ASSERT_EQ(Open(deflated.Build(), PackKind::kDeflated), kPackOk);
  ASSERT_EQ(Next(), kPackOk) << reason_;
  EXPECT_EQ(unpacked_, text.size());
  EXPECT_EQ(Out("big"), text);
  ASSERT_EQ(Next(), kPackOk) << reason_;
  EXPECT_EQ(packed_, packed);
  EXPECT_EQ(unpacked_, 5u);
  EXPECT_EQ(Out("hello"), ToBytes("hello"));
}

TEST_F(PackReaderTest, BadDataFailsTheEntryWithoutTouchingTheOutputName) {
  WriteBytes(dest_ + "/f", ToBytes("old"));
  const Bytes stream = Deflate(Sample(5000));
  Bytes damaged = stream;
  damaged[stream.size() / 2] ^= 0xFF;
  damaged[stream.size() / 2 + 1] ^= 0xFF;
  struct Case {
    const char* what;
    Bytes data;
    uint32_t packed, unpacked;
  } cases[] = {
      {"damaged", damaged, uint32_t(damaged.size()), 5000},
      {"cut", Bytes(stream.begin(), stream.end() - 3), uint32_t(stream.size() - 3), 5000},
      {"longer than recorded", stream, uint32_t(stream.size()), 4999},
      {"past the end of the pack", stream, 0xFFFFFFF0u, 5000},
  };
  for (const Case& c : cases) {
    HandPack hand("KERVMAXZ");
    hand.AddRecord("f", hand.AddData(c.data), c.packed, U32(c.unpacked));
    ASSERT_EQ(Open(hand.Build(), PackKind::kDeflated), kPackOk);
    EXPECT_EQ(Next(), kPackFileError) << c.what;
    EXPECT_EQ(name_, "f");
    EXPECT_EQ(Out("f"), ToBytes("old")) << c.what;
    EXPECT_EQ(ListTree(dest_), std::vector<std::string>{"f"}) << c.what;
  }
}

TEST_F(PackReaderTest, RecordPastTheEndOfTheDirectoryIsCorruptNotTheEnd) {
  for (const Bytes& tail : {Bytes{0x01}, Bytes{0x03, 0, 'a', 'b', 'c', 16, 0, 0, 0}, Bytes{0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}}) {
    HandPack hand("KERVMAXU");
    hand.Add("a", ToBytes("A"));
    Append(hand.records(), tail);
    ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
    EXPECT_EQ(Next(), kPackOk);
    EXPECT_EQ(Next(), kPackBadPack);
  }
}

TEST_F(PackReaderTest, OverlongNamesAndPathsFailAndTheReaderMovesOn) {
  std::string deep;  // 259 bytes, but longer once joined to the destination
  while (deep.size() < 250) deep += "d\\";
  deep += std::string(259 - deep.size(), 'f');
  HandPack hand("KERVMAXU");
  hand.Add(std::string(260, 'n'), ToBytes("x"));
  hand.Add(deep, ToBytes("x"));
  hand.Add("fine", ToBytes("x"));
  ASSERT_EQ(Open(hand.Build(), PackKind::kStored), kPackOk);
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_EQ(reason_, "name longer than 259 bytes");
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_EQ(reason_, "output path longer than 259 bytes");
  EXPECT_EQ(Next(), kPackOk);
  EXPECT_EQ(ListTree(dest_), std::vector<std::string>{"fine"});
}

TEST_F(PackReaderTest, OutputsThatCannotBeCreatedFail) {
  std::filesystem::create_directory(dest_ + "/dir");
  EXPECT_EQ(UnpackOne("sub\\file", ToBytes("x")), kPackFileError);  // no such subdirectory
  EXPECT_EQ(UnpackOne("dir", ToBytes("x")), kPackFileError);        // an existing directory
  EXPECT_EQ(ListTree(dest_), std::vector<std::string>{"dir"});
  std::filesystem::create_directory(dest_ + "/sub");
  EXPECT_EQ(UnpackOne("sub\\file", ToBytes("x")), kPackOk);
  EXPECT_EQ(Out("sub/file"), ToBytes("x"));
}

TEST_F(PackReaderTest, NamesLeavingTheDestinationAreRefusedAndNothingIsCreatedOutside) {
  std::filesystem::create_directory(dest_ + "/a");
  for (const std::string name : {"..\\evil", "a\\..\\..\\evil", "a/../../evil", "\\\\evil", "/evil", "\\/evil", "..", "", "\\"}) {
    EXPECT_EQ(UnpackOne(name, ToBytes("pwned")), kPackFileError) << name;
    EXPECT_EQ(reason_, "name would leave the destination directory") << name;
  }
  EXPECT_EQ(UnpackOne(std::string("ok\0x", 4), ToBytes("pwned")), kPackFileError);
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"dest", "dest/a", "game.pak"}));
}

TEST_F(PackReaderTest, SymbolicLinksOnTheWayAreRefusedAndAtTheNameReplaced) {
  std::filesystem::create_directory(tmp_ / "elsewhere");
  std::filesystem::create_directory_symlink(tmp_ / "elsewhere", dest_ + "/link");
  EXPECT_EQ(UnpackOne("link\\file", ToBytes("x")), kPackFileError);
  EXPECT_TRUE(ListTree(tmp_ / "elsewhere").empty());
  WriteBytes(tmp_ / "target", ToBytes("precious"));
  std::filesystem::create_symlink(tmp_ / "target", dest_ + "/out");
  EXPECT_EQ(UnpackOne("out", ToBytes("new")), kPackOk);
  EXPECT_FALSE(std::filesystem::is_symlink(dest_ + "/out"));
  EXPECT_EQ(Out("out"), ToBytes("new"));
  EXPECT_EQ(ReadBytes(tmp_ / "target"), ToBytes("precious"));
}

TEST_F(PackReaderTest, AudioRecordIsSixtyBytesPlusNameAndAStreamThatFailsIsPassed) {
  HandPack hand("KERVMAXA");
  Bytes tail = U32(0);
  for (uint32_t word : {44100u, 16u, 1u}) Put32(tail, word);  // samplerate, pcmbitwidth, channels
  tail.resize(50);
  const uint32_t at = hand.AddData(ToBytes("RIFF"));
  hand.AddRecord("clip1", at, 4, tail);
  hand.AddRecord("clip2", at, 4, tail);
  ASSERT_EQ(hand.records().size(), 2u * 65u);
  ASSERT_EQ(Open(hand.Build(), PackKind::kAudio), kPackOk);
  EXPECT_EQ(Next(), kPackAudioFailed);
  DirectoryEntry entry;  // the reader stands at the next record
  ASSERT_EQ(NextRecord(*pack_, &entry), kPackOk);
  EXPECT_EQ(entry.name, "clip2");
  EXPECT_EQ(entry.info.samplerate, 44100u);
  EXPECT_TRUE(ListTree(dest_).empty());
}

}  // namespace
