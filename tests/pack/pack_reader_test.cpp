// SPDX-License-Identifier: GPL-2.0-or-later
// The pack reader on packs laid out by hand: open codes, entry codes, and
// what is and is not written.
#include <gtest/gtest.h>

#include <tuple>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

constexpr PackKind kStored = PackKind::kStored, kDeflated = PackKind::kDeflated;

class PackReaderTest : public PackFixture {
 protected:
  int Open(const Bytes& bytes, PackKind kind) {
    WriteBytes(path_, bytes);
    return OpenPack(path_, kind, &pack_, &reason_);
  }
  Bytes Out(const std::string& name) { return ReadBytes(dest_ + "/" + name); }
  void ExpectWritten(const std::string& file, const Bytes& data) {
    ASSERT_EQ(Next(), kPackOk) << reason_;
    EXPECT_EQ(unpacked_, data.size());
    EXPECT_EQ(packed_, data.size());  // Stored: as many bytes as written
    EXPECT_EQ(Out(file), data);
  }
};

TEST_F(PackReaderTest, OpenRefusesWrongKindsBadHeadersAndDirectoriesTheFileCannotHold) {
  const char* magics[] = {"KERVMAXA", "KERVMAXU", "KERVMAXZ"};
  for (int m = 0; m < 3; ++m) {
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(Open(HandPack(magics[m]).Build(), PackKind(k)), m == k ? kPackOk : kPackBadPack) << m << k;
    }
  }
  HandPack stored("KERVMAXU"), deflated("KERVMAXZ");
  stored.Add("a", {});
  deflated.Add("a", ToBytes("a"));
  const Bytes storedFile = stored.Build(), deflatedFile = deflated.Build();
  Bytes unfinished = ToBytes("KERVMAXZKERV"), far = HandPack("KERVMAXZ").Build(), damaged = deflatedFile;
  Put32(unfinished, 0);
  far[10] = 0x10;  // directoryOffset beyond the file
  damaged.back() ^= 0x55;  // the checksum
  const uint32_t length = static_cast<uint32_t>(deflated.records().size());
  const std::tuple<const char*, Bytes, PackKind, int> cases[] = {  // reason, file, kind, code
      {"too short for a pack header", ToBytes("KERVMAXU"), kStored, kPackBadPack},
      {"unfinished pack", unfinished, kDeflated, kPackBadPack},
      {"directory runs past", Bytes(storedFile.begin(), storedFile.end() - 1), kStored, kPackNoMemory},
      {"directory runs past", HandPack("KERVMAXU").Build(0xFFFFFFF0u), kStored, kPackNoMemory},  // no allocation
      {"directory runs past", far, kDeflated, kPackNoMemory},
      {"directory does not inflate", Bytes(deflatedFile.begin(), deflatedFile.end() - 1), kDeflated, kPackFileError},
      {"directory does not inflate", damaged, kDeflated, kPackFileError},
      {"directory inflates to more", deflated.Build(length - 1), kDeflated, kPackFileError},
      {"", deflated.Build(length + 1000), kDeflated, kPackOk},  // the recorded size is only a capacity
  };
  for (const auto& [reason, file, kind, code] : cases) {
    EXPECT_EQ(Open(file, kind), code) << reason;
    EXPECT_EQ(reason_.rfind(reason, 0), 0u) << reason << ": " << reason_;
  }
  EXPECT_EQ(Next(), kPackOk);
  EXPECT_EQ(Next(), kPackEnd);
  EXPECT_EQ(OpenPack(tmp_ / "absent", kStored, &pack_, &reason_), kPackFileError);
  EXPECT_EQ(reason_, "");  // a missing pack is not worth a diagnostic
}

TEST_F(PackReaderTest, BadDataFailsTheEntryWithoutTouchingTheOutputName) {
  WriteBytes(dest_ + "/f", ToBytes("old"));
  const Bytes stream = Deflate(Sample(5000));
  Bytes damaged = stream;
  damaged[stream.size() / 2] ^= 0xFF;
  damaged[stream.size() / 2 + 1] ^= 0xFF;
  const std::tuple<const char*, Bytes, uint32_t, uint32_t> cases[] = {  // reason, data, packed, unpacked
      {"data does not inflate", damaged, uint32_t(damaged.size()), 5000},
      {"data does not inflate", Bytes(stream.begin(), stream.end() - 3), uint32_t(stream.size() - 3), 5000},
      {"data inflates to more", stream, uint32_t(stream.size()), 4999},
      {"data runs past the end", stream, 0xFFFFFFF0u, 5000},
  };
  for (const auto& [reason, data, packed, unpacked] : cases) {
    HandPack hand("KERVMAXZ");
    hand.AddRecord("f", hand.AddData(data), packed, U32(unpacked));
    ASSERT_EQ(Open(hand.Build(), kDeflated), kPackOk);
    EXPECT_EQ(Next(), kPackFileError) << reason;
    EXPECT_EQ(reason_.rfind(reason, 0), 0u) << reason << ": " << reason_;
    EXPECT_EQ(name_, "f");
    EXPECT_EQ(Out("f"), ToBytes("old")) << reason;
    EXPECT_EQ(ListTree(dest_), std::vector<std::string>{"f"}) << reason;
  }
}

