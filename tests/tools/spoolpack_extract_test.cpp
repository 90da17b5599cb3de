// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack's command lines, extract, list and create --skip-unpackable,
// and create ended by signals, run as programs on packs laid out by hand
// (or made by spoolpack create from files sox writes), in temporary
// directories.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <regex>

#include "audio_stream/stream_test_support.h"
#include "pack/pack_test_support.h"
#include "tools/run_program.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

class ExtractTest : public ::testing::Test {
 protected:
  RunResult Spoolpack(std::vector<std::string> args) {
    args.insert(args.begin(), SpoolpackPath());
    return RunProgram(args);
  }
  RunResult Extract(std::vector<std::string> options, const std::string& dest) {
    options.insert(options.begin(), {"extract", pak_, dest});
    return Spoolpack(options);
  }
  // A Deflated pack whose "bad.txt" records 10 bytes for 2000: it fails
  // with -2 wherever it stands.
  static void AddBad(HandPack& pack) {
    const Bytes stream = Deflate(Sample(2000));
    pack.AddRecord("bad.txt", pack.AddData(stream), uint32_t(stream.size()), U32(10));
  }
  void Write(const std::string& extension, HandPack& pack) { WriteBytes(pak_ + extension, pack.Build()); }
  // A small tree to pack: a text file in a folder and a file of noise.
  void Source() {
    fs::create_directories(src_ + "/a");
    WriteBytes(src_ + "/a/z.txt", Sample(3000));
    WriteBytes(src_ + "/noise.bin", Sample(2000, false));
  }
  // Names under tmp_ that hold a temporary file's mark.
  Names Temporaries() {
    Names found;
    for (const std::string& name : ListTree(tmp_.path())) {
      if (name.find(".spool") != std::string::npos) found.push_back(name);
    }
    return found;
  }
  static std::string LastLine(const std::string& text) {
    const size_t end = text.find_last_not_of('\n');
    return text.substr(text.rfind('\n', end) + 1, end - text.rfind('\n', end));
  }

  TempDir tmp_;
  std::string pak_ = tmp_ / "game";
  std::string dest_ = tmp_ / "dest";
  std::string src_ = tmp_ / "src";
};

// Folders are made as entries need them, also the destination itself, but
// never through a link, over a file or outside; the failures in the middle
// of the pack do not stop the entries after them.
TEST_F(ExtractTest, FoldersAreMadeNeverThroughALinkAndFailuresDoNotStopThePack) {
  fs::create_directories(dest_ + "/have");
  fs::create_directory(tmp_ / "outside");
  fs::create_directory_symlink(tmp_ / "outside", dest_ + "/link");
  WriteBytes(dest_ + "/plain", ToBytes("in the way"));
  HandPack zpak("KERVMAXZ");
  zpak.Add("deep\\er\\est.txt", Sample(3000));
  zpak.Add("plain\\under.txt", ToBytes("a"));
  zpak.Add("link\\out.txt", ToBytes("b"));
  AddBad(zpak);
  zpak.Add("..\\escape.txt", ToBytes("c"));
  zpak.Add("have\\later.txt", Sample(100, true, 2));
  Write(".ZPAK", zpak);
  const RunResult r = Extract({}, dest_);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ListTree(dest_), (Names{"deep", "deep/er", "deep/er/est.txt", "have", "have/later.txt", "link", "plain"}));
  EXPECT_EQ(ReadBytes(dest_ + "/deep/er/est.txt"), Sample(3000));
  EXPECT_EQ(ReadBytes(dest_ + "/have/later.txt"), Sample(100, true, 2));
  EXPECT_EQ(ReadBytes(dest_ + "/plain"), ToBytes("in the way"));
  EXPECT_TRUE(ListTree(tmp_ / "outside").empty());
  EXPECT_FALSE(fs::exists(tmp_ / "escape.txt"));
  for (const char* name : {"plain/under.txt\": a directory of the name is not a directory",
                           "link/out.txt\": a directory of the name is a symbolic link",
                           "bad.txt\": data inflates to more", "../escape.txt\": name would leave the destination"}) {
    EXPECT_NE(r.err.find("spoolpack: " + pak_ + ".ZPAK: entry \"" + name), std::string::npos) << name << r.err;
  }
  EXPECT_EQ(LastLine(r.err).rfind("2 entries written (3.0 KiB) to " + dest_ + ", 4 failed in ", 0), 0u) << r.err;
  // A destination that does not exist yet is made.
  EXPECT_EQ(Extract({"--only", "deep/*"}, tmp_ / "new/dest").status, 0);
  EXPECT_EQ(ListTree(tmp_ / "new"), (Names{"dest", "dest/deep", "dest/deep/er", "dest/deep/er/est.txt"}));
}

