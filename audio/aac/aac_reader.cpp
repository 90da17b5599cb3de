// SPDX-License-Identifier: GPL-2.0-or-later
// Reading an AAC stream with faad2. The open decodes the whole stream once,
// a frame at a time, to count the samples and to find every fault it
// reports. The count keeps its samples: the first kAacKeptSamples in
// memory, a longer stream's in an unnamed temporary file written and read
// back a block of kAacKeptSamples at a time, so that memory stays bounded
// whatever the stream's length and the stream is decoded once. Where no
// such file can be made or written, reads decode the stream again with a
// decoder set up the same way over the same bytes.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "audio/aac/aac.h"
#include "audio/aac/aac_input.h"
#include "audio/codec_libraries/codec_libraries.h"

namespace {


struct DecoderCloser {
  void operator()(void* decoder) const { codec::NeAACDecClose(decoder); }
};
using DecoderPtr = std::unique_ptr<void, DecoderCloser>;

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

// One pass of the decoder over the window's audio data.
struct DecodePass {
  DecoderPtr decoder;
  AacInput input;
  int64_t position = 0;  // window offset of the decoder's next byte
  int64_t stored = 0;    // samples the frames so far gave
  DecodedShape shape;
};

bool PassDone(const DecodePass& pass) { return pass.position >= pass.input.size; }

// The error number of a window that cannot be read; errno says why.
int Unreadable(AudioStream& stream) {
  if (stream.systemError == 0) stream.systemError = errno;
  return kErrorShortRead;
}

// Sets up a decoder and initialises it with the audio data from window
// offset `tag` on, the shape starting as `shape`. Returns 0, 8, 81, or 19.
int StartPass(AudioStream& stream, int64_t tag, const DecodedShape& shape, DecodePass& pass) {
  pass.shape = shape;
  if (!OpenAacInput(pass.input, *stream.file, stream.fileoffset, stream.filelength)) return kErrorMemory;
  pass.decoder.reset(codec::NeAACDecOpen());
  if (pass.decoder == nullptr) return kErrorMemory;
  NeAACDecConfigurationPtr config = codec::NeAACDecGetCurrentConfiguration(pass.decoder.get());
  if (config == nullptr) return kErrorMemory;
  config->outputFormat = FAAD_FMT_16BIT;
  // A stream of 24000 Hz or below that carries no band replication would
  // otherwise come out at twice its rate and delayed by the upsampling.
  config->dontUpSampleImplicitSBR = 1;
  if (codec::NeAACDecSetConfiguration(pass.decoder.get(), config) == 0) return kErrorAacDecoding;
  errno = 0;
  if (!FillAacInput(pass.input, tag, kAacInputMostAsked)) return Unreadable(stream);
  const size_t available = AacInputAvailable(pass.input, tag);
  unsigned long rate = 0;
  unsigned char channels = 0;
  const long header = codec::NeAACDecInit(pass.decoder.get(), const_cast<uint8_t*>(AacInputAt(pass.input, tag)),
                                          available, &rate, &channels);
  if (header < 0 || static_cast<unsigned long>(header) > available) return kErrorAacDecoding;
  pass.position = tag + header;
  return 0;
}

// Decodes the next frame: on 0, *samples and *count are what it gave
// (valid until the next call). Returns 0 or an error number; 81 (logged) as
// soon as the samples decoded pass what the window's bytes consumed so far
// can plausibly hold (MaxCodecSamples).
int DecodeFrame(AudioStream& stream, DecodePass& pass, const int16_t** samples, int64_t* count) {
  *count = 0;
  errno = 0;
  if (!FillAacInput(pass.input, pass.position, kAacInputMostAsked)) return Unreadable(stream);
  NeAACDecFrameInfo frame{};
  auto* out = static_cast<const int16_t*>(
      codec::NeAACDecDecode(pass.decoder.get(), &frame, const_cast<uint8_t*>(AacInputAt(pass.input, pass.position)),
                            AacInputAvailable(pass.input, pass.position)));
  if (frame.error != 0 || frame.bytesconsumed == 0 ||
      static_cast<int64_t>(frame.bytesconsumed) > pass.input.size - pass.position) {
    return kErrorAacDecoding;
  }
  pass.position += static_cast<int64_t>(frame.bytesconsumed);
  const int64_t n = static_cast<int64_t>(frame.samples);
  const int64_t after = pass.stored + n;
  if (after > MaxCodecSamples(pass.position)) {
    LogPrintf(stream, "%d bytes decode to more than %d samples\n",
              static_cast<int>(std::min<int64_t>(pass.position, INT32_MAX)),
              static_cast<int>(std::min<int64_t>(after, INT32_MAX)));
    return kErrorAacDecoding;
  }
  DecodedShape& shape = pass.shape;
  const auto frameRate = static_cast<uint32_t>(frame.samplerate);
  if (frame.channels != 0 && !shape.reported) {
    shape = DecodedShape{frame.channels, frameRate != 0 ? frameRate : shape.samplerate, true};
  } else if (frame.channels != 0 &&
             (frame.channels != shape.channels || (frameRate != 0 && frameRate != shape.samplerate))) {
    // One stream description cannot hold both.
    return kErrorAacDecoding;
  }
  if (n == 0) return 0;
  if (shape.channels == 0) return kErrorMemory;
  if (out == nullptr || n % shape.channels != 0) return kErrorAacDecoding;
  if (after > kMaxCodecStreamSamples) return kErrorMemory;
  pass.stored = after;
  *samples = out;
  *count = n;
  return 0;
}

// A read stream's state: how the count began (each pass begins so), the
// samples to deliver, and either the samples the count kept (in memory, or
// in the spill file with `kept` its block) or the pass that decodes them
// again.
struct AacReadState : CodecState {
  int64_t tag = 0;
  DecodedShape probed;
  int64_t total = 0;
  int64_t offered = 0;  // samples made pending so far
  std::unique_ptr<int16_t[]> kept;  // kAacKeptSamples: the samples, or a block of the spill file
  int64_t keptCount = 0;            // samples in `kept` not in the spill file
  platform::File spill;             // open once the count passed kAacKeptSamples samples
  std::unique_ptr<DecodePass> pass;
  PendingSamples pending;
};

// An unnamed file in $TMPDIR (or /tmp), gone once closed; not open when the
// folder allows none.
platform::File OpenSpillFile() {
  const char* folder = std::getenv("TMPDIR");
  const std::string path = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? platform::File() : platform::File(fd);
}

// Moves the block's samples to the end of the spill file, opening it first.
// False when it cannot be made or written.
bool SpillBlock(AacReadState& state) {
  if (!state.spill.IsOpen()) state.spill = OpenSpillFile();
  if (!state.spill.IsOpen()) return false;
  const size_t bytes = static_cast<size_t>(state.keptCount) * sizeof(int16_t);
  if (platform::WriteFile(state.spill, state.kept.get(), bytes) != static_cast<int64_t>(bytes)) return false;
  state.keptCount = 0;
  return true;
}

// Keeps a frame's `count` samples after those kept so far. Where the spill
// file fails, nothing more is kept and the reads decode again.
void KeepSamples(AacReadState& state, const int16_t* samples, int64_t count) {
  while (state.kept != nullptr && count > 0) {
    if (state.keptCount == kAacKeptSamples && !SpillBlock(state)) {
      state.kept.reset();
      state.spill = platform::File();
      break;
    }
    const int64_t n = std::min(count, kAacKeptSamples - state.keptCount);
    std::memcpy(state.kept.get() + state.keptCount, samples, static_cast<size_t>(n) * sizeof(int16_t));
    state.keptCount += n;
    samples += n;
    count -= n;
  }
}

// Decodes the whole stream once: sets state.total and the shape, and keeps
// the samples (KeepSamples). Returns 0 or an error number (see AacOpenRead).
int CountSamples(AudioStream& stream, AacReadState& state, DecodedShape* shape) {
  DecodePass pass;
  if (const int error = StartPass(stream, state.tag, state.probed, pass)) return error;
  state.kept.reset(new (std::nothrow) int16_t[kAacKeptSamples]);
  do {
    const int16_t* samples = nullptr;
    int64_t count = 0;
    if (const int error = DecodeFrame(stream, pass, &samples, &count)) return error;
    KeepSamples(state, samples, count);
  } while (!PassDone(pass));
  if (pass.shape.channels == 0) return kErrorMemory;
  // A stream of one frame, or of frames that give no samples, holds nothing.
  if (pass.stored == 0) return kErrorAacDecoding;
  if (state.spill.IsOpen() && state.keptCount > 0 && !SpillBlock(state)) {
    state.kept.reset();
    state.spill = platform::File();
  }
  state.total = pass.stored;
  *shape = pass.shape;
  return 0;
}

// Makes the next decoded samples pending. False when there are none: the
// stream delivered everything, or reading the spill file or decoding the
// stream again failed (stream.error then says why, 19 for a file that could
// not be read).
bool NextSamples(AudioStream& stream, AacReadState& state) {
  if (state.offered >= state.total) return false;
  if (state.spill.IsOpen()) {
    const int64_t n = std::min(kAacKeptSamples, state.total - state.offered);
    errno = 0;
    if (!platform::ReadFileAt(state.spill, state.offered * int64_t{sizeof(int16_t)}, state.kept.get(),
                              static_cast<size_t>(n) * sizeof(int16_t))) {
      (void)Unreadable(stream);
      stream.error = kErrorShortRead;
      state.total = state.offered;
      return false;
    }
    state.pending = PendingSamples{state.kept.get(), n};
    state.offered += n;
    return true;
  }
  if (state.kept != nullptr) {
    state.pending = PendingSamples{state.kept.get() + state.offered, state.total - state.offered};
    state.offered = state.total;
    return true;
  }
  int error = 0;
  if (state.pass == nullptr) {
    state.pass = std::make_unique<DecodePass>();
    error = StartPass(stream, state.tag, state.probed, *state.pass);
  }
  while (error == 0 && state.pending.count == 0 && !PassDone(*state.pass)) {
    error = DecodeFrame(stream, *state.pass, &state.pending.at, &state.pending.count);
  }
  if (error == kErrorShortRead) stream.error = kErrorShortRead;
  if (error != 0 || state.pending.count == 0) {
    state.pass.reset();
    state.total = state.offered;
    return false;
  }
  state.pending.count = std::min(state.pending.count, state.total - state.offered);
  state.offered += state.pending.count;
  return true;
}

int64_t AacReadShort(AudioStream& stream, int16_t* buffer, int64_t count) {
  auto* state = dynamic_cast<AacReadState*>(stream.codecdata.get());
  if (state == nullptr) return 0;
  const int64_t done = DeliverSamples(buffer, count, state->pending, [&] { return NextSamples(stream, *state); });
  // The decoder and its input go as soon as the last sample is out.
  if (state->offered >= state->total && state->pending.count == 0) {
    state->pass.reset();
    state->kept.reset();
    state->spill = platform::File();
  }
  return done;
}

}  // namespace

