// SPDX-License-Identifier: GPL-2.0-or-later
// Audio entries end to end: packs made with the pack writer from files
// written by sox, restored by the spoolex program, and read back by sox.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>

#include "aac/aac_test_support.h"
#include "audio_stream/stream_test_support.h"
#include "ogg_vorbis/ogg_test_support.h"
#include "pack/pack.h"
#include "pack/pack_internal.h"
#include "tools/run_program.h"

using namespace test_support;
using stream_test::Describe;

namespace {

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
    std::filesystem::create_directories(dest_ + "/keep");
    std::filesystem::create_directory(dest_ + "/pcm");
    ASSERT_EQ(CreatePack(pak_ + ".APAK", PackKind::kAudio, &pack_), PackWriteResult::kOk);
  }

  // Adds the record of an entry whose packed stream runs from `offset` to
  // the pack file's position.
  void Record(const std::string& name, uint64_t offset, uint32_t streamFormat, const AudioInfo& stored) {
    const auto packed = static_cast<uint32_t>(platform::TellFile(PackFile(*pack_)) - offset);
    ASSERT_EQ(AddEntryRecord(*pack_, {name, uint32_t(offset), packed, 0, streamFormat, stored}), PackWriteResult::kOk);
    entries_.emplace_back(name, packed);
  }
  // Adds an entry whose packed stream is `bytes`.
  void AddBytes(const std::string& name, const Bytes& bytes, const AudioInfo& stored, uint32_t streamFormat = 0) {
    const uint64_t at = DataEnd(*pack_);
    ASSERT_EQ(platform::WriteFile(PackFile(*pack_), bytes.data(), bytes.size()), int64_t(bytes.size()));
    Record(name, at, streamFormat, stored);
  }
  // Adds an entry whose packed stream is `samples` written through the layer
  // as `packed` at the pack's data end; its streamFormat is `packed`'s major
  // code unless `streamFormat` is given.
  void AddSamples(const std::string& name, AudioInfo packed, const std::vector<int16_t>& samples,
                  const AudioInfo& stored, int64_t streamFormat = -1) {
    const uint64_t at = DataEnd(*pack_);
    AudioStream* stream = OpenStreamWrite(name.c_str(), &PackFile(*pack_), &packed);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(WriteShorts(stream, samples.data(), int64_t(samples.size())), int64_t(samples.size()));
    ASSERT_EQ(CloseStream(stream), 0);
    Record(name, at, streamFormat < 0 ? FormatMajor(packed.format) : uint32_t(streamFormat), stored);
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
  void SoxBase(const std::string& options, const std::string& seconds = "0.4") {
    ASSERT_TRUE(stream_test::RunQuietly("sox -n " + options + " '" + base_ + "' synth " + seconds +
                                        " sine 300 sine 770"));
  }

  TempDir tmp_, sox_;
  std::string pak_ = tmp_ / "game";
  std::string dest_ = tmp_ / "dest";
  std::string base_ = sox_ / "base.wav";
  PackPtr pack_;
  std::vector<std::pair<std::string, uint32_t>> entries_;  // name and packed size of each entry added
};

