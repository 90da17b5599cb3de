// SPDX-License-Identifier: GPL-2.0-or-later
// The stream handle as the format modules see it.
//
// A format module (the libsndfile containers, Ogg Vorbis, ...) provides an
// open-for-reading and an open-for-writing function of type ModuleOpenFn. The
// layer hands it an AudioStream whose file, fileoffset, filelength, mode,
// filename and (for writing, and for raw reading) info are filled in; the
// module reads or writes what it must, completes info and the layout fields,
// places its functions in the slots and returns 0 or an error number. For
// reading, info.format holds the code being opened (for raw reading, the
// caller's whole description). Every position a module uses is counted from
// fileoffset, and a reader stays inside the filelength bytes from there.
//
// Callers outside the audio layer use audio/stream/audio_stream.h instead.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "audio/stream/audio_info.h"
#include "platform/destination.h"
#include "platform/platform.h"

struct AudioStream;
struct StreamFormat;

// Slot signatures. Counts are numbers of samples, all channels together; the
// read and write slots return the number of samples moved.
using StreamSeekFn = int64_t (*)(AudioStream& stream, int64_t frames, int whence);
using StreamReadShortFn = int64_t (*)(AudioStream& stream, int16_t* buffer, int64_t count);
using StreamReadIntFn = int64_t (*)(AudioStream& stream, int32_t* buffer, int64_t count);
using StreamReadFloatFn = int64_t (*)(AudioStream& stream, float* buffer, int64_t count);
using StreamReadDoubleFn = int64_t (*)(AudioStream& stream, double* buffer, int64_t count);
using StreamWriteShortFn = int64_t (*)(AudioStream& stream, const int16_t* buffer, int64_t count);
using StreamWriteIntFn = int64_t (*)(AudioStream& stream, const int32_t* buffer, int64_t count);
using StreamWriteFloatFn = int64_t (*)(AudioStream& stream, const float* buffer, int64_t count);
using StreamWriteDoubleFn = int64_t (*)(AudioStream& stream, const double* buffer, int64_t count);
using StreamWriteHeaderFn = int (*)(AudioStream& stream);
// Completes the stream (a writer finishes its file) and releases the module's
// state. Returns 0, or an error number when the data could not be completed.
using StreamCloseFn = int (*)(AudioStream& stream);

// A module's open-for-reading or open-for-writing function.
using ModuleOpenFn = int (*)(AudioStream& stream);

// A format module's own state, owned by the stream and released with it.
struct CodecState {
  virtual ~CodecState() = default;
};

// Most samples (all channels together) that a codec stream may decode to
// from `bytes` bytes of its window: 1024 per byte. Real streams stay far
// below it; the densest measured (Vorbis q-1 of digital silence at 192 kHz
// stereo) gives about 110 per byte, AAC at 8 kbit/s and VQF at 8 kbit/s
// about 8. A codec module checks it as it decodes, against the bytes read so
// far, so a hostile stream is refused before its samples fill memory; the
// layer checks every codec stream's total once more after the open.
inline constexpr int64_t kMaxCodecSamplesPerByte = 1024;
[[nodiscard]] constexpr int64_t MaxCodecSamples(int64_t bytes) {
  return bytes > 0 ? bytes * kMaxCodecSamplesPerByte : 0;
}

// The seconds of SOURCE_DATE_EPOCH when it holds a whole number (the
// reproducible-builds convention): true with *seconds set, else false.
[[nodiscard]] bool SourceDateEpoch(uint64_t* seconds);

// A chunk marker as the int whose bytes, lowest first, are a, b, c, d: the
// value HeaderRead's "m" yields for those four bytes in the file.
constexpr int MakeMarker(char a, char b, char c, char d) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint8_t>(a)) |
                          (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
                          (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
                          (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24));
}

inline constexpr uint32_t kStreamMagic = 0x1234C0DE;
inline constexpr int kStreamModeRead = 11;
inline constexpr int kStreamModeWrite = 12;

inline constexpr int kStreamFilenameBytes = 256;
inline constexpr int kStreamLogBytes = 4096;
inline constexpr int kStreamHeaderBytes = 2048;

struct AudioStream {
  char filename[kStreamFilenameBytes] = {};  // base name of the stream's name
  char logbuffer[kStreamLogBytes] = {};      // text log, always terminated
  uint8_t header[kStreamHeaderBytes] = {};   // binary header being assembled
  uint32_t magic = 0;                        // kStreamMagic while valid
  int logindex = 0;                          // characters in logbuffer
  int headindex = 0;                         // bytes in header
  platform::File* file = nullptr;            // the file holding the stream
  int error = 0;                             // last error number of this stream
  int systemError = 0;                       // errno of the first failed file read or write, 0 if none
  int mode = 0;                              // kStreamModeRead or kStreamModeWrite
  AudioInfo info;
  int64_t dataoffset = 0;  // bytes from the stream's start to the samples
  int64_t datalength = 0;  // bytes of sample data
  int blockwidth = 0;      // bytes per frame
  int bytewidth = 0;       // bytes per sample
  int64_t filelength = 0;  // the stream's length in bytes (its window)
  int64_t fileoffset = 0;  // file position at which the stream begins
  int64_t written = 0;     // furthest position reached by writing, from fileoffset
  int closefile = 0;       // 1: closing the stream closes ownedFile
  int64_t current = 0;     // frame of the next read or write
  std::unique_ptr<CodecState> codecdata;
  const StreamFormat* format = nullptr;  // the format whose module opened the stream

