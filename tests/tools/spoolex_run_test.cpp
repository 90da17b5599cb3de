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
  // Writes NAME.<extension> holding `items`, laid out by hand.
  void Put(const std::string& extension, const std::vector<std::pair<std::string, Bytes>>& items) {
    HandPack hand(extension == ".UPAK" ? "KERVMAXU" : extension == ".ZPAK" ? "KERVMAXZ" : "KERVMAXA");
    for (const auto& [name, data] : items) hand.Add(name, data);
    WriteBytes(pak_ + extension, hand.Build());
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

TEST_F(SpoolexRunTest, WithoutDeflatedEntriesThereIsNoSummaryLine) {
  EXPECT_EQ(Spoolex({pak_, dest_}).out, kBanner + kRule);
  Put(".UPAK", {{"a.txt", ToBytes("alpha")}, {"b.txt", ToBytes("beta")}});
  RunResult r = Spoolex({pak_, dest_});
  EXPECT_EQ(r.out, kBanner + "Copying files...\na.txt...copied\nb.txt...copied\n" + kRule);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadBytes(dest_ + "/b.txt"), ToBytes("beta"));
}

TEST_F(SpoolexRunTest, RatiosAndTotalsOfDeflatedEntries) {
  HandPack hand("KERVMAXZ");
  for (auto [name, packed, unpacked] : {std::tuple{"thousand", 100, 1000}, {"quarter", 400, 1000}, {"under", 1000, 999}}) {
    Bytes stream = Deflate(Bytes(unpacked, 'k'));
    stream.resize(packed, 0);  // padding after the stream is ignored
    hand.AddRecord(name, hand.AddData(stream), packed, U32(unpacked));
  }
  WriteBytes(pak_ + ".ZPAK", hand.Build());
  // Backslashes in the pack name and the destination are separators.
  RunResult r = Spoolex({tmp_.path() + "\\game", tmp_.path() + "\\dest"});
  EXPECT_EQ(r.out, kBanner + "Uncompressing files...\nthousand...compressed (1000%)\nquarter...compressed (250%)\n" +
                       "under...compressed (99%)\n" + kRule +
                       "0003 normal files 00001500 packed size 00002999 unpacked size\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(SpoolexRunTest, RatioOfALargeEntryIsComputedWide) {
  const size_t size = 30000000;  // size * 100 does not fit 32 bits
  Put(".ZPAK", {{"zeros", Bytes(size, 0)}});
  const size_t packed = Deflate(Bytes(size, 0)).size();
  char expected[200];
  std::snprintf(expected, sizeof expected,
                "zeros...compressed (%zu%%)\n%s0001 normal files %08zu packed size %08zu unpacked size\n",
                size * 100 / packed, kRule.c_str(), packed, size);
  EXPECT_EQ(Spoolex({pak_, dest_}).out, kBanner + "Uncompressing files...\n" + expected);
}

TEST_F(SpoolexRunTest, DeleteInAnyCaseDeletesPacksUnpackedWhole) {
  for (const std::string word : {"DELETE", "delete", "DeLeTe", "DEL", "DELETEX", "xdelete", "DELETE "}) {
    Put(".UPAK", {{"a", ToBytes("a")}});
    RunResult r = Spoolex({pak_, dest_, word});
    EXPECT_EQ(r.out, kBanner + "Copying files...\na...copied\n" + kRule);
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

TEST_F(SpoolexRunTest, PackThatCannotBeOpenedForWritingIsSkipped) {
  ASSERT_EQ(::chmod(tmp_.path().c_str(), 0755) | ::chmod(dest_.c_str(), 0777), 0);
  Put(".UPAK", {{"a", ToBytes("a")}});
  ASSERT_EQ(::chmod((pak_ + ".UPAK").c_str(), 0444), 0);
  RunOptions nobody;
  nobody.asNobody = true;  // root could write the file anyway
  RunResult r = Spoolex({pak_, dest_, "DELETE"}, nobody);
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_NE(r.err.find("game.UPAK: cannot open"), std::string::npos);
  EXPECT_TRUE(Has(".UPAK"));
  ASSERT_EQ(::chmod((pak_ + ".UPAK").c_str(), 0666), 0);
  EXPECT_EQ(Spoolex({pak_, dest_}, nobody).out, kBanner + "Copying files...\na...copied\n" + kRule);
}

TEST_F(SpoolexRunTest, CorruptPacksArePassedOverWithADiagnosticEach) {
  Put(".APAK", {});
  Bytes apak = ReadBytes(pak_ + ".APAK");
  apak[7] = 'U';  // another kind's magic
  WriteBytes(pak_ + ".APAK", apak);
  Bytes unfinished = ToBytes("KERVMAXUKERV");
  Put32(unfinished, 0);
  WriteBytes(pak_ + ".UPAK", unfinished);
  Put(".ZPAK", {{"z", ToBytes("z")}});
  Bytes zpak = ReadBytes(pak_ + ".ZPAK");
  zpak.back() ^= 0xFF;  // the directory's checksum
  WriteBytes(pak_ + ".ZPAK", zpak);
  RunResult r = Spoolex({pak_, dest_, "DELETE"});
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_EQ(LineCount(r.err), 3u);
  EXPECT_TRUE(Has(".APAK") && Has(".UPAK") && Has(".ZPAK"));
  EXPECT_TRUE(ListTree(dest_).empty());
}

TEST_F(SpoolexRunTest, PackNameTooLongForThePackPathIsSkipped) {
  RunResult r = Spoolex({tmp_.path() + "/" + std::string(255 - tmp_.path().size(), 'p'), dest_});
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_EQ(LineCount(r.err), 3u);
}

}  // namespace
