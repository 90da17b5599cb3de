// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack create, list and verify, round trips through spoolex, and both
// programs installed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <regex>

#include "audio_stream/stream_test_support.h"
#include "pack/pack_test_support.h"
#include "tools/run_program.h"
#include "twinvq/twinvq_test_support.h"
#include "vqf/vqf_test_support.h"

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
  // Packs src_ with `args` after the names (spoolpack's run in packed_),
  // checks that spoolex restores it into a fresh folder and returns that.
  std::string RoundTrip(const std::vector<std::string>& args) {
    std::vector<std::string> all{"create", pak_, src_};
    all.insert(all.end(), args.begin(), args.end());
    packed_ = Pack(all);
    EXPECT_EQ(packed_.status, 0) << packed_.err;
    const std::string dest = tmp_ / ("dest" + std::to_string(++runs_));
    std::filesystem::create_directories(dest + "/a");
    EXPECT_EQ(RunProgram({SpoolexPath(), pak_, dest}).err, "");
    return dest;
  }
  // The same names, and the same bytes in every file (other than `except`).
  void ExpectSameTree(const std::string& dest, const std::vector<std::string>& except = {}) {
    EXPECT_EQ(ListTree(dest), ListTree(src_));
    for (const std::string& name : ListTree(src_)) {
      if (name != "a" && std::find(except.begin(), except.end(), name) == except.end()) {
        EXPECT_EQ(ReadBytes(dest + "/" + name), ReadBytes(src_ + "/" + name)) << name;
      }
    }
  }

  TempDir tmp_;
  std::string src_ = tmp_ / "src";
  std::string pak_ = tmp_ / "game";
  int runs_ = 0;
  RunResult packed_;
};

// Wrong usage, modes without an encoder, a name holding the separator of
// pack names: refused, nothing written.
TEST_F(SpoolpackTest, RefusalsWriteNothing) {
  EXPECT_EQ(Pack({}).status, 2);
  for (const char* mode : {"aac:4", "aac:64.5", "aac:", "vqf:64", "vqf:12", "vqf:", "ogg:11", "keep:1", "flac"}) {
    RunResult r = Pack({"create", pak_, src_, "--audio-for", "*.wav=" + std::string(mode)});
    EXPECT_EQ(r.status, 2) << mode;
    EXPECT_EQ(r.err.rfind("spoolpack: ", 0), 0u) << mode;
  }
  File("a\\b", ToBytes("x"));
  RunResult r = Pack({"create", pak_, src_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("backslash"), std::string::npos);
  EXPECT_EQ(ListTree(tmp_.path()), (std::vector<std::string>{"src", "src/a", "src/a\\b"}));
}

// Text deflates, noise and the empty file do not, keep.log is stored by
// request; the packs are the same when made again, and restore the tree.
TEST_F(SpoolpackTest, CreateListVerifyAndRoundTrip) {
  File("b.txt", Sample(5000));
  File("a/noise.bin", Sample(3000, false));
  File("a/z.txt", Sample(2000, true, 3));
  File("empty", {});
  File("keep.log", Sample(4000, true, 4));
  ExpectSameTree(RoundTrip({"--store", "keep*"}));
  EXPECT_EQ(Pack({"list", pak_ + ".UPAK"}).out,
            "stored 16 3000 3000 a\\noise.bin\nstored 3016 0 0 empty\nstored 3016 4000 4000 keep.log\n");
  const std::string deflated = Pack({"list", pak_ + ".ZPAK"}).out;
  std::smatch m;
  const std::regex layout(R"(deflated 16 (\d+) 2000 a\\z\.txt\ndeflated (\d+) \d+ 5000 b\.txt\n)");
  ASSERT_TRUE(std::regex_match(deflated, m, layout)) << deflated;
  EXPECT_EQ(std::stoul(m[2]), 16 + std::stoul(m[1]));
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".APAK"));
  RunResult verify = Pack({"verify", pak_});
  EXPECT_EQ(verify.status, 0);
  EXPECT_EQ(verify.out, pak_ + ".UPAK: 3 entries ok\n" + pak_ + ".ZPAK: 2 entries ok\n");
  Bytes z = ReadBytes(pak_ + ".ZPAK");
  ASSERT_EQ(Pack({"create", pak_, src_, "--store", "keep*"}).status, 0);
  EXPECT_EQ(ReadBytes(pak_ + ".ZPAK"), z);
  // Verify finds damaged data, a cut directory, a missing set.
  z[16 + 100] ^= 0xFF;  // inside the deflated data of a\z.txt
  WriteBytes(pak_ + ".ZPAK", z);
  Bytes u = ReadBytes(pak_ + ".UPAK");
  u.resize(u.size() - (3 * 4 + 20) - 1);  // the checksum trailer and the directory's last byte
  WriteBytes(pak_ + ".UPAK", u);
  verify = Pack({"verify", pak_});
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.err.find("game.UPAK: directory runs past the end"), std::string::npos) << verify.err;
  EXPECT_NE(verify.err.find("game.ZPAK: entry \"a/z.txt\""), std::string::npos) << verify.err;
  EXPECT_EQ(Pack({"verify", tmp_ / "absent"}).status, 1);
}

