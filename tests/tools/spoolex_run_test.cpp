// End-to-end runs of spoolex on packs laid out by hand: exact standard
// output, one diagnostic line per stopped pack, deletion and fault cases.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "pack/pack_test_support.h"
#include "tools/run_program.h"

using namespace test_support;

namespace {

const std::string kBanner = "KERV_SPOOLEX v1.0\n";
const std::string kRule = std::string(49, '-') + "\n";

class SpoolexRunTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(dest_); }

  RunResult Spoolex(std::vector<std::string> args, const RunOptions& options = {}) {
    args.insert(args.begin(), SpoolexPath());
    return RunProgram(args, options);
  }
  // Writes NAME.<extension> holding `items`, laid out by hand; `patch`
  // changes its bytes first.
  void Put(const std::string& extension, const std::vector<std::pair<std::string, Bytes>>& items,
           void (*patch)(Bytes&) = nullptr) {
    HandPack hand("KERVMAX" + extension.substr(1, 1));
    for (const auto& [name, data] : items) hand.Add(name, data);
    Bytes bytes = hand.Build();
    if (patch != nullptr) patch(bytes);
    WriteBytes(pak_ + extension, bytes);
  }
  bool Has(const std::string& extension) { return std::filesystem::exists(pak_ + extension); }

  TempDir tmp_;
  std::string pak_ = tmp_ / "game";
  std::string dest_ = tmp_ / "dest";
};

TEST_F(SpoolexRunTest, FewerThanTwoArgumentsPrintTheUsage) {
  for (const auto& args : {std::vector<std::string>{}, {"game"}, {"--help"}}) {
    RunResult r = Spoolex(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "spoolex <pakname> <directory> [delete]\n\n"
              "        pakname: Name of the pak file (NO TERMINATION)\n"
              "        directory: Destination Directory\n"
              "        delete: (Delete pack(s) after finish\n");
  }
}

// Ratios (truncated, at least two digits) and totals: bytes after a stream
// are ignored; a 30 MB entry crosses the reader's chunks both ways, and its
// size times 100 does not fit 32 bits. Backslashes in the pack name and the
// destination are separators.
TEST_F(SpoolexRunTest, RatiosAndTotalsOfDeflatedEntries) {
  HandPack hand("KERVMAXZ");
  for (auto [name, packed, unpacked] : {std::tuple{"thousand", 100, 1000}, {"quarter", 400, 1000}, {"under", 1000, 999},
                                               {"tiny", 1000, 50}}) {
    Bytes stream = Deflate(Bytes(unpacked, 'k'));
    stream.resize(packed, 0);
    hand.AddRecord(name, hand.AddData(stream), packed, U32(unpacked));
  }
  Bytes big = Sample(1 << 20, false);
  big.resize(30000000, 0);
  const Bytes stream = Deflate(big);
  hand.AddRecord("big", hand.AddData(stream), uint32_t(stream.size()), U32(uint32_t(big.size())));
  WriteBytes(pak_ + ".ZPAK", hand.Build());
  char tail[200];
  std::snprintf(tail, sizeof tail,
                "big...compressed (%zu%%)\n%s0005 normal files %08zu packed size %08zu unpacked size\n",
                big.size() * 100 / stream.size(), kRule.c_str(), 2500 + stream.size(), 3049 + big.size());
  RunResult r = Spoolex({tmp_.path() + "\\game", tmp_.path() + "\\dest"});
  EXPECT_EQ(r.out, kBanner + "Uncompressing files...\nthousand...compressed (1000%)\nquarter...compressed (250%)\n" +
                       "under...compressed (99%)\ntiny...compressed (05%)\n" + tail);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(ReadBytes(dest_ + "/big") == big);
}

TEST_F(SpoolexRunTest, DeleteInAnyCaseDeletesPacksUnpackedWhole) {
  for (const std::string word : {"DELETE", "delete", "DeLeTe", "DEL", "DELETEX", "xdelete", "DELETE "}) {
    Put(".UPAK", {{"a", ToBytes("a")}});
    RunResult r = Spoolex({pak_, dest_, word});
    EXPECT_EQ(r.out, kBanner + "Copying files...\na...copied\n" + kRule);  // no summary without deflated entries
    EXPECT_EQ(Has(".UPAK"), word.size() != 6) << word;
  }
}

