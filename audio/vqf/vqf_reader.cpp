// SPDX-License-Identifier: GPL-2.0-or-later
// Reading a VQF stream. The open walks the header and counts the frames
// with the frame reader alone, decoding none; reads then decode the frames
// one at a time in a second pass over the same bits, from a decoder set up
// afresh, so that memory stays one frame whatever the stream's length.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "audio/vqf/vqf.h"
#include "audio/vqf/vqf_container.h"
#include "audio/vqf/vqf_frames.h"

namespace {

// One pass of the frame reader over the stream's frames, with the decoder
// set up for it. The bitstream is closed before the library terminates.
struct FramePass {
  DecoderSession session;
  BitstreamPtr bits;
  int channels = 0;
  int frameSize = 0;  // samples per channel
};

// Sets up the decoder for `header` and the frame reader at the file's
// position, reading no further than `end`. Returns 0, 71 to 76 as the
// decoder's set-up refuses the header, 77 for a version the frame reader
// does not know, 73 for a channel count other than 1 or 2, 75 for a frame
// size no coder uses.
int StartPass(VqfHeaderInfo& header, platform::File& file, int64_t end, FramePass& pass) {
  if (const int code = codec::TvqInitialize(&header, &pass.session.index, 0); code != 0) return VqfSetUpError(code);
  pass.session.initialised = true;
  pass.bits.reset(open_bstm(&file, kBitstreamRead, end));
  if (init_frame_reader(header) != 0) return kErrorVqfReaderSetUp;
  pass.channels = codec::TvqGetNumChannels();
  pass.frameSize = codec::TvqGetFrameSize();
  if (pass.channels < 1 || pass.channels > 2) return kErrorVqfChannelMode;
  if (pass.frameSize < 1 || pass.frameSize > kVqfMaxFrameSize) return kErrorVqfParameter;
  return 0;
}

// Counts the frames a decode keeps: every frame the reader accepts but the
// first two. Returns 0; 71 (logged) as soon as the samples kept pass what
// the bytes read so far can plausibly hold (MaxCodecSamples); 8 when they
// pass what the layer counts, or when none is kept.
int CountFrames(AudioStream& stream, FramePass& pass, int64_t* kept) {
  const int64_t frameSamples = int64_t{pass.channels} * pass.frameSize;
  const int64_t most = kMaxCodecStreamSamples / frameSamples;
  int skip = kVqfDelayFrames;
  *kept = 0;
  while (read_vqf_frame(&pass.session.index, pass.bits.get()) != 0) {
    if (skip > 0) {
      --skip;
      continue;
    }
    const int64_t read = pass.bits->readPosition - stream.fileoffset;
    if ((*kept + 1) * frameSamples > MaxCodecSamples(read)) {
      LogPrintf(stream, "%d bytes decode to more than %d samples\n",
                static_cast<int>(std::min<int64_t>(read, INT32_MAX)),
                static_cast<int>(std::min<int64_t>((*kept + 1) * frameSamples, INT32_MAX)));
      return kErrorVqfUnspecified;
    }
    if (*kept == most) return kErrorMemory;
    ++*kept;
  }
  return *kept == 0 ? kErrorMemory : 0;
}

// A decoded value as a 16-bit sample: clipped to the 16-bit range, then
// truncated toward zero; NaN gives 0.
int16_t ToSample(float value) {
  if (!(value == value)) return 0;
  if (value >= 32767.0f) return 32767;
  if (value <= -32768.0f) return -32768;
  return static_cast<int16_t>(value);
}

// A read stream's state: where its frames lie, how many it delivers, and
// the decoding pass, which lives from the first read to the last frame.
struct VqfReadState : CodecState {
  VqfHeaderInfo header{};
  int64_t dataStart = 0;  // file position of the first frame's first bit
  int64_t end = 0;        // file position the frame reader stops at
  int64_t framesLeft = 0;  // frames still to decode and deliver
  std::unique_ptr<FramePass> pass;
  int skip = kVqfDelayFrames;
  std::unique_ptr<float[]> decoded;   // the library's frame, channel after channel
  std::unique_ptr<int16_t[]> frame;   // the same frame interleaved
  int64_t frameSamples = 0;
  PendingSamples pending;  // what is left of `frame`
};

// Ends the decoding pass; nothing more is delivered.
void EndDecoding(VqfReadState& state) {
  state.pass.reset();
  state.framesLeft = 0;
}

// Decodes the next frame the reader accepts into state.decoded. False at
// the end of the frames (the pass then ends); stream.error says why when
// that is early: 19 when a block of the stream could not be read (with the
// system's reason), 71 when the decoder was set up for another stream
// meanwhile, which ended this one.
bool DecodeNext(AudioStream& stream, VqfReadState& state) {
  FramePass& pass = *state.pass;
  if (read_vqf_frame(&pass.session.index, pass.bits.get()) == 0) {
    if (pass.bits->readFailed) {
      stream.error = kErrorShortRead;
      if (stream.systemError == 0) stream.systemError = pass.bits->readError;
    } else if (pass.session.index.shape == nullptr) {
      stream.error = kErrorVqfUnspecified;
    }
    EndDecoding(state);
    return false;
  }
  codec::TvqDecodeFrame(&pass.session.index, state.decoded.get());
  return true;
}

// Makes the next frame to deliver ready in state.frame. False when the
// stream has none left.
bool NextFrame(AudioStream& stream, VqfReadState& state) {
  if (state.framesLeft == 0) return false;
  if (state.pass == nullptr) {
    // The count at the open set up the same decoder on the same bits.
    state.pass = std::make_unique<FramePass>();
    if (platform::SeekFile(*stream.file, state.dataStart, platform::SeekOrigin::kBegin) < 0 ||
        StartPass(state.header, *stream.file, state.end, *state.pass) != 0) {
      EndDecoding(state);
      return false;
    }
  }
  for (; state.skip > 0; --state.skip) {
    if (!DecodeNext(stream, state)) return false;
  }
  if (!DecodeNext(stream, state)) return false;
  const int frameSize = state.pass->frameSize;
  const float* from = state.decoded.get();
  int16_t* to = state.frame.get();
  if (state.pass->channels == 2) {
    for (int i = 0; i < frameSize; ++i) {
      to[2 * i] = ToSample(from[i]);
      to[2 * i + 1] = ToSample(from[frameSize + i]);
    }
  } else {
    for (int i = 0; i < frameSize; ++i) to[i] = ToSample(from[i]);
  }
  state.pending = PendingSamples{state.frame.get(), state.frameSamples};
  // The library and the bitstream go as soon as the last frame is out.
  if (--state.framesLeft == 0) state.pass.reset();
  return true;
}

int64_t VqfReadShort(AudioStream& stream, int16_t* buffer, int64_t count) {
  auto* state = dynamic_cast<VqfReadState*>(stream.codecdata.get());
  if (state == nullptr) return 0;
  return DeliverSamples(buffer, count, state->pending, [&] { return NextFrame(stream, *state); });
}

}  // namespace