// `cmake --install` puts both programs under a prefix, and they run there.
TEST_F(SpoolpackTest, InstalledProgramsPackAndUnpackFromThePrefix) {
  TempDir prefix;
  RunResult install = RunProgram({SPOOLEX_CMAKE_COMMAND, "--install", SPOOLEX_BINARY_DIR, "--prefix", prefix.path()});
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  File("f.txt", Sample(4000));
  ASSERT_EQ(RunProgram({prefix / "bin/spoolpack", "create", pak_, src_}).status, 0);
  std::filesystem::create_directory(tmp_ / "dest");
  EXPECT_EQ(RunProgram({prefix / "bin/spoolex", pak_, tmp_ / "dest"}).err, "");
  EXPECT_EQ(ReadBytes(tmp_ / "dest/f.txt"), Sample(4000));
}

// Packs inside the tree are not packed into themselves; a kind without files
// gets no pack (the deflated one tried for noise.bin is removed), and one
// left from an earlier run is removed.
TEST_F(SpoolpackTest, OnlyTheTreesFilesArePacked) {
  File("noise.bin", Sample(5000, false));
  File("game.APAK", ToBytes("left from an earlier run"));
  for (int run = 0; run < 2; ++run) ASSERT_EQ(Pack({"create", src_ + "/game", src_}).status, 0);
  EXPECT_EQ(ListTree(src_), (std::vector<std::string>{"a", "game.UPAK", "noise.bin"}));
  EXPECT_EQ(LineCount(Pack({"list", src_ + "/game.UPAK"}).out), 1u);
}

// sox writes the sources; spoolex restores them.
void Sox(const std::string& path, const std::string& options) {
  ASSERT_TRUE(stream_test::RunQuietly("sox -n " + options + " '" + path + "' synth 0.5 sine 330 sine 540"));
}

// keep and pcm: a file goes into the APAK only when it comes back byte for
// byte; the others are packed as ordinary files with one line each on
// standard error. Either way the tree comes back exactly.
TEST_F(SpoolpackTest, LosslessAudioModesPackOnlyWhatComesBackExactly) {
  Sox(src_ + "/tone.wav", "-r 8000 -c 1 -b 16");
  Sox(src_ + "/a/tone8.wav", "-r 11025 -c 2 -b 8");
  Sox(src_ + "/sweep.aiff", "-r 8000 -c 2 -b 16");  // sox's AIFF has a chunk libsndfile does not write
  File("raw.au", Sample(3000, false));              // headerless: would come back with a header
  File("notes.txt", Sample(2000));
  using Names = std::vector<std::string>;
  for (const auto& [args, fallBacks] : {std::pair<Names, Names>{{}, {"raw.au", "sweep.aiff"}},
                                        {{"--audio", "pcm", "--audio-for", "*.aiff=none"}, {"raw.au"}}}) {
    ExpectSameTree(RoundTrip(args));
    ASSERT_EQ(LineCount(packed_.err), fallBacks.size()) << packed_.err;
    for (const std::string& name : fallBacks) {
      EXPECT_NE(packed_.err.find(name + ": packed as an ordinary file: "), std::string::npos) << packed_.err;
    }
    const std::string list = Pack({"list", pak_ + ".APAK"}).out;
    EXPECT_EQ(LineCount(list), 2u);
    EXPECT_NE(list.find(" - stream=WAV(0x10000) stored=WAV/PCM(0x10001),8000Hz,16bit,1ch,4000frames tone.wav\n"),
              std::string::npos) << list;
    EXPECT_EQ(Pack({"verify", pak_}).status, 0);
  }
  Bytes apak = ReadBytes(pak_ + ".APAK");
  apak[16] = 'X';  // the first stream's "RIFF"
  WriteBytes(pak_ + ".APAK", apak);
  RunResult verify = Pack({"verify", pak_});
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.err.find("entry \"a/tone8.wav\""), std::string::npos) << verify.err;
}

