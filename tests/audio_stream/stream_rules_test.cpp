// The layer's own rules: recognition order, the headerless and little-endian
// AU cases, the format check, reads past the end, the handle checks, the
// window, and what a failed or refused write leaves on disk.
#include <signal.h>
#include <sys/resource.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "stream_test_support.h"

namespace {

using namespace stream_test;

// Appends the low `n` bytes of `v`, little-endian unless `big`.
void Put(std::vector<uint8_t>& b, uint32_t v, int n, bool big = false) {
  for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> 8 * (big ? n - 1 - i : i)));
}
void PutText(std::vector<uint8_t>& b, const char* t) { b.insert(b.end(), t, t + std::strlen(t)); }

// A canonical WAV header, built from the RIFF layout: `tag` 1 PCM or 3 float,
// `dataBytes` as the data chunk claims it.
std::vector<uint8_t> WavHeader(uint16_t tag, uint16_t bits, uint16_t channels, uint32_t dataBytes) {
  std::vector<uint8_t> b;
  PutText(b, "RIFF");
  Put(b, 36 + dataBytes, 4);
  PutText(b, "WAVEfmt ");
  for (auto [v, n] : {std::pair{16u, 4}, {tag, 2}, {channels, 2}, {8000u, 4}, {8000u * channels * bits / 8, 4},
                      {channels * bits / 8u, 2}, {bits, 2}}) {
    Put(b, v, n);
  }
  PutText(b, "data");
  Put(b, dataBytes, 4);
  return b;
}

class StreamRules : public ::testing::Test {
 protected:
  // Writes `bytes` as `name` and opens it from `offset` with `length`.
  AudioStream* Open(const std::string& name, const std::vector<uint8_t>& bytes, uint32_t format = 0,
                    int64_t offset = 0, uint32_t length = 0) {
    path_ = dir_ / name;
    WriteBytes(path_, bytes);
    file_ = platform::OpenExistingReadOnly(path_);
    EXPECT_EQ(platform::SeekFile(file_, offset, platform::SeekOrigin::kBegin), offset);
    info_ = AudioInfo{};
    info_.format = format;
    return OpenStreamRead(path_.c_str(), &file_, &info_, length);
  }
  std::vector<int16_t> ReadAll(AudioStream* stream) {
    std::vector<int16_t> samples(static_cast<size_t>(info_.samples) * info_.channels);
    EXPECT_EQ(ReadShorts(stream, samples.data(), static_cast<int64_t>(samples.size())),
              static_cast<int64_t>(samples.size()));
    return samples;
  }
  TempDir dir_;
  std::string path_;
  platform::File file_;
  AudioInfo info_;
};

TEST_F(StreamRules, RecognitionFollowsTheRuleOrder) {
  const std::vector<uint8_t> junk(64, 0x11);
  const auto startingWith = [&](const char* magic) {
    std::vector<uint8_t> b(magic, magic + 12);
    b.insert(b.end(), junk.begin(), junk.end());
    return b;
  };
  EXPECT_EQ(Open("a.bin", startingWith("OggS\0\0\0\0\0\0\0\0")), nullptr);
  EXPECT_TRUE(LastError() == 83 || LastError() == 84) << "not handed to the Ogg module: " << LastError();
  EXPECT_EQ(Open("a.bin", startingWith("TWIN\0\0\0\0\0\0\0\0")), nullptr);
  EXPECT_TRUE(LastError() >= 71 && LastError() <= 79) << LastError();
  EXPECT_EQ(Open("a.bin", startingWith("ADIF\0\0\0\0\0\0\0\0")), nullptr);
  EXPECT_TRUE(LastError() >= 80 && LastError() <= 82) << LastError();
  // An unknown FORM kind ends recognition: the extension is not looked at.
  EXPECT_EQ(Open("a.au", startingWith("FORM\0\0\0\0XXXX")), nullptr);
  EXPECT_EQ(LastError(), 14);
  EXPECT_EQ(Open("a.bin", startingWith("CAT \0\0\0\0REX2")), nullptr);
  EXPECT_EQ(LastError(), 14);
  EXPECT_EQ(Open("a.bin", startingWith("\x30\x26\xB2\x75\x8E\x66\xCF\x11\0\0\0\0")), nullptr);
  EXPECT_EQ(LastError(), 14);
  EXPECT_EQ(Open("a.bin", startingWith("SEKDSAMR\0\0\0\0")), nullptr);
  EXPECT_EQ(LastError(), 11);
  EXPECT_NE(std::strstr(LastLog(), "a.bin\nsize : 76\n"), nullptr) << "the log of a failed open is kept";
  // "RIFF" without "WAVE" decides nothing; the extension does.
  StreamPtr headerless(Open("a.snd", startingWith("RIFF\0\0\0\0WAVX")));
  ASSERT_NE(headerless, nullptr) << LastError();
  EXPECT_EQ(info_.format, FMT_AU_HEADERLESS);
  EXPECT_STREQ(LastLog(), "");
}

