// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack --jobs: the packs, the lines and the failures of a run are the
// same whatever the number of worker processes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <regex>

#include "audio_stream/stream_test_support.h"
#include "pack/pack_test_support.h"
#include "tools/run_program.h"
#include "twinvq/twinvq_test_support.h"

using namespace test_support;

namespace {

class SpoolpackJobsTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(src_ + "/a"); }

  // spoolpack create of src_ into pak_ under a fixed SOURCE_DATE_EPOCH.
  RunResult Create(const std::string& jobs, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"/usr/bin/env", "SOURCE_DATE_EPOCH=1700000000", SpoolpackPath(), "create", pak_,
                                  src_,           "--jobs",                       jobs};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(args);
  }
  std::vector<Bytes> Packs() {
    std::vector<Bytes> packs;
    for (const char* ext : {".APAK", ".UPAK", ".ZPAK"}) packs.push_back(ReadBytes(pak_ + ext));
    return packs;
  }

  // Extracts pak_ with 1 and with 4 jobs (and `options`): the same status,
  // lines (but for the folder's name and the time) and tree, file for file.
  void ExpectSameExtraction(const std::vector<std::string>& options, int status = 0) {
    RunResult runs[2];
    for (int k = 0; k < 2; ++k) {
      std::vector<std::string> args{SpoolpackPath(), "extract", pak_, tmp_ / ("x" + std::to_string(k)), "-j",
                                    k == 0 ? "1" : "4", "--no-progress"};
      args.insert(args.end(), options.begin(), options.end());
      runs[k] = RunProgram(args);
      EXPECT_EQ(runs[k].status, status) << runs[k].err;
      runs[k].err = std::regex_replace(runs[k].err, std::regex(" in [0-9.]+ s|x[01]"), "");
    }
    EXPECT_EQ(runs[1].out, runs[0].out);
    EXPECT_EQ(runs[1].err, runs[0].err);
    const std::vector<std::string> names = ListTree(tmp_ / "x0");
    EXPECT_EQ(ListTree(tmp_ / "x1"), names);
    for (const std::string& name : names) {
      if (std::filesystem::is_regular_file(tmp_ / "x0" + "/" + name)) {
        EXPECT_TRUE(ReadBytes(tmp_ / "x0" + "/" + name) == ReadBytes(tmp_ / "x1" + "/" + name)) << name;
      }
    }
  }

  TempDir tmp_;
  std::string src_ = tmp_ / "src";
  std::string pak_ = tmp_ / "game";
};

// Stored, deflated (one file of several deflate blocks) and audio entries in
// ogg and vqf modes, with a fallback among them: every pack, every line on
// both outputs the same bytes for 1, 2 and 4 jobs; the big entry is one zlib
// stream that plain zlib inflates, within 0.5 % of one stream's size.
TEST_F(SpoolpackJobsTest, PacksAndLinesAreTheSameForAnyJobs) {
  for (int i = 0; i < 6; ++i) WriteBytes(src_ + "/t" + std::to_string(i) + ".txt", Sample(3000 + i * 100, true, i));
  WriteBytes(src_ + "/a/noise.bin", Sample(20000, false));
  const Bytes big = Sample((size_t{5} << 20) / 2, true, 9);
  WriteBytes(src_ + "/a/big.txt", big);
  for (auto [name, rate] : {std::pair{"a/tone.wav", 22050u}, {"v.wav", 22050u}}) {
    const AudioInfo info = stream_test::Describe(FMT_WAV | FMT_PCM, 16, 2, rate);
    ASSERT_EQ(stream_test::WriteThroughLayer(src_ + "/" + name, info, twinvq_test::TwoTones(rate, 2, 0.5)), 0);
  }
  // Too far from every VQF rate: packed as an ordinary file, with a line.
  const AudioInfo far = stream_test::Describe(FMT_WAV | FMT_PCM, 16, 1, 96000);
  ASSERT_EQ(stream_test::WriteThroughLayer(src_ + "/far.wav", far, std::vector<int16_t>(4000, 7)), 0);

  const std::vector<std::string> modes{"--audio", "ogg", "--audio-for", "v.wav=vqf", "--audio-for", "far.wav=vqf"};
  const RunResult first = Create("1", modes);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.err.find("far.wav: packed as an ordinary file"), std::string::npos) << first.err;
  const std::vector<Bytes> packs = Packs();
  for (const char* jobs : {"2", "4"}) {
    const RunResult again = Create(jobs, modes);
    EXPECT_EQ(again.status, 0) << jobs;
    EXPECT_EQ(again.out, first.out) << jobs;
    EXPECT_EQ(again.err, first.err) << jobs;
    EXPECT_TRUE(Packs() == packs) << jobs;
  }
  const std::string listed = RunProgram({SpoolpackPath(), "list", pak_ + ".ZPAK"}).out;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(listed, match, std::regex(R"(deflated (\d+) (\d+) \d+ a\\big\.txt)"))) << listed;
  const Bytes stream(packs[2].begin() + std::stol(match[1]),
                     packs[2].begin() + std::stol(match[1]) + std::stol(match[2]));
  Bytes inflated(big.size() + 1);
  uLongf length = inflated.size();
  ASSERT_EQ(uncompress(inflated.data(), &length, stream.data(), stream.size()), Z_OK);
  inflated.resize(length);
  EXPECT_TRUE(inflated == big);
  // Within 0.5 % of one stream at the entries' zlib level.
  EXPECT_LE(static_cast<double>(stream.size()), Deflate(big, 6).size() * 1.005);
  EXPECT_EQ(RunProgram({SpoolpackPath(), "verify", pak_}).status, 0);
  ExpectSameExtraction({});
}