int VqfOpenRead(AudioStream& stream) {
  if (const int error = OpenCodecLibraryFor(stream, CodecLibraryId::kTwinVqDecoder)) return error;
  if (platform::SeekFile(*stream.file, stream.fileoffset, platform::SeekOrigin::kBegin) < 0) return kErrorShortRead;
  std::unique_ptr<VqfReadState> state(new (std::nothrow) VqfReadState);
  if (state == nullptr) return kErrorMemory;
  if (const int error = ReadVqfHeader(stream, state->header)) return error;
  state->dataStart = platform::TellFile(*stream.file);
  state->end = stream.fileoffset + stream.filelength;
  stream.dataoffset = state->dataStart - stream.fileoffset;
  stream.datalength = stream.filelength - stream.dataoffset;

  int channels = 0;
  int frameSize = 0;
  {
    FramePass pass;
    if (const int error = StartPass(state->header, *stream.file, state->end, pass)) return error;
    if (const int error = CountFrames(stream, pass, &state->framesLeft)) return error;
    channels = pass.channels;
    frameSize = pass.frameSize;
  }
  state->frameSamples = int64_t{channels} * frameSize;
  state->decoded.reset(new (std::nothrow) float[static_cast<size_t>(state->frameSamples)]());
  state->frame.reset(new (std::nothrow) int16_t[static_cast<size_t>(state->frameSamples)]());
  if (state->decoded == nullptr || state->frame == nullptr) return kErrorMemory;

  AudioInfo& info = stream.info;
  info.channels = static_cast<uint32_t>(channels);
  info.pcmbitwidth = 16;
  info.format = FMT_VQF;
  info.sections = 1;
  info.samplerate = VqfSampleRate(state->header.samplingRate);
  info.samples = static_cast<uint32_t>(state->framesLeft * frameSize);
  info.bitrate = VqfChannelBitRate(state->header.bitRate, channels);
  stream.bytewidth = 2;
  stream.blockwidth = 2 * channels;
  stream.codecdata = std::move(state);
  stream.readShort = VqfReadShort;
  stream.close = ReleaseCodecState;
  return 0;
}
