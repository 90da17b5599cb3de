// The VQF container: its header, the decode loop at open and the encode at
// close, between the libraries' float frames (channel after channel) and the
// stream's interleaved samples.
#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <new>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/sample_buffer/sample_buffer.h"
#include "audio/vqf/vqf.h"
#include "audio/vqf/vqf_bitstream.h"
#include "audio/vqf/vqf_frames.h"

namespace {

constexpr int kIdBytes = 12;
constexpr int kCommFieldBytes = 16;
// Bytes of the chunks before "DATA" in a written header.
constexpr int kWrittenChunkBytes = 24;
constexpr int kHeaderBytes = 44;
// The decoder's first two frames hold its delay, not the stream's audio;
// the encoder is given two silent frames at the end to push the last out.
constexpr int kDelayFrames = 2;
constexpr int64_t kFirstCapacityFrames = 10;
// Larger than any frame a TwinVQ coder uses: a library that says more is
// not believed.
constexpr int kMaxFrameSize = 1 << 16;

// A chunk id as HeaderRead's "L" yields it and HeaderWrite's "L" writes it:
// the 32-bit value whose big-endian bytes are the four characters.
constexpr int ChunkId(const char (&id)[5]) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint8_t>(id[0])) << 24 |
                          static_cast<uint32_t>(static_cast<uint8_t>(id[1])) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(id[2])) << 8 |
                          static_cast<uint32_t>(static_cast<uint8_t>(id[3])));
}
constexpr int kCommId = ChunkId("COMM");
constexpr int kDataId = ChunkId("DATA");

struct BitstreamCloser {
  void operator()(BitstreamFile* bitstream) const { (void)close_bstm(bitstream); }
};
using BitstreamPtr = std::unique_ptr<BitstreamFile, BitstreamCloser>;

// The frame index and the library state behind it; terminated with the
// library's own call once initialised.
template <void (*Terminate)(VqfFrameIndex*)>
struct CoderSession {
  VqfFrameIndex index{};
  bool initialised = false;
  CoderSession() = default;
  CoderSession(const CoderSession&) = delete;
  CoderSession& operator=(const CoderSession&) = delete;
  ~CoderSession() { End(); }
  void End() {
    if (initialised) Terminate(&index);
    initialised = false;
  }
};
using DecoderSession = CoderSession<codec::TvqTerminate>;
using EncoderSession = CoderSession<codec::TvqEncTerminate>;

// The error number of a library set-up code: 1 to 6 give 71 to 76; a code
// the libraries do not define counts as unspecified.
int SetUpError(int code) { return code >= 1 && code <= 6 ? kErrorVqfBase + code : kErrorVqfUnspecified; }

std::unique_ptr<float[]> NewFrameBuffer(int64_t floats) {
  return std::unique_ptr<float[]>(new (std::nothrow) float[static_cast<size_t>(floats)]());
}

// A decoded value within the 16-bit range; NaN gives 0.
inline float Clip(float value) {
  if (value > 32767.0f) return 32767.0f;
  if (value < -32768.0f) return -32768.0f;
  return value == value ? value : 0.0f;
}

// Moves the file `bytes` forward (HeaderRead's "j" moves by an int).
void Skip(AudioStream& stream, uint32_t bytes) {
  while (bytes > 0) {
    const int step = static_cast<int>(std::min<uint32_t>(bytes, INT_MAX));
    (void)HeaderRead(stream, "j", step);
    bytes -= static_cast<uint32_t>(step);
  }
}

// Reads the header from the stream's start into `header` and leaves the file
// just past "DATA". Chunks before it are skipped, "COMM" giving the four
// fields. Returns 0, 71 when the window ends before "DATA" (or a chunk runs
// past it), or 75 for a "COMM" chunk shorter than its fields.
int ReadHeader(AudioStream& stream, VqfHeaderInfo& header) {
  const int64_t end = stream.fileoffset + stream.filelength;
  const auto left = [&] { return end - platform::TellFile(*stream.file); };
  int length = 0;
  (void)HeaderRead(stream, "BL", header.id, kIdBytes, &length);
  for (;;) {
    int id = 0;
    int size = 0;
    if (left() < 4) return kErrorVqfUnspecified;
    (void)HeaderRead(stream, "L", &id);
    if (id == kDataId) return 0;
    if (left() < 4) return kErrorVqfUnspecified;
    (void)HeaderRead(stream, "L", &size);
    auto bytes = static_cast<uint32_t>(size);
    if (bytes > left()) return kErrorVqfUnspecified;
    if (id == kCommId) {
      if (bytes < kCommFieldBytes) return kErrorVqfParameter;
      (void)HeaderRead(stream, "LLLL", &header.channelMode, &header.bitRate, &header.samplingRate,
                       &header.reservedWord);
      bytes -= kCommFieldBytes;
    }
    Skip(stream, bytes);
  }
}

// The sample rate of a header's samplingRate (kHz): a mode's rate for its
// code (11 reads as 11025 Hz), else the code times 1000; 0 for none.
uint32_t SampleRateOf(int32_t kilohertz) {
  for (const TvqMode& mode : kTvqModes) {
    if (mode.samplingCode == kilohertz) return mode.sampleRate;
  }
  return kilohertz > 0 && kilohertz <= 1000000 ? static_cast<uint32_t>(kilohertz) * 1000 : 0;
}

