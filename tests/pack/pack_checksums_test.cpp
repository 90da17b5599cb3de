// SPDX-License-Identifier: GPL-2.0-or-later
// The checksum trailer: its bytes read by hand and checked with zlib's
// crc32, damaged data caught before any file is in place, and damaged or
// cut trailers that leave the entries readable but the pack kept.
#include <gtest/gtest.h>
#include <zlib.h>

#include "pack/pack.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

uint32_t ZlibCrc(const Bytes& b, size_t at, size_t size) {
  return static_cast<uint32_t>(crc32(0, b.data() + at, static_cast<uInt>(size)));
}

class PackChecksumsTest : public PackFixture {
 protected:
  // A pack of `kind` made by the writer from `files`; its bytes.
  Bytes Make(PackKind kind, const std::vector<std::pair<std::string, Bytes>>& files) {
    PackPtr pack;
    EXPECT_EQ(CreatePack(path_, kind, &pack), PackWriteResult::kOk);
    for (const auto& [name, data] : files) {
      WriteBytes(tmp_ / "source", data);
      platform::File source = platform::OpenExistingReadOnly(tmp_ / "source");
      EXPECT_EQ(kind == PackKind::kStored ? AppendStoredEntry(*pack, name, source)
                                          : AppendDeflatedEntry(*pack, name, source),
                PackWriteResult::kOk);
    }
    EXPECT_EQ(FinishPack(*pack), PackWriteResult::kOk);
    return ReadBytes(path_);
  }
  // Opens `bytes` as a pack of `kind` and writes every entry; the codes.
  std::vector<int> Unpack(const Bytes& bytes, PackKind kind) {
    WriteBytes(path_, bytes);
    EXPECT_EQ(OpenPack(path_, kind, &pack_, &reason_), kPackOk) << reason_;
    std::vector<int> codes;
    for (int rc = kPackOk; rc != kPackEnd;) codes.push_back(rc = Next());
    return codes;
  }
};

// The trailer follows the directory and ends the file: zlib's CRC-32 of
// each entry's packed data, in the records' order, the count, the version,
// its own CRC and the magic.
TEST_F(PackChecksumsTest, TheWriterEndsEveryPackWithTheTrailerAsLaidOut) {
  const Bytes a = Sample(300000), b = Sample(10, false);
  for (PackKind kind : {PackKind::kStored, PackKind::kDeflated}) {
    const Bytes file = Make(kind, {{"a", a}, {"b", b}});
    const size_t trailer = file.size() - (2 * 4 + 20);
    Bytes records(At32(file, 12));
    const Bytes directory(file.begin() + At32(file, 8), file.begin() + static_cast<std::ptrdiff_t>(trailer));
    uLongf length = records.size();
    if (kind == PackKind::kStored) {
      records = directory;
    } else {
      ASSERT_EQ(uncompress(records.data(), &length, directory.data(), directory.size()), Z_OK);
    }
    // Each record: name length, name ("a" or "b"), offset, packed size, and
    // for a Deflated pack the unpacked size.
    const size_t recordBytes = kind == PackKind::kStored ? 11 : 15;
    for (size_t i = 0; i < 2; ++i) {
      const size_t at = i * recordBytes;
      EXPECT_EQ(At32(file, trailer + 4 * i), ZlibCrc(file, At32(records, at + 3), At32(records, at + 7))) << i;
    }
    EXPECT_EQ(At32(file, trailer + 8), 2u);
    EXPECT_EQ(At32(file, trailer + 12), 1u);
    EXPECT_EQ(At32(file, trailer + 16), ZlibCrc(file, trailer, 16));
    EXPECT_EQ(std::string(file.end() - 8, file.end()), "KERVSUMS");
    EXPECT_EQ(Unpack(file, kind), (std::vector<int>{kPackOk, kPackOk, kPackEnd}));
    EXPECT_EQ(ChecksumsOf(*pack_), PackChecksums::kValid);
    std::string why;
    EXPECT_TRUE(PackSafeToDelete(*pack_, &why)) << why;
    EXPECT_EQ(ReadBytes(dest_ + "/a"), a);
  }
}

