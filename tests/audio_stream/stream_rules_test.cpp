// SPDX-License-Identifier: GPL-2.0-or-later
// The layer's own rules: recognition order, the headerless and little-endian
// AU cases, the format check, reads past the end, the handle checks, the
// window, and what a refused or failed write leaves on disk. Streams written
// inside a pack file are checked by the audio entry tests, which pack streams
// that way and restore them.
#include <signal.h>
#include <sys/resource.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <tuple>

#include "stream_test_support.h"

namespace {

using namespace stream_test;
using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

// Appends the low `n` bytes of `v`, little-endian unless `big`.
void Put(Bytes& b, uint32_t v, int n, bool big = false) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> 8 * (big ? n - 1 - i : i)));
}
void PutText(Bytes& b, const char* t) { b.insert(b.end(), t, t + std::strlen(t)); }

// A canonical WAV file, built from the RIFF layout: `tag` 1 PCM or 3 float,
// `dataBytes` as the data chunk claims it, then `samples` of `bits` each.
Bytes Wav(uint16_t tag, uint16_t bits, uint16_t channels, uint32_t dataBytes, const std::vector<uint32_t>& samples) {
  Bytes b;
  PutText(b, "RIFF");
  Put(b, 36 + dataBytes, 4);
  PutText(b, "WAVEfmt ");
  for (auto [v, n] : {std::pair{16u, 4}, {tag, 2}, {channels, 2}, {8000u, 4}, {8000u * channels * bits / 8, 4},
                      {channels * bits / 8u, 2}, {bits, 2}}) {
    Put(b, v, n);
  }
  PutText(b, "data");
  Put(b, dataBytes, 4);
  for (uint32_t s : samples) Put(b, s, bits / 8);
  return b;
}

class StreamRules : public ::testing::Test {
 protected:
  // Writes `bytes` as `name` and opens it from `offset` with `length`.
  AudioStream* Open(const std::string& name, const Bytes& bytes, uint32_t format = 0, int64_t offset = 0,
                    uint32_t length = 0) {
    path_ = dir_ / name;
    WriteBytes(path_, bytes);
    file_ = platform::OpenExistingReadOnly(path_);
    EXPECT_EQ(platform::SeekFile(file_, offset, platform::SeekOrigin::kBegin), offset);
    info_ = AudioInfo{};
    info_.format = format;
    return OpenStreamRead(path_.c_str(), &file_, &info_, length);
  }
  Samples ReadAll(AudioStream* stream) {
    Samples samples(static_cast<size_t>(info_.samples) * info_.channels);
    EXPECT_EQ(ReadShorts(stream, samples.data(), int64_t(samples.size())), int64_t(samples.size()));
    return samples;
  }
  // Format, rate, channels, bit width and frames of the last stream opened.
  auto Described() const {
    return std::make_tuple(info_.format, info_.samplerate, info_.channels, info_.pcmbitwidth, info_.samples);
  }
  TempDir dir_;
  std::string path_;
  platform::File file_;
  AudioInfo info_;
};

TEST_F(StreamRules, RecognitionFollowsTheRuleOrder) {
  const auto startingWith = [](const char* magic) {
    Bytes b(magic, magic + 12);
    b.resize(76, 0x11);
    return b;
  };
  const std::tuple<const char*, const char*, int, int> cases[] = {  // name, first bytes, lowest and highest error
      {"a.bin", "OggS\0\0\0\0\0\0\0\0", 83, 84},  // handed to the Ogg module
      {"a.bin", "TWIN\0\0\0\0\0\0\0\0", 71, 79},
      {"a.bin", "ADIF\0\0\0\0\0\0\0\0", 80, 82},
      {"a.au", "FORM\0\0\0\0XXXX", 14, 14},  // an unknown FORM kind ends recognition, the extension unseen
      {"a.bin", "CAT \0\0\0\0REX2", 14, 14},
      {"a.bin", "\x30\x26\xB2\x75\x8E\x66\xCF\x11\0\0\0\0", 14, 14},
      {"a.bin", "SEKDSAMR\0\0\0\0", 11, 11},
  };
  for (const auto& [name, magic, lowest, highest] : cases) {
    EXPECT_EQ(Open(name, startingWith(magic)), nullptr);
    EXPECT_TRUE(LastError() >= lowest && LastError() <= highest) << magic << ": " << LastError();
  }
  EXPECT_NE(std::strstr(LastLog(), "a.bin\nsize : 76\n"), nullptr) << "the log of a failed open is kept";
  // "WAVE" lies beyond an 8-byte window: the stream is no WAV file.
  EXPECT_EQ(Open("a.bin", Wav(1, 16, 1, 8, {0, 0, 0, 0}), 0, 0, 8), nullptr);
  EXPECT_EQ(LastError(), 51);
  // "RIFF" without "WAVE" decides nothing; the extension does.
  StreamPtr headerless(Open("a.snd", startingWith("RIFF\0\0\0\0WAVX")));
  ASSERT_NE(headerless, nullptr) << LastError();
  EXPECT_EQ(info_.format, FMT_AU_HEADERLESS);
  EXPECT_STREQ(LastLog(), "");
}