int AacOpenRead(AudioStream& stream) {
  if (int error = OpenCodecLibraryFor(stream, CodecLibraryId::kAacDecoder)) return error;
  const int64_t fileSize = platform::FileSize(*stream.file);
  if (stream.filelength < 0 || fileSize < 0 || stream.fileoffset < 0 ||
      stream.filelength > fileSize - std::min(stream.fileoffset, fileSize)) {
    return kErrorShortRead;
  }
  AacHeaderInfo probe;
  const int64_t tag = ProbeAacHeader(stream, &probe);
  if (tag == kAacUnreadable) return kErrorShortRead;
  if (tag == kAacNoMemory) return kErrorMemory;
  if (tag == kAacInvalidHeader) return kErrorAacDecoding;
  std::unique_ptr<AacReadState> state(new (std::nothrow) AacReadState);
  if (state == nullptr) return kErrorMemory;
  state->tag = tag;
  state->probed = DecodedShape{static_cast<uint32_t>(probe.channels), static_cast<uint32_t>(probe.samplerate)};
  DecodedShape shape;
  if (int error = CountSamples(stream, *state, &shape)) return error;
  AudioInfo& info = stream.info;
  info.channels = shape.channels;
  info.samplerate = shape.samplerate;
  info.bitrate = static_cast<uint32_t>(probe.bitrate);
  info.pcmbitwidth = 16;
  info.format = FMT_MP4;
  info.sections = 1;
  info.samples = static_cast<uint32_t>(state->total / shape.channels);
  stream.dataoffset = 16;
  stream.datalength = 4096;
  stream.bytewidth = 2;
  stream.blockwidth = 2 * static_cast<int>(shape.channels);
  stream.readShort = AacReadShort;
  stream.close = ReleaseCodecState;
  stream.codecdata = std::move(state);
  return 0;
}
