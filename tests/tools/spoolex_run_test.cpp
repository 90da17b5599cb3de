// SPDX-License-Identifier: GPL-2.0-or-later
// End-to-end runs of spoolex on packs laid out by hand: exact standard
// output, one diagnostic line per stopped pack, deletion and fault cases.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "audio/stream/audio_info.h"
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
// are ignored; a 22 MB entry crosses the reader's chunks both ways, and its
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
  big.resize(22000000, 0);  // 2.2e9 after the 100 of the ratio: past INT32_MAX
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

// Without DELETE a pack is only read, so one that cannot be written (0444,
// the tool run as nobody when the test runs as root) unpacks; with DELETE it
// is skipped and kept. spoolpack extract --delete unpacks it and keeps it,
// although the folder would let it be unlinked.
TEST_F(SpoolexRunTest, PackThatCannotBeWrittenUnpacksButIsNotDeleted) {
  ASSERT_EQ(::chmod(tmp_.path().c_str(), 0755) | ::chmod(dest_.c_str(), 0777), 0);
  Put(".UPAK", {{"a", ToBytes("a")}});
  ASSERT_EQ(::chmod((pak_ + ".UPAK").c_str(), 0444), 0);
  RunOptions nobody;
  nobody.asNobody = true;  // root could write the file anyway
  RunResult r = Spoolex({pak_, dest_}, nobody);
  EXPECT_EQ(r.out, kBanner + "Copying files...\na...copied\n" + kRule);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadBytes(dest_ + "/a"), ToBytes("a"));
  std::filesystem::remove(dest_ + "/a");
  r = Spoolex({pak_, dest_, "DELETE"}, nobody);
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_NE(r.err.find("game.UPAK: cannot open"), std::string::npos) << r.err;
  EXPECT_TRUE(Has(".UPAK"));
  EXPECT_TRUE(ListTree(dest_).empty());
  ASSERT_EQ(::chmod(tmp_.path().c_str(), 0777), 0);
  r = RunProgram({SpoolpackPath(), "extract", pak_, dest_, "--delete"}, nobody);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(dest_ + "/a"), ToBytes("a"));
  EXPECT_TRUE(Has(".UPAK"));
  EXPECT_NE(r.err.find("game.UPAK: not deleted: the pack cannot be written"), std::string::npos) << r.err;
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

// An entry that would replace a pack of the set being unpacked, under any
// spelling of its path, fails (and so keeps the pack, also with DELETE); the
// packs are unchanged.
TEST_F(SpoolexRunTest, EntriesNeverReplaceAPackOfTheSet) {
  Put(".UPAK", {{"a", ToBytes("a")}, {"game.UPAK", ToBytes("pwned")}, {"b", ToBytes("b")}});
  Put(".ZPAK", {{"z", ToBytes("z")}});
  const Bytes stored = ReadBytes(pak_ + ".UPAK"), deflated = ReadBytes(pak_ + ".ZPAK");
  RunResult r = Spoolex({pak_, dest_ + "/..", "DELETE"});  // the packs' own folder
  EXPECT_EQ(r.out.substr(0, kBanner.size() + 28), kBanner + "Copying files...\na...copied\n");
  ASSERT_EQ(LineCount(r.err), 1u);
  EXPECT_NE(r.err.find("entry \"game.UPAK\": would replace a pack being unpacked"), std::string::npos) << r.err;
  EXPECT_EQ(ReadBytes(pak_ + ".UPAK"), stored);
  EXPECT_FALSE(Has(".ZPAK"));  // unpacked whole and deleted
  std::filesystem::remove(tmp_ / "a");
  std::filesystem::remove(tmp_ / "z");

  // The Stored pack would write over the Deflated one, through other
  // spellings of the folder, the name and the file.
  WriteBytes(pak_ + ".ZPAK", deflated);
  std::filesystem::create_hard_link(pak_ + ".ZPAK", tmp_ / "alias");
  const std::pair<std::string, std::string> spellings[] = {
      {tmp_.path() + "/.", "game.ZPAK"}, {tmp_.path() + "//dest/..//", "\\\\game.ZPAK"}, {tmp_.path(), "alias"}};
  for (const auto& [dest, name] : spellings) {
    Put(".UPAK", {{name, ToBytes("pwned")}});
    r = Spoolex({pak_, dest});
    EXPECT_EQ(r.out, kBanner + "Copying files...\nUncompressing files...\nz...compressed (11%)\n" + kRule +
                         "0001 normal files 00000009 packed size 00000001 unpacked size\n");
    EXPECT_NE(r.err.find("would replace a pack being unpacked"), std::string::npos) << name;
    EXPECT_EQ(ReadBytes(pak_ + ".ZPAK"), deflated) << name;
  }
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"alias", "dest", "game.UPAK", "game.ZPAK", "z"}));
}

