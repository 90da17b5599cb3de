// Decoding through the module against the faad command: ffmpeg's ADTS
// streams, the same audio as ADIF and raw streams made by hand, ID3-tagged
// streams, the stream's window, and streams that must not open.
#include <gtest/gtest.h>

#include "aac/aac_test_support.h"
#include "audio/codec_libraries/codec_libraries.h"

using namespace aac_test;

namespace {

// Rates and channel counts, low complexity, each stream in a window between
// other bytes (a second copy of it among them, which must not be decoded).
// Above 24000 Hz the module's samples and shape are those of the faad
// command (the same library). At and below it faad2 is told not to double
// the rate, which the command does: there ffmpeg's decoder is the oracle,
// past its 1024 samples of priming. Mono streams come out as two equal
// channels, as faad2 gives them. The bitrate is the frames' average.
TEST(AacRead, MatchesFaadOnFfmpegStreams) {
  TempDir dir;
  const std::string adts = dir / "in.aac", framed = dir / "framed.bin";
  for (auto [rate, channels] : {std::array{8000, 1}, {11025, 2}, {16000, 1}, {22050, 2}, {32000, 1}, {44100, 2},
                                {48000, 2}}) {
    SCOPED_TRACE(rate);
    const std::vector<int16_t> source = MusicSignal(rate / 2, channels, rate);
    ASSERT_TRUE(FfmpegAdts(dir, source, channels, rate, 48 * channels, adts));
    const Bytes stream = ReadBytes(adts);
    WriteBytes(framed, Join({test_support::ToBytes("entry before"), stream, stream}));
    platform::File file;
    std::unique_ptr<AudioStream> s;
    ASSERT_EQ(OpenRead(file, s, framed, 12, int64_t(stream.size())), 0);
    const AudioInfo& info = s->info;
    EXPECT_EQ((std::array{info.samplerate, info.channels, info.pcmbitwidth, info.format, info.sections}),
              (std::array<uint32_t, 5>{uint32_t(rate), 2, 16, FMT_MP4, 1}));
    EXPECT_EQ(s->blockwidth, 4);
    const size_t frames = SplitAdts(stream).size();
    EXPECT_NEAR(info.bitrate, 8.0 * stream.size() / frames * rate / 1024, 0.01 * info.bitrate);
    const std::vector<int16_t> decoded = ReadAll(*s);
    EXPECT_EQ(decoded.size(), size_t{info.samples} * 2);
    EXPECT_EQ(decoded.size(), (frames - 1) * 1024 * 2);  // the first frame gives none
    if (rate > 24000) {
      const Decoded faad = FaadDecode(dir, adts);
      EXPECT_EQ((std::array{faad.samplerate, faad.channels}), (std::array{info.samplerate, info.channels}));
      EXPECT_GE(AlignedSnrDb(faad.samples, decoded, 2), 50.0);
    } else {
      const std::vector<int16_t> ffmpeg = DecodeWith("ffmpeg", dir, adts);
      const std::vector<int16_t> past(ffmpeg.begin() + 1024 * channels, ffmpeg.end());
      EXPECT_GE(SnrDb(past, FirstChannels(decoded, 2, channels)), 30.0);  // noise substitution differs
    }
    EXPECT_EQ(s->close(*s), 0);
  }
}

// The same audio in the other forms, each with the shape the decoder gives:
// ADIF (whose header has no channel count), both bitstream types; an ID3
// tag of 1000 bytes before the ADTS frames; a raw stream (no header at all).
TEST(AacRead, AdifId3AndRawForms) {
  TempDir dir;
  for (int channels : {1, 2}) {
    SCOPED_TRACE(channels);
    const std::vector<int16_t> source = MusicSignal(30000, channels, 44100);
    ASSERT_TRUE(FfmpegAdts(dir, source, channels, 44100, 64 * channels, dir / "in.aac"));
    const Bytes adts = ReadBytes(dir / "in.aac");
    const Decoded faad = FaadDecode(dir, dir / "in.aac");
    ASSERT_FALSE(faad.samples.empty());
    const size_t frame = 1024u * faad.channels;
    Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 7, 0x68};
    tag.resize(1010, 'T');
    std::vector<std::pair<std::string, Bytes>> forms = {{"id3", Join({tag, adts})}, {"raw", StripAdts(adts)}};
    for (bool variable : {false, true}) {
      forms.emplace_back("adif", Join({AdifHeader(false, variable, 64000 * channels, 4, channels), StripAdts(adts)}));
    }
    for (const auto& [name, bytes] : forms) {
      SCOPED_TRACE(name);
      WriteBytes(dir / "form.bin", bytes);
      AudioInfo info;
      const std::vector<int16_t> decoded = ModuleDecode(dir / "form.bin", &info);
      EXPECT_EQ(info.channels, faad.channels);
      EXPECT_EQ(info.samplerate, faad.samplerate);
      EXPECT_GE(AlignedSnrDb(faad.samples, decoded, int(faad.channels)), 50.0);
      EXPECT_LE(decoded.size(), faad.samples.size() + frame);
      EXPECT_GE(decoded.size() + frame, faad.samples.size());
      if (name == "adif") {
        EXPECT_EQ(info.bitrate, uint32_t(64000 * channels));
      }
    }
  }
}

// Streams that must not open, each with its error number and nothing kept.
TEST(AacRead, FaultsFailTheOpen) {
  TempDir dir;
  ASSERT_TRUE(FfmpegAdts(dir, MusicSignal(8000, 1, 16000), 1, 16000, 32, dir / "in.aac"));
  const Bytes adts = ReadBytes(dir / "in.aac");
  const std::vector<AdtsFrame> frames = SplitAdts(adts);
  ASSERT_GE(frames.size(), 4u);
  Bytes badIndex = adts;
  for (const AdtsFrame& f : frames) badIndex[f.offset + 2] |= 0x3C;  // index 15
  Bytes damaged = adts;
  for (size_t i = frames[2].offset + 7; i < frames[2].offset + frames[2].length; ++i) damaged[i] ^= 0xA5;
  const Bytes oneFrame(adts.begin(), adts.begin() + long(frames[0].length));
  const Bytes onlyTag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
  for (const auto& [name, bytes, length, error] :
       {std::tuple{"index 15", badIndex, badIndex.size(), kErrorAacDecoding},
        {"damaged frame", damaged, damaged.size(), kErrorAacDecoding},
        {"garbage after the frames", Join({adts, Bytes(300, 0x5A)}), adts.size() + 300, kErrorAacDecoding},
        {"one frame: no samples", oneFrame, oneFrame.size(), kErrorAacDecoding},
        {"a tag and nothing else", Join({onlyTag, Bytes(20, 0)}), onlyTag.size() + 20, kErrorAacDecoding},
        {"window past the end of the file", adts, adts.size() + 1, kErrorShortRead}}) {
    SCOPED_TRACE(name);
    WriteBytes(dir / "bad.aac", bytes);
    platform::File file;
    std::unique_ptr<AudioStream> s;
    EXPECT_EQ(OpenRead(file, s, dir / "bad.aac", 0, int64_t(length)), error);
  }
  UnloadCodecLibraries();
  SetCodecLibraryFileName(CodecLibraryId::kAacDecoder, "libspoolex-no-such-decoder.so");
  platform::File file;
  std::unique_ptr<AudioStream> s;
  EXPECT_EQ(OpenRead(file, s, dir / "in.aac", 0, int64_t(adts.size())), kErrorAacLibrary);
  SetCodecLibraryFileName(CodecLibraryId::kAacDecoder, nullptr);
}

}  // namespace