TEST_F(StreamRules, HeaderlessAuByExtensionInAnyCase) {
  const Bytes ulaw = {0xFF, 0x80, 0x00, 0x7F, 0xEF};
  for (const char* name : {"a.snd", "B.AU", "c.Snd", "x.y.au"}) {
    StreamPtr stream(Open(name, ulaw));
    ASSERT_NE(stream, nullptr) << name << ": " << LastError();
    EXPECT_EQ(LastError(), 0);
    EXPECT_EQ(Described(), std::make_tuple(FMT_AU_HEADERLESS, 8000u, 1u, 16u, 5u));
    // G.711 u-law: 0xFF and 0x7F are zero, 0x80 and 0x00 the extremes, 0xEF
    // is segment 1, step 0: (132 << 1) - 132.
    EXPECT_EQ(ReadAll(stream.get()), (Samples{0, 32124, -32124, 0, 132}));
  }
  for (const char* name : {"c.wav", "noextension", "a.snd.txt", "a.sndx"}) {
    EXPECT_EQ(Open(name, ulaw), nullptr) << name;
    EXPECT_EQ(LastError(), 51) << name;
  }
}

TEST_F(StreamRules, LittleEndianAuIsReportedButNotOpenedByItsCode) {
  // An AU file from the format description, "dns." (little-endian) or ".snd".
  const auto au = [](bool little) {
    Bytes b;
    PutText(b, little ? "dns." : ".snd");
    for (uint32_t v : {24u, 8u, 3u, 8000u, 1u}) Put(b, v, 4, !little);
    for (int s : {1, -2, 300, -32768}) Put(b, static_cast<uint32_t>(s), 2, !little);
    return b;
  };
  EXPECT_EQ(Open("le.au", au(true), FMT_AU_LE), nullptr);
  EXPECT_EQ(LastError(), 14);
  for (bool little : {true, false}) {
    StreamPtr stream(Open("x.au", au(little)));
    ASSERT_NE(stream, nullptr) << LastError() << LastLog();
    EXPECT_EQ(info_.format, (little ? FMT_AU_LE : FMT_AU) | FMT_PCM);
    EXPECT_EQ(ReadAll(stream.get()), (Samples{1, -2, 300, -32768}));
  }
}

TEST_F(StreamRules, FormatCheckLimits) {
  const std::tuple<uint32_t, uint32_t, uint32_t, int> cases[] = {  // format, bits, channels, accepted
      {FMT_WAV | FMT_PCM, 16, 0, 0},         {FMT_WAV | FMT_PCM, 16, 257, 0},
      {FMT_WAV | FMT_PCM, 16, 256, 1},       {FMT_WAV | FMT_PCM, 33, 1, 0},
      {FMT_WAV | FMT_PCM, 7, 1, 0},          {FMT_WAV | FMT_PCM, 12, 1, 1},
      {FMT_WAV | FMT_IMA_ADPCM, 16, 3, 0},   {FMT_WAV | FMT_MS_ADPCM, 16, 2, 1},
      {FMT_WAV | FMT_GSM610, 16, 2, 0},      {FMT_WAV | FMT_ULAW, 3, 5, 1},
      {FMT_WAV | FMT_FLOAT, 16, 1, 0},       {FMT_AIFF | FMT_PCM_LE, 24, 2, 1},
      {FMT_AU_LE | FMT_G721_32, 16, 2, 0},   {FMT_AU | FMT_G723_24, 4, 1, 1},
      {FMT_RAW | FMT_PCM_BE, 12, 1, 0},      {FMT_RAW | FMT_PCM_U8, 16, 1, 0},
      {FMT_PAF | FMT_PCM, 32, 1, 0},         {FMT_PAF | FMT_PCM_S8, 8, 1, 1},
      {FMT_SVX | FMT_PCM, 24, 1, 0},         {FMT_NIST | FMT_PCM, 8, 1, 0},
      {FMT_IRCAM | FMT_FLOAT_LE, 32, 2, 1},  {FMT_IRCAM | FMT_PCM, 15, 1, 0},
      {FMT_OGG | 0x1234, 7, 1, 1},           {FMT_MP4, 0, 2, 1},
      {FMT_VOC | FMT_PCM, 16, 1, 0},         {FMT_SAMPLITUDE | FMT_PCM, 16, 1, 0},
      {FMT_ASF | FMT_PCM, 16, 1, 0},         {FMT_AU_HEADERLESS, 16, 1, 1},
  };
  for (const auto& [format, bits, channels, accepted] : cases) {
    const AudioInfo info = Describe(format, bits, channels);
    EXPECT_EQ(FormatCheck(&info), accepted) << std::hex << format << std::dec << " " << bits << " " << channels;
  }
  EXPECT_EQ(FormatCheck(nullptr), 0);
}

