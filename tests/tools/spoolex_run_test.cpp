// End-to-end runs of spoolex on packs built by hand: exact standard output,
// one diagnostic line per stopped pack, deletion rules and the fault cases.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "pack/pack_test_support.h"
#include "tools/run_program.h"

using namespace test_support;

namespace {

const std::string kBanner = "KERV_SPOOLEX v1.0\n";
const std::string kRule = std::string(49, '-') + "\n";

struct Item {
  std::string name;
  Bytes data;
};

// A Stored pack of `items`.
Bytes StoredPack(const std::vector<Item>& items) {
  HandPack hand("KERVMAXU");
  for (const Item& item : items) {
    hand.AddRecord(item.name, hand.AddData(item.data), static_cast<uint32_t>(item.data.size()));
  }
  return hand.Build();
}

// A Deflated pack of `items`, each deflated and padded with zeros to at
// least `padTo` bytes of packed data.
Bytes DeflatedPack(const std::vector<Item>& items, size_t padTo = 0) {
  HandPack hand("KERVMAXZ");
  for (const Item& item : items) {
    Bytes stream = Deflate(item.data);
    if (stream.size() < padTo) stream.resize(padTo, 0);
    hand.AddRecord(item.name, hand.AddData(stream), static_cast<uint32_t>(stream.size()),
                   U32(static_cast<uint32_t>(item.data.size())));
  }
  return hand.Build();
}

class SpoolexRunTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directory(dest_); }

  RunResult Spoolex(std::vector<std::string> args, const RunOptions& options = {}) {
    args.insert(args.begin(), SpoolexPath());
    return RunProgram(args, options);
  }
  RunResult Run(const RunOptions& options = {}) { return Spoolex({pak_, dest_}, options); }

  void Put(const std::string& extension, const Bytes& bytes) { WriteBytes(pak_ + extension, bytes); }
  bool Has(const std::string& extension) { return std::filesystem::exists(pak_ + extension); }

  TempDir tmp_;
  std::string pak_ = tmp_ / "game";
  std::string dest_ = tmp_ / "dest";
};