  StreamSeekFn seek = nullptr;
  StreamReadShortFn readShort = nullptr;
  StreamReadIntFn readInt = nullptr;
  StreamReadFloatFn readFloat = nullptr;
  StreamReadDoubleFn readDouble = nullptr;
  StreamWriteShortFn writeShort = nullptr;
  StreamWriteIntFn writeInt = nullptr;
  StreamWriteFloatFn writeFloat = nullptr;
  StreamWriteDoubleFn writeDouble = nullptr;
  StreamWriteHeaderFn writeHeader = nullptr;
  StreamCloseFn close = nullptr;

  // The pending file of OpenFileWrite or OpenPendingFileWrite, under a
  // temporary name until CloseStream completes the stream; `file` points at
  // its File then.
  platform::PendingFile ownedFile;
};

// What the codec modules that code a frame at a time share.

// Begins a codec-format stream opened for writing: `state` as its
// codecdata, 16-bit samples in the layout fields (stream.info.samples 0),
// `write` and `close` in the slots.
inline void BeginCodecWriting(AudioStream& stream, std::unique_ptr<CodecState> state, StreamWriteShortFn write,
                              StreamCloseFn close) {
  stream.codecdata = std::move(state);
  stream.info.pcmbitwidth = 16;
  stream.info.samples = 0;
  stream.bytewidth = 2;
  stream.blockwidth = 2 * static_cast<int>(stream.info.channels);
  stream.writeShort = write;
  stream.close = close;
}

// Most samples (all channels together) one codec-format stream delivers or
// takes: the layer counts them in 32 bits.
inline constexpr int64_t kMaxCodecStreamSamples = INT32_MAX;

// Counts `count` more samples taken by a stream being written into `taken`
// and sets stream.info.samples to the frames taken. False, counting none,
// when the total would pass kMaxCodecStreamSamples.
inline bool TakeSamples(AudioStream& stream, int64_t& taken, int64_t count) {
  if (taken + count > kMaxCodecStreamSamples) return false;
  taken += count;
  stream.info.samples = stream.info.channels != 0 ? static_cast<uint32_t>(taken) / stream.info.channels : 0;
  return true;
}

// Samples a reader has decoded and not yet delivered.
struct PendingSamples {
  const int16_t* at = nullptr;
  int64_t count = 0;
};

// Delivers up to `count` samples into `buffer`, the pending ones first;
// when they run out, next() makes more pending and returns false when there
// are none. Returns the samples delivered.
template <typename Next>
int64_t DeliverSamples(int16_t* buffer, int64_t count, PendingSamples& pending, Next&& next) {
  int64_t done = 0;
  while (done < count) {
    if (pending.count == 0 && !next()) break;
    const int64_t n = count - done < pending.count ? count - done : pending.count;
    std::copy_n(pending.at, n, buffer + done);
    pending.at += n;
    pending.count -= n;
    done += n;
  }
  return done;
}

// A close slot that releases the module's state and returns 0.
inline int ReleaseCodecState(AudioStream& stream) {
  stream.codecdata.reset();
  return 0;
}

// A close slot for a stream whose state is a `State`: Finish completes the
// stream, then the state is released. Returns what Finish returns (0 for
// a stream without such a state).
template <typename State, int (*Finish)(AudioStream&, State&)>
int FinishAndRelease(AudioStream& stream) {
  int result = 0;
  if (auto* state = dynamic_cast<State*>(stream.codecdata.get())) result = Finish(stream, *state);
  stream.codecdata.reset();
  return result;
}

// Stream log and binary header fields.

// Appends text to the stream's log; the log keeps at most 4095 characters and
// a terminator and silently drops the rest. Conversions: %s string, %d int in
// signed decimal, %X int in upper-case hex, %c char, %D the four bytes of an
// int, lowest first, up to the first zero byte (a chunk marker as text). "%"
// before any other character c appends "*", c, "*" and takes no argument.
void LogPrintf(AudioStream& stream, const char* format, ...);

// Writes the description dump of stream.info into the log.
void LogInfo(AudioStream& stream);

// Appends binary fields to stream.header at headindex, one per format
// character; upper-case letters are big-endian, lower-case little-endian:
// B (const void*, int count) the bytes as they stand; F/f (double) 4 bytes of
// 32-bit float; L/l (int) 4; W/w (int) 2; b (int) 1; m (int marker) its 4
// bytes lowest first; S/s (const char*) its length with terminator rounded up
// to even as 4 bytes, then that many bytes; z (int count) zero bytes. Returns
// the bytes the conversions account for. A field is stored whole only when it
// ends before the header's last byte (a 4-byte field below headindex 2044, a
// 2-byte one below 2046, a byte below 2047; the same holds for B, S, s and z);
// otherwise nothing is stored and headindex stays (its bytes still count). An unknown
// character logs "*** Invalid format specifier `c'" and sets error 21.
int HeaderWrite(AudioStream& stream, const char* format, ...);

// Reads binary fields from the stream's file at its current position: B
// (void*, int count) cleared then read; F/f (float*); L/l (int*); t (int*, 3
// bytes little-endian); W/w (int16_t*); b (char*); m (int*, 4 bytes as they
// lie); j (int count: move by count, the byte count starts again); p (int
// position: move to fileoffset + position, the byte count starts again). S, s
// and z print "Format conversion not implemented yet." on standard output; an
// unknown character logs and sets error 21. A stream open for reading never
// reads past its window: bytes beyond fileoffset + filelength read as zero,
// and no move goes before fileoffset. Returns the bytes asked for since the
// start or the last j or p (short reads are not reported). With a null
// format, returns the file's position minus fileoffset.
int HeaderRead(AudioStream& stream, const char* format, ...);
