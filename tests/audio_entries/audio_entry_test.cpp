// Audio entries end to end: packs made with the pack writer from files
// written by sox, restored by the spoolex program, and read back by sox.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "audio_stream/stream_test_support.h"
#include "pack/pack.h"
#include "tools/run_program.h"

using namespace test_support;

namespace {

const std::string kRule = std::string(49, '-') + "\n";

AudioInfo Describe(uint32_t format, uint32_t bits, uint32_t channels, uint32_t rate, uint32_t frames = 0) {
  AudioInfo info = stream_test::Describe(format, bits, channels, rate);
  info.samples = frames;
  info.sections = 1;
  info.seekable = 1;
  return info;
}

// Channel c holds a sine of (c + 1) x `frequency`.
std::vector<int16_t> Sine(double frequency, uint32_t rate, uint32_t frames, uint32_t channels = 1) {
  std::vector<int16_t> s(size_t{frames} * channels);
  for (size_t i = 0; i < s.size(); ++i) {
    const double phase = 2 * std::numbers::pi * frequency * double(1 + i % channels) * double(i / channels) / rate;
    s[i] = static_cast<int16_t>(std::lround(12000 * std::sin(phase)));
  }
  return s;
}

class AudioEntries : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dest_);
    ASSERT_EQ(CreatePack(pak_ + ".APAK", PackKind::kAudio, &pack_), PackWriteResult::kOk);
  }

  // Adds an entry whose packed stream is `bytes`.
  void AddBytes(const std::string& name, const Bytes& bytes, const AudioInfo& stored, uint32_t streamFormat = 0) {
    DirectoryEntry entry{name, static_cast<uint32_t>(DataEnd(*pack_)), static_cast<uint32_t>(bytes.size()), 0,
                         streamFormat, stored};
    ASSERT_EQ(platform::WriteFile(PackFile(*pack_), bytes.data(), bytes.size()), int64_t(bytes.size()));
    ASSERT_EQ(AddEntryRecord(*pack_, entry), PackWriteResult::kOk);
    packed_.push_back(entry.packedSize);
  }
  // Adds an entry whose packed stream is `samples` written through the layer
  // as `packed`, at the pack's data end; its streamFormat is `packed`'s
  // major code unless `streamFormat` is given.
  void AddSamples(const std::string& name, AudioInfo packed, const std::vector<int16_t>& samples,
                  const AudioInfo& stored, int64_t streamFormat = -1) {
    DirectoryEntry entry{name, static_cast<uint32_t>(DataEnd(*pack_)), 0, 0,
                         streamFormat < 0 ? FormatMajor(packed.format) : uint32_t(streamFormat), stored};
    AudioStream* stream = OpenStreamWrite(name.c_str(), &PackFile(*pack_), &packed);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(WriteShorts(stream, samples.data(), int64_t(samples.size())), int64_t(samples.size()));
    ASSERT_EQ(CloseStream(stream), 0);
    entry.packedSize = static_cast<uint32_t>(platform::TellFile(PackFile(*pack_)) - entry.dataOffset);
    ASSERT_EQ(AddEntryRecord(*pack_, entry), PackWriteResult::kOk);
    packed_.push_back(entry.packedSize);
  }
  RunResult Restore(const std::string& extra = "", const RunOptions& options = {}) {
    EXPECT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
    pack_.reset();
    std::vector<std::string> args{SpoolexPath(), pak_, dest_};
    if (!extra.empty()) args.push_back(extra);
    return RunProgram(args, options);
  }
  // Every sample of a file as sox decodes it (32-bit scale).
  std::vector<int32_t> Sox(const std::string& path) { return stream_test::SoxDecode(sox_, "", path); }
  std::string Source(const std::string& name, const std::string& options) {
    const std::string path = sox_ / name;
    EXPECT_TRUE(stream_test::RunQuietly("sox '" + base_ + "' " + options + " '" + path + "'")) << name;
    return path;
  }

  TempDir tmp_;
  stream_test::TempDir sox_;
  std::string pak_ = tmp_ / "game";
  std::string dest_ = tmp_ / "dest";
  std::string base_ = sox_ / "base.wav";
  PackPtr pack_;
  std::vector<uint32_t> packed_;  // packed size of each entry added
};