TEST_F(StreamRules, HeaderlessAuByExtensionInAnyCase) {
  const std::vector<uint8_t> ulaw = {0xFF, 0x80, 0x00, 0x7F, 0xEF};
  for (const char* name : {"a.snd", "B.AU", "c.Snd", "x.y.au"}) {
    StreamPtr stream(Open(name, ulaw));
    ASSERT_NE(stream, nullptr) << name << ": " << LastError();
    EXPECT_EQ(LastError(), 0);
    EXPECT_EQ(info_.format, FMT_AU_HEADERLESS);
    EXPECT_EQ(info_.samplerate, 8000u);
    EXPECT_EQ(info_.channels, 1u);
    EXPECT_EQ(info_.pcmbitwidth, 16u);
    EXPECT_EQ(info_.samples, 5u);
    // G.711 u-law: 0xFF and 0x7F are zero, 0x80 and 0x00 the extremes, 0xEF
    // is segment 1, step 0: (132 << 1) - 132.
    EXPECT_EQ(ReadAll(stream.get()), (std::vector<int16_t>{0, 32124, -32124, 0, 132}));
  }
  for (const char* name : {"c.wav", "noextension", "a.snd.txt", "a.sndx"}) {
    EXPECT_EQ(Open(name, ulaw), nullptr) << name;
    EXPECT_EQ(LastError(), 51) << name;
  }
}

TEST_F(StreamRules, RecognitionStaysInsideTheWindow) {
  // "WAVE" lies beyond an 8-byte window: the stream is no WAV file.
  std::vector<uint8_t> bytes = WavHeader(1, 16, 1, 8);
  bytes.resize(bytes.size() + 8);
  EXPECT_EQ(Open("a.bin", bytes, 0, 0, 8), nullptr);
  EXPECT_EQ(LastError(), 51);
}

// An AU header built from the format description, little-endian ("dns.")
// or big-endian (".snd"), with four 16-bit linear samples.
std::vector<uint8_t> AuFile(bool little) {
  std::vector<uint8_t> b;
  PutText(b, little ? "dns." : ".snd");
  for (uint32_t v : {24u, 8u, 3u, 8000u, 1u}) Put(b, v, 4, !little);
  for (int s : {1, -2, 300, -32768}) Put(b, static_cast<uint32_t>(s), 2, !little);
  return b;
}

TEST_F(StreamRules, LittleEndianAuIsReportedButNotOpenedByItsCode) {
  EXPECT_EQ(Open("le.au", AuFile(true), FMT_AU_LE), nullptr);
  EXPECT_EQ(LastError(), 14);
  for (bool little : {true, false}) {
    StreamPtr stream(Open("x.au", AuFile(little)));
    ASSERT_NE(stream, nullptr) << LastError() << LastLog();
    EXPECT_EQ(LastError(), 0);
    EXPECT_EQ(info_.format, (little ? FMT_AU_LE : FMT_AU) | FMT_PCM);
    EXPECT_EQ(ReadAll(stream.get()), (std::vector<int16_t>{1, -2, 300, -32768}));
  }
}

TEST_F(StreamRules, FormatCheckLimits) {
  struct Case {
    uint32_t format, bits, channels;
    int accepted;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    const AudioInfo info = Describe(c.format, c.bits, c.channels);
    EXPECT_EQ(FormatCheck(&info), c.accepted) << std::hex << c.format << std::dec << " " << c.bits << " " << c.channels;
  }
  EXPECT_EQ(FormatCheck(nullptr), 0);
}