// VQF sources in keep mode, read with the fixture TwinVQ libraries, which
// LD_LIBRARY_PATH finds under the real libraries' names before any other: a
// stream the decoder refuses, and one that restores at its own bit rate but
// not to its own bytes (re-encoded, its decoded length and two more frames
// of delay), are packed as ordinary files, each with its reason.
TEST_F(SpoolpackTest, VqfSourcesFallBackWithTheirReasons) {
  const std::string libs = tmp_ / "libs";
  std::filesystem::create_directory(libs);
  std::filesystem::copy_file(TVQ_FIXTURE_DECODER, libs + "/libtvqdec.so");
  std::filesystem::copy_file(TVQ_FIXTURE_ENCODER, libs + "/libtvqenc.so");
  for (auto [name, channelMode] : {std::pair{"refused.vqf", 5}, {"a/song.vqf", 0}}) {
    vqf_test::Bits bits;
    bits.Append(vqf_test::HandHeader(vqf_test::Comm(channelMode, 20, 44)));
    for (int i = 0; i < 4; ++i) vqf_test::SamplesFrame(bits, std::vector<int>(8, 100 * i));
    File(name, bits.bytes);
  }
  packed_ = RunProgram({"/usr/bin/env", "LD_LIBRARY_PATH=" + libs, SpoolpackPath(), "create", pak_, src_});
  EXPECT_EQ(packed_.status, 0);
  EXPECT_NE(packed_.err.find("refused.vqf: packed as an ordinary file: it cannot be read: "
                             "Error in VQF File, invalid channel mode. (73)\n"),
            std::string::npos) << packed_.err;
  EXPECT_NE(packed_.err.find("song.vqf: packed as an ordinary file: restoring it would not give the same bytes "
                             "(131 bytes instead of 113)"),
            std::string::npos) << packed_.err;
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".APAK"));
  const std::string dest = tmp_ / "dest";
  std::filesystem::create_directories(dest + "/a");
  EXPECT_EQ(RunProgram({SpoolexPath(), pak_, dest}).err, "");
  ExpectSameTree(dest);
}

