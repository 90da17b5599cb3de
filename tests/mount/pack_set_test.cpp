// SPDX-License-Identifier: GPL-2.0-or-later
// Random access to a pack set (pack/pack_entry_reader.h) on packs laid out
// by hand: the listing against what extract does with the same names, reads
// of Stored and Deflated entries at any offset against the source bytes,
// the access points' memory bounds and damaged streams.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "pack/pack_access_points.h"
#include "pack/pack_entry_reader.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

class PackSetTest : public ::testing::Test {
 protected:
  PackSetPtr Open(const AccessPointLimits& limits = {}) {
    PackSetPtr set;
    notes_.clear();
    std::string reason;
    EXPECT_EQ(OpenPackSet(pak_, &set, &notes_, &reason, limits), kPackOk) << reason;
    return set;
  }
  std::vector<std::string> Paths(const PackSet& set) {
    std::vector<std::string> paths;
    for (const SetEntry& e : SetEntries(set)) paths.push_back(e.path);
    return paths;
  }
  // Reads `size` bytes at `offset` of entry `index`, or fails the test.
  Bytes Read(PackSet& set, size_t index, uint64_t offset, size_t size) {
    Bytes out(size);
    size_t got = 0;
    std::string reason;
    EXPECT_EQ(ReadSetEntry(set, index, offset, out.data(), size, &got, &reason), kPackOk) << reason;
    out.resize(got);
    return out;
  }
  static Bytes Slice(const Bytes& b, uint64_t offset, size_t size) {
    if (offset >= b.size()) return {};
    return Bytes(b.begin() + offset, b.begin() + std::min<uint64_t>(b.size(), offset + size));
  }

  TempDir tmp_;
  std::string pak_ = tmp_ / "set";
  std::vector<std::string> notes_;
};

// The names extract gives, and its refusals: the later entry of a name wins
// across packs and within one, a name through a file or onto a folder is
// left out, and so are "..", empty and "." names, each with a line.
TEST_F(PackSetTest, ListingKeepsExtractsNamesAndLastOneWins) {
  HandPack upak("KERVMAXU"), zpak("KERVMAXZ");
  upak.Add("readme.txt", ToBytes("stored"));
  upak.Add("dir\\a.txt", ToBytes("first"));
  upak.Add("dir/a.txt", ToBytes("second"));  // the same file: replaces the first
  upak.Add("..\\out.txt", ToBytes("x"));
  upak.Add("", ToBytes("x"));
  upak.Add("dir\\.", ToBytes("x"));
  upak.Add("\\lead\\.\\x.txt", ToBytes("x"));
  upak.Add("readme.txt\\under", ToBytes("x"));  // through a file
  zpak.Add("readme.txt", ToBytes("deflated"));   // replaces the stored one
  zpak.Add("dir", ToBytes("x"));                 // onto a folder
  WriteBytes(pak_ + ".UPAK", upak.Build());
  WriteBytes(pak_ + ".ZPAK", zpak.Build());
  PackSetPtr set = Open();
  ASSERT_TRUE(set);
  EXPECT_EQ(Paths(*set), (std::vector<std::string>{"dir/a.txt", "lead/x.txt", "readme.txt"}));
  EXPECT_EQ(SetEntries(*set)[2].kind, PackKind::kDeflated);
  EXPECT_EQ(SetEntries(*set)[0].record.name, "dir/a.txt");
  ASSERT_EQ(notes_.size(), 5u);
  for (const char* why : {"\"../out.txt\": name would leave", "\"\": the name is not a file name",
                          "\"dir/.\": the name is not a file name",
                          "\"readme.txt/under\": a directory of the name is not a directory: readme.txt",
                          "ZPAK: entry \"dir\": a directory of that name is in the way"}) {
    EXPECT_TRUE(std::any_of(notes_.begin(), notes_.end(), [&](auto& n) { return n.find(why) != n.npos; })) << why;
  }
  // No pack at all, and a pack that is not one.
  PackSetPtr none;
  std::string reason;
  EXPECT_EQ(OpenPackSet(tmp_ / "missing", &none, &notes_, &reason), kPackFileError);
  EXPECT_EQ(reason, "no pack named " + tmp_ / "missing" + ".APAK, .UPAK or .ZPAK");
  WriteBytes(pak_ + ".APAK", ToBytes("KERVMAXU and not audio"));
  ASSERT_TRUE(Open());
  EXPECT_NE(notes_.at(0).find("not a pack of this kind"), std::string::npos) << notes_[0];
}

