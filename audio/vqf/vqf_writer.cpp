// SPDX-License-Identifier: GPL-2.0-or-later
// Writing a VQF stream, a frame at a time: the first samples set up the
// encoder and write the header, every whole frame of samples is encoded as
// it arrives, and the close pads the last frame with silence and adds two
// silent frames. A failure of the set-up or of a write is kept for the
// close to return; samples after it are taken and dropped, so that the
// caller learns of every failure of the encoding from the close.
#include <algorithm>
#include <memory>
#include <new>

#include "audio/vqf/vqf.h"
#include "audio/vqf/vqf_container.h"
#include "audio/vqf/vqf_frames.h"

namespace {

struct VqfWriteState : CodecState {
  int64_t count = 0;  // samples taken
  bool started = false;
  int error = 0;  // the first failure, which the close returns
  // The encoder's state and the bitstream, from the first samples on; the
  // bitstream goes after the library terminates, and only Finish writes its
  // last partial block.
  std::unique_ptr<BitstreamFile, BitstreamReleaser> bits;
  EncoderSession session;
  int channels = 0;
  int frameSize = 0;  // samples per channel
  int64_t block = 0;  // samples of one frame, all channels
  std::unique_ptr<float[]> frame;     // the library's frame, channel after channel
  std::unique_ptr<int16_t[]> pending;  // samples of the frame being filled, interleaved
  int64_t filled = 0;
};

// Sets up the encoder and writes the header at the stream's start. Returns
// 0, or an error number for the close (see VqfOpenWrite).
int Start(AudioStream& stream, VqfWriteState& state) {
  const AudioInfo& info = stream.info;
  VqfEncoderSetup setup{VqfPreselection(info.codecOption)};
  VqfHeaderInfo header{};
  header.samplingRate = VqfKilohertz(info.samplerate);
  if (header.samplingRate == 0) return kErrorVqfSampleRate;
  state.channels = static_cast<int>(info.channels);
  header.channelMode = state.channels - 1;
  // kbit/s of the whole stream: the per-channel rate, doubled for stereo.
  const int64_t kilobits = int64_t{info.bitrate / 1000} << std::min(state.channels - 1, 8);
  header.bitRate = static_cast<int32_t>(std::min<int64_t>(kilobits, INT32_MAX));
  header.reservedWord = 0;
  std::copy_n(TVQ_VERSION_ID, kVqfIdBytes, header.id);

  if (platform::SeekFile(*stream.file, stream.fileoffset, platform::SeekOrigin::kBegin) < 0) return kErrorShortWrite;
  state.bits.reset(open_bstm(stream.file, kBitstreamWrite));
  if (const int error = WriteVqfHeader(stream, header)) return error;
  stream.dataoffset = platform::TellFile(*stream.file) - stream.fileoffset;

  if (const int code = codec::TvqEncInitialize(&header, &setup, &state.session.index, 0); code != 0) {
    return VqfSetUpError(code);
  }
  state.session.initialised = true;
  state.frameSize = codec::TvqEncGetFrameSize();
  if (state.frameSize < 1 || state.frameSize > kVqfMaxFrameSize) return kErrorVqfParameter;
  init_frame_writer();
  state.block = int64_t{state.channels} * state.frameSize;
  state.frame.reset(new (std::nothrow) float[static_cast<size_t>(state.block)]());
  state.pending.reset(new (std::nothrow) int16_t[static_cast<size_t>(state.block)]());
  return state.frame == nullptr || state.pending == nullptr ? kErrorMemory : 0;
}

// Encodes and writes the frame of the pending samples, the rest of it
// silent, and starts the next one empty.
void EncodePending(VqfWriteState& state) {
  const int16_t* from = state.pending.get();
  float* frame = state.frame.get();
  if (state.filled < state.block) std::fill_n(frame, state.block, 0.0f);
  if (state.channels == 2) {
    for (int64_t k = 0; k < state.filled / 2; ++k) {
      frame[k] = from[2 * k];
      frame[state.frameSize + k] = from[2 * k + 1];
    }
  } else {
    std::copy_n(from, state.filled, frame);
  }
  state.filled = 0;
  codec::TvqEncodeFrame(frame, &state.session.index);
  // An index without arrays: the encoder was set up for another stream
  // meanwhile, which ended this one.
  if (state.session.index.shape == nullptr) {
    state.error = kErrorVqfUnspecified;
    return;
  }
  write_vqf_frame(&state.session.index, state.bits.get());
}

// True while frames are encoded: set up, and nothing has failed.
bool Encoding(const VqfWriteState& state) { return state.error == 0 && !state.bits->writeFailed; }

int64_t VqfWriteShort(AudioStream& stream, const int16_t* buffer, int64_t count) {
  auto* state = dynamic_cast<VqfWriteState*>(stream.codecdata.get());
  if (state == nullptr || count <= 0) return 0;
  if (!TakeSamples(stream, state->count, count)) return kErrorMemory;
  if (!state->started) {
    state->started = true;
    state->error = Start(stream, *state);
  }
  for (int64_t done = 0; done < count && Encoding(*state);) {
    const int64_t n = std::min(count - done, state->block - state->filled);
    std::copy_n(buffer + done, n, state->pending.get() + state->filled);
    state->filled += n;
    done += n;
    if (state->filled == state->block) EncodePending(*state);
  }
  return count;
}

// Completes the stream: the last frame and two silent ones, then the last
// partial block of bits. Returns the first failure, or 0.
int Finish(AudioStream& stream, VqfWriteState& state) {
  if (!state.started) return 0;
  if (state.error != 0) return state.error;
  for (int i = 0; i < 1 + kVqfDelayFrames && Encoding(state); ++i) EncodePending(state);
  if (state.error != 0) return state.error;
  state.session.End();
  const bool written = close_bstm(state.bits.release());
  stream.written = platform::TellFile(*stream.file) - stream.fileoffset;
  return written ? 0 : kErrorShortWrite;
}

}  // namespace

int VqfOpenWrite(AudioStream& stream) {
  if (const int error = OpenCodecLibraryFor(stream, CodecLibraryId::kTwinVqEncoder)) return error;
  std::unique_ptr<VqfWriteState> state(new (std::nothrow) VqfWriteState);
  if (state == nullptr) return kErrorMemory;
  BeginCodecWriting(stream, std::move(state), VqfWriteShort, FinishAndRelease<VqfWriteState, Finish>);
  return 0;
}