// ogg and aac: re-encoded streams come back in the source's container,
// rate, channels and length (as soxi reads them), near the source's samples
// (as ffmpeg decodes them); a container that cannot be written back, and a
// stream the encoder refuses (which only the close of the stream written
// into the pack tells), are packed as ordinary files.
TEST_F(SpoolpackTest, LossyEntriesComeBackWithTheSourceDescription) {
  Sox(src_ + "/music.wav", "-r 44100 -c 2 -b 16");
  Sox(src_ + "/a/voice.aiff", "-r 11025 -c 1 -b 8");  // 5513 frames: odd
  Sox(src_ + "/old.voc", "-r 8000 -c 1 -b 8");
  Sox(src_ + "/wide.wav", "-r 8000 -c 256 -b 16");
  for (const auto& [mode, format] : {std::pair<std::string, std::string>{"ogg:5", "OGG(0x300000)"},
                                     {"aac:96", "MP4(0x400000)"}}) {
    SCOPED_TRACE(mode);
    const std::string dest = RoundTrip({"--audio", mode});
    ExpectSameTree(dest, {"music.wav", "a/voice.aiff"});
    EXPECT_NE(packed_.err.find("old.voc: packed as an ordinary file: its container and encoding (VOC/PCM, 8 bits)"),
              std::string::npos) << packed_.err;
    EXPECT_NE(packed_.err.find("wide.wav: packed as an ordinary file: the " + format.substr(0, 3) +
                               " encoder refuses 256 channels"),
              std::string::npos) << packed_.err;
    const std::string list = Pack({"list", pak_ + ".APAK"}).out;
    EXPECT_EQ(LineCount(list), 2u);
    EXPECT_NE(list.find("stream=" + format + " stored=WAV/PCM(0x10001),44100Hz,16bit,2ch,"), std::string::npos)
        << list;
    EXPECT_EQ(Pack({"verify", pak_}).status, 0);
    for (const std::string name : {"music.wav", "a/voice.aiff"}) {
      const std::string source = src_ + "/" + name, restored = dest + "/" + name;
      for (const char* option : {"-t", "-r", "-c", "-b"}) {
        EXPECT_EQ(RunProgram({"/usr/bin/soxi", option, restored}).out,
                  RunProgram({"/usr/bin/soxi", option, source}).out)
            << name << option;
      }
      TempDir work;
      const std::vector<int32_t> want = stream_test::SoxDecode(work, "", source);
      const std::vector<int32_t> got = stream_test::SoxDecode(work, "ffmpeg", restored);
      EXPECT_EQ(got.size(), want.size()) << name;
      EXPECT_GE(stream_test::SnrDb(want, got), 15.0) << name;
    }
  }
}

// A two-tone WAV source of a vqf test, and how close it must come back.
struct VqfSource {
  std::string name;
  uint32_t rate;
  int channels;
  double snr;  // dB at least
};

// Writes the two tones of `source` under the tree to pack.
void WriteTwoTones(const std::string& src, const VqfSource& source) {
  const AudioInfo info = stream_test::Describe(FMT_WAV | FMT_PCM, 16, source.channels, source.rate);
  ASSERT_EQ(stream_test::WriteThroughLayer(src + "/" + source.name, info,
                                           twinvq_test::TwoTones(source.rate, source.channels, 1.5)), 0);
}

// The restored `source` in `dest` has the source's container, rate,
// channels and length (as soxi reads them), is in time with the source and
// has both peaks in place (sox decoding it).
void ExpectTwoTonesBack(const std::string& src, const std::string& dest, const VqfSource& source) {
  SCOPED_TRACE(source.name);
  const std::string restored = dest + "/" + source.name;
  for (const char* option : {"-t", "-r", "-c", "-b", "-s"}) {
    EXPECT_EQ(RunProgram({"/usr/bin/soxi", option, restored}).out,
              RunProgram({"/usr/bin/soxi", option, src + "/" + source.name}).out) << option;
  }
  TempDir work;
  const std::vector<int32_t> want = stream_test::SoxDecode(work, "", src + "/" + source.name);
  const std::vector<int32_t> got = stream_test::SoxDecode(work, "", restored);
  EXPECT_GE(stream_test::SnrDb(want, got), source.snr);
  for (int ch = 0; ch < source.channels; ++ch) {
    const auto [low, high] = twinvq_test::TwoPeaks(got, source.channels, ch);
    EXPECT_NEAR(low, 0.025, 0.0005);
    EXPECT_NEAR(high, 0.105, 0.0005);
  }
}

// vqf: every mode of the table, picked by the source's rate and the bit
// rate that --audio-for asks for, brings two tones back, mono and stereo.
class SpoolpackVqfModes : public SpoolpackTest, public ::testing::WithParamInterface<TvqMode> {};