// AudioInfo's bitrate (bit/s per channel) of a header's bitRate (kbit/s of
// the whole stream), so that a stream written back gets the header's rate;
// 0 for a rate below 1 kbit/s.
uint32_t BitRateOf(int32_t kilobits, int channels) {
  if (kilobits <= 0) return 0;
  return static_cast<uint32_t>(std::min<int64_t>(int64_t{kilobits} * 1000 / channels, UINT32_MAX));
}

// The header's samplingRate for a sample rate: the code of the mode of that
// rate, or whose code times 1000 it is (11000 Hz gives 11); 0 for none.
int32_t KilohertzOf(uint32_t rate) {
  for (const TvqMode& mode : kTvqModes) {
    if (rate == mode.sampleRate || rate == static_cast<uint32_t>(mode.samplingCode) * 1000) return mode.samplingCode;
  }
  return 0;
}

// The encoder's preselection candidates for AudioInfo's codecOption; 0 for
// an option without a number, which the encoder judges.
int32_t PreselectionOf(uint16_t codecOption) {
  switch (codecOption) {
    case 0: case 2: return 16;
    case 1: return 4;
    case 3: return 32;
    default: return 0;
  }
}

// Decodes every accepted frame of the bitstream into `store`, dropping the
// first two. Returns 0, 8, or 71 (logged) as soon as the samples kept pass
// what the bytes read so far can plausibly hold (MaxCodecSamples).
int DecodeFrames(AudioStream& stream, DecoderSession& session, BitstreamFile* bits, int channels, int frameSize,
                 FloatSampleBuffer& store) {
  const int64_t frameSamples = int64_t{channels} * frameSize;
  std::unique_ptr<float[]> frame = NewFrameBuffer(frameSamples);
  int64_t capacity = kFirstCapacityFrames;
  if (frame == nullptr || !ReserveSamples(store, capacity * frameSamples)) return kErrorMemory;
  int64_t kept = 0;
  int skip = kDelayFrames;
  while (read_vqf_frame(&session.index, bits) != 0) {
    codec::TvqDecodeFrame(&session.index, frame.get());
    if (skip > 0) {
      --skip;
      continue;
    }
    const int64_t read = platform::TellFile(*stream.file) - stream.fileoffset;
    if ((kept + 1) * frameSamples > MaxCodecSamples(read)) {
      LogPrintf(stream, "%d bytes decode to more than %d samples\n",
                static_cast<int>(std::min<int64_t>(read, INT32_MAX)),
                static_cast<int>(std::min<int64_t>((kept + 1) * frameSamples, INT32_MAX)));
      return kErrorVqfUnspecified;
    }
    if (kept == capacity) {
      capacity = std::min(capacity * 2, kSampleStoreMax / frameSamples);
      if (capacity <= kept || !ReserveSamples(store, capacity * frameSamples)) return kErrorMemory;
    }
    PrepareSamples(store, (kept + 1) * frameSamples);
    float* to = store.samples.get() + kept * frameSamples;
    const float* from = frame.get();
    if (channels == 2) {
      for (int i = 0; i < frameSize; ++i) {
        to[2 * i] = Clip(from[i]);
        to[2 * i + 1] = Clip(from[frameSize + i]);
      }
    } else {
      for (int i = 0; i < frameSize; ++i) to[i] = Clip(from[i]);
    }
    ++kept;
  }
  store.count = static_cast<int32_t>(kept * frameSamples);
  return 0;
}

