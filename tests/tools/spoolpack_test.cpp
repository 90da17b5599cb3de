// spoolpack create, list and verify, and round trips through spoolex.
#include <gtest/gtest.h>

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
  // Text deflates, noise and the empty file do not, keep.log is stored by
  // request.
  void MakeTree() {
    File("b.txt", Sample(5000));
    File("a/noise.bin", Sample(3000, false));
    File("a/z.txt", Sample(2000, true, 3));
    File("empty", {});
    File("keep.log", Sample(4000, true, 4));
  }

  TempDir tmp_;
  std::string src_ = tmp_ / "src";
  std::string pak_ = tmp_ / "game";
};

TEST_F(SpoolpackTest, HelpAndUsage) {
  RunResult help = Pack({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: spoolpack create <pakname> <dir> [--store GLOB]...\n", 0), 0u);
  EXPECT_EQ(Pack({}).status, 2);
  EXPECT_EQ(Pack({"create", pak_, src_, "--bogus"}).status, 2);
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"src", "src/a"}));
}

TEST_F(SpoolpackTest, CreateSplitsFilesByWhatDeflatingGains) {
  MakeTree();
  ASSERT_EQ(Pack({"create", pak_, src_, "--store", "keep*"}).status, 0);
  EXPECT_EQ(Pack({"list", pak_ + ".UPAK"}).out,
            "stored 16 3000 3000 a\\noise.bin\nstored 3016 0 0 empty\nstored 3016 4000 4000 keep.log\n");
  std::string deflated = Pack({"list", pak_ + ".ZPAK"}).out;
  unsigned offset1, packed1, size1, offset2, packed2, size2;
  char name1[20], name2[20];
  ASSERT_EQ(std::sscanf(deflated.c_str(), "deflated %u %u %u %19s\ndeflated %u %u %u %19s\n", &offset1, &packed1,
                        &size1, name1, &offset2, &packed2, &size2, name2), 8);
  EXPECT_EQ(std::string(name1) + " " + name2, "a\\z.txt b.txt");
  EXPECT_EQ(offset1, 16u);
  EXPECT_EQ(offset2, 16 + packed1);
  EXPECT_EQ(size1 + size2, 7000u);
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".APAK"));
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
  EXPECT_EQ(RunProgram({SpoolexPath(), pak_, dest}).err, "");
  EXPECT_EQ(ListTree(dest), ListTree(src_));
  for (const char* name : {"b.txt", "a/noise.bin", "a/z.txt", "empty", "keep.log"}) {
    EXPECT_EQ(ReadBytes(dest + "/" + name), ReadBytes(src_ + "/" + name)) << name;
  }
}

TEST_F(SpoolpackTest, KindWithoutFilesGetsNoPackAndAnOldOneIsRemoved) {
  File("noise.bin", Sample(5000, false));
  WriteBytes(pak_ + ".ZPAK", ToBytes("left from an earlier run"));
  ASSERT_EQ(Pack({"create", pak_, src_}).status, 0);
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"game.UPAK", "src", "src/a", "src/noise.bin"}));
}

TEST_F(SpoolpackTest, VerifyReportsDamagedAndCutPacks) {
  File("t.txt", Sample(20000));
  File("n.bin", Sample(2000, false));
  ASSERT_EQ(Pack({"create", pak_, src_}).status, 0);
  Bytes z = ReadBytes(pak_ + ".ZPAK");
  z[16 + 100] ^= 0xFF;  // inside the deflated data of t.txt
  WriteBytes(pak_ + ".ZPAK", z);
  RunResult r = Pack({"verify", pak_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("entry \"t.txt\""), std::string::npos);
  Bytes u = ReadBytes(pak_ + ".UPAK");
  u.pop_back();
  WriteBytes(pak_ + ".UPAK", u);
  r = Pack({"verify", pak_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("game.UPAK: directory runs past the end"), std::string::npos);
  EXPECT_EQ(Pack({"verify", tmp_ / "absent"}).status, 1);
}

TEST_F(SpoolpackTest, PacksInsideTheTreeAreNotPackedIntoThemselves) {
  File("t.txt", Sample(3000));
  ASSERT_EQ(Pack({"create", src_ + "/game", src_}).status, 0);
  ASSERT_EQ(Pack({"create", src_ + "/game", src_}).status, 0);
  EXPECT_EQ(LineCount(Pack({"list", src_ + "/game.ZPAK"}).out), 1u);
}

TEST_F(SpoolpackTest, FileNameWithABackslashCannotBePacked) {
  File("a\\b", ToBytes("x"));
  RunResult r = Pack({"create", pak_, src_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("backslash"), std::string::npos);
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"src", "src/a", "src/a\\b"}));
}

}  // namespace