TEST_F(SpoolexRunTest, PacksRunInOrderAndOnlyThoseUnpackedWholeAreDeleted) {
  Put(".APAK", {{"clip.wav", ToBytes("RIFF")}});  // no stream the audio layer knows
  Put(".UPAK", {{"a", ToBytes("a")}, {"missing\\b", ToBytes("b")}, {"c", ToBytes("c")}});
  Put(".ZPAK", {{"z", ToBytes("zzz")}});
  RunResult r = Spoolex({pak_, dest_, "delete"});
  const size_t packed = Deflate(ToBytes("zzz")).size();
  char tail[200];
  std::snprintf(tail, sizeof tail, "z...compressed (%02zu%%)\n%s0002 normal files %08zu packed size %08d unpacked size\n",
                300 / packed, kRule.c_str(), packed, 3);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + "Decompressing audio...\nCopying files...\na...copied\nUncompressing files...\n" + tail);
  EXPECT_TRUE(Has(".APAK") && Has(".UPAK"));
  EXPECT_FALSE(Has(".ZPAK"));
  ASSERT_EQ(LineCount(r.err), 2u);
  EXPECT_NE(r.err.find("game.APAK: entry \"clip.wav\""), std::string::npos);
  EXPECT_NE(r.err.find("game.UPAK: entry \"missing\\b\""), std::string::npos);
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"a", "z"}));
}

TEST_F(SpoolexRunTest, DiskFullFailsTheEntryAndKeepsTheOldFile) {
  WriteBytes(dest_ + "/big", ToBytes("old"));
  Put(".ZPAK", {{"small", ToBytes("fits")}, {"big", Sample(300000)}, {"c", ToBytes("c")}});
  RunOptions options;
  options.fileSizeLimit = 64 * 1024;
  RunResult r = Spoolex({pak_, dest_, "DELETE"}, options);
  EXPECT_EQ(r.status, 0);  // not ended by SIGXFSZ
  EXPECT_EQ(r.out.substr(kBanner.size()), "Uncompressing files...\nsmall...compressed (33%)\n" + kRule +
                                              "0001 normal files 00000012 packed size 00000004 unpacked size\n");
  ASSERT_EQ(LineCount(r.err), 1u);
  EXPECT_NE(r.err.find("entry \"big\""), std::string::npos);
  EXPECT_EQ(ReadBytes(dest_ + "/big"), ToBytes("old"));
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"big", "small"}));
  EXPECT_TRUE(Has(".ZPAK"));
}

// A read-only pack (the reader opens packs for writing) is skipped; the same
// run succeeds once the pack is writable.
TEST_F(SpoolexRunTest, PackThatCannotBeOpenedForWritingIsSkipped) {
  ASSERT_EQ(::chmod(tmp_.path().c_str(), 0755) | ::chmod(dest_.c_str(), 0777), 0);
  Put(".UPAK", {{"a", ToBytes("a")}});
  RunOptions nobody;
  nobody.asNobody = true;  // root could write the file anyway
  for (mode_t mode : {0444, 0666}) {
    ASSERT_EQ(::chmod((pak_ + ".UPAK").c_str(), mode), 0);
    RunResult r = Spoolex({pak_, dest_}, nobody);
    EXPECT_EQ(r.out, kBanner + (mode == 0444 ? "" : "Copying files...\na...copied\n") + kRule);
    EXPECT_EQ(r.err.find("game.UPAK: cannot open") != std::string::npos, mode == 0444);
  }
}

// A pack of another kind, an unfinished one, a damaged directory, a pack
// name too long for the pack path: passed over with a diagnostic each.
TEST_F(SpoolexRunTest, CorruptPacksArePassedOverWithADiagnosticEach) {
  Put(".APAK", {}, [](Bytes& b) { b[7] = 'U'; });
  Put(".UPAK", {}, [](Bytes& b) { std::copy_n("KERV", 4, &b[8]); });
  Put(".ZPAK", {{"z", ToBytes("z")}}, [](Bytes& b) { b.back() ^= 0xFF; });  // the directory's checksum
  RunResult r = Spoolex({pak_, dest_, "DELETE"});
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_EQ(LineCount(r.err), 3u);
  EXPECT_TRUE(Has(".APAK") && Has(".UPAK") && Has(".ZPAK"));
  EXPECT_TRUE(ListTree(dest_).empty());
  r = Spoolex({tmp_.path() + "/" + std::string(255 - tmp_.path().size(), 'p'), dest_});
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_EQ(LineCount(r.err), 3u);
}

}  // namespace
