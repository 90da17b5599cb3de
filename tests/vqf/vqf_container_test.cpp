// SPDX-License-Identifier: GPL-2.0-or-later
// The VQF container through the stream layer, against the fixture
// libraries: headers and frames compared with bytes laid out by hand, the
// header walk, the decode loop's drops, clipping and window, reading and
// writing in pieces as the frames come, and every way the encoding fails.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>

#include "audio/stream/audio_stream.h"
#include "audio_stream/stream_test_support.h"
#include "vqf/vqf_test_support.h"

using namespace vqf_test;

namespace {

constexpr int kFrame = 8;  // the "samples" configuration's samples per channel

AudioInfo VqfInfo(uint32_t rate, uint32_t channels, uint32_t bitrate, uint16_t option = 0) {
  AudioInfo info = stream_test::Describe(FMT_VQF, 16, channels, rate);
  info.bitrate = bitrate;
  info.codecOption = option;
  return info;
}

// Writes `samples` as a VQF stream at the file's position, `piece` frames
// at a time (0: all at once); returns what CloseStream yields, or -1 when
// the open fails.
int WriteVqf(platform::File& file, AudioInfo info, const std::vector<int16_t>& samples, int64_t piece = 0) {
  AudioStream* stream = OpenStreamWrite("out.vqf", &file, &info);
  if (stream == nullptr) return -1;
  const int64_t step = piece == 0 ? std::max<int64_t>(int64_t(samples.size()), 1) : piece * info.channels;
  for (int64_t at = 0; at < int64_t(samples.size()); at += step) {
    const int64_t n = std::min(step, int64_t(samples.size()) - at);
    EXPECT_EQ(WriteShorts(stream, samples.data() + at, n), n);
  }
  return CloseStream(stream);
}

// Every sample of the VQF stream of `length` bytes (0: to the end) at
// `offset`, read `piece` frames at a time (0: all at once); empty, with
// LastError() saying why, when it does not open.
std::vector<int16_t> ReadVqf(platform::File& file, AudioInfo& info, int64_t offset = 0, uint32_t length = 0,
                             int64_t piece = 0) {
  platform::SeekFile(file, offset, platform::SeekOrigin::kBegin);
  info = AudioInfo{};
  info.format = FMT_VQF;
  StreamPtr stream(OpenStreamRead("in.vqf", &file, &info, length));
  if (!stream) return {};
  std::vector<int16_t> samples(size_t{info.samples} * info.channels);
  const int64_t step = piece == 0 ? std::max<int64_t>(int64_t(samples.size()), 1) : piece * info.channels;
  for (int64_t at = 0; at < int64_t(samples.size()); at += step) {
    const int64_t n = std::min(step, int64_t(samples.size()) - at);
    EXPECT_EQ(ReadShorts(stream.get(), samples.data() + at, n), n);
  }
  return samples;
}

// A mono "samples" frame of eight equal values, or of the values given.
void Frame(Bits& bits, int value, int windowType = 0) { SamplesFrame(bits, std::vector<int>(kFrame, value), windowType); }

std::vector<uint8_t> MonoFile(const std::vector<uint8_t>& header, int frames) {
  Bits bits;
  bits.Append(header);
  for (int i = 0; i < frames; ++i) Frame(bits, 100 * i);
  return bits.bytes;
}

using VqfContainer = FixtureLibraries;

TEST_F(VqfContainer, WrittenHeadersAndFramesAreAsLaidOutAndReadBack) {
  struct Case {
    uint32_t rate, channels, bitrate;
    int mode, kbits, khz;
    int whole, rest;  // whole frames, and samples of one more
  };
  for (const Case& c : {Case{44100, 2, 48000, 1, 96, 44, 3, 0}, Case{22050, 1, 32000, 0, 32, 22, 2, 0},
                        Case{11025, 1, 20000, 0, 20, 11, 1, 0}, Case{8000, 1, 24999, 0, 24, 8, 3, 5}}) {
    SCOPED_TRACE(c.rate);
    const int block = kFrame * int(c.channels);
    std::vector<int16_t> samples(size_t(c.whole * block + c.rest * int(c.channels)));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(int(i * 7919 % 60001) - 30000);
    platform::File file = MemoryFile();
    ASSERT_EQ(WriteVqf(file, VqfInfo(c.rate, c.channels, c.bitrate), samples), 0);
    // Frames are encoded as their samples arrive, in pieces of any size.
    for (int64_t piece : {1, 3, 8, 9, 1000}) {
      platform::File pieces = MemoryFile();
      ASSERT_EQ(WriteVqf(pieces, VqfInfo(c.rate, c.channels, c.bitrate), samples, piece), 0);
      EXPECT_EQ(FileBytes(pieces), FileBytes(file)) << piece;
    }

    // Two frames of the coder's delay, the whole frames, the rest padded
    // with silence: N + 3 frames, each channel after channel.
    Bits expected;
    expected.Append(HandHeader(Comm(c.mode, c.kbits, c.khz)));
    for (int i = 0; i < 2; ++i) SamplesFrame(expected, std::vector<int>(size_t(block), 0));
    for (int f = 0; f <= c.whole; ++f) {
      std::vector<int> frame(size_t(block), 0);
      for (int k = 0; k < block; ++k) {
        const size_t at = size_t(f * block + (k % kFrame) * int(c.channels) + k / kFrame);
        if (at < samples.size()) frame[size_t(k)] = samples[at];
      }
      SamplesFrame(expected, frame);
    }
    EXPECT_EQ(FileBytes(file), expected.bytes);

    AudioInfo info;
    std::vector<int16_t> read = ReadVqf(file, info);
    EXPECT_EQ(info.samplerate, c.rate);
    EXPECT_EQ(info.channels, c.channels);
    EXPECT_EQ(info.bitrate, uint32_t(c.kbits * 1000) / c.channels);  // what writing it back needs
    EXPECT_EQ(info.pcmbitwidth, 16u);
    ASSERT_EQ(info.samples, uint32_t((c.whole + 1) * kFrame));
    std::vector<int16_t> want = samples;
    want.resize(read.size(), 0);
    EXPECT_EQ(read, want);
    for (int64_t piece : {1, 5, 8, 11}) EXPECT_EQ(ReadVqf(file, info, 0, 0, piece), want) << piece;
  }
}

TEST_F(VqfContainer, TheHeaderWalkAndWhatRefusesAStream) {
  for (auto [khz, rate] : {std::pair{8, 8000u}, {11, 11025u}, {16, 16000u}, {22, 22050u}}) {
    platform::File file = MemoryFile(MonoFile(HandHeader(Comm(0, 20, khz)), 3));
    AudioInfo info;
    EXPECT_EQ(ReadVqf(file, info).size(), size_t{kFrame});
    EXPECT_EQ(info.samplerate, rate);
  }
  // Chunks before "DATA" are skipped, and the bytes of "COMM" past its fields.
  std::vector<uint8_t> chunks = {'J', 'U', 'N', 'K', 0, 0, 0, 5, 1, 2, 3, 4, 5};
  for (uint8_t b : Comm(0, 20, 44, 20)) chunks.push_back(b);
  platform::File skipped = MemoryFile(MonoFile(HandHeader(chunks), 4));
  AudioInfo info;
  std::vector<int16_t> frames23(8, 200);
  frames23.resize(16, 300);
  EXPECT_EQ(ReadVqf(skipped, info), frames23);
  EXPECT_EQ(info.samplerate, 44100u);

  std::vector<uint8_t> noData = HandHeader(Comm(0, 20, 44));
  noData.resize(noData.size() - 4);
  std::vector<uint8_t> pastWindow = {'J', 'U', 'N', 'K', 0, 0, 1, 0};
  const struct {
    std::vector<uint8_t> bytes;
    int error;
  } refused[] = {
      {noData, 71},
      {MonoFile(HandHeader(pastWindow), 3), 71},
      {MonoFile(HandHeader(Comm(0, 20, 44, 12)), 3), 75},
      {MonoFile(HandHeader({}), 3), 74},  // no "COMM": the fixture's set-up refuses a bit rate of 0
      {MonoFile(HandHeader(Comm(2, 20, 44)), 3), 73},
      {MonoFile(HandHeader(Comm(0, 20, 44), "TWIN97012001"), 3), 77},
      {MonoFile(HandHeader(Comm(0, 20, 44)), 2), 8},  // fewer than three frames
  };
  for (const auto& r : refused) {
    platform::File file = MemoryFile(r.bytes);
    EXPECT_TRUE(ReadVqf(file, info).empty());
    EXPECT_EQ(LastError(), r.error);
  }
}

TEST_F(VqfContainer, DecodingDropsTwoFramesClipsAndStaysInItsWindow) {
  Bits bits;
  bits.Append(HandHeader(Comm(0, 20, 44)));
  Frame(bits, 1);
  Frame(bits, 2);
  SamplesFrame(bits, {40000, -40000, 32767, -32768, 5, -5, 0, 7});
  Frame(bits, 3);
  Frame(bits, 4, 1);  // a window type the decoder rejects ends the stream
  Frame(bits, 5);
  platform::File file = MemoryFile(bits.bytes);
  AudioInfo info;
  EXPECT_EQ(ReadVqf(file, info), (std::vector<int16_t>{32767, -32768, 32767, -32768, 5, -5, 0, 7, 3, 3, 3, 3, 3, 3, 3, 3}));

  // A stream followed by another entry's bytes, which would read as frames.
  std::vector<uint8_t> pack = {'e', 'n', 't', 'r', 'y'};
  const std::vector<uint8_t> own = MonoFile(HandHeader(Comm(0, 20, 44)), 3);
  pack.insert(pack.end(), own.begin(), own.end());
  pack.resize(pack.size() + 200, 0);
  platform::File packFile = MemoryFile(pack);
  EXPECT_EQ(ReadVqf(packFile, info, 5, uint32_t(own.size())), std::vector<int16_t>(8, 200));
  EXPECT_GT(ReadVqf(packFile, info, 5).size(), size_t{kFrame});  // the window is what stops it
}

// Reads decode the frames as they go, reading each block of bits at the
// stream's own position: moving the file between reads changes nothing, and
// a file cut after the open delivers what it still holds, then says why the
// stream ended early (19, with the system's reason).
TEST_F(VqfContainer, ReadsDecodeAsTheyGoAtTheStreamsOwnPositions) {
  test_support::TempDir dir;
  Bits bits;
  bits.Append(HandHeader(Comm(0, 20, 44)));
  for (int i = 0; i < 200; ++i) Frame(bits, (i * 37) % 2000 - 1000);  // 138 bits each: 27 blocks of bits
  const std::string path = dir / "in.vqf";
  test_support::WriteBytes(path, bits.bytes);
  platform::File file = platform::OpenExistingReadWrite(path);
  AudioInfo info;
  const std::vector<int16_t> whole = ReadVqf(file, info);
  ASSERT_EQ(whole.size(), size_t{198 * kFrame});

  platform::SeekFile(file, 0, platform::SeekOrigin::kBegin);
  StreamPtr moved(OpenStreamRead("in.vqf", &file, &info, 0));
  ASSERT_TRUE(moved);
  std::vector<int16_t> got(whole.size());
  ASSERT_EQ(ReadShorts(moved.get(), got.data(), 99 * kFrame), 99 * kFrame);
  platform::SeekFile(file, 7, platform::SeekOrigin::kBegin);
  ASSERT_EQ(ReadShorts(moved.get(), got.data() + 99 * kFrame, 99 * kFrame), 99 * kFrame);
  EXPECT_EQ(got, whole);

  platform::SeekFile(file, 0, platform::SeekOrigin::kBegin);
  StreamPtr cut(OpenStreamRead("in.vqf", &file, &info, 0));
  ASSERT_TRUE(cut);
  ASSERT_EQ(ReadShorts(cut.get(), got.data(), kFrame), kFrame);
  ASSERT_TRUE(platform::TruncateFile(file, 44 + 500));
  const int64_t rest = int64_t(whole.size()) - kFrame;
  const int64_t delivered = ReadShorts(cut.get(), got.data() + kFrame, rest);
  EXPECT_GT(delivered, 0);
  EXPECT_LT(delivered, rest);
  EXPECT_EQ(StreamError(cut.get()), kErrorShortRead);
  EXPECT_EQ(StreamSystemError(cut.get()), ENODATA);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + kFrame + delivered, whole.begin()));
}