TEST_F(SpoolexRunTest, FewerThanTwoArgumentsPrintTheUsage) {
  const std::string usage =
      "spoolex <pakname> <directory> [delete]\n\n"
      "        pakname: Name of the pak file (NO TERMINATION)\n"
      "        directory: Destination Directory\n"
      "        delete: (Delete pack(s) after finish\n";
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"game"},
                           std::vector<std::string>{"--help"}}) {
    RunResult r = Spoolex(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(SpoolexRunTest, NoPackPresentPrintsBannerAndRuleOnly) {
  RunResult r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_EQ(r.err, "");
}

TEST_F(SpoolexRunTest, OnlyStoredPackHasNoSummaryLine) {
  Put(".UPAK", StoredPack({{"a.txt", ToBytes("alpha")}, {"b.txt", ToBytes("beta")}}));
  RunResult r = Run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + "Copying files...\na.txt...copied\nb.txt...copied\n" + kRule);
  EXPECT_EQ(ReadBytes(dest_ + "/b.txt"), ToBytes("beta"));
}

TEST_F(SpoolexRunTest, RatiosAndTotalsOfDeflatedEntries) {
  // Packed data is padded after the zlib stream, which the reader ignores.
  HandPack hand("KERVMAXZ");
  auto add = [&](const std::string& name, size_t packed, size_t unpacked) {
    Bytes stream = Deflate(Bytes(unpacked, 'k'));
    stream.resize(packed, 0);
    hand.AddRecord(name, hand.AddData(stream), static_cast<uint32_t>(packed), U32(static_cast<uint32_t>(unpacked)));
  };
  add("thousand", 100, 1000);
  add("quarter", 400, 1000);
  add("under", 1000, 999);
  Put(".ZPAK", hand.Build());
  // Backslashes in the pack name and destination are path separators.
  RunResult r = Spoolex({tmp_.path() + "\\game", tmp_.path() + "\\dest"});
  EXPECT_EQ(r.out, kBanner +
                       "Uncompressing files...\n"
                       "thousand...compressed (1000%)\n"
                       "quarter...compressed (250%)\n"
                       "under...compressed (99%)\n" +
                       kRule + "0003 normal files 00001500 packed size 00002999 unpacked size\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(SpoolexRunTest, RatioOfALargeEntryIsComputedWide) {
  const size_t size = 30000000;  // size * 100 does not fit 32 bits
  Bytes stream = Deflate(Bytes(size, 0));
  HandPack hand("KERVMAXZ");
  hand.AddRecord("zeros", hand.AddData(stream), static_cast<uint32_t>(stream.size()), U32(size));
  Put(".ZPAK", hand.Build());
  RunResult r = Run();
  const std::string ratio = std::to_string(static_cast<uint64_t>(size) * 100 / stream.size());
  char summary[100];
  std::snprintf(summary, sizeof summary, "0001 normal files %08zu packed size %08zu unpacked size\n", stream.size(),
                size);
  EXPECT_EQ(r.out, kBanner + "Uncompressing files...\nzeros...compressed (" + ratio + "%)\n" + kRule + summary);
}

TEST_F(SpoolexRunTest, DeleteInAnyCaseDeletesUnpackedPacks) {
  for (const std::string word : {"DELETE", "delete", "DeLeTe"}) {
    Put(".UPAK", StoredPack({{"a", ToBytes("a")}}));
    Put(".ZPAK", DeflatedPack({{"b", ToBytes("b")}}));
    RunResult r = Spoolex({pak_, dest_, word});
    EXPECT_NE(r.out.find("b...compressed"), std::string::npos);
    EXPECT_FALSE(Has(".UPAK")) << word;
    EXPECT_FALSE(Has(".ZPAK")) << word;
  }
  for (const std::string word : {"DEL", "DELETEX", "DELET", "xdelete", "DELETE "}) {
    Put(".UPAK", StoredPack({{"a", ToBytes("a")}}));
    RunResult r = Spoolex({pak_, dest_, word});
    EXPECT_EQ(r.out, kBanner + "Copying files...\na...copied\n" + kRule);
    EXPECT_TRUE(Has(".UPAK")) << word;
  }
}

TEST_F(SpoolexRunTest, DeleteKeepsAPackWhoseLoopFailed) {
  Put(".UPAK", StoredPack({{"a", ToBytes("a")}, {"missing\\b", ToBytes("b")}, {"c", ToBytes("c")}}));
  Put(".ZPAK", DeflatedPack({{"z", ToBytes("zzz")}}));
  RunResult r = Spoolex({pak_, dest_, "delete"});
  EXPECT_EQ(r.status, 0);
  const size_t zPacked = Deflate(ToBytes("zzz")).size();
  char tail[200];
  std::snprintf(tail, sizeof tail, "z...compressed (%02zu%%)\n%s0002 normal files %08zu packed size 00000003 unpacked size\n",
                300 / zPacked, kRule.c_str(), zPacked);
  EXPECT_EQ(r.out, kBanner + "Copying files...\na...copied\nUncompressing files...\n" + tail);
  EXPECT_TRUE(Has(".UPAK"));
  EXPECT_FALSE(Has(".ZPAK"));
  ASSERT_EQ(LineCount(r.err), 1u);
  EXPECT_NE(r.err.find("game.UPAK"), std::string::npos);
  EXPECT_NE(r.err.find("missing\\b"), std::string::npos);
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"a", "z"}));
}

TEST_F(SpoolexRunTest, PacksRunInOrderAndAnAudioEntryStopsItsPack) {
  HandPack audio("KERVMAXA");
  Bytes tail = U32(0);
  Append(tail, Bytes(46, 0));
  audio.AddRecord("clip.wav", audio.AddData(ToBytes("RIFF")), 4, tail);
  Put(".APAK", audio.Build());
  Put(".UPAK", StoredPack({{"s", ToBytes("s")}}));
  Put(".ZPAK", DeflatedPack({{"d", SampleText(1000)}}));
  RunResult r = Spoolex({pak_, dest_, "DELETE"});
  const std::string expectedStart = kBanner + "Decompressing audio...\nCopying files...\ns...copied\n" +
                                    "Uncompressing files...\nd...compressed (";
  EXPECT_EQ(r.out.substr(0, expectedStart.size()), expectedStart);
  EXPECT_EQ(r.out.find("audio files"), std::string::npos);
  ASSERT_EQ(LineCount(r.err), 1u);
  EXPECT_NE(r.err.find("clip.wav"), std::string::npos);
  EXPECT_TRUE(Has(".APAK"));
  EXPECT_FALSE(Has(".UPAK"));
  EXPECT_FALSE(std::filesystem::exists(dest_ + "/clip.wav"));
}