TEST_F(PackReaderTest, RecordPastTheEndOfTheDirectoryIsCorruptNotTheEnd) {
  for (const Bytes& tail : {Bytes{0x01}, Bytes{0x03, 0, 'a', 'b', 'c', 16, 0, 0, 0}, Bytes{0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}}) {
    HandPack hand("KERVMAXU");
    hand.Add("a", ToBytes("A"));
    Append(hand.records(), tail);
    ASSERT_EQ(Open(hand.Build(), kStored), kPackOk);
    EXPECT_EQ(Next(), kPackOk);
    EXPECT_EQ(Next(), kPackBadPack);
  }
}

// Names that cannot be written fail their entry, create nothing (least of all
// outside the destination) and the reader moves on to the next record.
TEST_F(PackReaderTest, NamesThatCannotBeWrittenFailAndTheReaderMovesOn) {
  std::string deep;  // 259 bytes, but longer once joined to the destination
  while (deep.size() < 250) deep += "d\\";
  deep += std::string(259 - deep.size(), 'f');
  for (const char* dir : {"/a", "/dir"}) std::filesystem::create_directory(dest_ + dir);
  std::filesystem::create_directory(tmp_ / "elsewhere");
  std::filesystem::create_directory_symlink(tmp_ / "elsewhere", dest_ + "/link");
  WriteBytes(tmp_ / "target", ToBytes("precious"));
  std::filesystem::create_symlink(tmp_ / "target", dest_ + "/out");
  const std::string leaves = "name would leave the destination directory";
  const std::pair<std::string, std::string> failing[] = {
      {std::string(260, 'n'), "name longer than 259 bytes"},
      {deep, "output path longer than 259 bytes"},
      {"a\\..\\..\\evil", leaves}, {"a/../../evil", leaves},
      {"sub\\file", "cannot create"},  // no such subdirectory
      {"dir", "cannot put"},           // an existing directory
      {"link\\file", "a directory of the name is a symbolic link"},
  };
  HandPack hand("KERVMAXU");
  for (const auto& [name, reason] : failing) hand.Add(name, ToBytes("pwned"));
  hand.Add("a\\fine", ToBytes("fine"));
  hand.Add("/evil", ToBytes("inside"));  // "dest\\/evil" is dest/evil
  hand.Add("out", ToBytes("new"));  // a link at the name is replaced
  ASSERT_EQ(Open(hand.Build(), kStored), kPackOk);
  for (const auto& [name, reason] : failing) {
    EXPECT_EQ(Next(), kPackFileError) << name;
    EXPECT_EQ(reason_.substr(0, reason.size()), reason) << name;
  }
  ExpectWritten("a/fine", ToBytes("fine"));
  ExpectWritten("evil", ToBytes("inside"));
  ExpectWritten("out", ToBytes("new"));
  EXPECT_FALSE(std::filesystem::is_symlink(dest_ + "/out"));
  EXPECT_EQ(ReadBytes(tmp_ / "target"), ToBytes("precious"));
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"dest", "dest/a", "dest/a/fine", "dest/dir", "dest/evil", "dest/link",
                                                             "dest/out", "elsewhere", "game.pak", "target"}));
}

TEST_F(PackReaderTest, AudioRecordIsSixtyBytesPlusNameAndAStreamThatDoesNotOpenFails) {
  HandPack hand("KERVMAXA");
  Bytes tail = U32(0);
  for (uint32_t word : {44100u, 16u, 1u}) Put32(tail, word);  // samplerate, pcmbitwidth, channels
  tail.resize(50);
  const uint32_t at = hand.AddData(ToBytes("RIFF"));
  hand.AddRecord("clip1", at, 4, tail);
  hand.AddRecord("clip2", at, 4, tail);
  ASSERT_EQ(Open(hand.Build(), PackKind::kAudio), kPackOk);
  EXPECT_EQ(Next(), kPackAudioFailed);
  DirectoryEntry entry;  // the reader stands at the next record
  ASSERT_EQ(NextRecord(*pack_, &entry), kPackOk);
  EXPECT_EQ(entry.name, "clip2");
  EXPECT_EQ(entry.info.samplerate, 44100u);
  EXPECT_TRUE(ListTree(dest_).empty());
}

}  // namespace