TEST_F(StreamRules, ReadingPastTheEndGivesSilence) {
  std::vector<uint8_t> bytes = WavHeader(1, 16, 2, 12);
  for (int16_t s : {1, 2, 3, 4, 5, 6}) Put(bytes, static_cast<uint32_t>(s), 2);
  StreamPtr stream(Open("a.wav", bytes));
  ASSERT_NE(stream, nullptr);
  std::vector<int16_t> buffer(10, 0x7777);
  EXPECT_EQ(ReadShorts(stream.get(), buffer.data(), 3), 0);
  EXPECT_EQ(StreamError(stream.get()), 12);
  EXPECT_EQ(ReadShorts(stream.get(), buffer.data(), 10), 6);
  EXPECT_EQ(buffer, (std::vector<int16_t>{1, 2, 3, 4, 5, 6, 0, 0, 0, 0}));
  std::fill(buffer.begin(), buffer.end(), 0x7777);
  EXPECT_EQ(ReadShorts(stream.get(), buffer.data(), 4), 0);
  EXPECT_EQ(buffer, (std::vector<int16_t>{0, 0, 0, 0, 0x7777, 0x7777, 0x7777, 0x7777, 0x7777, 0x7777}));
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

  TempDir dir;
  AudioInfo info = Describe(FMT_WAV | FMT_PCM, 16, 2);
  StreamPtr writer(OpenFileWrite((dir / "w.wav").c_str(), &info));
  ASSERT_NE(writer, nullptr);
  const int16_t frame[3] = {1, 2, 3};
  EXPECT_EQ(WriteShorts(writer.get(), frame, 3), 0);
  EXPECT_EQ(StreamError(writer.get()), 13);
  int16_t back[2] = {};
  EXPECT_EQ(ReadShorts(writer.get(), back, 2), 0);
  EXPECT_EQ(StreamError(writer.get()), 15);
}

TEST_F(StreamRules, AHeaderClaimingMoreThanTheWindowReadsOnlyTheWindow) {
  std::vector<uint8_t> bytes(100, 0x7F);  // bytes before the stream
  const std::vector<uint8_t> header = WavHeader(1, 16, 1, 2000);
  bytes.insert(bytes.end(), header.begin(), header.end());
  for (int16_t s = 1; s <= 10; ++s) Put(bytes, static_cast<uint32_t>(s), 2);
  bytes.resize(bytes.size() + 500, 0x7F);  // what follows the window
  StreamPtr stream(Open("a.wav", bytes, 0, 100, static_cast<uint32_t>(header.size() + 20)));
  ASSERT_NE(stream, nullptr) << LastError();
  EXPECT_EQ(info_.samples, 10u);
  std::vector<int16_t> buffer(40, 0x1111);
  EXPECT_EQ(ReadShorts(stream.get(), buffer.data(), 40), 10);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(buffer[i], i < 10 ? i + 1 : 0) << i;
}

TEST_F(StreamRules, AListSubChunkThatWouldMakeLibsndfileLoopIsRefused) {
  const char head[] = "RIFF\x1C\0\0\0WAVELIST\xFF\xFF\xFF\xFF" "abcd";
  std::vector<uint8_t> bytes(head, head + sizeof head - 1);
  Put(bytes, 0xFFFFFFF8, 4);  // a skip of -8 bytes, back to "abcd"
  EXPECT_EQ(Open("loop.wav", bytes), nullptr);
  EXPECT_EQ(LastError(), 14);
}

TEST_F(StreamRules, FloatsReadClippedAndNanAsSilence) {
  const float values[] = {0.5f, 1.5f, -1.5f, std::nanf(""), -1.0f, 0.25f};
  std::vector<uint8_t> bytes = WavHeader(3, 32, 1, sizeof values);
  for (float v : values) Put(bytes, std::bit_cast<uint32_t>(v), 4);
  StreamPtr stream(Open("f.wav", bytes));
  ASSERT_NE(stream, nullptr) << LastError();
  EXPECT_EQ(info_.format, FMT_WAV | FMT_FLOAT);
  EXPECT_EQ(info_.pcmbitwidth, 32u);
  EXPECT_EQ(ReadAll(stream.get()), (std::vector<int16_t>{16384, 32767, -32768, 0, -32768, 8192}));
}

TEST_F(StreamRules, RawNeedsItsLayoutAndCountsWholeFrames) {
  const std::vector<uint8_t> bytes = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6};
  EXPECT_EQ(Open("r.raw", bytes, FMT_RAW | FMT_PCM_LE), nullptr);
  EXPECT_EQ(LastError(), 51);
  path_ = dir_ / "r.raw";
  platform::SeekFile(file_, 0, platform::SeekOrigin::kBegin);
  info_ = Describe(FMT_RAW | FMT_PCM_LE, 12, 2);
  EXPECT_EQ(OpenStreamRead(path_.c_str(), &file_, &info_, 0), nullptr);
  EXPECT_EQ(LastError(), 52);
  info_ = Describe(FMT_RAW | FMT_PCM_LE, 16, 2);
  StreamPtr stream(OpenStreamRead(path_.c_str(), &file_, &info_, 0));
  ASSERT_NE(stream, nullptr) << LastError();
  EXPECT_EQ(info_.samples, 2u);
  EXPECT_EQ(ReadAll(stream.get()), (std::vector<int16_t>{1, 2, 3, 4}));
}