TEST_F(StreamRules, ReadingPastTheEndGivesSilence) {
  StreamPtr stream(Open("a.wav", Wav(1, 16, 2, 12, {1, 2, 3, 4, 5, 6})));
  ASSERT_NE(stream, nullptr);
  Samples buffer(10, 0x7777);
  EXPECT_EQ(ReadShorts(stream.get(), buffer.data(), 3), 0);
  EXPECT_EQ(StreamError(stream.get()), 12);
  EXPECT_EQ(ReadShorts(stream.get(), buffer.data(), 10), 6);
  EXPECT_EQ(buffer, (Samples{1, 2, 3, 4, 5, 6, 0, 0, 0, 0}));
  std::fill(buffer.begin(), buffer.end(), 0x7777);
  EXPECT_EQ(ReadShorts(stream.get(), buffer.data(), 4), 0);
  EXPECT_EQ(buffer, (Samples{0, 0, 0, 0, 0x7777, 0x7777, 0x7777, 0x7777, 0x7777, 0x7777}));
  EXPECT_EQ(WriteShorts(stream.get(), buffer.data(), 2), 0);
  EXPECT_EQ(StreamError(stream.get()), 16);
}

TEST_F(StreamRules, HandleChecks) {
  int16_t sample = 0;
  EXPECT_EQ(ReadShorts(nullptr, &sample, 1), 4);
  EXPECT_EQ(WriteShorts(nullptr, &sample, 1), 4);
  EXPECT_EQ(CloseStream(nullptr), 4);
  auto fake = std::make_unique<AudioStream>();
  EXPECT_EQ(ReadShorts(fake.get(), &sample, 1), 4);
  fake->magic = kStreamMagic;
  EXPECT_EQ(ReadShorts(fake.get(), &sample, 1), 6);
  EXPECT_EQ(WriteShorts(fake.get(), &sample, 1), 6);
  EXPECT_EQ(CloseStream(fake.get()), 6);
  EXPECT_EQ(OpenStreamRead("x", &file_, nullptr, 0), nullptr);
  EXPECT_EQ(LastError(), 5);
  AudioInfo info = Describe(FMT_WAV | FMT_PCM, 16, 2);
  StreamPtr writer(OpenFileWrite((dir_ / "w.wav").c_str(), &info));
  ASSERT_NE(writer, nullptr);
  const int16_t frame[3] = {1, 2, 3};
  EXPECT_EQ(WriteShorts(writer.get(), frame, 3), 0);
  EXPECT_EQ(StreamError(writer.get()), 13);
  EXPECT_EQ(ReadShorts(writer.get(), &sample, 1), 0);
  EXPECT_EQ(StreamError(writer.get()), 15);
}

TEST_F(StreamRules, AListSubChunkThatWouldMakeLibsndfileLoopIsRefused) {
  const char head[] = "RIFF\x1C\0\0\0WAVELIST\xFF\xFF\xFF\xFF" "abcd";
  Bytes bytes(head, head + sizeof head - 1);
  Put(bytes, 0xFFFFFFF8, 4);  // a skip of -8 bytes, back to "abcd"
  EXPECT_EQ(Open("loop.wav", bytes), nullptr);
  EXPECT_EQ(LastError(), 14);
}

TEST_F(StreamRules, FloatsReadClippedAndNanAsSilence) {
  std::vector<uint32_t> values;
  for (float v : {0.5f, 1.5f, -1.5f, std::nanf(""), -1.0f, 0.25f}) values.push_back(std::bit_cast<uint32_t>(v));
  StreamPtr stream(Open("f.wav", Wav(3, 32, 1, 24, values)));
  ASSERT_NE(stream, nullptr) << LastError();
  EXPECT_EQ(Described(), std::make_tuple(FMT_WAV | FMT_FLOAT, 8000u, 1u, 32u, 6u));
  EXPECT_EQ(ReadAll(stream.get()), (Samples{16384, 32767, -32768, 0, -32768, 8192}));
}

