// SPDX-License-Identifier: GPL-2.0-or-later
// Moving entry data: Deflated entries and compressed directories inflated
// (damaged, cut, short and long streams end as zlib's uncompress ends them),
// Stored entries copied inside the kernel or by the read and write loop that
// takes over where the kernel refuses, fails or stops (same files, same
// progress, same failures).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cerrno>
#include <ostream>
#include <random>

#include "pack/pack_internal.h"
#include "pack/pack_test_support.h"

using namespace test_support;

namespace {

class PackDataTest : public PackFixture {
 protected:
  void Open(const Bytes& file, PackKind kind = PackKind::kDeflated) {
    WriteBytes(path_, file);
    ASSERT_EQ(OpenPack(path_, kind, &pack_, &reason_), kPackOk) << reason_;
  }
  // Inflates `packed` bytes at `at` as an entry of `unpacked` bytes, writing nothing.
  int Check(uint32_t at, uint32_t packed, uint32_t unpacked) {
    DirectoryEntry entry{"e", at, packed, unpacked, 0, {}};
    return ExtractEntry(*pack_, entry, EntryOutput{}, &unpacked_, &reason_);
  }
};

// Text and noise in turn: the stream crosses the reader's 256 KiB chunks in and out.
Bytes Mixed(size_t size) {
  Bytes out;
  for (uint32_t part = 0; out.size() < size; ++part) Append(out, Sample(40000 + part * 7919, part % 3 == 2, part));
  out.resize(size);
  return out;
}

TEST_F(PackDataTest, DamagedHeadersAndTrailersAndEveryCutFail) {
  const Bytes data = Mixed(900000), stream = Deflate(data);
  ASSERT_GT(stream.size(), size_t{2 * 262144});  // the trailer lies in the third chunk
  const std::tuple<size_t, uint8_t, const char*> damage[] = {  // offset, new byte, zlib's words
      {stream.size() - 2, uint8_t(stream[stream.size() - 2] ^ 1), "incorrect data check"},
      {1, 0xDB, "incorrect header check"},  // 0x78DB is not a multiple of 31
      {0, 0x79, "unknown compression method"},
      {0, 0x88, "invalid window size"},  // 64 KiB: ISA-L alone would take it
      {1, 0xBB, "needs a preset dictionary"}};
  HandPack hand("KERVMAXZ");
  for (auto [where, byte, why] : damage) {
    Bytes bad = stream;
    bad[where] = byte;
    if (where == 0) bad[1] = byte == 0x79 ? 0xD2 : 0x1C;  // the check bits made right again
    hand.AddRecord(why, hand.AddData(bad), uint32_t(bad.size()), U32(900000));
  }
  const uint32_t at = hand.AddData(stream), size = uint32_t(stream.size());
  hand.AddRecord("good", at, size, U32(900000));
  Open(hand.Build());
  for (auto [where, byte, why] : damage) {
    EXPECT_EQ(Next(), kPackFileError) << why;
    EXPECT_EQ(reason_, std::string("data does not inflate (") + why + ")");
    EXPECT_TRUE(ListTree(dest_).empty()) << why;
  }
  ASSERT_EQ(Next(), kPackOk) << reason_;
  EXPECT_EQ(ReadBytes(dest_ + "/good"), data);

  std::vector<uint32_t> cuts = {0, 1, 2, size - 5, size - 4, size - 1};
  for (uint32_t cut = 997; cut < size; cut += 997) cuts.push_back(cut);
  for (uint32_t cut : cuts) {
    ASSERT_EQ(Check(at, cut, 900000), kPackFileError) << "cut at " << cut;
    EXPECT_EQ(reason_, "data does not inflate (zlib stream cut short)") << "cut at " << cut;
  }
}

// A stream shorter than unpackedSize gives its own length; bytes after its
// end are ignored wherever the chunks fall; one byte too many fails. After a
// directory's stream, any byte makes the pack unsafe to delete, even one
// held in the inflater's bit buffer.
TEST_F(PackDataTest, RecordedSizesAreACapacityAndBytesAfterTheEndAreSeen) {
  const Bytes data = Mixed(600000), stream = Deflate(data);
  HandPack hand("KERVMAXZ");
  const uint32_t at = hand.AddData(stream), size = uint32_t(stream.size());
  hand.AddData(Sample(300000, false));
  Open(hand.Build());
  for (uint32_t extra : {0u, 1u, 8u, 9u, 300000u}) {
    EXPECT_EQ(Check(at, size + extra, 600000), kPackOk) << extra;
    EXPECT_EQ(unpacked_, 600000u);
  }
  EXPECT_EQ(Check(at, size, 0xFFFFFFFFu), kPackOk);
  EXPECT_EQ(unpacked_, 600000u);
  EXPECT_EQ(Check(at, size, 599999), kPackFileError);
  EXPECT_EQ(reason_, "data inflates to more than its recorded size");
  EXPECT_EQ(Check(at, size, 524288), kPackFileError);  // the limit on a chunk's end

  for (size_t extra : {0, 1, 3, 8, 9}) {
    HandPack small("KERVMAXZ");
    small.Add("z", ToBytes("zz"));
    Bytes file = small.Build();
    file.resize(file.size() + extra, 0x5A);
    Open(file);
    ASSERT_EQ(Next(), kPackOk);
    std::string why;
    EXPECT_EQ(PackSafeToDelete(*pack_, &why), extra == 0) << extra << ": " << why;
  }
}

// zlib's inflate as the oracle on damaged streams: the same bytes where it
// succeeds, a failure where it fails. The one known difference: ISA-L takes
// an incomplete distance code that no symbol uses (zlib: "invalid distances
// set"); the Adler-32 trailer still vouches for the bytes.
TEST_F(PackDataTest, DamagedStreamsInflateAsZlibInflatesThem) {
  std::mt19937 rng(14);
  std::vector<Bytes> inputs;
  HandPack hand("KERVMAXZ");
  for (int i = 0; i < 600; ++i) {
    Bytes s = Deflate(Sample(size_t{40} << (i % 3 * 4), i % 2 == 0, uint32_t(i % 6)));
    for (int n = 1 + int(rng() % 3); n > 0; --n) {
      const size_t at = rng() % s.size();
      if (rng() % 3 == 2) s.insert(s.begin() + std::ptrdiff_t(at), uint8_t(rng()));
      else s[at] = rng() % 2 ? uint8_t(rng()) : uint8_t(s[at] ^ (1u << (rng() % 8)));
    }
    inputs.push_back(s);
    hand.AddRecord("f", hand.AddData(s), uint32_t(s.size()), U32(100000));
  }
  Open(hand.Build());
  int bothFailed = 0;
  for (const Bytes& input : inputs) {
    Bytes expected(100000);
    z_stream z{};
    ASSERT_EQ(inflateInit(&z), Z_OK);
    z.next_in = const_cast<Bytef*>(input.data());
    z.avail_in = uInt(input.size());
    z.next_out = expected.data();
    z.avail_out = uInt(expected.size());
    const int zrc = inflate(&z, Z_FINISH);
    expected.resize(z.total_out);
    const int rc = Next();
    if (zrc == Z_STREAM_END) {
      EXPECT_EQ(rc, kPackOk) << reason_;
      EXPECT_EQ(ReadBytes(dest_ + "/f"), expected);
    } else if (rc == kPackOk) {
      EXPECT_STREQ(z.msg, "invalid distances set");
    } else {
      EXPECT_EQ(rc, kPackFileError);
      ++bothFailed;
    }
    inflateEnd(&z);
  }
  EXPECT_GT(bothFailed, 300);
}

// What the kernel copy in the handle's slot does: at most `piece` bytes a
// call, and after `refuseAfter` bytes fails with `error` (0: reports the
// end of the pack, as if it had been cut meanwhile).
struct Plan {
  size_t piece;
  uint64_t refuseAfter;
  int error;
};
const Plan kPlans[] = {{SIZE_MAX, UINT64_MAX, 0}, {100001, UINT64_MAX, 0}, {SIZE_MAX, 0, EXDEV},
                       {SIZE_MAX, 300000, EOPNOTSUPP}, {SIZE_MAX, 0, 0}};
Plan plan;
uint64_t copied = 0;
size_t calls = 0;
void PrintTo(const Plan& p, std::ostream* os) { *os << p.piece << " a call, " << p.refuseAfter << ", " << p.error; }

int64_t PlannedCopy(platform::File& from, int64_t offset, platform::File& to, size_t count) {
  if (copied >= plan.refuseAfter) {
    errno = plan.error;
    return plan.error == 0 ? 0 : -1;
  }
  ++calls;
  const int64_t n =
      platform::CopyFileRange(from, offset, to, std::min<uint64_t>({count, plan.piece, plan.refuseAfter - copied}));
  if (n > 0) copied += uint64_t(n);
  return n;
}

class PackCopyTest : public PackDataTest, public ::testing::WithParamInterface<Plan> {
 protected:
  void SetUp() override {
    PackDataTest::SetUp();
    plan = GetParam();
    copied = calls = 0;
  }
  void OpenStored(const Bytes& file) {
    Open(file, PackKind::kStored);
    pack_->copyRange = PlannedCopy;
  }
};

TEST_P(PackCopyTest, FilesAndProgressAreTheSameWhicheverWayTheBytesGo) {
  const Bytes big = Sample(1500000, false, 7), small = Sample(1000, true, 8);
  HandPack hand("KERVMAXU");
  hand.AddData(ToBytes("x"));  // the data does not start on a block boundary
  const std::pair<std::string, Bytes> entries[] = {{"big", big}, {"empty", {}}, {"small", small}};
  for (const auto& [name, data] : entries) hand.Add(name, data);
  OpenStored(hand.Build());
  for (const auto& [name, data] : entries) {
    uint64_t told = 0;
    DirectoryEntry entry;
    ASSERT_EQ(NextRecord(*pack_, &entry), kPackOk);
    ASSERT_EQ(ExtractEntry(*pack_, entry, {&destination_, nullptr, [&](uint64_t bytes) { told = bytes; }}, &unpacked_,
                           &reason_), kPackOk) << name << ": " << reason_;
    EXPECT_EQ(unpacked_, data.size());
    EXPECT_EQ(told, data.size()) << name;
    EXPECT_EQ(ReadBytes(dest_ + "/" + name), data) << name;
  }
  // The kernel copied both entries with data (the big one in 15 pieces).
  EXPECT_GE(calls, plan.refuseAfter < UINT64_MAX ? 0u : plan.piece == 100001 ? 16u : 2u);
}

// A pack cut after its open (shorter than its record claims) fails the
// entry as a read, a file size limit as a write: no file appears and the
// old one stays. (A pack already short at the open is refused before
// anything is copied: see the reader's tests.)
TEST_P(PackCopyTest, ShortPacksAndFailedWritesFailTheEntry) {
  WriteBytes(dest_ + "/f", ToBytes("old"));
  HandPack whole("KERVMAXU");
  whole.Add("f", Sample(900000, false));
  OpenStored(whole.Build());
  std::filesystem::resize_file(path_, 16 + 350000);
  EXPECT_EQ(Next(), kPackFileError);
  EXPECT_EQ(reason_, "data cannot be read: No data available");
  EXPECT_EQ(ListTree(dest_), std::vector<std::string>{"f"});

  OpenStored(whole.Build());
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit limited{500000, old.rlim_max};
  const sighandler_t oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int rc = Next();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(rc, kPackFileError);
  EXPECT_EQ(reason_, "cannot write " + dest_ + "/f: File too large");
  EXPECT_EQ(ReadBytes(dest_ + "/f"), ToBytes("old"));
  EXPECT_EQ(ListTree(dest_), std::vector<std::string>{"f"});
}

INSTANTIATE_TEST_SUITE_P(KernelCopies, PackCopyTest, ::testing::ValuesIn(kPlans));

}  // namespace