// A pack found by its lower-case name is protected as well: neither its own
// name nor the upper-case one, under which a file would be found in its
// place, can be written, and the packs read are those found at the start.
TEST_F(SpoolexRunTest, PacksFoundByLowerCaseNamesAreProtectedToo) {
  HandPack audio("KERVMAXA"), deflated("KERVMAXZ");
  deflated.Add("z", ToBytes("z"));
  const Bytes apak = audio.Build(), zpak = deflated.Build();
  for (const std::string name : {"game.zpak", "game.ZPAK", "game.apak", "game.APAK"}) {
    WriteBytes(pak_ + ".apak", apak);
    WriteBytes(pak_ + ".zpak", zpak);
    Put(".UPAK", {{name, ToBytes("pwned")}, {"a", ToBytes("a")}});
    RunResult r = Spoolex({pak_, tmp_.path()});
    EXPECT_EQ(r.out, kBanner + "Decompressing audio...\nCopying files...\nUncompressing files...\n" +
                         "z...compressed (11%)\n" + kRule +
                         "0001 normal files 00000009 packed size 00000001 unpacked size\n")
        << name;
    EXPECT_NE(r.err.find("entry \"" + name + "\": would replace a pack being unpacked"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(pak_ + ".zpak"), zpak) << name;
    EXPECT_EQ(ReadBytes(pak_ + ".apak"), apak) << name;
    EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"dest", "game.UPAK", "game.apak", "game.zpak", "z"}));
    std::filesystem::remove(tmp_ / "z");
  }
}

// An entry named "." says what is wrong with it; a restored file far beyond
// its packed size, and data that does not match its checksum, fail their
// entry with the reason before anything is in place.
TEST_F(SpoolexRunTest, EntriesThatCannotBeTrustedFailWithTheirReason) {
  Put(".UPAK", {{".", ToBytes("dot")}});
  RunResult r = Spoolex({pak_, dest_});
  EXPECT_NE(r.err.find("entry \".\": the name is not a file name"), std::string::npos) << r.err;
  std::filesystem::remove(pak_ + ".UPAK");
  // 8.6 GB asked of an Ogg stream of a few bytes: refused before it is opened.
  Bytes bomb = U32(FMT_OGG);
  for (uint32_t v : {768000u, 32u, 256u, 8388607u, FMT_WAV | FMT_PCM, 1u, 1u, 0u, 0u, 0u, 0xBF800000u}) Put32(bomb, v);
  Put16(bomb, 0);
  HandPack audio("KERVMAXA");
  audio.AddRecord("bomb.wav", audio.AddData(ToBytes("OggS and no more")), 16, bomb);
  WriteBytes(pak_ + ".APAK", audio.Build());
  r = Spoolex({pak_, dest_});
  EXPECT_EQ(r.out, kBanner + "Decompressing audio...\n" + kRule);
  EXPECT_NE(r.err.find("entry \"bomb.wav\": the restored file would take 8589939712 bytes, more than 67108864 "
                       "bytes, the limit for an audio entry of 16 bytes (1024 times that, at least 64 MiB)"),
            std::string::npos)
      << r.err;
  std::filesystem::remove(pak_ + ".APAK");
  // A pack made by spoolpack, one byte of its Stored data flipped.
  const std::string src = tmp_ / "src";
  std::filesystem::create_directory(src);
  WriteBytes(src + "/a.bin", Sample(5000, false));
  ASSERT_EQ(RunProgram({SpoolpackPath(), "create", pak_, src, "--store", "*"}).status, 0);
  Bytes upak = ReadBytes(pak_ + ".UPAK");
  upak[16 + 2500] ^= 0x20;
  WriteBytes(pak_ + ".UPAK", upak);
  r = Spoolex({pak_, dest_});
  EXPECT_EQ(r.out, kBanner + "Copying files...\n" + kRule);
  EXPECT_NE(r.err.find("entry \"a.bin\": data does not match its checksum"), std::string::npos) << r.err;
  EXPECT_TRUE(ListTree(dest_).empty());
}