TEST_F(VqfContainer, TheFieldsConfigurationRoundTripsEveryBlockType) {
  platform::File file = MemoryFile();
  ASSERT_EQ(WriteVqf(file, VqfInfo(44100, 2, 6000), std::vector<int16_t>(4 * 8, 1)), 0);  // 12 kbit/s
  EXPECT_EQ(platform::FileSize(file), 44 + (7 * 325 + 7) / 8);
  AudioInfo info;
  const std::vector<int16_t> read = ReadVqf(file, info);
  ASSERT_EQ(info.samples, 5u * 4);
  for (size_t i = 0; i < read.size(); ++i) {
    const size_t frame = i / 8 + 2, k = i % 8;  // written frame, its block type cycling 0, 1, 2
    ASSERT_EQ(read[i], int16_t(1000 * (frame % 3) + (k % 2) * 4 + k / 2)) << i;
  }
}

TEST_F(VqfContainer, EncodingFailuresAreTheClosesResult) {
  const std::vector<int16_t> samples(64, 9);
  for (uint32_t rate : {48000u, 16000u}) {
    platform::File file = MemoryFile();
    EXPECT_EQ(WriteVqf(file, VqfInfo(rate, 1, 20000), samples), 78);
    EXPECT_EQ(platform::FileSize(file), 0);
  }
  platform::File kept = MemoryFile({'k', 'e', 'e', 'p'});
  EXPECT_EQ(WriteVqf(kept, VqfInfo(44100, 1, 20000), {}), 0);
  EXPECT_EQ(FileBytes(kept), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));

  using Preselection = int32_t (*)();
  for (auto [option, candidates, result] : {std::tuple{1, 4, 0}, {3, 32, 0}, {0, 16, 0}, {9, 0, 76}}) {
    platform::File file = MemoryFile();
    EXPECT_EQ(WriteVqf(file, VqfInfo(22050, 1, 20000, uint16_t(option)), samples), result);
    auto preselection = reinterpret_cast<Preselection>(
        platform::ResolveSymbol(GetCodecLibrary(CodecLibraryId::kTwinVqEncoder).module, "FixturePreselection"));
    ASSERT_NE(preselection, nullptr);
    EXPECT_EQ(preselection(), candidates);
  }

  // The header and every whole frame reach the file as their samples come.
  {
    platform::File file = MemoryFile();
    AudioInfo info = VqfInfo(22050, 1, 20000);
    AudioStream* stream = OpenStreamWrite("out.vqf", &file, &info);
    ASSERT_NE(stream, nullptr);
    const std::vector<int16_t> many(8 * 120 + 1, 5);  // 120 frames and a sample
    ASSERT_EQ(WriteShorts(stream, many.data(), int64_t(many.size())), int64_t(many.size()));
    EXPECT_EQ(platform::FileSize(file), 44 + 2 * 1024);  // whole blocks of 138-bit frames
    EXPECT_EQ(CloseStream(stream), 0);
    EXPECT_EQ(platform::FileSize(file), 44 + (123 * 138 + 7) / 8);
    // Abandoned unfinished, a stream writes nothing more.
    platform::File left = MemoryFile();
    stream = OpenStreamWrite("out.vqf", &left, &info);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(WriteShorts(stream, many.data(), int64_t(many.size())), int64_t(many.size()));
    EXPECT_EQ(AbandonStream(stream), 0);
    EXPECT_EQ(platform::FileSize(left), 44 + 2 * 1024);
  }

  platform::File full(::open("/dev/full", O_RDWR | O_CLOEXEC));
  EXPECT_EQ(WriteVqf(full, VqfInfo(22050, 1, 20000), samples), 20);

  // The header fits under the size limit, the first block of frames does not.
  test_support::TempDir dir;
  const std::string path = dir / "cut.vqf";
  AudioInfo info = VqfInfo(8000, 1, 20000);
  AudioStream* stream = OpenFileWrite(path.c_str(), &info);
  ASSERT_NE(stream, nullptr);
  const std::vector<int16_t> many(8 * 100, 1);  // 103 frames of 138 bits: more than a block
  ASSERT_EQ(WriteShorts(stream, many.data(), int64_t(many.size())), int64_t(many.size()));
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 600;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const int closed = CloseStream(stream);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(closed, 20);
  EXPECT_TRUE(test_support::ListTree(dir.path()).empty());
}

TEST_F(VqfContainer, MissingLibrariesFailTheOpens) {
  SetCodecLibraryFileName(CodecLibraryId::kTwinVqDecoder, "libspoolex-missing.so");
  SetCodecLibraryFileName(CodecLibraryId::kTwinVqEncoder, "libspoolex-missing.so");
  platform::File file = MemoryFile(MonoFile(HandHeader(Comm(0, 20, 44)), 3));
  AudioInfo info;
  EXPECT_TRUE(ReadVqf(file, info).empty());
  EXPECT_EQ(LastError(), 79);
  EXPECT_EQ(WriteVqf(file, VqfInfo(44100, 1, 20000), {}), -1);
  EXPECT_EQ(LastError(), 79);
}

}  // namespace