// Globs on '/'-separated names (or their last part); files already there
// are kept or refused as asked, or replaced by default.
TEST_F(ExtractTest, GlobsSelectAndFilesAlreadyThereAreKeptRefusedOrReplaced) {
  HandPack upak("KERVMAXU");
  for (const char* name : {"docs\\a.txt", "docs\\b.tmp", "src\\c.txt", "top.txt"}) upak.Add(name, ToBytes(name));
  Write(".UPAK", upak);
  RunResult r = Extract({"--only", "docs/*", "--only", "top.*", "--exclude", "*.tmp", "--no-progress"}, dest_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ListTree(dest_), (Names{"docs", "docs/a.txt", "top.txt"}));
  EXPECT_NE(r.err.find("2 entries written (17 B) to " + dest_ + ", 2 not selected in "), std::string::npos) << r.err;
  // A glob that matches no entry fails the run, as with tar; the rest is written.
  r = Extract({"--only", "*.wav", "--only", "src/*"}, dest_);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("spoolpack: --only *.wav: no entry matches\n"), 0u) << r.err;
  EXPECT_TRUE(fs::exists(dest_ + "/src/c.txt"));
  fs::remove_all(dest_ + "/src");

  WriteBytes(dest_ + "/top.txt", ToBytes("old"));
  r = Extract({"--existing", "keep"}, dest_);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadBytes(dest_ + "/top.txt"), ToBytes("old"));
  EXPECT_EQ(ReadBytes(dest_ + "/src/c.txt"), ToBytes("src\\c.txt"));
  EXPECT_NE(r.err.find("2 entries written (19 B) to " + dest_ + ", 2 kept (already there)"), std::string::npos)
      << r.err;

  WriteBytes(dest_ + "/docs/a.txt", ToBytes("changed"));
  r = Extract({"--existing", "fail"}, dest_);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadBytes(dest_ + "/docs/a.txt"), ToBytes("changed"));
  EXPECT_NE(r.err.find("game.UPAK: entry \"top.txt\": " + dest_ + "/top.txt is already there (-6)"), std::string::npos)
      << r.err;

  EXPECT_EQ(Extract({}, dest_).status, 0);
  EXPECT_EQ(ReadBytes(dest_ + "/top.txt"), ToBytes("top.txt"));
  EXPECT_EQ(ReadBytes(dest_ + "/docs/a.txt"), ToBytes("docs\\a.txt"));
}

// A dry run finds the failing entry but makes no folder, writes no file
// and deletes no pack.
TEST_F(ExtractTest, DryRunWritesNothing) {
  HandPack zpak("KERVMAXZ");
  zpak.Add("a\\good.txt", Sample(500));
  AddBad(zpak);
  Write(".ZPAK", zpak);
  const Bytes before = ReadBytes(pak_ + ".ZPAK");
  RunResult r = Extract({"--dry-run", "--delete"}, dest_);
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(dest_));
  EXPECT_NE(r.err.find("entry \"bad.txt\": data inflates to more than its recorded size (-2)"), std::string::npos);
  EXPECT_EQ(LastLine(r.err).rfind("1 entry read, nothing written (dry run), 1 failed in ", 0), 0u) << r.err;
  EXPECT_EQ(ReadBytes(pak_ + ".ZPAK"), before);
  fs::create_directory(dest_);
  EXPECT_EQ(Extract({"--dry-run", "--exclude", "bad.txt"}, dest_).status, 0);
  EXPECT_TRUE(ListTree(dest_).empty());
}