TEST_P(SpoolpackVqfModes, TwoTonesComeBackWithTheSourceDescription) {
  const TvqMode& mode = GetParam();
  const std::string kbps = std::to_string(mode.kbps);
  std::vector<VqfSource> sources;
  for (int channels = 1; channels <= 2; ++channels) {
    sources.push_back({std::to_string(mode.sampleRate) + "-" + kbps + "-" + std::to_string(channels) + ".wav",
                       mode.sampleRate, channels, mode.sampleRate == 44100 && mode.kbps == 48 ? 12.0 : 8.0});
    WriteTwoTones(src_, sources.back());
  }
  const std::string dest = RoundTrip({"--audio", "vqf", "--audio-for", "*-" + kbps + "-*=vqf:" + kbps});
  ExpectSameTree(dest, {sources[0].name, sources[1].name});
  EXPECT_EQ(LineCount(Pack({"list", pak_ + ".APAK"}).out), 2u);
  EXPECT_EQ(Pack({"verify", pak_}).status, 0);
  for (const VqfSource& source : sources) ExpectTwoTonesBack(src_, dest, source);
}
INSTANTIATE_TEST_SUITE_P(EveryMode, SpoolpackVqfModes, ::testing::ValuesIn(kTvqModes), twinvq_test::ModeName);

// vqf beyond the modes: a 48 kHz source goes by way of 44.1 kHz and the rate
// converter; four channels, and 96 kHz, are packed as ordinary files with
// their reasons; a VQF source comes back as VQF at its own mode.
TEST_F(SpoolpackTest, VqfOfOtherRatesAndSources) {
  const VqfSource film = {"a/film.wav", 48000, 2, 12.0};
  WriteTwoTones(src_, film);
  for (auto [name, rate, channels] : {std::tuple{"hi.wav", 96000u, 1}, {"quad.wav", 44100u, 4}}) {
    const AudioInfo info = stream_test::Describe(FMT_WAV | FMT_PCM, 16, channels, rate);
    ASSERT_EQ(stream_test::WriteThroughLayer(src_ + "/" + name, info, std::vector<int16_t>(channels * 4000, 7)), 0);
  }
  AudioInfo song = stream_test::Describe(FMT_VQF, 16, 1, 22050);
  song.bitrate = 24000;
  ASSERT_EQ(stream_test::WriteThroughLayer(src_ + "/song.vqf", song, twinvq_test::TwoTones(22050, 1, 1.5)), 0);

  const std::string dest = RoundTrip({"--audio", "vqf"});
  ExpectSameTree(dest, {"song.vqf", film.name});
  EXPECT_NE(packed_.err.find("hi.wav: packed as an ordinary file: its rate (96000 Hz) is too far from the VQF "
                             "rates (8000, 11025, 22050 and 44100 Hz)"),
            std::string::npos) << packed_.err;
  EXPECT_NE(packed_.err.find("quad.wav: packed as an ordinary file: VQF carries 1 or 2 channels, not 4"),
            std::string::npos) << packed_.err;
  const std::string listed = Pack({"list", pak_ + ".APAK"}).out;
  EXPECT_EQ(LineCount(listed), 2u);
  std::smatch match;
  const std::regex filmLine(R"(audio (\d+) \d+ - stream=VQF\(0x200000\) )"
                            R"(stored=WAV/PCM\(0x10001\),48000Hz,16bit,2ch,72000frames a\\film\.wav)");
  ASSERT_TRUE(std::regex_search(listed, match, filmLine)) << listed;
  const Bytes apak = ReadBytes(pak_ + ".APAK");
  const size_t comm = std::stoul(match[1]) + 24;  // channelMode, bitRate, samplingRate: stereo, 96 kbit/s, 44 kHz
  ASSERT_LE(comm + 12, apak.size());
  EXPECT_EQ(Bytes(apak.begin() + comm, apak.begin() + comm + 12), (Bytes{0, 0, 0, 1, 0, 0, 0, 96, 0, 0, 0, 44}));
  EXPECT_EQ(Pack({"verify", pak_}).status, 0);
  ExpectTwoTonesBack(src_, dest, film);
  // The header's mode fields (offsets 24 to 35) as the source's.
  const Bytes header = ReadBytes(src_ + "/song.vqf"), back = ReadBytes(dest + "/song.vqf");
  ASSERT_GE(back.size(), 44u);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 44), Bytes(header.begin(), header.begin() + 44));
  AudioInfo info;
  info.format = FMT_VQF;
  const std::vector<int16_t> decoded = stream_test::ReadThroughLayer(dest + "/song.vqf", info);
  EXPECT_EQ(info.samplerate, 22050u);
  const auto [low, high] = twinvq_test::TwoPeaks(decoded, 1, 0);
  EXPECT_NEAR(low, 0.025, 0.0005);
  EXPECT_NEAR(high, 0.105, 0.0005);
}