// Every container and lossless encoding that the layer reads and writes,
// from files sox wrote, each packed as its own bytes (keep) and as a WAV
// stream of its samples (pcm): the restored files hold the same samples in
// the same container, encoding, width, rate, channels and length. The wide
// and float files come from 16-bit samples, which the layer carries exactly.
// The frame count is odd (4411), so 8-bit mono bodies need their pad byte.
TEST_F(AudioEntries, LosslessRoundTripOfEveryWritableContainer) {
  const std::map<uint32_t, std::vector<std::pair<const char*, const char*>>> files = {  // by channels: name, options
      {1, {{"w24.wav", "-b 24"}, {"wu.wav", "-e u-law"}, {"a16.aiff", ""}, {"a32.aiff", "-b 32"}, {"u8.au", "-b 8"},
           {"u32.au", "-b 32"}, {"uf.au", "-e float"}, {"ua.au", "-e a-law"}, {"p8.paf", "-b 8"}, {"p24.paf", "-b 24"},
           {"s8.8svx", "-b 8"}, {"i16.sf", ""}, {"if.sf", "-e float"}, {"ia.sf", "-e a-law"}}},
      {2, {{"w8.wav", "-b 8"}, {"w16.wav", ""}, {"w32.wav", "-b 32"}, {"wf.wav", "-e float"}, {"wa.wav", "-e a-law"},
           {"a8.aiff", "-b 8"}, {"a24.aiff", "-b 24"}, {"af.aifc", "-e float"}, {"u16.au", ""}, {"u24.au", "-b 24"},
           {"uu.au", "-e u-law"}, {"p16.paf", ""}, {"n16.nist", ""}, {"i32.sf", "-b 32"}, {"iu.sf", "-e u-law"}}}};
  std::vector<std::pair<std::string, AudioInfo>> sources;
  for (const auto& [channels, rows] : files) {
    SoxBase("-r 11025 -b 16 -c " + std::to_string(channels), "0.4001");
    for (const auto& [name, options] : rows) {
      const std::string path = sox_ / name;
      ASSERT_TRUE(stream_test::RunQuietly("sox '" + base_ + "' " + options + " '" + path + "'")) << name;
      AudioInfo info;
      const std::vector<int16_t> samples = stream_test::ReadThroughLayer(path, info);
      ASSERT_FALSE(samples.empty()) << name;
      AddBytes(std::string("keep\\") + name, ReadBytes(path), info);
      AddSamples(std::string("pcm\\") + name,
                 Describe(FMT_WAV | FMT_PCM, info.pcmbitwidth <= 8 ? 8 : 16, info.channels, info.samplerate), samples,
                 info);
      sources.emplace_back(path, info);
    }
  }
  EXPECT_EQ(Restore().err, "");
  for (const auto& [path, want] : sources) {
    const std::vector<int32_t> source = Sox(path);
    for (const char* mode : {"/keep/", "/pcm/"}) {
      const std::string restored = dest_ + mode + std::filesystem::path(path).filename().string();
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
  const std::vector<int16_t> stereo = Sine(440, 8000, 800, 2), mono = Sine(440, 8000, 800);
  const AudioInfo wav16 = Describe(FMT_WAV | FMT_PCM, 16, 1, 8000);
  AddSamples("container.wav", Describe(FMT_AIFF | FMT_PCM, 16, 2, 8000), stereo,
             Describe(FMT_WAV | FMT_PCM, 16, 2, 8000, 800));
  AddSamples("narrow.wav", wav16, mono, Describe(FMT_WAV | FMT_PCM, 8, 1, 8000, 80));  // and shorter: 07%
  AddSamples("widen.au", wav16, mono, Describe(FMT_AU | FMT_PCM, 16, 2, 8000, 800));
  AddSamples("down.aiff", Describe(FMT_WAV | FMT_PCM, 16, 2, 8000), stereo,
             Describe(FMT_AIFF | FMT_PCM, 16, 1, 8000, 800));
  // Fewer frames decoded than stored: the rest is silence.
  AddSamples("longer.wav", wav16, mono, Describe(FMT_WAV | FMT_PCM, 16, 1, 8000, 1200));
  // An Ogg Vorbis stream recognised by its first bytes (streamFormat 0).
  AudioInfo ogg = Describe(FMT_OGG, 16, 1, 8000);
  ogg.quality = 0.4f;
  AddSamples("ogg.wav", ogg, mono, Describe(FMT_WAV | FMT_PCM, 16, 1, 8000, 800), 0);
  RunResult run = Restore("delete");
  std::string expected = "KERV_SPOOLEX v1.0\nDecompressing audio...\n";
  uint64_t packedTotal = 0, unpackedTotal = 0;
  for (const auto& [name, packed] : entries_) {
    const uint64_t unpacked = std::filesystem::file_size(dest_ + "/" + name), ratio = unpacked * 100 / packed;
    expected += name + "...audio packed (" + (ratio < 10 ? "0" : "") + std::to_string(ratio) + "%)\n";
    packedTotal += packed;
    unpackedTotal += unpacked;
  }
  char summary[100];
  std::snprintf(summary, sizeof summary, "0006  audio files %08llu packed size %08llu unpacked size\n",
                static_cast<unsigned long long>(packedTotal), static_cast<unsigned long long>(unpackedTotal));
  EXPECT_EQ(run.out, expected + std::string(49, '-') + "\n" + summary);
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(std::filesystem::exists(pak_ + ".APAK"));

  std::map<std::string, std::vector<int32_t>> want;  // on sox's 32-bit scale
  for (size_t f = 0; f < 800; ++f) {
    const int32_t m = mono[f] * 65536, left = stereo[2 * f] * 65536, right = stereo[2 * f + 1] * 65536;
    for (int32_t v : {left, right}) want["container.wav"].push_back(v);
    if (f < 80) want["narrow.wav"].push_back((mono[f] >> 8) * (1 << 24));
    for (int i = 0; i < 2; ++i) want["widen.au"].push_back(m);
    want["down.aiff"].push_back((stereo[2 * f] + stereo[2 * f + 1]) / 2 * 65536);
    want["longer.wav"].push_back(m);
  }
  want["longer.wav"].resize(1200, 0);
  for (const auto& [name, samples] : want) EXPECT_EQ(Sox(dest_ + "/" + name), samples) << name;
  EXPECT_EQ(Sox(dest_ + "/ogg.wav").size(), 800u);
}

// Faults of single entries: the reader's code and reason, and no file
// written.
TEST_F(AudioEntries, FaultsOfSingleEntries) {
  SoxBase("-r 8000 -b 16 -c 1");
  AudioInfo good;
  ASSERT_FALSE(stream_test::ReadThroughLayer(base_, good).empty());
  auto with = [&](uint32_t AudioInfo::*field, uint32_t value) {
    AudioInfo info = good;
    info.*field = value;
    return info;
  };
  const Bytes wav = ReadBytes(base_);  // 3200 frames
  ASSERT_TRUE(stream_test::RunQuietly("sox -n -r 999 -b 16 -c 1 '" + sox_ / "999.wav" + "' synth 0.4 sine 300"));
  const Bytes slow = ReadBytes(sox_ / "999.wav");
  const Bytes bomb = ogg_test::SilentVorbisStream(255, 48000, 9);  // claims 2.4e9 samples in 4.8 kB
  const std::tuple<const char*, Bytes, uint32_t, AudioInfo, int> rows[] = {  // name, stream, streamFormat, stored, code
      {"empty.wav", {}, 0, good, kPackAudioFailed},  // a length of 0 would reach to the end of the pack
      {"missing\\a.wav", wav, 0, good, kPackFileError},
      {"asked-as-ogg.wav", wav, FMT_OGG, good, kPackAudioFailed},
      {"zero-channels.wav", wav, 0, with(&AudioInfo::channels, 0), kPackBadPack},
      {"257-channels.wav", wav, 0, with(&AudioInfo::channels, 257), kPackBadPack},
      {"zero-rate.wav", wav, 0, with(&AudioInfo::samplerate, 0), kPackBadPack},
      {"33-bits.wav", wav, 0, with(&AudioInfo::pcmbitwidth, 33), kPackBadPack},
      {"huge.wav", wav, 0, with(&AudioInfo::samples, 0xFFFFFFFF), kPackBadPack},
      {"not-writable.wav", wav, 0, with(&AudioInfo::format, FMT_VOC | FMT_PCM), kPackFileError},
      // No real audio, or a conversion no real source needs: refused before
      // the rate converter runs.
      {"stored-999Hz.wav", wav, 0, with(&AudioInfo::samplerate, 999), kPackBadPack},
      {"stored-768001Hz.wav", wav, 0, with(&AudioInfo::samplerate, 768001), kPackBadPack},
      {"65-to-1.wav", wav, 0, with(&AudioInfo::samplerate, 8000 * 65), kPackBadPack},
      {"stream-999Hz.wav", slow, 0, good, kPackAudioFailed},
      // More stored frames than one second of padding allows.
      {"padded.wav", wav, 0, with(&AudioInfo::samples, 3200 + 8000 + 1), kPackBadPack},
      {"ogg-bomb.wav", bomb, 0, Describe(FMT_WAV | FMT_PCM, 16, 2, 48000, 1000), kPackAudioFailed},
  };
  for (const auto& [name, stream, format, stored, code] : rows) AddBytes(name, stream, stored, format);
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  PackPtr pack;
  ASSERT_EQ(OpenPack(pak_ + ".APAK", PackKind::kAudio, &pack), kPackOk);
  platform::Destination destination;
  ASSERT_TRUE(destination.Open(dest_));
  for (const auto& [entry, stream, format, stored, code] : rows) {
    std::string name, reason;
    uint32_t packed = 0, unpacked = 0;
    EXPECT_EQ(NextEntry(destination, &name, *pack, &packed, &unpacked, &reason), code) << entry;
    EXPECT_FALSE(reason.empty()) << entry;
    if (entry == std::string("padded.wav")) {
      EXPECT_NE(reason.find("11201 frames for a stream of 3200 frames at 8000 Hz"), std::string::npos) << reason;
    }
  }
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"keep", "pcm"}));
}