// Reads at random offsets and sizes, forward runs and reads past the end
// give the source bytes, with access points a span apart held within their
// bounds; a total too small for every entry drops the least recently used
// entry's points, which come back as reads go forward again.
TEST_F(PackSetTest, DeflatedReadsAtAnyOffsetMatchTheSource) {
  const Bytes text = Sample(1'200'000, true, 7);
  Bytes mixed = Sample(400'000, false, 8);
  Append(mixed, Sample(600'000, true, 9));
  HandPack zpak("KERVMAXZ"), upak("KERVMAXU");
  zpak.Add("text.txt", text);
  zpak.Add("mixed.bin", mixed);
  zpak.Add("empty", {});
  upak.Add("stored.bin", mixed);
  WriteBytes(pak_ + ".ZPAK", zpak.Build());
  WriteBytes(pak_ + ".UPAK", upak.Build());
  AccessPointLimits limits;
  limits.span = 64 * 1024;
  limits.totalBytes = 24 * (pack_internal::kWindowBytes + sizeof(pack_internal::AccessPoint));
  PackSetPtr set = Open(limits);
  ASSERT_TRUE(set);
  ASSERT_EQ(Paths(*set), (std::vector<std::string>{"stored.bin", "text.txt", "mixed.bin", "empty"}));
  const Bytes* sources[] = {&mixed, &text, &mixed, nullptr};
  std::string reason;
  for (size_t i = 0; i < 4; ++i) ASSERT_EQ(PrepareSetEntry(*set, i, &reason), kPackOk) << reason;
  EXPECT_LE(AccessPointBytes(*set), limits.totalBytes);
  EXPECT_TRUE(Read(*set, 3, 0, 100).empty());
  std::mt19937_64 random(5);
  for (int n = 0; n < 200; ++n) {
    const size_t index = random() % 3;
    const Bytes& source = *sources[index];
    const uint64_t offset = random() % (source.size() + 1000);
    const size_t size = n % 10 == 0 ? 200'000 : 1 + random() % 9000;
    ASSERT_EQ(Read(*set, index, offset, size), Slice(source, offset, size)) << index << " at " << offset;
  }
  for (uint64_t offset = 0; offset < text.size(); offset += 65536) {
    ASSERT_EQ(Read(*set, 1, offset, 65536), Slice(text, offset, 65536)) << offset;
  }
  EXPECT_LE(AccessPointBytes(*set), limits.totalBytes);
  EXPECT_GT(AccessPointBytes(*set), 0u);
}

// A damaged stream fails when the entry is first prepared, and again at once
// afterwards: a flipped byte (a bad code, or only the Adler-32 trailer), a
// stream cut anywhere, a recorded size larger or smaller than the stream's,
// data past the end of the pack. The other entries stay readable.
TEST_F(PackSetTest, DamagedEntriesFailAndTheRestStaysReadable) {
  const Bytes data = Sample(200'000, true, 3);
  const Bytes good = Deflate(data);
  HandPack zpak("KERVMAXZ");
  Bytes trailer = good;
  trailer.back() ^= 1;
  Bytes code = good;
  code[good.size() / 2] ^= 0x55;
  const std::vector<std::pair<std::string, std::pair<Bytes, uint32_t>>> cases = {
      {"trailer", {trailer, uint32_t(data.size())}}, {"code", {code, uint32_t(data.size())}},
      {"larger", {good, uint32_t(data.size() + 1)}}, {"smaller", {good, uint32_t(data.size() - 1)}},
      {"good", {good, uint32_t(data.size())}}};
  for (const auto& [name, c] : cases) {
    zpak.AddRecord(name, zpak.AddData(c.first), uint32_t(c.first.size()), U32(c.second));
  }
  // Cut streams: every 997th length.
  for (size_t cut = 0; cut < good.size(); cut += 997) {
    zpak.AddRecord("cut" + std::to_string(cut), zpak.AddData(Bytes(good.begin(), good.begin() + cut)), uint32_t(cut),
                   U32(uint32_t(data.size())));
  }
  zpak.AddRecord("past", 0xFFFF0000u, 100, U32(100));
  WriteBytes(pak_ + ".ZPAK", zpak.Build());
  PackSetPtr set = Open();
  ASSERT_TRUE(set);
  const std::map<std::string, std::string> reasons = {
      {"trailer", "data does not inflate (incorrect data check)"},
      {"larger", "data inflates to 200000 bytes, recorded 200001"},
      {"smaller", "data inflates to more than its recorded size"},
      {"past", "data runs past the end of the pack"}};
  const std::vector<SetEntry>& entries = SetEntries(*set);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string reason, again;
    const int rc = PrepareSetEntry(*set, i, &reason);
    if (entries[i].path == "good") {
      ASSERT_EQ(rc, kPackOk) << reason;
      EXPECT_EQ(Read(*set, i, 1000, 5000), Slice(data, 1000, 5000));
      continue;
    }
    EXPECT_EQ(rc, kPackFileError) << entries[i].path;
    EXPECT_EQ(PrepareSetEntry(*set, i, &again), kPackFileError);
    EXPECT_EQ(again, reason);
    const auto it = reasons.find(entries[i].path);
    if (it != reasons.end()) {
      EXPECT_EQ(reason, it->second);
    }
  }
}

}  // namespace
