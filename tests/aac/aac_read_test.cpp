// SPDX-License-Identifier: GPL-2.0-or-later
// Decoding through the module against the faad command: ffmpeg's ADTS
// streams in a window, the same audio as ADIF and raw streams made by hand
// and behind an ID3 tag, streams that must not open, and, through a
// stand-in faad2, what the module takes from the decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "aac/aac_test_support.h"
#include "audio/aac/aac_input.h"

using namespace aac_test;

namespace {

// ffmpeg's ADTS streams, each in a window between other bytes with a second
// copy among them: every frame but the first gives 1024 samples per
// channel, nothing comes from past the window, mono comes out as two equal
// channels (as faad2 gives it) at the stream's own rate, and the bitrate is
// the frames' average. At 44100 Hz (below 24000 Hz the faad command doubles
// the rate, the module does not) the samples are the faad command's, and
// the same audio behind an ID3 tag of 1000 bytes, as a raw stream and as
// ADIF of both bitstream types (no channel count in the header: the
// decoder's is taken) decodes to them too.
TEST(AacRead, FfmpegStreamsAndTheirForms) {
  TempDir dir;
  for (auto [rate, channels] : {std::array{16000, 2}, {44100, 1}}) {
    ASSERT_TRUE(FfmpegAdts(dir, MusicSignal(rate / 2, channels, rate), channels, rate, 48 * channels, dir / "in.aac"));
    const Bytes adts = ReadBytes(dir / "in.aac");
    WriteBytes(dir / "framed.bin", Join({test_support::ToBytes("entry before"), adts, adts}));
    platform::File file;
    std::unique_ptr<AudioStream> s;
    ASSERT_EQ(OpenRead(file, s, dir / "framed.bin", 12, int64_t(adts.size())), 0);
    const AudioInfo& info = s->info;
    const size_t frames = AdtsFrames(adts).size() - 1;
    EXPECT_EQ((std::array{info.samplerate, info.channels, info.pcmbitwidth, info.format, info.samples}),
              (std::array<uint32_t, 5>{uint32_t(rate), 2, 16, FMT_MP4, uint32_t(frames - 1) * 1024}));
    EXPECT_NEAR(info.bitrate, 8.0 * adts.size() / frames * rate / 1024, 0.01 * info.bitrate);
    const std::vector<int16_t> decoded = ReadAll(*s);
    EXPECT_EQ(decoded.size(), (frames - 1) * 1024 * 2);
    if (rate != 44100) continue;
    const Decoded faad = FaadDecode(dir, dir / "in.aac");
    EXPECT_GE(SnrDb(faad.samples, decoded), 50.0);
    Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 7, 0x68};
    tag.resize(1010, 'T');
    for (const Bytes& form : {Join({tag, adts}), StripAdts(adts),
                              Join({AdifHeader(false, false, 48000, 4, 1), StripAdts(adts)}),
                              Join({AdifHeader(false, true, 48000, 4, 1), StripAdts(adts)})}) {
      WriteBytes(dir / "form.bin", form);
      AudioInfo found;
      const std::vector<int16_t> samples = ModuleDecode(dir / "form.bin", &found);
      EXPECT_EQ((std::array{found.channels, found.samplerate}), (std::array{faad.channels, faad.samplerate}));
      EXPECT_EQ(samples.size(), faad.samples.size()) << form[0];
      EXPECT_GE(SnrDb(faad.samples, samples), 50.0) << form[0];
    }
  }
}