// "\\\\name" keeps a separator after the dropped backslash: under a
// destination it collapses into dest/name; under an empty destination the
// joined path would be absolute, and the entry is refused.
TEST_F(SpoolexRunTest, DoubledLeadingSeparatorsJoinUnderTheDestination) {
  const std::string unique = "spoolex-" + std::filesystem::path(tmp_.path()).filename().string();
  Put(".UPAK", {{"\\\\" + unique, ToBytes("inside")}, {"\\/x", ToBytes("x")}});
  RunResult r = Spoolex({pak_, dest_});
  EXPECT_EQ(r.out, kBanner + "Copying files...\n\\\\" + unique + "...copied\n\\/x...copied\n" + kRule);
  EXPECT_EQ(ReadBytes(dest_ + "/" + unique), ToBytes("inside"));
  EXPECT_EQ(ReadBytes(dest_ + "/x"), ToBytes("x"));

  RunOptions here;
  here.workingDirectory = dest_ + "/";
  std::filesystem::remove(dest_ + "/" + unique);
  std::filesystem::remove(dest_ + "/x");
  r = Spoolex({pak_, ""}, here);
  EXPECT_EQ(r.out, kBanner + "Copying files...\n" + kRule);
  EXPECT_NE(r.err.find("name would leave the destination directory"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists("/" + unique));
  EXPECT_TRUE(ListTree(dest_).empty());
}

// With DELETE a pack is deleted only when nothing can be lost: a Stored
// directorySize cut to hide a record, bytes after a compressed directory, and
// a Deflated entry that inflates to less than its recorded size all keep it
// (the entries themselves are written as without DELETE).
TEST_F(SpoolexRunTest, DeleteKeepsPacksThatCouldHoldMoreThanWasWritten) {
  HandPack stored("KERVMAXU");
  stored.Add("a", ToBytes("a"));
  const size_t firstRecord = stored.records().size();
  stored.Add("hidden", ToBytes("hidden"));
  WriteBytes(pak_ + ".UPAK", stored.Build(static_cast<int64_t>(firstRecord)));
  HandPack deflated("KERVMAXZ");
  const Bytes stream = Deflate(ToBytes("zz"));
  deflated.AddRecord("short", deflated.AddData(stream), uint32_t(stream.size()), U32(5));
  WriteBytes(pak_ + ".ZPAK", deflated.Build());
  RunResult r = Spoolex({pak_, dest_, "delete"});
  EXPECT_NE(r.out.find("a...copied\nUncompressing files...\nshort...compressed"), std::string::npos) << r.out;
  ASSERT_EQ(LineCount(r.err), 2u) << r.err;
  EXPECT_NE(r.err.find("game.UPAK: not deleted: the directory does not end at the end of the file"),
            std::string::npos);
  EXPECT_NE(r.err.find("game.ZPAK: not deleted: entry \"short\" inflates to 2 bytes, recorded 5"),
            std::string::npos);
  EXPECT_TRUE(Has(".UPAK") && Has(".ZPAK"));
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"a", "short"}));

  std::filesystem::remove(pak_ + ".UPAK");
  Put(".ZPAK", {{"z", ToBytes("z")}}, [](Bytes& b) { Append(b, ToBytes("tail")); });
  r = Spoolex({pak_, dest_, "delete"});
  EXPECT_NE(r.err.find("game.ZPAK: not deleted: the directory does not end"), std::string::npos) << r.err;
  EXPECT_TRUE(Has(".ZPAK"));
  EXPECT_EQ(ReadBytes(dest_ + "/z"), ToBytes("z"));
}