// A flipped byte in an entry's data fails that entry (no file, the old one
// kept) when written and when only read; the next entry is written.
TEST_F(PackChecksumsTest, DamagedDataFailsItsEntryAndLeavesNoFile) {
  const Bytes a = Sample(200000), b = ToBytes("bee");
  for (PackKind kind : {PackKind::kStored, PackKind::kDeflated}) {
    Bytes file = Make(kind, {{"a", a}, {"b", b}});
    // Deflated: a byte of the last block's stored bits, where inflating
    // alone would not always notice.
    file[kind == PackKind::kStored ? 16 + 1000 : 16 + 20] ^= 0x01;
    WriteBytes(dest_ + "/a", ToBytes("old"));
    EXPECT_EQ(Unpack(file, kind), (std::vector<int>{kPackFileError, kPackOk, kPackEnd}));
    EXPECT_EQ(ReadBytes(dest_ + "/a"), ToBytes("old"));
    EXPECT_EQ(ReadBytes(dest_ + "/b"), b);
    RewindDirectory(*pack_);
    DirectoryEntry entry;
    ASSERT_EQ(NextRecord(*pack_, &entry), kPackOk);
    uint32_t unpacked = 0;
    EXPECT_EQ(ExtractEntry(*pack_, entry, EntryOutput{}, &unpacked, &reason_), kPackFileError);
    EXPECT_NE(reason_.find("data does not match its checksum (CRC-32 "), std::string::npos) << reason_;
    EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"a", "b"}));
  }
}

// A trailer that is damaged, cut, counts other records, or bytes that are no
// trailer: the entries are still written, unchecked, and the pack is kept.
// Without bytes after the directory (packs of other writers) nothing changes.
TEST_F(PackChecksumsTest, PacksWithoutAValidTrailerAreReadUncheckedAndKept) {
  const Bytes good = Make(PackKind::kStored, {{"a", ToBytes("alpha")}});
  Bytes flipped = good, cut(good.begin(), good.end() - 1), added = good, recount = good, version = good;
  flipped[flipped.size() - 24] ^= 1;  // the entry's checksum: the trailer's own CRC differs
  Append(added, ToBytes("x"));
  recount[recount.size() - 20] = 2;   // two checksums for one record
  version[version.size() - 16] = 2;
  HandPack hand("KERVMAXU");
  hand.Add("a", ToBytes("alpha"));
  const std::pair<Bytes, std::string> cases[] = {
      {flipped, "the checksum trailer is damaged (its own CRC-32 differs)"},
      {cut, "23 bytes after the directory are no checksum trailer"},
      {added, "25 bytes after the directory are no checksum trailer"},
      {recount, "the checksum trailer is damaged (it holds 2 checksums in 24 bytes)"},
      {version, "the checksum trailer is damaged (version 2)"},
      {hand.Build(), ""}};
  for (const auto& [bytes, problem] : cases) {
    SCOPED_TRACE(problem);
    EXPECT_EQ(Unpack(bytes, PackKind::kStored), (std::vector<int>{kPackOk, kPackEnd}));
    EXPECT_EQ(ReadBytes(dest_ + "/a"), ToBytes("alpha"));
    std::string why;
    EXPECT_EQ(ChecksumsOf(*pack_, &why), problem.empty() ? PackChecksums::kNone : PackChecksums::kDamaged);
    EXPECT_EQ(why, problem);
    EXPECT_EQ(PackSafeToDelete(*pack_, &why), problem.empty()) << why;
  }
}

// A writer's pack cut at every offset of its directory and trailer (and
// every 16th of its data): it does not open, an entry fails, or every entry
// is written whole and, but for the cut that takes the whole trailer away
// (which reads as a pack without checksums), the pack is not safe to
// delete. Never a wrong file.
TEST_F(PackChecksumsTest, EveryCutOfAWrittenPackFailsOrWritesTheRightBytesAndIsKept) {
  const Bytes a = Sample(200), b = Sample(40, false);
  for (PackKind kind : {PackKind::kStored, PackKind::kDeflated}) {
    const Bytes whole = Make(kind, {{"a", a}, {"b", b}});
    const size_t trailerless = whole.size() - (2 * 4 + 20);
    for (size_t cut = 0; cut < whole.size(); cut += cut < At32(whole, 8) ? 16 : 1) {
      for (const char* name : {"/a", "/b"}) std::filesystem::remove(dest_ + name);
      WriteBytes(path_, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
      if (OpenPack(path_, kind, &pack_, &reason_) != kPackOk) continue;
      int rc = kPackOk;
      while (rc == kPackOk) rc = Next();
      std::string why;
      EXPECT_EQ(PackSafeToDelete(*pack_, &why), cut == trailerless) << "cut at " << cut;
      if (rc != kPackEnd) continue;
      EXPECT_EQ(ReadBytes(dest_ + "/a"), a) << "cut at " << cut;
      EXPECT_EQ(ReadBytes(dest_ + "/b"), b) << "cut at " << cut;
    }
  }
}

}  // namespace