TEST_F(StreamRules, RawNeedsItsLayoutAndCountsWholeFrames) {
  const Bytes bytes = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6};
  EXPECT_EQ(Open("r.raw", bytes, FMT_RAW | FMT_PCM_LE), nullptr);
  EXPECT_EQ(LastError(), 51);
  for (uint32_t bits : {12u, 16u}) {
    platform::SeekFile(file_, 0, platform::SeekOrigin::kBegin);
    info_ = Describe(FMT_RAW | FMT_PCM_LE, bits, 2);
    StreamPtr stream(OpenStreamRead(path_.c_str(), &file_, &info_, 0));
    EXPECT_EQ(LastError(), bits == 16 ? 0 : 52);
    EXPECT_EQ(stream ? ReadAll(stream.get()) : Samples(), bits == 16 ? Samples({1, 2, 3, 4}) : Samples());
  }
}

// A write libsndfile refuses, and one that fails part way (a file size
// limit), leave no file and keep the old one; the failure shows in
// CloseStream's result.
TEST_F(StreamRules, ARefusedOrFailedWriteLeavesNoFileAndKeepsTheOldOne) {
  const std::string svx = dir_ / "out.8svx", wav = dir_ / "out.wav";
  WriteBytes(svx, {1, 2, 3});
  WriteBytes(wav, {4, 5, 6});
  AudioInfo stereoSvx = Describe(FMT_SVX | FMT_PCM, 16, 2);  // the check accepts, libsndfile does not
  AudioInfo unchecked = Describe(FMT_VOC | FMT_PCM, 16, 1), mono = Describe(FMT_WAV | FMT_PCM, 16, 1);
  for (AudioInfo* info : {&stereoSvx, &unchecked}) {
    EXPECT_EQ(OpenFileWrite(svx.c_str(), info), nullptr);
    EXPECT_EQ(LastError(), 3);
  }
  EXPECT_EQ(OpenFileWrite((dir_ / "missing/out.wav").c_str(), &mono), nullptr);
  EXPECT_EQ(LastError(), 2);
  struct rlimit old = {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = {4096, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  AudioStream* writer = OpenFileWrite(wav.c_str(), &mono);
  ASSERT_NE(writer, nullptr);
  const Samples samples(8000, 1000);
  EXPECT_LT(WriteShorts(writer, samples.data(), 8000), 8000);
  EXPECT_EQ(CloseStream(writer), 20);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(ReadBytes(svx), (Bytes{1, 2, 3}));
  EXPECT_EQ(ReadBytes(wav), (Bytes{4, 5, 6}));
  EXPECT_EQ(test_support::ListTree(dir_.path()), (std::vector<std::string>{"out.8svx", "out.wav"}));
}

// Cut at every byte, with bytes no reader may deliver after the window; this
// also covers headers that claim more data than the window holds.
TEST_F(StreamRules, TruncatedFilesNeverReadPastTheirWindow) {
  ASSERT_TRUE(RunQuietly("sox -n -r 8000 -c 2 -b 16 '" + (dir_ / "t.wav") + "' synth 0.01 sine 440"));
  ASSERT_TRUE(RunQuietly("sox -n -r 8000 -c 1 -b 8 '" + (dir_ / "t.aiff") + "' synth 0.02 sine 440"));
  for (const char* name : {"t.wav", "t.aiff"}) {
    Bytes whole = ReadBytes(dir_ / name);
    const size_t size = whole.size();
    whole.resize(size + 4096, 0x7F);
    for (size_t cut = 1; cut < size; ++cut) {
      AudioStream* stream = Open(name, whole, 0, 0, static_cast<uint32_t>(cut));
      if (stream == nullptr) continue;
      const int64_t dataBytes = int64_t(info_.samples) * info_.channels * (info_.pcmbitwidth / 8);
      EXPECT_LE(dataBytes, static_cast<int64_t>(cut)) << name << " cut at " << cut;
      for (int16_t s : ReadAll(stream)) ASSERT_NE(s, info_.pcmbitwidth == 8 ? 0x7F : 0x7F7F) << name << " " << cut;
      EXPECT_EQ(CloseStream(stream), 0);
    }
  }
}

}  // namespace