// Encodes the whole store at the file's position. Returns 0 or an error
// number (see VqfOpenWrite).
int EncodeStream(AudioStream& stream, const FloatSampleBuffer& store) {
  if (store.count == 0) return 0;
  const AudioInfo& info = stream.info;
  VqfEncoderSetup setup{PreselectionOf(info.codecOption)};
  VqfHeaderInfo header{};
  header.samplingRate = KilohertzOf(info.samplerate);
  if (header.samplingRate == 0) return kErrorVqfSampleRate;
  const int channels = static_cast<int>(info.channels);
  header.channelMode = channels - 1;
  // kbit/s of the whole stream: the per-channel rate, doubled for stereo.
  const int64_t kilobits = int64_t{info.bitrate / 1000} << std::min(channels - 1, 8);
  header.bitRate = static_cast<int32_t>(std::min<int64_t>(kilobits, INT32_MAX));
  header.reservedWord = 0;
  std::copy_n(TVQ_VERSION_ID, kIdBytes, header.id);

  if (platform::SeekFile(*stream.file, stream.fileoffset, platform::SeekOrigin::kBegin) < 0) return kErrorShortWrite;
  BitstreamPtr bits(open_bstm(stream.file, kBitstreamWrite));
  stream.headindex = 0;
  (void)HeaderWrite(stream, "BLLLLLLLL", header.id, kIdBytes, kWrittenChunkBytes, kCommId, kCommFieldBytes,
                    header.channelMode, header.bitRate, header.samplingRate, header.reservedWord, kDataId);
  if (stream.headindex != kHeaderBytes ||
      platform::WriteFile(*stream.file, stream.header, kHeaderBytes) != kHeaderBytes) {
    return kErrorShortWrite;
  }
  stream.dataoffset = platform::TellFile(*stream.file) - stream.fileoffset;

  EncoderSession session;
  if (const int code = codec::TvqEncInitialize(&header, &setup, &session.index, 0); code != 0) {
    return SetUpError(code);
  }
  session.initialised = true;
  const int frameSize = codec::TvqEncGetFrameSize();
  if (frameSize < 1 || frameSize > kMaxFrameSize) return kErrorVqfParameter;
  init_frame_writer();

  const int64_t block = int64_t{channels} * frameSize;
  const int64_t whole = store.count / block;
  std::unique_ptr<float[]> frame = NewFrameBuffer(block);
  if (frame == nullptr) return kErrorMemory;
  const float* from = store.samples.get();
  for (int64_t i = 0; i < whole + 1 + kDelayFrames && !bits->writeFailed; ++i) {
    const int64_t n = i < whole ? block : i == whole ? store.count % block : 0;
    if (i >= whole) std::fill_n(frame.get(), block, 0.0f);
    if (channels == 2) {
      for (int64_t k = 0; k < n / 2; ++k) {
        frame[k] = *from++;
        frame[frameSize + k] = *from++;
      }
    } else {
      std::copy_n(from, n, frame.get());
      from += n;
    }
    codec::TvqEncodeFrame(frame.get(), &session.index);
    write_vqf_frame(&session.index, bits.get());
  }
  session.End();
  const bool written = close_bstm(bits.release());
  stream.written = platform::TellFile(*stream.file) - stream.fileoffset;
  return written ? 0 : kErrorShortWrite;
}

int VqfClose(AudioStream& stream) {
  int result = 0;
  const auto* store = dynamic_cast<const FloatSampleBuffer*>(stream.codecdata.get());
  if (store != nullptr && stream.mode == kStreamModeWrite) result = EncodeStream(stream, *store);
  stream.codecdata.reset();
  return result;
}

}  // namespace

int VqfOpenRead(AudioStream& stream) {
  if (const int error = OpenCodecLibraryFor(stream, CodecLibraryId::kTwinVqDecoder)) return error;
  std::unique_ptr<FloatSampleBuffer> store(new (std::nothrow) FloatSampleBuffer);
  if (store == nullptr) return kErrorMemory;
  if (platform::SeekFile(*stream.file, stream.fileoffset, platform::SeekOrigin::kBegin) < 0) return kErrorShortRead;
  VqfHeaderInfo header{};
  if (const int error = ReadHeader(stream, header)) return error;
  stream.dataoffset = platform::TellFile(*stream.file) - stream.fileoffset;
  stream.datalength = stream.filelength - stream.dataoffset;

  int channels = 0;
  {
    DecoderSession session;
    if (const int code = codec::TvqInitialize(&header, &session.index, 0); code != 0) return SetUpError(code);
    session.initialised = true;
    // Declared after the session, so closed before the library terminates.
    BitstreamPtr bits(open_bstm(stream.file, kBitstreamRead, stream.fileoffset + stream.filelength));
    if (init_frame_reader(header) != 0) return kErrorVqfReaderSetUp;
    channels = codec::TvqGetNumChannels();
    const int frameSize = codec::TvqGetFrameSize();
    if (channels < 1 || channels > 2) return kErrorVqfChannelMode;
    if (frameSize < 1 || frameSize > kMaxFrameSize) return kErrorVqfParameter;
    if (const int error = DecodeFrames(stream, session, bits.get(), channels, frameSize, *store)) return error;
  }
  if (store->count == 0 || !ShrinkSamples(*store)) return kErrorMemory;
  store->cursor = 0;

  AudioInfo& info = stream.info;
  info.channels = static_cast<uint32_t>(channels);
  info.pcmbitwidth = 16;
  info.format = FMT_VQF;
  info.sections = 1;
  info.samplerate = SampleRateOf(header.samplingRate);
  info.samples = static_cast<uint32_t>(store->count) / info.channels;
  info.bitrate = BitRateOf(header.bitRate, channels);
  stream.bytewidth = 2;
  stream.blockwidth = 2 * channels;
  stream.codecdata = std::move(store);
  stream.readShort = FloatSampleBufferReadShort;
  stream.close = VqfClose;
  return 0;
}

int VqfOpenWrite(AudioStream& stream) {
  if (const int error = OpenCodecLibraryFor(stream, CodecLibraryId::kTwinVqEncoder)) return error;
  std::unique_ptr<FloatSampleBuffer> store(new (std::nothrow) FloatSampleBuffer);
  if (store == nullptr) return kErrorMemory;
  stream.codecdata = std::move(store);
  stream.info.pcmbitwidth = 16;
  stream.info.samples = 0;
  stream.bytewidth = 2;
  stream.blockwidth = 2 * static_cast<int>(stream.info.channels);
  stream.writeShort = FloatSampleBufferWriteShort;
  stream.close = VqfClose;
  return 0;
}