struct LosslessRow {
  const char* name;
  const char* soxOptions;
  uint32_t channels;
};

// Every container and lossless encoding that the layer reads and writes,
// from files sox wrote, each packed as its own bytes (keep) and as a WAV
// stream of its samples (pcm): the restored files hold the same samples in
// the same container, encoding, width, rate, channels and length. The wide
// and float files come from 16-bit samples, which the layer carries exactly.
// The frame count is even: libsndfile counts the pad byte of an odd 8SVX
// body as one more frame.
TEST_F(AudioEntries, LosslessRoundTripOfEveryWritableContainer) {
  constexpr LosslessRow kRows[] = {
      {"w8.wav", "-b 8", 2},   {"w16.wav", "", 2},           {"w24.wav", "-b 24", 1},   {"w32.wav", "-b 32", 2},
      {"wf.wav", "-e float", 2}, {"wu.wav", "-e u-law", 1},  {"wa.wav", "-e a-law", 2}, {"a8.aiff", "-b 8", 2},
      {"a16.aiff", "", 1},     {"a24.aiff", "-b 24", 2},     {"a32.aiff", "-b 32", 1},  {"af.aifc", "-e float", 2},
      {"u8.au", "-b 8", 1},    {"u16.au", "", 2},            {"u24.au", "-b 24", 2},    {"u32.au", "-b 32", 1},
      {"uf.au", "-e float", 1}, {"uu.au", "-e u-law", 2},    {"ua.au", "-e a-law", 1},  {"p8.paf", "-b 8", 1},
      {"p16.paf", "", 2},      {"p24.paf", "-b 24", 1},      {"s8.8svx", "-b 8", 1},    {"n16.nist", "", 2},
      {"i16.sf", "", 1},       {"i32.sf", "-b 32", 2},       {"if.sf", "-e float", 1},  {"iu.sf", "-e u-law", 2},
      {"ia.sf", "-e a-law", 1},
  };
  std::vector<std::pair<std::string, AudioInfo>> sources;
  for (uint32_t channels : {1u, 2u}) {
    ASSERT_TRUE(stream_test::RunQuietly("sox -n -r 11025 -b 16 -c " + std::to_string(channels) + " '" + base_ +
                                        "' synth 0.4 sine 300 sine 770 sine 1900"));
    for (const LosslessRow& row : kRows) {
      if (row.channels != channels) continue;
      const std::string path = Source(row.name, row.soxOptions);
      AudioInfo info;
      const std::vector<int16_t> samples = stream_test::ReadThroughLayer(path, info);
      ASSERT_FALSE(samples.empty()) << row.name;
      AddBytes(std::string("keep\\") + row.name, ReadBytes(path), info);
      AddSamples(std::string("pcm\\") + row.name, Describe(FMT_WAV | FMT_PCM, info.pcmbitwidth <= 8 ? 8 : 16,
                 info.channels, info.samplerate), samples, info);
      sources.emplace_back(path, info);
    }
  }
  std::filesystem::create_directory(dest_ + "/keep");
  std::filesystem::create_directory(dest_ + "/pcm");
  RunResult run = Restore();
  EXPECT_EQ(run.err, "");
  for (const auto& [path, want] : sources) {
    const std::vector<int32_t> source = Sox(path);
    for (const char* mode : {"keep", "pcm"}) {
      const std::string restored = dest_ + "/" + mode + "/" + std::filesystem::path(path).filename().string();
      SCOPED_TRACE(restored);
      AudioInfo got;
      stream_test::ReadThroughLayer(restored, got);
      EXPECT_EQ((std::array{got.format, got.pcmbitwidth, got.channels, got.samplerate, got.samples}),
                (std::array{want.format, want.pcmbitwidth, want.channels, want.samplerate, want.samples}));
      EXPECT_EQ(Sox(restored), source);
    }
  }
}