// --delete removes a pack only when every one of its entries was written,
// and none when an entry was left out by a glob or kept.
TEST_F(ExtractTest, DeleteOnlyAfterEveryEntryOfThePackWasWritten) {
  auto packs = [&] {
    HandPack upak("KERVMAXU"), zpak("KERVMAXZ");
    upak.Add("a.txt", ToBytes("a"));
    upak.Add("b.txt", ToBytes("b"));
    zpak.Add("c.txt", Sample(800));
    AddBad(zpak);
    Write(".UPAK", upak);
    Write(".ZPAK", zpak);
  };
  packs();
  RunResult r = Extract({"--delete", "--exclude", "bad.txt"}, dest_);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(fs::exists(pak_ + ".UPAK") && fs::exists(pak_ + ".ZPAK"));
  EXPECT_NE(r.err.find("no pack deleted: some entries were not selected"), std::string::npos) << r.err;
  r = Extract({"--delete", "--existing", "keep"}, dest_);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::exists(pak_ + ".UPAK"));  // its files were already there
  EXPECT_NE(r.err.find("game.ZPAK: not deleted: not every entry was written"), std::string::npos) << r.err;
  fs::remove_all(dest_);
  r = Extract({"--delete"}, dest_);
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(pak_ + ".UPAK"));
  EXPECT_TRUE(fs::exists(pak_ + ".ZPAK"));
  EXPECT_NE(r.err.find("deleted " + pak_ + ".UPAK"), std::string::npos) << r.err;
  EXPECT_EQ(ListTree(dest_), (Names{"a.txt", "b.txt", "c.txt"}));
}

