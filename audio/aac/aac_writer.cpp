// SPDX-License-Identifier: GPL-2.0-or-later
// Writing an AAC stream: the encoder takes the samples in chunks of the
// size it asks for, each chunk encoded and its bytes written as soon as it
// is full; the close encodes the last, shorter chunk and flushes the
// encoder. Every chunk but the last is whole whatever the sizes of the
// writes, so the bytes depend on the samples alone. A failure is kept for
// the close to return; samples after it are taken and dropped, so that the
// caller learns of it where it learns of every failure of the encoder.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "audio/aac/aac.h"
#include "audio/codec_libraries/codec_libraries.h"

namespace {

// Flush calls after which an encoder that still returns frames has failed.
constexpr int kMaxFlushCalls = 64;

struct EncoderCloser {
  void operator()(void* encoder) const { (void)codec::faacEncClose(encoder); }
};
using EncoderPtr = std::unique_ptr<void, EncoderCloser>;

struct AacWriteState : CodecState {
  EncoderPtr encoder;
  int64_t chunk = 0;                  // samples of one call (whole frames)
  std::unique_ptr<int16_t[]> input;   // the chunk being filled
  int64_t filled = 0;
  std::unique_ptr<unsigned char[]> output;
  unsigned outputSize = 0;  // the most one call returns
  int64_t count = 0;        // samples taken
  int error = 0;            // the first failure, which the close returns
};

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

// Sets up the encoder for the stream's description. Returns 0, 21 when it
// refuses the rate, channels or settings, or 8.
int OpenEncoder(const AudioInfo& info, AacWriteState& state) {
  if (info.channels == 0) return kErrorInternal;
  unsigned long inputSamples = 0, maxOutputBytes = 0;
  state.encoder.reset(codec::faacEncOpen(info.samplerate, info.channels, &inputSamples, &maxOutputBytes));
  if (state.encoder == nullptr) return kErrorInternal;
  faacEncConfigurationPtr config = codec::faacEncGetCurrentConfiguration(state.encoder.get());
  if (config == nullptr) return kErrorInternal;
  config->mpegVersion = MPEG4;
  // faac numbers the object types one above the ADTS profile field, which
  // codecOption gives: 1 low complexity, anything else main.
  config->aacObjectType = info.codecOption == 1 ? LOW : MAIN;
  config->bitRate = info.bitrate;
  config->outputFormat = ADTS_STREAM;
  config->inputFormat = FAAC_INPUT_16BIT;
  SetChannelMap(*config, info.channels);
  if (codec::faacEncSetConfiguration(state.encoder.get(), config) == 0) return kErrorInternal;
  state.chunk = static_cast<int64_t>(inputSamples) - static_cast<int64_t>(inputSamples % info.channels);
  if (state.chunk <= 0 || maxOutputBytes == 0) return kErrorInternal;
  state.outputSize = static_cast<unsigned>(std::min<unsigned long>(maxOutputBytes, UINT_MAX));
  state.input.reset(new (std::nothrow) int16_t[static_cast<size_t>(state.chunk)]);
  state.output.reset(new (std::nothrow) unsigned char[maxOutputBytes]);
  return state.input == nullptr || state.output == nullptr ? kErrorMemory : 0;
}

// One call of the encoder with `samples` samples of the chunk (0: a flush
// call). Returns the bytes it coded into state.output, or -1 with
// state.error 80 when it fails.
int Call(AacWriteState& state, int64_t samples) {
  auto* input = samples > 0 ? reinterpret_cast<int32_t*>(state.input.get()) : nullptr;
  const int coded = codec::faacEncEncode(state.encoder.get(), input, static_cast<unsigned>(samples),
                                         state.output.get(), state.outputSize);
  if (coded < 0 || static_cast<unsigned>(coded) > state.outputSize) {
    state.error = kErrorAacEncoding;
    return -1;
  }
  return coded;
}

// Writes `coded` bytes of state.output at the file's position. False with
// state.error 20 when the file refuses them.
bool Write(AudioStream& stream, AacWriteState& state, int coded) {
  if (platform::WriteFile(*stream.file, state.output.get(), static_cast<size_t>(coded)) != coded) {
    if (stream.systemError == 0) stream.systemError = errno;
    state.error = kErrorShortWrite;
    return false;
  }
  stream.written += coded;
  return true;
}

// Encodes `samples` samples of the chunk and writes the bytes. False with
// state.error set when either fails.
bool EncodeChunk(AudioStream& stream, AacWriteState& state, int64_t samples) {
  const int coded = Call(state, samples);
  return coded >= 0 && Write(stream, state, coded);
}

int64_t AacWriteShort(AudioStream& stream, const int16_t* buffer, int64_t count) {
  auto* state = dynamic_cast<AacWriteState*>(stream.codecdata.get());
  if (state == nullptr || count <= 0) return 0;
  if (!TakeSamples(stream, state->count, count)) return kErrorMemory;
  for (int64_t done = 0; done < count && state->error == 0;) {
    const int64_t n = std::min(count - done, state->chunk - state->filled);
    std::memcpy(state->input.get() + state->filled, buffer + done, static_cast<size_t>(n) * sizeof(int16_t));
    state->filled += n;
    done += n;
    if (state->filled == state->chunk) {
      state->filled = 0;
      (void)EncodeChunk(stream, *state, state->chunk);
    }
  }
  return count;
}

// Encodes the last chunk and flushes the encoder until it returns nothing.
int Finish(AudioStream& stream, AacWriteState& state) {
  if (state.error != 0) return state.error;
  if (state.filled > 0 && !EncodeChunk(stream, state, state.filled)) return state.error;
  for (int calls = 0;; ++calls) {
    const int coded = Call(state, 0);
    if (coded < 0) return state.error;
    if (coded == 0) return 0;
    if (calls == kMaxFlushCalls) return kErrorAacEncoding;
    if (!Write(stream, state, coded)) return state.error;
  }
}

}  // namespace

int AacOpenWrite(AudioStream& stream) {
  if (int error = OpenCodecLibraryFor(stream, CodecLibraryId::kAacEncoder)) return error;
  std::unique_ptr<AacWriteState> state(new (std::nothrow) AacWriteState);
  if (state == nullptr) return kErrorMemory;
  state->error = OpenEncoder(stream.info, *state);
  BeginCodecWriting(stream, std::move(state), AacWriteShort, FinishAndRelease<AacWriteState, Finish>);
  return 0;
}
