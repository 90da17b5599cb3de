// spoolpack's command lines (help, version, options in any position, "--",
// usage errors), list of a set, and create's temporary packs when a signal
// ends it.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "pack/pack_test_support.h"
#include "tools/run_program.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

using Names = std::vector<std::string>;

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(src_ + "/a");
    WriteBytes(src_ + "/a/z.txt", Sample(3000));
    WriteBytes(src_ + "/noise.bin", Sample(2000, false));
  }
  RunResult Spoolpack(Names args) {
    args.insert(args.begin(), SpoolpackPath());
    return RunProgram(args);
  }
  // Names under tmp_ that hold a temporary file's mark.
  Names Temporaries() {
    Names found;
    for (const std::string& name : ListTree(tmp_.path())) {
      if (name.find(".spool") != std::string::npos) found.push_back(name);
    }
    return found;
  }

  TempDir tmp_;
  std::string src_ = tmp_ / "src";
  std::string pak_ = tmp_ / "game";
  std::string dest_ = tmp_ / "dest";
};

// Every command answers --help and -h with its own usage (status 0) and -V
// with the version, wherever they stand; a usage error names what was wrong
// first, then the command's usage, with status 2.
TEST_F(CommandLineTest, HelpVersionAndUsageErrorsOfEveryCommand) {
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
TEST_F(CommandLineTest, OptionsInAnyPositionAndDoubleDash) {
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
TEST_F(CommandLineTest, ListOfASetAndVerifyWording) {
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
TEST_F(CommandLineTest, CreateEndedBySignalsLeavesNoTemporaryPack) {
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
}

}  // namespace