// Entries whose packed stream differs from the stored description, restored
// with the exact progress lines and summary, and DELETE after full success.
TEST_F(AudioEntries, ConversionsThroughRealEntries) {
  const std::vector<int16_t> stereo = Sine(440, 8000, 800, 2);
  const std::vector<int16_t> mono = Sine(440, 8000, 800);
  AddSamples("container.wav", Describe(FMT_AIFF | FMT_PCM, 16, 2, 8000), stereo,
             Describe(FMT_WAV | FMT_PCM, 16, 2, 8000, 800));
  AddSamples("narrow.wav", Describe(FMT_WAV | FMT_PCM, 16, 1, 8000), mono, Describe(FMT_WAV | FMT_PCM, 8, 1, 8000, 800));
  AddSamples("widen.au", Describe(FMT_WAV | FMT_PCM, 16, 1, 8000), mono, Describe(FMT_AU | FMT_PCM, 16, 2, 8000, 800));
  AddSamples("down.aiff", Describe(FMT_WAV | FMT_PCM, 16, 2, 8000), stereo,
             Describe(FMT_AIFF | FMT_PCM, 16, 1, 8000, 800));
  // Fewer frames decoded than stored: the rest is silence.
  AddSamples("longer.wav", Describe(FMT_WAV | FMT_PCM, 16, 1, 8000), mono,
             Describe(FMT_WAV | FMT_PCM, 16, 1, 8000, 1200));
  AddSamples("rate.wav", Describe(FMT_WAV | FMT_PCM, 16, 1, 22050), Sine(1000, 22050, 22050),
             Describe(FMT_WAV | FMT_PCM, 16, 1, 44100, 44100));
  // An Ogg Vorbis stream recognised by its first bytes (streamFormat 0).
  AudioInfo ogg = Describe(FMT_OGG, 16, 1, 8000);
  ogg.quality = 0.4f;
  AddSamples("ogg.wav", ogg, mono, Describe(FMT_WAV | FMT_PCM, 16, 1, 8000, 800), 0);
  const std::vector<std::string> names{"container.wav", "narrow.wav", "widen.au", "down.aiff",
                                       "longer.wav",    "rate.wav",   "ogg.wav"};
  const std::vector<uint32_t>& packed = packed_;
  RunResult run = Restore("delete");
  std::string expected = "KERV_SPOOLEX v1.0\nDecompressing audio...\n";
  uint64_t packedTotal = 0, unpackedTotal = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    const uint64_t unpacked = std::filesystem::file_size(dest_ + "/" + names[i]);
    expected += names[i] + "...audio packed (" + (unpacked * 100 / packed[i] < 10 ? "0" : "") +
                std::to_string(unpacked * 100 / packed[i]) + "%)\n";
    packedTotal += packed[i];
    unpackedTotal += unpacked;
  }
  char summary[100];
  std::snprintf(summary, sizeof summary, "0007  audio files %08llu packed size %08llu unpacked size\n",
                static_cast<unsigned long long>(packedTotal), static_cast<unsigned long long>(unpackedTotal));
  EXPECT_EQ(run.out, expected + kRule + summary);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".APAK"));

  auto sox = [&](const std::string& name) { return Sox(dest_ + "/" + name); };
  std::vector<int32_t> want(stereo.begin(), stereo.end());
  for (int32_t& v : want) v *= 65536;
  EXPECT_EQ(sox("container.wav"), want);
  std::vector<int32_t> narrow, widened, down, longer;
  for (size_t f = 0; f < 800; ++f) {
    narrow.push_back((mono[f] >> 8) * (1 << 24));
    widened.insert(widened.end(), 2, mono[f] * 65536);
    down.push_back((stereo[2 * f] + stereo[2 * f + 1]) / 2 * 65536);
    longer.push_back(mono[f] * 65536);
  }
  longer.resize(1200, 0);
  EXPECT_EQ(sox("narrow.wav"), narrow);
  EXPECT_EQ(sox("widen.au"), widened);
  EXPECT_EQ(sox("down.aiff"), down);
  EXPECT_EQ(sox("longer.wav"), longer);
  EXPECT_EQ(sox("ogg.wav").size(), 800u);
  // The rate step: the stored length, the tone's pitch, little error.
  const std::vector<int32_t> rate = sox("rate.wav");
  ASSERT_EQ(rate.size(), 44100u);
  double signal = 0, error = 0;
  for (size_t f = 2000; f < 42000; ++f) {
    const double ideal = 12000 * 65536 * std::sin(2 * std::numbers::pi * 1000 * (f / 2.0) / 22050);
    signal += ideal * ideal;
    error += (rate[f] - ideal) * (rate[f] - ideal);
  }
  EXPECT_GE(10 * std::log10(signal / error), 60.0);
}

