// spoolpack create, list and verify, and round trips through spoolex.
#include <gtest/gtest.h>

#include <cmath>

#include "audio_stream/stream_test_support.h"
#include "pack/pack_test_support.h"
#include "tools/run_program.h"

using namespace test_support;

namespace {

// What a shell command prints on standard output.
std::string RunText(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    ::pclose(pipe);
  }
  return text;
}

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
  EXPECT_EQ(help.out.rfind("usage: spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]\n", 0), 0u);
  EXPECT_EQ(Pack({}).status, 2);
  EXPECT_EQ(Pack({"create", pak_, src_, "--bogus"}).status, 2);
  // No encoder for these yet: refused, not packed some other way.
  for (const char* mode : {"aac", "vqf:64", "ogg:11", "keep:1", "flac"}) {
    RunResult r = Pack({"create", pak_, src_, "--audio-for", "*.wav=" + std::string(mode)});
    EXPECT_EQ(r.status, 2) << mode;
    EXPECT_EQ(r.err.rfind("spoolpack: ", 0), 0u) << mode;
  }
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

// sox writes the sources; spoolex restores them and sox decodes the result.
class SpoolpackAudioTest : public SpoolpackTest {
 protected:
  void Sox(const std::string& name, const std::string& options) {
    ASSERT_TRUE(stream_test::RunQuietly("sox -n " + options + " '" + src_ + "/" + name + "' synth 0.5 sine 330 sine 540"));
  }
  // Packs with `args`, restores into a fresh folder and returns its path.
  std::string RoundTrip(const std::vector<std::string>& args, RunResult* packed) {
    std::vector<std::string> all{"create", pak_, src_};
    all.insert(all.end(), args.begin(), args.end());
    *packed = Pack(all);
    EXPECT_EQ(packed->status, 0) << packed->err;
    const std::string dest = tmp_ / ("dest" + std::to_string(++runs_));
    std::filesystem::create_directories(dest + "/a");
    EXPECT_EQ(RunProgram({SpoolexPath(), pak_, dest}).err, "");
    return dest;
  }
  int runs_ = 0;
};

// keep and pcm: a file goes into the APAK only when it comes back byte for
// byte; the others are packed as ordinary files with one line each on
// standard error. Either way the tree comes back exactly.
TEST_F(SpoolpackAudioTest, LosslessModesPackOnlyWhatComesBackExactly) {
  Sox("tone.wav", "-r 8000 -c 1 -b 16");
  Sox("a/tone8.wav", "-r 11025 -c 2 -b 8");
  Sox("sweep.aiff", "-r 8000 -c 2 -b 16");        // sox's AIFF has a chunk libsndfile does not write
  File("raw.au", Sample(3000, false));            // headerless: would come back with a header
  File("notes.txt", Sample(2000));
  struct Run {
    std::vector<std::string> args;
    std::string stream;
    std::vector<std::string> fallBacks;
  };
  for (const Run& run : {Run{{}, "WAV(0x10000)", {"raw.au", "sweep.aiff"}},
                         Run{{"--audio", "pcm", "--audio-for", "*.aiff=none"}, "WAV(0x10000)", {"raw.au"}}}) {
    RunResult packed;
    const std::string dest = RoundTrip(run.args, &packed);
    ASSERT_EQ(LineCount(packed.err), run.fallBacks.size()) << packed.err;
    for (const std::string& name : run.fallBacks) {
      EXPECT_NE(packed.err.find(name + ": packed as an ordinary file: "), std::string::npos) << packed.err;
    }
    const std::string list = Pack({"list", pak_ + ".APAK"}).out;
    EXPECT_EQ(LineCount(list), 2u);
    EXPECT_NE(list.find(" - stream=" + run.stream + " stored=WAV/PCM(0x10001),8000Hz,16bit,1ch,4000frames tone.wav\n"),
              std::string::npos) << list;
    EXPECT_EQ(Pack({"verify", pak_}).status, 0);
    for (const std::string& name : ListTree(src_)) {
      if (name != "a") {
        EXPECT_EQ(ReadBytes(dest + "/" + name), ReadBytes(src_ + "/" + name)) << name;
      }
    }
  }
  // A damaged stream is found by verify.
  Bytes apak = ReadBytes(pak_ + ".APAK");
  apak[16] = 'X';  // the first stream's "RIFF"
  WriteBytes(pak_ + ".APAK", apak);
  RunResult verify = Pack({"verify", pak_});
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.err.find("entry \"a\\tone8.wav\""), std::string::npos) << verify.err;
}

// ogg: re-encoded streams come back in the source's container, rate,
// channels and length, near the source's samples; a container that cannot
// be written back is packed as an ordinary file.
TEST_F(SpoolpackAudioTest, OggEntriesComeBackWithTheSourceDescription) {
  Sox("music.wav", "-r 44100 -c 2 -b 16");
  Sox("a/voice.aiff", "-r 16000 -c 1 -b 8");  // even: libsndfile pads an odd 8-bit AIFF by a frame
  Sox("old.voc", "-r 8000 -c 1 -b 8");
  RunResult packed;
  const std::string dest = RoundTrip({"--audio", "ogg:5"}, &packed);
  EXPECT_NE(packed.err.find("old.voc: packed as an ordinary file: its container and encoding (VOC/PCM, 8 bits)"),
            std::string::npos) << packed.err;
  EXPECT_EQ(ReadBytes(dest + "/old.voc"), ReadBytes(src_ + "/old.voc"));
  EXPECT_EQ(LineCount(Pack({"list", pak_ + ".APAK"}).out), 2u);
  EXPECT_EQ(Pack({"verify", pak_}).status, 0);
  for (const char* name : {"music.wav", "a/voice.aiff"}) {
    const std::string source = src_ + "/" + name, restored = dest + "/" + name;
    for (const char* option : {"-t", "-r", "-c", "-b"}) {
      EXPECT_EQ(RunText("soxi " + std::string(option) + " '" + restored + "'"),
                RunText("soxi " + std::string(option) + " '" + source + "'")) << name << option;
    }
    stream_test::TempDir work;
    const std::vector<int32_t> want = stream_test::SoxDecode(work, "", source);
    const std::vector<int32_t> got = stream_test::SoxDecode(work, "ffmpeg", restored);
    ASSERT_EQ(got.size(), want.size()) << name;
    double signal = 0, noise = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      signal += double(want[i]) * want[i];
      noise += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
    }
    EXPECT_GE(10 * std::log10(signal / noise), 15.0) << name;
  }
}

TEST_F(SpoolpackTest, FileNameWithABackslashCannotBePacked) {
  File("a\\b", ToBytes("x"));
  RunResult r = Pack({"create", pak_, src_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("backslash"), std::string::npos);
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"src", "src/a", "src/a\\b"}));
}

}  // namespace