TEST_F(StreamRules, AStreamWrittenInsideAFileKeepsItsPositionsRelative) {
  const std::string path = dir_ / "pack.bin";
  WriteBytes(path, std::vector<uint8_t>(100, 0xAB));
  platform::File file = platform::OpenExistingReadWrite(path);
  ASSERT_EQ(platform::SeekFile(file, 100, platform::SeekOrigin::kBegin), 100);
  AudioInfo info = Describe(FMT_AIFF | FMT_PCM, 16, 1);
  AudioStream* writer = OpenStreamWrite("x.aiff", &file, &info);
  ASSERT_NE(writer, nullptr) << LastError();
  const std::vector<int16_t> samples = {100, -100, 2000, -2000, 32767};
  ASSERT_EQ(WriteShorts(writer, samples.data(), 5), 5);
  ASSERT_EQ(CloseStream(writer), 0);
  const int64_t end = platform::TellFile(file);
  const std::vector<uint8_t> bytes = ReadBytes(path);
  EXPECT_EQ(end, static_cast<int64_t>(bytes.size())) << "the file stands at the stream's end";
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 100), std::vector<uint8_t>(100, 0xAB));
  const std::vector<uint8_t> stream(bytes.begin() + 100, bytes.end());
  const std::string alone = dir_ / "alone.aiff";
  WriteBytes(alone, stream);
  const std::vector<int32_t> sox = SoxDecode(dir_, "", alone);
  ASSERT_EQ(sox.size(), samples.size());
  for (size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(sox[i], samples[i] * 65536);
}

TEST_F(StreamRules, ARefusedOrFailedWriteLeavesNoFileAndKeepsTheOldOne) {
  const std::string path = dir_ / "out.8svx";
  WriteBytes(path, {1, 2, 3});
  AudioInfo stereoSvx = Describe(FMT_SVX | FMT_PCM, 16, 2);  // the check accepts, libsndfile does not
  EXPECT_EQ(OpenFileWrite(path.c_str(), &stereoSvx), nullptr);
  EXPECT_EQ(LastError(), 3);
  AudioInfo unchecked = Describe(FMT_VOC | FMT_PCM, 16, 1);
  EXPECT_EQ(OpenFileWrite(path.c_str(), &unchecked), nullptr);
  EXPECT_EQ(LastError(), 3);
  AudioInfo wav = Describe(FMT_WAV | FMT_PCM, 16, 1);
  EXPECT_EQ(OpenFileWrite((dir_ / "missing/out.wav").c_str(), &wav), nullptr);
  EXPECT_EQ(LastError(), 2);

  // A file size limit makes the data writes fail part way.
  const std::string wavPath = dir_ / "out.wav";
  WriteBytes(wavPath, {4, 5, 6});
  struct rlimit old = {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  AudioStream* writer = OpenFileWrite(wavPath.c_str(), &wav);
  ASSERT_NE(writer, nullptr);
  const std::vector<int16_t> samples(8000, 1000);
  EXPECT_LT(WriteShorts(writer, samples.data(), 8000), 8000);
  EXPECT_EQ(CloseStream(writer), 20);
  setrlimit(RLIMIT_FSIZE, &old);

  EXPECT_EQ(ReadBytes(path), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(ReadBytes(wavPath), (std::vector<uint8_t>{4, 5, 6}));
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(dir_.path)) entries += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(entries, 2u) << "no temporary file is left behind";
}

TEST_F(StreamRules, TruncatedFilesNeverReadPastTheirWindow) {
  ASSERT_TRUE(RunQuietly("sox -n -r 8000 -c 2 -b 16 '" + (dir_ / "t.wav") + "' synth 0.01 sine 440"));
  ASSERT_TRUE(RunQuietly("sox -n -r 8000 -c 1 -b 8 '" + (dir_ / "t.aiff") + "' synth 0.02 sine 440"));
  for (const char* name : {"t.wav", "t.aiff"}) {
    std::vector<uint8_t> whole = ReadBytes(dir_ / name);
    whole.resize(whole.size() + 4096, 0x7F);  // what a reader must never deliver
    const size_t size = whole.size() - 4096;
    for (size_t cut = 1; cut < size; ++cut) {
      AudioStream* stream = Open(name, whole, 0, 0, static_cast<uint32_t>(cut));
      if (stream == nullptr) continue;
      const int64_t dataBytes = static_cast<int64_t>(info_.samples) * info_.channels * (info_.pcmbitwidth / 8);
      EXPECT_LE(dataBytes, static_cast<int64_t>(cut)) << name << " cut at " << cut;
      for (int16_t s : ReadAll(stream)) ASSERT_NE(s, info_.pcmbitwidth == 8 ? 0x7F : 0x7F7F) << name << " " << cut;
      EXPECT_EQ(CloseStream(stream), 0);
    }
  }
}

}  // namespace