// SIGTERM, SIGINT or SIGHUP in the middle of an entry end the run with the
// signal and leave neither the entry nor its temporary file.
TEST_F(SpoolexRunTest, ASignalMidEntryLeavesNoTemporaryFile) {
  // 256 MiB of zeros, deflated in pieces (the test keeps only the stream).
  const size_t size = 256u << 20;
  const Bytes zeros(1 << 20, 0);
  Bytes stream(size / 64);
  z_stream z{};
  ASSERT_EQ(deflateInit(&z, 1), Z_OK);
  z.next_out = stream.data();
  z.avail_out = uInt(stream.size());
  for (size_t left = size; left > 0; left -= zeros.size()) {
    z.next_in = const_cast<Bytef*>(zeros.data());
    z.avail_in = uInt(zeros.size());
    deflate(&z, left > zeros.size() ? Z_NO_FLUSH : Z_FINISH);
  }
  ASSERT_GT(z.avail_out, 0u);
  stream.resize(z.total_out);
  deflateEnd(&z);
  HandPack hand("KERVMAXZ");
  hand.AddRecord("big", hand.AddData(stream), uint32_t(stream.size()), U32(uint32_t(size)));
  WriteBytes(pak_ + ".ZPAK", hand.Build());
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    int status = 0;
    bool sawTemporary = false;
    const auto temporary = [&] {
      const std::vector<std::string> names = ListTree(dest_);
      return !names.empty() && names[0].rfind(".big.spoolex-", 0) == 0;
    };
    for (int attempt = 0; attempt < 3 && !sawTemporary; ++attempt) {
      status = SignalWhen({SpoolexPath(), pak_, dest_}, signal, temporary, &sawTemporary);
      std::filesystem::remove(dest_ + "/big");  // a run that ended before the signal
    }
    ASSERT_TRUE(sawTemporary);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_EQ(ListTree(dest_), std::vector<std::string>{}) << signal;
  }
}

// Control characters in names (C0, C1 as UTF-8 or as bytes, and the
// bidirectional overrides) are shown as '?' in the progress lines, the
// diagnostics and by spoolpack list; the file keeps its real name.
TEST_F(SpoolexRunTest, NamesCannotDriveTheTerminal) {
  const std::string name = "\x1b]0;owned\x07\x1b[2J\x7f\xC2\x9B" "2J\x9B" "2J\xE2\x80\xAEtxt.\xC3\xA9xe";
  Put(".UPAK", {{name, ToBytes("x")}, {"missing\\" + name, ToBytes("y")}});
  RunResult r = Spoolex({pak_, dest_});
  const std::string shown = "?]0;owned??[2J??2J?2J?txt.\xC3\xA9xe";
  EXPECT_EQ(r.out, kBanner + "Copying files...\n" + shown + "...copied\n" + kRule);
  EXPECT_NE(r.err.find("entry \"missing\\" + shown + "\""), std::string::npos) << r.err;
  EXPECT_EQ(ReadBytes(dest_ + "/" + name), ToBytes("x"));
  r = RunProgram({SpoolpackPath(), "list", pak_ + ".UPAK"});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "stored 16 1 1 " + shown + "\n");
}

// Packs with lower-case extensions are found; when no pack of the name
// exists at all, standard error says so (standard output is unchanged).
TEST_F(SpoolexRunTest, LowerCaseExtensionsAndMissingPacks) {
  HandPack stored("KERVMAXU"), deflated("KERVMAXZ");
  stored.Add("s", ToBytes("s"));
  deflated.Add("z", ToBytes("z"));
  WriteBytes(pak_ + ".upak", stored.Build());
  WriteBytes(pak_ + ".Zpak", deflated.Build());  // neither spelling: not looked for
  RunResult r = Spoolex({pak_, dest_});
  EXPECT_EQ(r.out, kBanner + "Copying files...\ns...copied\n" + kRule);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(RunProgram({SpoolpackPath(), "verify", pak_}).status, 0);
  r = Spoolex({tmp_ / "none", dest_});
  EXPECT_EQ(r.out, kBanner + kRule);
  EXPECT_EQ(r.err, "spoolex: no pack named " + tmp_ / "none" + ".APAK, .UPAK or .ZPAK\n");
}

}  // namespace
