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
  EXPECT_LE(static_cast<double>(stream.size()), Deflate(big).size() * 1.005);
  EXPECT_EQ(RunProgram({SpoolpackPath(), "verify", pak_}).status, 0);
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

// --jobs takes a whole number from 1: anything else is a usage error.
TEST_F(SpoolpackJobsTest, BadJobCountsAreUsageErrors) {
  for (const char* command : {"create"}) {
    for (std::vector<std::string> bad : {std::vector<std::string>{"-j", "0"}, {"-j", "x"}, {"--jobs=-2"},
                                         {"--jobs=3x"}, {"--jobs=9999"}, {"--jobs"}}) {
      std::vector<std::string> args{SpoolpackPath(), command, pak_, src_};
      args.insert(args.end(), bad.begin(), bad.end());
      const RunResult r = RunProgram(args);
      EXPECT_EQ(r.status, 2) << command << " " << bad[0];
      EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(RunProgram({SpoolpackPath(), "create", pak_, src_, "--jobs=3"}).status, 0);
}

}  // namespace
