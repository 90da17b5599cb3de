// SPDX-License-Identifier: GPL-2.0-or-later
// What the VQF reader and writer share: the container's header, its codes
// for rates, bit rates and encoder settings, and the TwinVQ library state
// a coded stream holds.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/stream/stream_module.h"
#include "audio/vqf/vqf_bitstream.h"

// The bytes of the id at the start of a stream ("TWIN97012000").
inline constexpr int kVqfIdBytes = 12;
// The decoder's first two frames hold its delay, not the stream's audio;
// the encoder is given two silent frames at the end to push the last out.
inline constexpr int kVqfDelayFrames = 2;
// Larger than any frame a TwinVQ coder uses (samples per channel): a
// library that says more is not believed.
inline constexpr int kVqfMaxFrameSize = 1 << 16;

struct BitstreamCloser {
  void operator()(BitstreamFile* bitstream) const { (void)close_bstm(bitstream); }
};
using BitstreamPtr = std::unique_ptr<BitstreamFile, BitstreamCloser>;

// Frees a bitstream's slot without writing its partial block: a stream
// abandoned unfinished writes nothing more.
struct BitstreamReleaser {
  void operator()(BitstreamFile* bitstream) const { terelease(bitstream); }
};

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
[[nodiscard]] int VqfSetUpError(int code);

// Reads the header from the stream's start into `header` and leaves the file
// just past "DATA". Chunks before it are skipped, "COMM" giving the four
// fields. Returns 0, 71 when the window ends before "DATA" (or a chunk runs
// past it), or 75 for a "COMM" chunk shorter than its fields.
[[nodiscard]] int ReadVqfHeader(AudioStream& stream, VqfHeaderInfo& header);

// Assembles the 44-byte header of `header` (id, "COMM" and its four fields,
// "DATA") in stream.header and writes it at the file's position. Returns 0
// or 20.
[[nodiscard]] int WriteVqfHeader(AudioStream& stream, const VqfHeaderInfo& header);

// The sample rate of a header's samplingRate (kHz), 0 for none.
[[nodiscard]] uint32_t VqfSampleRate(int32_t kilohertz);

// AudioInfo's bitrate (bit/s per channel) of a header's bitRate (kbit/s of
// the whole stream), so that a stream written back gets the header's rate;
// 0 for a rate below 1 kbit/s.
[[nodiscard]] uint32_t VqfChannelBitRate(int32_t kilobits, int channels);

// The header's samplingRate for a sample rate, 0 when VQF has none for it.
[[nodiscard]] int32_t VqfKilohertz(uint32_t rate);

// The encoder's preselection candidates for AudioInfo's codecOption; 0 for
// an option without a number, which the encoder judges.
[[nodiscard]] int32_t VqfPreselection(uint16_t codecOption);