// With SOURCE_DATE_EPOCH, the Ogg stream's serial number is the first draw
// of the C library's generator seeded with it, not with the clock: the same
// tree gives the same packs, byte for byte.
TEST_F(SpoolpackTest, OggPacksAreReproducibleWithSourceDateEpoch) {
  Sox(src_ + "/music.wav", "-r 22050 -c 2 -b 16");
  auto create = [&](const std::string& epoch) {
    EXPECT_EQ(RunProgram({"/usr/bin/env", "SOURCE_DATE_EPOCH=" + epoch, SpoolpackPath(), "create", pak_, src_,
                          "--audio", "ogg"}).status, 0);
    return ReadBytes(pak_ + ".APAK");
  };
  const Bytes first = create("1700000000");
  ASSERT_GT(first.size(), 16u + 18u);
  ASSERT_EQ(std::string(first.begin() + 16, first.begin() + 20), "OggS");
  std::srand(1700000000);
  EXPECT_EQ(At32(first, 16 + 14), static_cast<uint32_t>(std::rand() % 32768));
  EXPECT_EQ(create("1700000000"), first);
  std::srand(12345);
  EXPECT_EQ(At32(create("12345"), 16 + 14), static_cast<uint32_t>(std::rand() % 32768));
}

// A create that fails (here the file-size limit, with the whole old set in
// place) replaces nothing: the old packs stay byte for byte, the APAK that a
// successful run would remove included, and no temporary file is left or
// named in a message.
TEST_F(SpoolpackTest, AFailedCreateReplacesNothing) {
  File("b.txt", Sample(5000));
  File("noise.bin", Sample(3000, false));
  Sox(src_ + "/tone.wav", "-r 8000 -c 1 -b 16");
  ASSERT_EQ(Pack({"create", pak_, src_}).status, 0);
  std::filesystem::remove(src_ + "/tone.wav");
  File("big.bin", Sample(200000, false));
  const std::vector<std::string> before = ListTree(tmp_.path());
  std::vector<Bytes> old;
  for (const char* ext : {".APAK", ".UPAK", ".ZPAK"}) old.push_back(ReadBytes(pak_ + ext));
  RunOptions limited;
  limited.fileSizeLimit = 100000;  // the new UPAK passes it
  RunResult run = RunProgram({SpoolpackPath(), "create", pak_, src_}, limited);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("big.bin: the pack file cannot be written (File too large)"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(".spool"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(ListTree(tmp_.path()), before);
  for (int i = 0; const char* ext : {".APAK", ".UPAK", ".ZPAK"}) EXPECT_EQ(ReadBytes(pak_ + ext), old[i++]) << ext;
  // Without the limit the set is replaced, and the APAK removed, only now.
  RunResult replaced = Pack({"create", pak_, src_});
  EXPECT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_NE(replaced.out.find("game.APAK: removed (no files of this kind)"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".APAK"));
}

// A special file named as a pack is said to be one (and a FIFO is not
// waited on).
TEST_F(SpoolpackTest, ASpecialFileIsNamedAsSuch) {
  ASSERT_EQ(::mkfifo((pak_ + ".UPAK").c_str(), 0600), 0);
  std::filesystem::create_directory(pak_ + ".ZPAK");
  for (const char* ext : {".UPAK", ".ZPAK"}) {
    RunResult list = Pack({"list", pak_ + ext});
    EXPECT_EQ(list.status, 1);
    EXPECT_NE(list.err.find(std::string("cannot open: ") + (ext == std::string(".UPAK") ? "a FIFO" : "a directory") +
                            ", not a regular file"),
              std::string::npos)
        << list.err;
  }
  RunResult run = RunProgram({SpoolexPath(), pak_, tmp_.path()});
  EXPECT_NE(run.err.find("game.UPAK: cannot open: a FIFO, not a regular file"), std::string::npos) << run.err;
}

}  // namespace