// --to-stdout gives exactly the bytes extract writes (a stored, a deflated
// and a decoded Ogg Vorbis entry) and nothing else; a missing name, or an
// entry whose damage only its last byte shows, gives nothing at all.
TEST_F(ExtractTest, ToStdoutGivesTheBytesExtractWrites) {
  fs::create_directories(src_ + "/a");
  ASSERT_TRUE(stream_test::RunQuietly("sox -n -r 22050 -c 2 -b 16 '" + src_ + "/a/tone.wav' synth 0.3 sine 440"));
  WriteBytes(src_ + "/a/notes.txt", Sample(20000));
  WriteBytes(src_ + "/noise.bin", Sample(3000, false));
  ASSERT_EQ(Spoolpack({"create", pak_, src_, "--audio", "ogg:3"}).status, 0);
  ASSERT_EQ(Extract({}, dest_).status, 0);
  for (const std::string name : {"a/tone.wav", "a/notes.txt", "noise.bin"}) {
    const RunResult r = Spoolpack({"extract", pak_, "--to-stdout", name});
    EXPECT_EQ(r.status, 0) << name << r.err;
    EXPECT_EQ(r.err, "") << name;
    const Bytes file = ReadBytes(dest_ + "/" + name);
    EXPECT_TRUE(r.out.size() == file.size() && std::memcmp(r.out.data(), file.data(), file.size()) == 0) << name;
  }
  EXPECT_NE(ReadBytes(dest_ + "/a/tone.wav"), ReadBytes(src_ + "/a/tone.wav"));  // really decoded
  RunResult r = Spoolpack({"extract", pak_, "--to-stdout", "a/none"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  HandPack zpak("KERVMAXZ");
  zpak.Add("big.txt", Sample(300000));
  Bytes bytes = zpak.Build();
  bytes[At32(bytes, 8) - 1] ^= 1;  // the zlib checksum at the end of the data
  WriteBytes(pak_ + ".ZPAK", bytes);
  r = Spoolpack({"extract", pak_, "--to-stdout", "big.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("game.ZPAK: entry \"big.txt\": data does not inflate"), std::string::npos) << r.err;
}

// Python's json module reads every line; names come back byte for byte
// (a byte that is no UTF-8 as a surrogate escape, controls and bidirectional
// overrides escaped, never raw), and audio entries carry their stored
// description as fields.
TEST_F(ExtractTest, ListJsonIsReadByPython) {
  HandPack apak("KERVMAXA");
  Bytes tail = U32(0x300000);  // OGG
  for (uint32_t word : {44100u, 16u, 2u, 441000u, 0x10001u, 1u, 1u, 128000u, 0u, 0u}) Put32(tail, word);
  const float quality = 0.5f;
  uint32_t bits;
  std::memcpy(&bits, &quality, 4);
  Put32(tail, bits);
  Put16(tail, 7);
  apak.AddRecord("\\music\\caf\xc3\xa9\x01\xff\xc2\x85\xe2\x80\xae.wav", apak.AddData(Bytes(30, 0)), 30, tail);
  Write(".APAK", apak);
  HandPack zpak("KERVMAXZ");
  zpak.Add("dir\\z.txt", Sample(1000));
  Write(".ZPAK", zpak);
  const std::string script = tmp_ / "read.py";
  WriteBytes(script,
             ToBytes("import json, sys\n"
                     "for line in sys.stdin:\n"
                     "    o = json.loads(line)\n"
                     "    s = o.get('stored', {})\n"
                     "    print(o['kind'], o['name'].encode('utf-8', 'surrogateescape').hex(), o['dataOffset'],\n"
                     "          o['packedSize'], o['unpackedSize'], o.get('stream'), s.get('format'),\n"
                     "          s.get('samplerate'), s.get('samples'), s.get('quality'), s.get('codecOption'))\n"));
  auto read = [&](const std::string& pack) {
    return RunProgram({"/bin/sh", "-c", SpoolpackPath() + " list --json " + pack + " | python3 " + script}).out;
  };
  const std::string raw = Spoolpack({"list", "--json", pak_ + ".APAK"}).out;
  EXPECT_NE(raw.find("caf\xc3\xa9\\u0001\\udcff\\u0085\\u202e.wav"), std::string::npos) << raw;
  EXPECT_EQ(read(pak_ + ".APAK"), "audio " + std::string("6d757369632f636166c3a901ffc285e280ae2e776176") +
                                      " 16 30 None {'format': 'OGG', 'code': 3145728} WAV/PCM 44100 441000 0.5 7\n");
  const std::string z = read(pak_ + ".ZPAK");
  EXPECT_TRUE(
      std::regex_match(z, std::regex("deflated 6469722f7a2e747874 16 \\d+ 1000 None None None None None None\n")))
      << z;
}

// The progress lines of extract and create are drawn on a terminal (a
// pseudo-terminal that script gives the program) and not on a pipe;
// --quiet leaves failures only. A missing source folder is said not to exist.
TEST_F(ExtractTest, ProgressLineOnATerminalOnly) {
  HandPack upak("KERVMAXU");
  for (const char* name : {"one", "two", "three"}) upak.Add(name, Sample(2048));
  Write(".UPAK", upak);
  const RunResult pipe = Extract({}, dest_);
  EXPECT_TRUE(std::regex_match(pipe.err, std::regex("3 entries written \\(6\\.0 KiB\\) to .* in \\d+\\.\\d s\n")))
      << pipe.err;
  auto onTerminal = [&](const std::string& command, const std::string& options) {
    return RunProgram({"script", "-qec", SpoolpackPath() + command + pak_ + " " + dest_ + options, "/dev/null"});
  };
  for (const char* command : {" extract ", " create "}) {
    EXPECT_EQ(onTerminal(command, " --quiet").out, "") << command;
    EXPECT_EQ(onTerminal(command, " --no-progress").out.find(" of 3 entries"), std::string::npos) << command;
  }
  const RunResult created = onTerminal(" create ", "");
  EXPECT_NE(created.out.find("\r0 B of 6.0 KiB, 0 of 3 entries"), std::string::npos) << created.out;
  EXPECT_NE(created.out.find(pak_ + ".ZPAK: 3 files deflated, 6144 bytes to "), std::string::npos) << created.out;
  EXPECT_NE(Spoolpack({"create", pak_, tmp_ / "nowhere"}).err.find("nowhere does not exist"), std::string::npos);
  const RunResult terminal = onTerminal(" extract ", "");
  EXPECT_EQ(terminal.status, 0);
  EXPECT_NE(terminal.out.find("\r0 B of 6.0 KiB, 0 of 3 entries"), std::string::npos) << terminal.out;
  EXPECT_NE(terminal.out.find("\r3 entries written (6.0 KiB)"), std::string::npos) << terminal.out;
  EXPECT_EQ(Extract({"--quiet"}, dest_).err, "");
}

// A file that cannot go into a pack stops create, or is left out when
// asked; extract of a set without packs is refused and makes nothing.
TEST_F(ExtractTest, UnpackableFilesAndAMissingSet) {
  EXPECT_EQ(Spoolpack({"extract", pak_, dest_}).status, 2);
  EXPECT_FALSE(fs::exists(dest_));

  const std::string longDir = src_ + "/" + std::string(100, 'd') + "/" + std::string(100, 'e');
  fs::create_directories(longDir);
  WriteBytes(longDir + "/" + std::string(60, 'f'), ToBytes("long"));
  WriteBytes(src_ + "/back\\slash", ToBytes("b"));
  WriteBytes(src_ + "/ok.txt", Sample(2000));
  WriteBytes(src_ + "/huge.bin", {});
  fs::resize_file(src_ + "/huge.bin", (uint64_t{1} << 32) + 1);  // sparse
  RunResult r = Spoolpack({"create", pak_, src_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ListTree(tmp_.path()).size(), ListTree(src_).size() + 1);  // no pack written
  r = Spoolpack({"create", pak_, src_, "--skip-unpackable"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* why : {"back\\slash: the name holds a backslash", "huge.bin: it is larger than a pack entry",
                          "ffff: its name is longer than 259 bytes"}) {
    EXPECT_NE(r.err.find(why), std::string::npos) << why << r.err;
  }
  EXPECT_EQ(LineCount(r.err), 3u) << r.err;
  EXPECT_EQ(Spoolpack({"list", pak_ + ".ZPAK"}).out.substr(0, 9), "deflated ");
  EXPECT_EQ(LineCount(Spoolpack({"list", pak_ + ".ZPAK"}).out), 1u);
  EXPECT_FALSE(fs::exists(pak_ + ".UPAK"));
}

// The limits reach extract and verify: --max-ratio N sets the ratio the
// reason names, --no-limit leaves only the 32-bit size of a restored file
// (an 8.6 GB description of a 16-byte stream, refused before it is opened);
// a ratio that is no whole number from 1 up is a usage error.
TEST_F(ExtractTest, MaxRatioAndNoLimitSetTheLimits) {
  Bytes bomb = U32(0x300000);  // an Ogg stream, restored as WAV/PCM
  for (uint32_t v : {768000u, 32u, 256u, 8388607u, 0x10001u, 1u, 1u, 0u, 0u, 0u, 0xBF800000u}) Put32(bomb, v);
  Put16(bomb, 0);
  HandPack apak("KERVMAXA");
  apak.AddRecord("bomb.wav", apak.AddData(ToBytes("OggS and no more")), 16, bomb);
  Write(".APAK", apak);
  const std::pair<Names, std::string> runs[] = {
      {{}, "the limit for an audio entry of 16 bytes (1024 times that, at least 64 MiB)"},
      {{"--max-ratio", "5"}, "the limit for an audio entry of 16 bytes (5 times that, at least 64 MiB)"},
      {{"--no-limit"}, "more than 4294967295 bytes, the most a restored file can take"}};
  for (const auto& [options, words] : runs) {
    RunResult r = Extract(options, dest_);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("entry \"bomb.wav\": the restored file would take 8589939712 bytes"), std::string::npos);
    EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
    Names verify{"verify"};
    verify.insert(verify.end(), options.begin(), options.end());
    verify.push_back(pak_);
    r = Spoolpack(verify);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
  }
  EXPECT_TRUE(ListTree(dest_).empty());
  for (const std::string bad : {"0", "-3", "ten", "5x"}) {
    EXPECT_EQ(Spoolpack({"verify", "--max-ratio", bad, pak_}).status, 2) << bad;
    EXPECT_EQ(Extract({"--max-ratio", bad}, dest_).status, 2) << bad;
  }
}

// Every command answers --help and -h with its own usage (status 0) and -V
// with the version, wherever they stand; a usage error names what was wrong
// first, then the command's usage, with status 2.
TEST_F(ExtractTest, HelpVersionAndUsageErrorsOfEveryCommand) {
  Source();
  for (const std::string command : {"create", "extract", "list", "verify", "mount"}) {
    for (const Names& args : {Names{command, "--help"}, Names{command, "x", "-h"}, Names{"help", command}}) {
      const RunResult help = Spoolpack(args);
      EXPECT_EQ(help.status, 0) << command;
      EXPECT_EQ(help.out.find("usage: spoolpack " + command + " "), 0u) << help.out;
      EXPECT_EQ(help.out.find("usage: spoolpack", 1), std::string::npos) << command << ": the whole help";
    }
    const RunResult version = Spoolpack({command, "-V"});
    EXPECT_TRUE(std::regex_match(version.out, std::regex("spoolpack \\d+\\.\\d+\n"))) << version.out;
  }
  EXPECT_EQ(Spoolpack({"-V"}).out, Spoolpack({"--version"}).out);
  EXPECT_NE(Spoolpack({"help"}).out.find("--to-stdout NAME"), std::string::npos);
  const std::pair<Names, std::string> errors[] = {
      {{"create", pak_}, "create takes a pack name and a directory"},
      {{"create", pak_, src_, "--bogus"}, "unknown option --bogus"},
      {{"create", pak_, src_, "-qx"}, "unknown option -x (in -qx)"},
      {{"create", pak_, src_, "--quiet=yes"}, "--quiet takes no value"},
      {{"create", pak_, src_, "--audio"}, "--audio needs a value (MODE)"},
      {{"extract", pak_, "-"}, "\"-\" is not taken here"},
      {{"extract", pak_, dest_, "--existing", "maybe"}, "--existing takes overwrite, keep or fail, not maybe"},
      {{"extract", pak_, "--to-stdout", "x", "--quiet"}, "--to-stdout NAME takes the pack name alone"},
      {{"list", pak_, pak_}, "list takes one pack file or pack name"},
      {{"verify", "--max-ratio", "0", pak_}, "--max-ratio takes a whole number from 1 up, not \"0\""},
      {{"verify", pak_, "--max-ratio"}, "--max-ratio needs a value (N)"},
      {{"mount", pak_}, "mount takes a pack name and a mount point"},
      {{"bogus"}, "unknown command bogus"}};
  for (const auto& [args, what] : errors) {
    const RunResult r = Spoolpack(args);
    EXPECT_EQ(r.status, 2) << what;
    EXPECT_EQ(r.err.find("spoolpack: " + what), 0u) << r.err;
    const std::string usage = "\nusage: spoolpack " + (args[0] == "bogus" ? std::string("create") : args[0]);
    EXPECT_NE(r.err.find(usage), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(pak_ + ".ZPAK"));
}

// Options before, between and after the operands, with joined or attached
// values, give the same packs; after "--" a name starting with '-' is an
// operand.
TEST_F(ExtractTest, OptionsInAnyPositionAndDoubleDash) {
  Source();
  ASSERT_EQ(Spoolpack({"create", pak_, src_, "--store", "*.txt", "--audio", "pcm"}).status, 0);
  const Bytes upak = ReadBytes(pak_ + ".UPAK");
  for (const Names& args : {Names{"create", "--audio", "pcm", pak_, "--store=*.txt", src_},
                            Names{"create", "-q", "--store", "*.txt", "--", pak_, src_}}) {
    fs::remove(pak_ + ".UPAK");
    const RunResult r = Spoolpack(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(pak_ + ".UPAK"), upak);
  }
  RunOptions here;
  here.workingDirectory = tmp_.path();
  const RunResult extracted =
      RunProgram({SpoolpackPath(), "extract", "-qv", "--only", "a/*", pak_, "--", "-dest"}, here);
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(extracted.out, "a/z.txt\n");  // --verbose wins the output over --quiet's summary
  EXPECT_EQ(extracted.err, "");
  EXPECT_EQ(ListTree(tmp_ / "-dest"), (Names{"a", "a/z.txt"}));
}

// list takes a set as well as a pack file, each line then after its pack's
// name; a set without packs fails. verify counts in words.
TEST_F(ExtractTest, ListOfASetAndVerifyWording) {
  Source();
  fs::remove(src_ + "/a/z.txt");
  WriteBytes(src_ + "/a.txt", Sample(3000));
  ASSERT_EQ(Spoolpack({"create", pak_, src_}).status, 0);
  const RunResult set = Spoolpack({"list", pak_});
  EXPECT_EQ(set.status, 0) << set.err;
  const std::regex lines(".*/game\\.UPAK: stored 16 2000 2000 noise\\.bin\n.*/game\\.ZPAK: deflated 16 \\d+ 3000 a\\.txt\n");
  EXPECT_TRUE(std::regex_match(set.out, lines)) << set.out;
  const RunResult json = Spoolpack({"list", "--json", pak_});
  EXPECT_EQ(json.out.find("{\"pack\":\"" + pak_ + ".UPAK\",\"kind\":\"stored\",\"name\":\"noise.bin\""), 0u)
      << json.out;
  EXPECT_EQ(Spoolpack({"list", pak_ + ".UPAK"}).out, "stored 16 2000 2000 noise.bin\n");
  const RunResult none = Spoolpack({"list", tmp_ / "absent"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("no pack named"), std::string::npos) << none.err;

  const RunResult verify = Spoolpack({"verify", pak_});
  EXPECT_EQ(verify.out, pak_ + ".UPAK: 1 entry ok\n" + pak_ + ".ZPAK: 1 entry ok\n");
  EXPECT_EQ(Spoolpack({"verify", "-q", pak_}).out, "");
  Bytes z = ReadBytes(pak_ + ".ZPAK");
  z[16 + 10] ^= 0xFF;
  WriteBytes(pak_ + ".ZPAK", z);
  EXPECT_NE(Spoolpack({"verify", "-q", pak_}).out.find("game.ZPAK: 1 entry, 1 problem\n"), std::string::npos);
}

// SIGINT, SIGTERM and SIGHUP end create by the signal once its temporary
// packs are removed; the old set stays as it was.
TEST_F(ExtractTest, CreateEndedBySignalsLeavesNoTemporaryPack) {
  Source();
  ASSERT_EQ(Spoolpack({"create", pak_, src_}).status, 0);
  const Bytes old = ReadBytes(pak_ + ".ZPAK");
  for (int i = 0; i < 3; ++i) WriteBytes(src_ + "/big" + std::to_string(i), Sample(8 << 20, false, i + 2));
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    bool seen = false;
    const int status =
        SignalWhen({SpoolpackPath(), "create", pak_, src_}, signal, [&] { return !Temporaries().empty(); }, &seen);
    EXPECT_TRUE(seen) << signal;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << " " << status;
    EXPECT_EQ(Temporaries(), Names{}) << signal;
    EXPECT_EQ(ReadBytes(pak_ + ".ZPAK"), old);
  }
  // The folder of the trial restoration of a pcm entry, in TMPDIR, goes too.
  const std::string audio = tmp_ / "audio";
  std::filesystem::create_directory(audio);
  ASSERT_TRUE(stream_test::RunQuietly("sox -n -r 44100 -c 2 -b 16 '" + audio + "/long.wav' synth 120 sine 440"));
  ::setenv("TMPDIR", tmp_.path().c_str(), 1);
  bool seen = false;
  const int status = SignalWhen({SpoolpackPath(), "create", "-j1", tmp_ / "a", audio, "--audio", "pcm"}, SIGTERM,
                                [&] { return !Temporaries().empty(); }, &seen);
  ::unsetenv("TMPDIR");
  EXPECT_TRUE(seen && WIFSIGNALED(status)) << status;
  EXPECT_EQ(Temporaries(), Names{});
}

}  // namespace