// AAC streams made by ffmpeg, back to back in the pack (one behind an ID3
// tag), restored by spoolex: stored with the shape faad gives it (two
// channels), a 44100 Hz stream comes back as the faad command decodes it;
// stored with the source's shape, each comes back near its source.
TEST_F(AudioEntries, AacStreamsRestoredAsFaadDecodesThem) {
  TempDir work;
  std::map<std::string, std::vector<int16_t>> want;
  Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 1, 0};
  tag.resize(138, 0);
  for (auto [rate, channels] : {std::array{8000, 1}, {22050, 2}, {44100, 2}}) {
    const std::string name = std::to_string(rate) + ".wav";
    want[name] = aac_test::MusicSignal(rate / 2, channels, rate);
    ASSERT_TRUE(aac_test::FfmpegAdts(work, want[name], channels, rate, 64 * channels, work / "in.aac"));
    const Bytes adts = aac_test::Join({rate == 22050 ? tag : Bytes(), ReadBytes(work / "in.aac")});
    AddBytes(name, adts, Describe(FMT_WAV | FMT_PCM, 16, channels, rate, rate / 2), FMT_MP4);
    if (rate == 44100) {
      const std::vector<int16_t>& faad = want["faad.wav"] = aac_test::FaadDecode(work, work / "in.aac").samples;
      AddBytes("faad.wav", adts, Describe(FMT_WAV | FMT_PCM, 16, 2, rate, uint32_t(faad.size() / 2)), FMT_MP4);
    }
  }
  EXPECT_EQ(Restore().err, "");
  for (const auto& [name, samples] : want) {
    std::vector<int32_t> got = Sox(dest_ + "/" + name);
    for (int32_t& v : got) v /= 65536;
    EXPECT_EQ(got.size(), samples.size()) << name;
    EXPECT_GE(stream_test::SnrDb(samples, got), name == "faad.wav" ? 50.0 : 15.0) << name;
  }
}