struct FaultRow {
  const char* name;
  int streamFormat;  // -1: a sox-made WAV stream, recognised
  AudioInfo stored;
  int expected;
};

// Faults of single entries: the reader's code and no file written.
TEST_F(AudioEntries, FaultsOfSingleEntries) {
  ASSERT_TRUE(stream_test::RunQuietly("sox -n -r 8000 -b 16 -c 1 '" + base_ + "' synth 0.1 sine 500"));
  AudioInfo good;
  ASSERT_FALSE(stream_test::ReadThroughLayer(base_, good).empty());
  auto with = [&](uint32_t AudioInfo::*field, uint32_t value) {
    AudioInfo info = good;
    info.*field = value;
    return info;
  };
  const FaultRow rows[] = {
      {"missing\\a.wav", -1, good, kPackFileError},
      {"noise.wav", 0, good, kPackAudioFailed},           // no known stream
      {"asked-as-ogg.wav", int(FMT_OGG), good, kPackAudioFailed},
      {"zero-channels.wav", -1, with(&AudioInfo::channels, 0), kPackBadPack},
      {"257-channels.wav", -1, with(&AudioInfo::channels, 257), kPackBadPack},
      {"zero-rate.wav", -1, with(&AudioInfo::samplerate, 0), kPackBadPack},
      {"33-bits.wav", -1, with(&AudioInfo::pcmbitwidth, 33), kPackBadPack},
      {"huge.wav", -1, with(&AudioInfo::samples, 0xFFFFFFFF), kPackBadPack},
      {"not-writable.wav", -1, with(&AudioInfo::format, FMT_VOC | FMT_PCM), kPackFileError},
  };
  for (const FaultRow& row : rows) {
    AddBytes(row.name, row.streamFormat == 0 ? Sample(3000, false) : ReadBytes(base_), row.stored,
             row.streamFormat < 0 ? 0 : row.streamFormat);
  }
  // An empty stream would reach to the end of the pack.
  ASSERT_EQ(AddEntryRecord(*pack_, {"empty.wav", static_cast<uint32_t>(DataEnd(*pack_)), 0, 0, 0, good}),
            PackWriteResult::kOk);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  PackPtr pack;
  ASSERT_EQ(OpenPack(pak_ + ".APAK", PackKind::kAudio, &pack), kPackOk);
  for (const FaultRow& row : rows) {
    std::string name, reason;
    uint32_t packed = 0, unpacked = 0;
    EXPECT_EQ(NextEntry(dest_, &name, *pack, &packed, &unpacked, &reason), row.expected) << row.name;
    EXPECT_FALSE(reason.empty());
  }
  std::string name;
  uint32_t packed = 0, unpacked = 0;
  EXPECT_EQ(NextEntry(dest_, &name, *pack, &packed, &unpacked), kPackAudioFailed);
  EXPECT_EQ(NextEntry(dest_, &name, *pack, &packed, &unpacked), kPackEnd);
  EXPECT_TRUE(ListTree(dest_).empty());
}

// An output that cannot be written whole fails the entry and leaves the old
// file of that name, and no temporary file, behind.
TEST_F(AudioEntries, AFailedOutputLeavesTheOldFile) {
  WriteBytes(dest_ + "/big.wav", ToBytes("old"));
  const std::vector<int16_t> samples = Sine(440, 8000, 100000, 2);
  AddSamples("big.wav", Describe(FMT_WAV | FMT_PCM, 8, 2, 8000), samples, Describe(FMT_WAV | FMT_PCM, 16, 2, 8000, 100000));
  RunOptions options;
  options.fileSizeLimit = 250000;  // the pack fits, the restored file does not
  RunResult run = Restore("", options);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("entry \"big.wav\""), std::string::npos);
  EXPECT_EQ(ReadBytes(dest_ + "/big.wav"), ToBytes("old"));
  EXPECT_EQ(ListTree(dest_), std::vector<std::string>{"big.wav"});
}

}  // namespace
