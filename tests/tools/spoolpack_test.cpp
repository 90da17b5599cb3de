// spoolpack create, list and verify, and round trips through spoolex.
#include <gtest/gtest.h>

#include <sstream>

#include "pack/pack_test_support.h"
#include "tools/run_program.h"

using namespace test_support;

namespace {

class SpoolpackTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(src_ + "/a"); }

  RunResult Pack(std::vector<std::string> args) {
    args.insert(args.begin(), SpoolpackPath());
    return RunProgram(args);
  }
  void File(const std::string& name, const Bytes& bytes) { WriteBytes(src_ + "/" + name, bytes); }

  // The tree used by most tests: text deflates, noise and the empty file do
  // not, keep.log is stored by request.
  void MakeTree() {
    File("b.txt", SampleText(5000));
    File("a/noise.bin", NoiseBytes(3000));
    File("a/z.txt", SampleText(2000, 3));
    File("empty", {});
    File("keep.log", SampleText(4000, 4));
  }

  TempDir tmp_;
  std::string src_ = tmp_ / "src";
  std::string pak_ = tmp_ / "game";
};

std::vector<std::vector<std::string>> Fields(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    lines.emplace_back();
    for (std::string w; words >> w;) lines.back().push_back(w);
  }
  return lines;
}

TEST_F(SpoolpackTest, HelpAndUsage) {
  RunResult help = Pack({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: spoolpack create <pakname> <dir> [--store GLOB]...\n", 0), 0u);
  RunResult none = Pack({});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "");
  EXPECT_NE(none.err.find("usage:"), std::string::npos);
  EXPECT_EQ(Pack({"create", pak_, src_, "--bogus"}).status, 2);
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".UPAK"));
}

TEST_F(SpoolpackTest, CreateSplitsFilesByWhatDeflatingGains) {
  MakeTree();
  RunResult r = Pack({"create", pak_, src_, "--store", "keep*"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".APAK"));
  RunResult stored = Pack({"list", pak_ + ".UPAK"});
  EXPECT_EQ(stored.status, 0);
  EXPECT_EQ(stored.out,
            "stored 16 3000 3000 a\\noise.bin\n"
            "stored 3016 0 0 empty\n"
            "stored 3016 4000 4000 keep.log\n");
  RunResult deflated = Pack({"list", pak_ + ".ZPAK"});
  auto lines = Fields(deflated.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0][0], "deflated");
  EXPECT_EQ(lines[0][1], "16");
  EXPECT_EQ(lines[0][3], "2000");
  EXPECT_EQ(lines[0][4], "a\\z.txt");
  EXPECT_EQ(std::stoul(lines[1][1]), 16 + std::stoul(lines[0][2]));
  EXPECT_EQ(lines[1][3], "5000");
  EXPECT_EQ(lines[1][4], "b.txt");
  EXPECT_LT(std::stoul(lines[1][2]), 5000u * 19 / 20);
  RunResult verify = Pack({"verify", pak_});
  EXPECT_EQ(verify.status, 0);
  EXPECT_EQ(verify.out, pak_ + ".UPAK: 3 entries ok\n" + pak_ + ".ZPAK: 2 entries ok\n");
}

TEST_F(SpoolpackTest, PacksAreReproducibleAndRoundTripThroughSpoolex) {
  MakeTree();
  ASSERT_EQ(Pack({"create", pak_, src_}).status, 0);
  const Bytes first = ReadBytes(pak_ + ".ZPAK");
  ASSERT_EQ(Pack({"create", pak_, src_}).status, 0);
  EXPECT_EQ(ReadBytes(pak_ + ".ZPAK"), first);
  const std::string dest = tmp_ / "dest";
  std::filesystem::create_directories(dest + "/a");
  RunResult r = RunProgram({SpoolexPath(), pak_, dest});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ListTree(dest), ListTree(src_));
  for (const std::string& name : ListTree(src_)) {
    if (std::filesystem::is_regular_file(src_ + "/" + name)) {
      EXPECT_EQ(ReadBytes(dest + "/" + name), ReadBytes(src_ + "/" + name)) << name;
    }
  }
}

TEST_F(SpoolpackTest, KindWithoutFilesGetsNoPackAndAnOldOneIsRemoved) {
  File("noise.bin", NoiseBytes(5000));
  WriteBytes(pak_ + ".ZPAK", ToBytes("left from an earlier run"));
  RunResult r = Pack({"create", pak_, src_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(pak_ + ".UPAK"));
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".ZPAK"));
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"game.UPAK", "src", "src/a", "src/noise.bin"}));
}

TEST_F(SpoolpackTest, VerifyReportsDamagedAndCutPacks) {
  File("t.txt", SampleText(20000));
  File("n.bin", NoiseBytes(2000));
  ASSERT_EQ(Pack({"create", pak_, src_}).status, 0);
  Bytes z = ReadBytes(pak_ + ".ZPAK");
  z[16 + 100] ^= 0xFF;  // inside the deflated data of t.txt
  WriteBytes(pak_ + ".ZPAK", z);
  RunResult r = Pack({"verify", pak_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("t.txt"), std::string::npos);
  EXPECT_NE(r.out.find(".UPAK: 1 entries ok"), std::string::npos);
  Bytes u = ReadBytes(pak_ + ".UPAK");
  u.resize(u.size() - 1);
  WriteBytes(pak_ + ".UPAK", u);
  r = Pack({"verify", pak_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(".UPAK"), std::string::npos);
  EXPECT_EQ(Pack({"verify", tmp_ / "absent"}).status, 1);
}

TEST_F(SpoolpackTest, PacksWrittenInsideTheTreeAreNotPackedIntoThemselves) {
  File("t.txt", SampleText(3000));
  const std::string inside = src_ + "/game";
  ASSERT_EQ(Pack({"create", inside, src_}).status, 0);
  ASSERT_EQ(Pack({"create", inside, src_}).status, 0);
  RunResult list = Pack({"list", inside + ".ZPAK"});
  EXPECT_EQ(Fields(list.out).size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(inside + ".UPAK"));
}

TEST_F(SpoolpackTest, FileNameWithABackslashCannotBePacked) {
  File("a\\b", ToBytes("x"));
  RunResult r = Pack({"create", pak_, src_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("backslash"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".UPAK"));
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".ZPAK"));
}

}  // namespace
