#include "audio/aac/aac.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/sample_buffer/sample_buffer.h"

namespace {

// First sample array: channels x factor x 1024 samples; the factor doubles
// whenever the array fills.
constexpr int64_t kFirstCapacityFactor = 10;
constexpr int64_t kFrameSamples = 1024;  // samples per channel of one AAC frame
// Zero bytes after the window's copy: a decoder that reads ahead of the
// byte count it was given finds these, never the file's next bytes.
constexpr size_t kDecoderSlackBytes = FAAD_MIN_STREAMSIZE * 8;
// Flush calls after which an encoder that still returns frames has failed.
constexpr int kMaxFlushCalls = 64;

struct DecoderCloser {
  void operator()(void* decoder) const { codec::NeAACDecClose(decoder); }
};
using DecoderPtr = std::unique_ptr<void, DecoderCloser>;

struct EncoderCloser {
  void operator()(void* encoder) const { (void)codec::faacEncClose(encoder); }
};
using EncoderPtr = std::unique_ptr<void, EncoderCloser>;

// The stream's window, copied whole into memory, followed by zero slack.
struct WindowBytes {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
};

// Reads the window. Returns 0, 19 when it runs past the file or cannot be
// read (stream.systemError then holds errno, if any), or 8.
int ReadWindow(AudioStream& stream, WindowBytes& window) {
  const int64_t fileSize = platform::FileSize(*stream.file);
  if (stream.filelength < 0 || fileSize < 0 || stream.fileoffset < 0 ||
      stream.filelength > fileSize - std::min(stream.fileoffset, fileSize)) {
    return kErrorShortRead;
  }
  window.size = static_cast<size_t>(stream.filelength);
  window.bytes.reset(new (std::nothrow) uint8_t[window.size + kDecoderSlackBytes]);
  if (window.bytes == nullptr) return kErrorMemory;
  std::memset(window.bytes.get() + window.size, 0, kDecoderSlackBytes);
  errno = 0;
  if (!platform::ReadFileAt(*stream.file, stream.fileoffset, window.bytes.get(), window.size)) {
    stream.systemError = errno;
    return kErrorShortRead;
  }
  return 0;
}

// The stream's channels and rate. The decoder knows better than the headers
// (it returns a mono stream as two channels and an HE-AAC stream at twice
// the header's rate; ADIF carries no channel count, a raw stream no header
// at all): what it reports for the first frame that reports channels holds,
// and the probe's values stand where it reports none.
struct DecodedShape {
  uint32_t channels = 0;
  uint32_t samplerate = 0;
  bool reported = false;  // set from a decoded frame
};

// Appends one frame's samples. Returns 0 or an error number: 8 when the
// channel count is still unknown.
int AppendFrame(SampleBuffer& store, int64_t& stored, int64_t& factor, const DecodedShape& shape,
                const int16_t* samples, int64_t count) {
  if (count == 0) return 0;
  if (shape.channels == 0) return kErrorMemory;
  if (samples == nullptr || count % shape.channels != 0) return kErrorAacDecoding;
  const int64_t after = stored + count;
  if (after > store.capacity) {
    while (shape.channels * factor * kFrameSamples < after) factor *= 2;
    const int64_t room = std::min(shape.channels * factor * kFrameSamples, kSampleStoreMax);
    if (after > room || !ReserveSamples(store, room)) return kErrorMemory;
  }
  PrepareSamples(store, after);
  std::memcpy(store.samples.get() + stored, samples, static_cast<size_t>(count) * sizeof(int16_t));
  stored = after;
  return 0;
}

// Decodes `size` bytes of audio data, which follow `before` bytes of the
// window, into `store`, and settles `shape` (set from the probe on entry).
// Returns 0 or an error; 81 (logged) as soon as the samples decoded pass
// what the window's bytes consumed so far can plausibly hold
// (MaxCodecSamples).
int DecodeFrames(AudioStream& stream, uint8_t* data, size_t size, size_t before, SampleBuffer& store,
                 DecodedShape& shape) {
  DecoderPtr decoder(codec::NeAACDecOpen());
  if (decoder == nullptr) return kErrorMemory;
  NeAACDecConfigurationPtr config = codec::NeAACDecGetCurrentConfiguration(decoder.get());
  if (config == nullptr) return kErrorMemory;
  config->outputFormat = FAAD_FMT_16BIT;
  // A stream of 24000 Hz or below that carries no band replication would
  // otherwise come out at twice its rate and delayed by the upsampling.
  config->dontUpSampleImplicitSBR = 1;
  if (codec::NeAACDecSetConfiguration(decoder.get(), config) == 0) return kErrorAacDecoding;
  unsigned long rate = 0;
  unsigned char channels = 0;
  const long header = codec::NeAACDecInit(decoder.get(), data, size, &rate, &channels);
  if (header < 0 || static_cast<unsigned long>(header) > size) return kErrorAacDecoding;

  size_t position = static_cast<size_t>(header);
  int64_t stored = 0, factor = kFirstCapacityFactor;
  do {
    NeAACDecFrameInfo frame{};
    auto* samples = static_cast<int16_t*>(
        codec::NeAACDecDecode(decoder.get(), &frame, data + position, size - position));
    if (frame.error != 0 || frame.bytesconsumed == 0 || frame.bytesconsumed > size - position) {
      return kErrorAacDecoding;
    }
    position += frame.bytesconsumed;
    const int64_t consumed = static_cast<int64_t>(before + position);
    const int64_t after = stored + static_cast<int64_t>(frame.samples);
    if (after > MaxCodecSamples(consumed)) {
      LogPrintf(stream, "%d bytes decode to more than %d samples\n",
                static_cast<int>(std::min<int64_t>(consumed, INT32_MAX)),
                static_cast<int>(std::min<int64_t>(after, INT32_MAX)));
      return kErrorAacDecoding;
    }
    const auto frameRate = static_cast<uint32_t>(frame.samplerate);
    if (frame.channels != 0 && !shape.reported) {
      shape = DecodedShape{frame.channels, frameRate != 0 ? frameRate : shape.samplerate, true};
    } else if (frame.channels != 0 &&
               (frame.channels != shape.channels || (frameRate != 0 && frameRate != shape.samplerate))) {
      // One stream description cannot hold both.
      return kErrorAacDecoding;
    }
    if (int error = AppendFrame(store, stored, factor, shape, samples, static_cast<int64_t>(frame.samples))) {
      return error;
    }
  } while (position < size);
  if (shape.channels == 0) return kErrorMemory;
  // A stream of one frame, or of frames that give no samples, holds nothing.
  if (stored == 0) return kErrorAacDecoding;
  store.count = static_cast<int32_t>(stored);
  return 0;
}

int AacClose(AudioStream& stream);

int DecodeStream(AudioStream& stream) {
  WindowBytes window;
  if (int error = ReadWindow(stream, window)) return error;
  AacHeaderInfo probe;
  const int64_t tag = ProbeAacHeader(window.bytes.get(), window.size, &probe);
  if (tag == kAacInvalidHeader) return kErrorAacDecoding;
  std::unique_ptr<SampleBuffer> store(new (std::nothrow) SampleBuffer);
  if (store == nullptr) return kErrorMemory;
  DecodedShape shape{static_cast<uint32_t>(probe.channels), static_cast<uint32_t>(probe.samplerate)};
  const size_t tagBytes = static_cast<size_t>(tag);
  if (int error =
          DecodeFrames(stream, window.bytes.get() + tagBytes, window.size - tagBytes, tagBytes, *store, shape)) {
    return error;
  }
  window.bytes.reset();
  if (!ShrinkSamples(*store)) return kErrorMemory;
  const uint32_t channels = shape.channels;
  AudioInfo& info = stream.info;
  info.channels = channels;
  info.samplerate = shape.samplerate;
  info.bitrate = static_cast<uint32_t>(probe.bitrate);
  info.pcmbitwidth = 16;
  info.format = FMT_MP4;
  info.sections = 1;
  info.samples = static_cast<uint32_t>(store->count) / channels;
  stream.dataoffset = 16;
  stream.datalength = 4096;
  stream.bytewidth = 2;
  stream.blockwidth = 2 * static_cast<int>(channels);
  stream.readShort = SampleBufferReadShort;
  stream.close = AacClose;
  store->cursor = 0;
  stream.codecdata = std::move(store);
  return 0;
}

// Writes `bytes` coded bytes at the file's position. Returns 0 or 20.
int WriteCoded(AudioStream& stream, const unsigned char* bytes, int count) {
  if (platform::WriteFile(*stream.file, bytes, static_cast<size_t>(count)) != count) {
    if (stream.systemError == 0) stream.systemError = errno;
    return kErrorShortWrite;
  }
  stream.written += count;
  return 0;
}

// faad2 returns streams of 5 and 6 channels in the order of WAV files (front
// left, front right, centre, low frequency, surrounds) and others in their
// coded order (centre first). The encoder's map (the input channel of each
// coded channel) puts every channel where faad2 will return it, so that a
// stream written here reads back with each channel in its place.
void SetChannelMap(faacEncConfiguration& config, uint32_t channels) {
  static constexpr int kFive[] = {2, 0, 1, 3, 4};
  static constexpr int kSix[] = {2, 0, 1, 4, 5, 3};
  for (uint32_t c = 0; c < channels && c < std::size(config.channel_map); ++c) {
    config.channel_map[c] = channels == 5 ? kFive[c] : channels == 6 ? kSix[c] : static_cast<int>(c);
  }
}

// Sets up the encoder for the stream's description. Returns it, or null when
// it refuses the rate, channels or settings; sets `chunk` to the samples of
// one call (whole frames) and `outputBytes` to the most one call returns.
EncoderPtr OpenEncoder(const AudioInfo& info, int64_t& chunk, size_t& outputBytes) {
  if (info.channels == 0) return nullptr;
  unsigned long inputSamples = 0, maxOutputBytes = 0;
  EncoderPtr encoder(codec::faacEncOpen(info.samplerate, info.channels, &inputSamples, &maxOutputBytes));
  if (encoder == nullptr) return nullptr;
  faacEncConfigurationPtr config = codec::faacEncGetCurrentConfiguration(encoder.get());
  if (config == nullptr) return nullptr;
  config->mpegVersion = MPEG4;
  // faac numbers the object types one above the ADTS profile field, which
  // codecOption gives: 1 low complexity, anything else main.
  config->aacObjectType = info.codecOption == 1 ? LOW : MAIN;
  config->bitRate = info.bitrate;
  config->outputFormat = ADTS_STREAM;
  config->inputFormat = FAAC_INPUT_16BIT;
  SetChannelMap(*config, info.channels);
  if (codec::faacEncSetConfiguration(encoder.get(), config) == 0) return nullptr;
  chunk = static_cast<int64_t>(inputSamples) - static_cast<int64_t>(inputSamples % info.channels);
  outputBytes = maxOutputBytes;
  if (chunk <= 0 || outputBytes == 0) return nullptr;
  return encoder;
}

// Encodes every stored sample and writes the ADTS stream at the file's
// position. Returns 0, 21 when the encoder refuses the settings (nothing
// written), 80 when it fails, 20 when a write fails.
int EncodeStream(AudioStream& stream, const SampleBuffer& store) {
  int64_t chunk = 0;
  size_t outputBytes = 0;
  EncoderPtr encoder = OpenEncoder(stream.info, chunk, outputBytes);
  if (encoder == nullptr) return kErrorInternal;
  std::unique_ptr<int16_t[]> input(new (std::nothrow) int16_t[static_cast<size_t>(chunk)]);
  std::unique_ptr<unsigned char[]> output(new (std::nothrow) unsigned char[outputBytes]);
  if (input == nullptr || output == nullptr) return kErrorMemory;
  const unsigned outputSize = static_cast<unsigned>(std::min<size_t>(outputBytes, UINT32_MAX));
  for (int64_t at = 0; at < store.count; at += chunk) {
    const int64_t count = std::min<int64_t>(chunk, store.count - at);
    std::memcpy(input.get(), store.samples.get() + at, static_cast<size_t>(count) * sizeof(int16_t));
    const int coded = codec::faacEncEncode(encoder.get(), reinterpret_cast<int32_t*>(input.get()),
                                           static_cast<unsigned>(count), output.get(), outputSize);
    if (coded < 0 || static_cast<unsigned>(coded) > outputSize) return kErrorAacEncoding;
    if (int error = WriteCoded(stream, output.get(), coded)) return error;
  }
  for (int calls = 0;; ++calls) {
    const int coded = codec::faacEncEncode(encoder.get(), nullptr, 0, output.get(), outputSize);
    if (coded == 0) return 0;
    if (coded < 0 || static_cast<unsigned>(coded) > outputSize || calls == kMaxFlushCalls) return kErrorAacEncoding;
    if (int error = WriteCoded(stream, output.get(), coded)) return error;
  }
}

int AacClose(AudioStream& stream) { return CloseSampleBufferStream(stream, EncodeStream); }

}  // namespace

int AacOpenRead(AudioStream& stream) {
  if (int error = OpenCodecLibraryFor(stream, CodecLibraryId::kAacDecoder)) return error;
  return DecodeStream(stream);
}

int AacOpenWrite(AudioStream& stream) {
  if (int error = OpenCodecLibraryFor(stream, CodecLibraryId::kAacEncoder)) return error;
  return CollectSamplesForWriting(stream, AacClose);
}