// An output that cannot be written whole fails the entry and leaves the old
// file of that name, and no temporary file, behind.
TEST_F(AudioEntries, AFailedOutputLeavesTheOldFile) {
  WriteBytes(dest_ + "/big.wav", ToBytes("old"));
  AddSamples("big.wav", Describe(FMT_WAV | FMT_PCM, 8, 2, 8000), Sine(440, 8000, 100000, 2),
             Describe(FMT_WAV | FMT_PCM, 16, 2, 8000, 100000));
  RunOptions options;
  options.fileSizeLimit = 250000;  // the pack fits, the restored file does not
  RunResult run = Restore("", options);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("entry \"big.wav\""), std::string::npos);
  EXPECT_NE(run.err.find(": File too large"), std::string::npos) << run.err;  // the system's reason
  EXPECT_EQ(ReadBytes(dest_ + "/big.wav"), ToBytes("old"));
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"big.wav", "keep", "pcm"}));
}

// The hostile pack whose 42 channels at 9 Hz kept the rate converter busy
// for seconds: refused with the stream's code, nothing written.
TEST_F(AudioEntries, ATinyPackCannotAskForHugeWork) {
  std::filesystem::copy_file(std::string(SPOOLEX_SOURCE_DIR) + "/tests/data/slow-resample.APAK",
                             tmp_ / "slow-resample.APAK");
  std::filesystem::create_directory(dest_ + "/sfx");
  RunResult run = RunProgram({SpoolexPath(), tmp_ / "slow-resample", dest_});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("a sample rate of 9 Hz"), std::string::npos) << run.err;
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"keep", "pcm", "sfx"}));
}

// The pack is cut inside an entry's stream after it was opened: the reads
// the stream's window promised fail, and the entry fails (as verify finds)
// instead of being written with silence in place of the missing samples.
TEST_F(AudioEntries, AReadThatFailsFailsTheEntry) {
  AudioInfo ogg = Describe(FMT_OGG, 16, 2, 22050);
  ogg.quality = 0.4f;
  AddSamples("cut.wav", Describe(FMT_WAV | FMT_PCM, 16, 2, 22050), Sine(440, 22050, 20000, 2),
             Describe(FMT_WAV | FMT_PCM, 16, 2, 22050, 20000));
  AddSamples("cut.ogg.wav", ogg, Sine(440, 22050, 20000, 2), Describe(FMT_WAV | FMT_PCM, 16, 2, 22050, 20000));
  ASSERT_EQ(FinishPack(*pack_), PackWriteResult::kOk);
  pack_.reset();
  const Bytes whole = ReadBytes(pak_ + ".APAK");
  platform::Destination destination;
  ASSERT_TRUE(destination.Open(dest_));
  uint32_t offset = 16;
  for (const auto& [name, packed] : entries_) {
    SCOPED_TRACE(name);
    for (bool verify : {false, true}) {
      WriteBytes(pak_ + ".APAK", whole);
      PackPtr pack;
      ASSERT_EQ(OpenPack(pak_ + ".APAK", PackKind::kAudio, &pack), kPackOk);
      std::filesystem::resize_file(pak_ + ".APAK", offset + packed / 2);
      DirectoryEntry entry;
      ASSERT_EQ(NextRecord(*pack, &entry), kPackOk);
      while (entry.name != name) ASSERT_EQ(NextRecord(*pack, &entry), kPackOk);
      std::string reason;
      uint32_t unpacked = 0;
      const int rc = verify ? ExtractEntry(*pack, entry, EntryOutput{}, &unpacked, &reason)
                            : RestoreAudioData(*pack, entry, destination, name, &unpacked, &reason);
      EXPECT_EQ(rc, kPackAudioFailed);
      EXPECT_NE(reason.find("Short read error. (19)"), std::string::npos) << reason;
    }
    offset += packed;
  }
  EXPECT_EQ(ListTree(dest_), (std::vector<std::string>{"keep", "pcm"}));
}

}  // namespace
