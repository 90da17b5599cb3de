// The stream layer with the Ogg Vorbis module behind it: recognition inside
// a window, an encoder that refuses its settings, and abandoning a stream.
#include <gtest/gtest.h>

#include "audio/stream/audio_stream.h"
#include "ogg_vorbis/ogg_test_support.h"

using namespace ogg_test;

namespace {

// Two oggenc streams back to back after some other bytes: each opens with
// format 0 inside its own window and decodes to its own length only.
TEST(OggStream, RecognisedInsideAWindowWithAnotherStreamAfterIt) {
  TempDir dir;
  const std::vector<int16_t> first = MusicSignal(8000, 1, 8000), second = MusicSignal(3000, 2, 22050);
  ASSERT_TRUE(OggEncode(dir, first, 1, 8000, 2, dir / "a.ogg"));
  ASSERT_TRUE(OggEncode(dir, second, 2, 22050, 2, dir / "b.ogg"));
  std::vector<uint8_t> file(37, 'x'), a = ReadBytes(dir / "a.ogg"), b = ReadBytes(dir / "b.ogg");
  file.insert(file.end(), a.begin(), a.end());
  file.insert(file.end(), b.begin(), b.end());
  WriteBytes(dir / "pack", file.data(), file.size());
  platform::File pack = platform::OpenExistingReadOnly(dir / "pack");
  struct Window {
    int64_t offset;
    size_t length;
    uint32_t channels, rate, frames;
  };
  for (const Window& w : {Window{37, a.size(), 1, 8000, 8000}, Window{int64_t(37 + a.size()), b.size(), 2, 22050, 3000}}) {
    ASSERT_EQ(platform::SeekFile(pack, w.offset, platform::SeekOrigin::kBegin), w.offset);
    AudioInfo info;
    StreamPtr stream(OpenStreamRead("entry.wav", &pack, &info, static_cast<uint32_t>(w.length)));
    ASSERT_NE(stream, nullptr) << LastError();
    EXPECT_EQ((std::array{info.format, info.channels, info.samplerate, info.samples}),
              (std::array{FMT_OGG, w.channels, w.rate, w.frames}));
  }
}

// Bitrate-managed mode with no bit rate: libvorbisenc refuses, the close
// says so and nothing is written.
TEST(OggStream, RefusedEncoderSettingsCloseWith21) {
  TempDir dir;
  WriteBytes(dir / "pack", "head", 4);
  platform::File pack = platform::OpenExistingReadWrite(dir / "pack");
  ASSERT_EQ(platform::SeekFile(pack, 4, platform::SeekOrigin::kBegin), 4);
  AudioInfo info;
  info.format = FMT_OGG;
  info.channels = 2;
  info.samplerate = 44100;
  info.quality = kQualityNotSet;
  AudioStream* stream = OpenStreamWrite("entry.ogg", &pack, &info);
  ASSERT_NE(stream, nullptr);
  const std::vector<int16_t> samples = MusicSignal(4410, 2, 44100);
  ASSERT_EQ(WriteShorts(stream, samples.data(), int64_t(samples.size())), int64_t(samples.size()));
  EXPECT_EQ(CloseStream(stream), 21);
  EXPECT_EQ(platform::FileSize(pack), 4);
}

// An abandoned stream of OpenFileWrite leaves the old file and nothing else.
TEST(OggStream, AbandonedOutputLeavesTheOldFile) {
  TempDir dir;
  for (uint32_t format : {FMT_OGG, FMT_WAV | FMT_PCM}) {
    WriteBytes(dir / "out", "old", 3);
    AudioInfo info;
    info.format = format;
    info.channels = 1;
    info.samplerate = 8000;
    info.pcmbitwidth = 16;
    info.quality = 0.4f;
    AudioStream* stream = OpenFileWrite((dir / "out").c_str(), &info);
    ASSERT_NE(stream, nullptr);
    const std::vector<int16_t> samples = MusicSignal(8000, 1, 8000);
    ASSERT_EQ(WriteShorts(stream, samples.data(), int64_t(samples.size())), int64_t(samples.size()));
    EXPECT_EQ(AbandonStream(stream), 0);
    EXPECT_EQ(ReadBytes(dir / "out"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
  }
}

}  // namespace