TEST_F(SpoolexRunTest, DiskFullFailsTheEntryAndKeepsTheOldFile) {
  WriteBytes(dest_ + "/big.txt", ToBytes("old"));
  Put(".ZPAK", DeflatedPack({{"small.txt", ToBytes("fits")}, {"big.txt", SampleText(300000)}, {"c", ToBytes("c")}}));
  RunOptions options;
  options.fileSizeLimit = 64 * 1024;
  RunResult r = Spoolex({pak_, dest_, "DELETE"}, options);
  EXPECT_EQ(r.status, 0);  // not ended by SIGXFSZ
  EXPECT_NE(r.out.find("small.txt...compressed"), std::string::npos);
  EXPECT_EQ(r.out.find("big.txt..."), std::string::npos);
  EXPECT_EQ(r.out.find("c..."), std::string::npos);
  ASSERT_EQ(LineCount(r.err), 1u);
  EXPECT_NE(r.err.find("big.txt"), std::string::npos);
  EXPECT_EQ(ReadBytes(dest_ + "/big.txt"), ToBytes("old"));
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"big.txt", "small.txt"}));
  EXPECT_TRUE(Has(".ZPAK"));
}

TEST_F(SpoolexRunTest, PackThatCannotBeOpenedForWritingIsSkipped) {
  if (::geteuid() != 0 && ::access("/", W_OK) == 0) GTEST_SKIP() << "cannot make a file unwritable here";
  ASSERT_EQ(::chmod(tmp_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dest_.c_str(), 0777), 0);
  Put(".UPAK", StoredPack({{"a", ToBytes("a")}}));
  RunOptions options;
  options.asNobody = true;
  ASSERT_EQ(::chmod((pak_ + ".UPAK").c_str(), 0444), 0);
  RunResult r = Spoolex({pak_, dest_, "DELETE"}, options);
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_NE(r.err.find("cannot open"), std::string::npos);
  EXPECT_TRUE(Has(".UPAK"));
  EXPECT_TRUE(ListTree(dest_).empty());
  // The same user unpacks the pack once it is writable.
  ASSERT_EQ(::chmod((pak_ + ".UPAK").c_str(), 0666), 0);
  r = Spoolex({pak_, dest_}, options);
  EXPECT_EQ(r.out, kBanner + "Copying files...\na...copied\n" + kRule);
}

TEST_F(SpoolexRunTest, CorruptPacksArePassedOverWithADiagnosticEach) {
  Put(".APAK", StoredPack({{"a", ToBytes("a")}}));  // wrong magic for its kind
  Bytes unfinished = ToBytes("KERVMAXUKERV");
  Put32(unfinished, 0);
  Put(".UPAK", unfinished);
  Bytes damaged = DeflatedPack({{"z", ToBytes("z")}});
  damaged.back() ^= 0xFF;  // the directory's checksum
  Put(".ZPAK", damaged);
  RunResult r = Spoolex({pak_, dest_, "DELETE"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_EQ(LineCount(r.err), 3u);
  EXPECT_TRUE(Has(".APAK") && Has(".UPAK") && Has(".ZPAK"));
  EXPECT_TRUE(ListTree(dest_).empty());
}

TEST_F(SpoolexRunTest, NameLeavingTheDestinationStopsThePackAndWritesNothingOutside) {
  Put(".ZPAK", DeflatedPack({{"ok.txt", ToBytes("ok")}, {"..\\evil.txt", ToBytes("evil")}, {"later", ToBytes("l")}}));
  RunResult r = Spoolex({pak_, dest_, "DELETE"});
  EXPECT_NE(r.out.find("ok.txt...compressed"), std::string::npos);
  EXPECT_EQ(r.out.find("evil"), std::string::npos);
  ASSERT_EQ(LineCount(r.err), 1u);
  EXPECT_NE(r.err.find("..\\evil.txt"), std::string::npos);
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"dest", "dest/ok.txt", "game.ZPAK"}));
}

TEST_F(SpoolexRunTest, PackNameTooLongForThePackPathIsSkipped) {
  const std::string longName = tmp_.path() + "/" + std::string(255 - tmp_.path().size(), 'p');
  RunResult r = Spoolex({longName, dest_});
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_EQ(LineCount(r.err), 3u);
}

}  // namespace