// TMPDIR set to `folder` while it lives, as it was afterwards.
class TemporaryFolderSet {
 public:
  explicit TemporaryFolderSet(const std::string& folder) {
    if (const char* was = std::getenv("TMPDIR")) was_ = was;
    setenv("TMPDIR", folder.c_str(), 1);
  }
  ~TemporaryFolderSet() {
    if (was_) {
      setenv("TMPDIR", was_->c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> was_;
};

// A stream of more samples than the open keeps in memory and more bytes
// than the decoder is given at a time: in pieces of any size, and with the
// file moved between reads, it gives the samples of one whole read, as many
// as the open announced. They come from the open's count, so a file cut
// after the open still gives them all. Where no temporary file can be made
// (TMPDIR a folder that does not exist) the reads decode the stream again,
// to the same samples, and the cut file ends the stream early, with 19 and
// the system's reason.
TEST(AacRead, LongStreamsDecodeOnce) {
  TempDir dir;
  const std::vector<int16_t> half = MusicSignal(96000 / 2, 6, 96000);
  std::vector<int16_t> signal;
  for (int i = 0; i < 15; ++i) signal.insert(signal.end(), half.begin(), half.end());
  ASSERT_TRUE(FfmpegAdts(dir, signal, 6, 96000, 384, dir / "long.aac"));
  const std::string path = dir / "long.aac";
  const int64_t size = int64_t(ReadBytes(path).size());
  ASSERT_GT(size, int64_t{kAacInputBytes});
  platform::File file;
  std::unique_ptr<AudioStream> s;
  ASSERT_EQ(OpenRead(file, s, path, 0, size), 0);
  const int64_t total = int64_t{s->info.samples} * 6;
  ASSERT_GT(total, kAacKeptSamples);
  std::vector<int16_t> whole(size_t(total) + 10);
  EXPECT_EQ(s->readShort(*s, whole.data(), int64_t(whole.size())), total);
  whole.resize(size_t(total));
  EXPECT_EQ(s->close(*s), 0);
  // Reads of one frame, of a few, and of many frames in turn.
  ASSERT_EQ(OpenRead(file, s, path, 0, size), 0);
  std::vector<int16_t> got, buffer(12288);
  const int64_t pieces[] = {6, 6, 42, 12288, 6, 1002};
  for (int64_t n, i = 0; (n = s->readShort(*s, buffer.data(), pieces[i % 6])) > 0; ++i) {
    got.insert(got.end(), buffer.begin(), buffer.begin() + n);
    platform::SeekFile(file, 0, platform::SeekOrigin::kBegin);
  }
  EXPECT_TRUE(got == whole);
  EXPECT_EQ(s->close(*s), 0);
  const std::string cut = dir / "cut.aac";
  for (bool spill : {true, false}) {
    std::optional<TemporaryFolderSet> nowhere;
    if (!spill) nowhere.emplace(dir / "no-such-folder");
    std::filesystem::copy_file(path, cut, std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(OpenRead(file, s, cut, 0, size), 0);
    std::vector<int16_t> got(size_t(total) + 10);
    ASSERT_EQ(s->readShort(*s, got.data(), 4096), 4096);
    platform::File writable = platform::OpenExistingReadWrite(cut);
    ASSERT_TRUE(platform::TruncateFile(writable, size / 2));
    const int64_t rest = s->readShort(*s, got.data() + 4096, total);
    if (spill) {
      EXPECT_EQ(rest, total - 4096);
      got.resize(size_t(total));
      EXPECT_TRUE(got == whole);
      EXPECT_EQ(s->error, kErrorNone);
    } else {
      EXPECT_GT(rest, 0);
      EXPECT_LT(rest, total - 4096);
      EXPECT_TRUE(std::equal(got.begin(), got.begin() + 4096 + rest, whole.begin()));
      EXPECT_EQ(s->error, kErrorShortRead);
      EXPECT_EQ(s->systemError, ENODATA);
    }
    EXPECT_EQ(s->close(*s), 0);
  }
}

// Streams that must not open, each with its error number.
TEST(AacRead, FaultsFailTheOpen) {
  TempDir dir;
  ASSERT_TRUE(FfmpegAdts(dir, MusicSignal(8000, 1, 16000), 1, 16000, 32, dir / "in.aac"));
  const Bytes adts = ReadBytes(dir / "in.aac");
  const std::vector<size_t> frames = AdtsFrames(adts);
  ASSERT_GE(frames.size(), 5u);
  Bytes badIndex = adts, damaged = adts;
  for (size_t i = 0; i + 1 < frames.size(); ++i) badIndex[frames[i] + 2] |= 0x3C;  // index 15
  for (size_t i = frames[2] + 7; i < frames[3]; ++i) damaged[i] ^= 0xA5;
  const Bytes onlyTag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
  for (const auto& [bytes, length, error] :
       {std::tuple{badIndex, badIndex.size(), kErrorAacDecoding},
        {damaged, damaged.size(), kErrorAacDecoding},
        {Join({adts, Bytes(300, 0x5A)}), adts.size() + 300, kErrorAacDecoding},  // garbage after the frames
        {Bytes(adts.begin(), adts.begin() + long(frames[1])), frames[1], kErrorAacDecoding},  // one frame: no samples
        {Join({onlyTag, Bytes(20, 0)}), onlyTag.size() + 20, kErrorAacDecoding},
        {adts, adts.size() + 1, kErrorShortRead}}) {  // a window past the end of the file
    WriteBytes(dir / "bad.aac", bytes);
    platform::File file;
    std::unique_ptr<AudioStream> s;
    EXPECT_EQ(OpenRead(file, s, dir / "bad.aac", 0, int64_t(length)), error) << length;
  }
  LibraryInPlace missing(CodecLibraryId::kAacDecoder, "libspoolex-no-such-decoder.so");
  platform::File file;
  std::unique_ptr<AudioStream> s;
  EXPECT_EQ(OpenRead(file, s, dir / "in.aac", 0, int64_t(adts.size())), kErrorAacLibrary);
}

// Through a stand-in decoder, behind an ID3 tag: faad2 is configured for
// 16-bit output at the streams' own rate and given the bytes after the tag.
// The channels and rate it reports for the first frame hold over the ADTS
// header's (an HE-AAC stream doubles the rate, a mono one may come out as
// two channels); the header's fill in where it reports none, and ADIF,
// which has no channel count, then fails with 8. Exactly the samples of
// each frame are kept, none for a frame that returns none. A stream that
// decodes to more than 1024 samples per byte consumed fails with 81.
TEST(AacRead, TheDecoderIsTrustedThroughAStandIn) {
  TempDir dir;
  LibraryInPlace stub(CodecLibraryId::kAacDecoder, STUB_DECODER_PATH);
  Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 90};
  tag.resize(100, 'T');
  const Bytes adts = Join({tag, AdtsFrame(100, 7), AdtsFrame(100, 7), AdtsFrame(100, 7), AdtsFrame(100, 7)});
  const unsigned long counts[] = {0, 2048, 1000, 0};
  std::copy(std::begin(counts), std::end(counts), &stub.Variable<unsigned long>("stub_frame_samples"));
  std::vector<int16_t> want;
  for (int call = 0; call < 4; ++call) {
    for (unsigned long i = 0; i < counts[call]; ++i) want.push_back(int16_t(call * 1000 + int(i % 1000)));
  }
  WriteBytes(dir / "in.aac", adts);
  for (auto [channels, rate, wantChannels, wantRate] :
       {std::array<uint32_t, 4>{1, 44100, 1, 44100}, {0, 0, 2, 22050}}) {
    stub.Variable<unsigned char>("stub_channels") = static_cast<unsigned char>(channels);
    stub.Variable<unsigned long>("stub_samplerate") = rate;
    AudioInfo info;
    EXPECT_EQ(ModuleDecode(dir / "in.aac", &info), want);
    EXPECT_EQ((std::array{info.channels, info.samplerate, info.samples}),
              (std::array{wantChannels, wantRate, uint32_t(want.size()) / wantChannels}));
    const auto& config = stub.Variable<NeAACDecConfiguration>("stub_applied");
    EXPECT_EQ((std::array<int, 3>{config.outputFormat, config.dontUpSampleImplicitSBR,
                                  int(stub.Variable<unsigned long>("stub_init_bytes"))}),
              (std::array<int, 3>{FAAD_FMT_16BIT, 1, int(adts.size() - tag.size())}));
  }
  platform::File file;
  std::unique_ptr<AudioStream> s;
  const Bytes adif = Join({AdifHeader(false, true, 64000, 4, 2), Bytes(400, 0)});
  WriteBytes(dir / "in.aac", adif);
  EXPECT_EQ(OpenRead(file, s, dir / "in.aac", 0, int64_t(adif.size())), kErrorMemory);
  stub.Variable<unsigned char>("stub_channels") = 2;
  stub.Variable<unsigned long>("stub_frame_bytes") = 1;
  std::fill_n(&stub.Variable<unsigned long>("stub_frame_samples"), 8, 2048);
  EXPECT_EQ(OpenRead(file, s, dir / "in.aac", 0, int64_t(adif.size())), kErrorAacDecoding);
}

}  // namespace