// Entries of one name end with the last one; a file and a folder of one
// name, and a failing entry, fail as in run order.
TEST_F(SpoolpackJobsTest, ExtractWritesAsInRunOrder) {
  HandPack zpak("KERVMAXZ");
  for (int i = 0; i < 12; ++i) zpak.Add("t" + std::to_string(i) + ".txt", Sample(4000, true, i));
  zpak.Add("dup.txt", Sample(5000, true, 20));
  zpak.Add("f", ToBytes("a file"));
  zpak.Add("f\\g", ToBytes("under a file"));
  const Bytes stream = Deflate(Sample(2000));
  zpak.AddRecord("bad.txt", zpak.AddData(stream), uint32_t(stream.size()), U32(10));
  zpak.Add("d\\h", ToBytes("under a folder"));
  zpak.Add("d", ToBytes("over a folder"));
  zpak.Add("dup.txt", Sample(300, true, 21));
  WriteBytes(pak_ + ".ZPAK", zpak.Build());
  ExpectSameExtraction({}, 1);
  EXPECT_TRUE(ReadBytes(tmp_ / "x1" + "/dup.txt") == Sample(300, true, 21));
  const RunResult one = RunProgram({SpoolpackPath(), "verify", "-j", "1", pak_});
  const RunResult four = RunProgram({SpoolpackPath(), "verify", "--jobs=4", pak_});
  EXPECT_EQ(one.status, 1);
  EXPECT_NE(one.err.find("bad.txt"), std::string::npos) << one.err;
  EXPECT_EQ(four.status, one.status);
  EXPECT_EQ(four.out, one.out);
  EXPECT_EQ(four.err, one.err);
}

// A run that fails part way fails the same way with jobs: the pack folder
// is not writable by the user running it.
TEST_F(SpoolpackJobsTest, AFailureIsReportedAsWithOneJob) {
  if (::geteuid() != 0) GTEST_SKIP() << "runs spoolpack as another user";
  for (int i = 0; i < 5; ++i) WriteBytes(src_ + "/t" + std::to_string(i) + ".txt", Sample(2000, true, i));
  namespace fs = std::filesystem;
  fs::permissions(tmp_.path(), fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
  fs::permissions(src_, fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
  fs::permissions(src_ + "/a", fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
  RunOptions nobody;
  nobody.asNobody = true;
  RunResult results[2];
  for (int k = 0; k < 2; ++k) {
    results[k] = RunProgram({SpoolpackPath(), "create", pak_, src_, "-j", k == 0 ? "1" : "4"}, nobody);
  }
  EXPECT_EQ(results[0].status, 1);
  EXPECT_NE(results[0].err.find("cannot create"), std::string::npos) << results[0].err;
  EXPECT_EQ(results[1].status, results[0].status);
  EXPECT_EQ(results[1].err, results[0].err);
  EXPECT_EQ(results[1].out, results[0].out);
}

// --jobs takes a whole number from 1: anything else is a usage error (for
// verify the option is followed by the pack's name).
TEST_F(SpoolpackJobsTest, BadJobCountsAreUsageErrors) {
  for (const char* command : {"create", "extract", "verify"}) {
    for (std::vector<std::string> bad : {std::vector<std::string>{"-j", "0"}, {"-j", "x"}, {"--jobs=-2"},
                                         {"--jobs=3x"}, {"--jobs=9999"}, {"--jobs"}}) {
      std::vector<std::string> args{SpoolpackPath(), command, pak_, src_};
      args.insert(args.end(), bad.begin(), bad.end());
      if (std::string(command) == "verify") args = {SpoolpackPath(), command, bad[0], bad.back(), pak_};
      const RunResult r = RunProgram(args);
      EXPECT_EQ(r.status, 2) << command << " " << bad[0];
      EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(RunProgram({SpoolpackPath(), "create", pak_, src_, "--jobs=3"}).status, 0);
}

}  // namespace
