// The stream handle as the format modules see it.
//
// A format module (the libsndfile containers, Ogg Vorbis, ...) provides an
// open-for-reading and an open-for-writing function of type ModuleOpenFn. The
// layer hands it an AudioStream whose file, fileoffset, filelength, mode,
// filename and (for writing, and for raw reading) info are filled in; the
// module reads or writes what it must, completes info and the layout fields,
// places its functions in the slots and returns 0 or an error number.
//
// Callers outside the audio layer use audio/stream/audio_stream.h instead.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/stream/audio_info.h"
#include "platform/platform.h"

struct AudioStream;

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

inline constexpr uint32_t kStreamMagic = 0x1234C0DE;
inline constexpr int kStreamModeRead = 11;
inline constexpr int kStreamModeWrite = 12;
inline constexpr int kEndianLittle = 100;
inline constexpr int kEndianBig = 101;
inline constexpr int kCharsSigned = 200;
inline constexpr int kCharsUnsigned = 201;

inline constexpr int kStreamScratchBytes = 4096;
inline constexpr int kStreamFilenameBytes = 256;
inline constexpr int kStreamLogBytes = 4096;
inline constexpr int kStreamHeaderBytes = 2048;

struct AudioStream {
  char buffer[kStreamScratchBytes] = {};    // scratch for the sample encodings
  char filename[kStreamFilenameBytes] = {};  // base name of the stream's name
  char logbuffer[kStreamLogBytes] = {};      // text log, always terminated
  uint8_t header[kStreamHeaderBytes] = {};   // binary header being assembled
  uint32_t magic = 0;                        // kStreamMagic while valid
  int logindex = 0;                          // characters in logbuffer
  int headindex = 0;                         // bytes in header
  platform::File* file = nullptr;            // the file holding the stream
  int error = 0;                             // last error number of this stream
  int mode = 0;                              // kStreamModeRead or kStreamModeWrite
  int endian = 0;
  int chars = 0;
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

  // The file that OpenFileWrite created; `file` points at it then.
  platform::File ownedFile;
};

// Stream log and binary header fields.

// Appends text to the stream's log (at most 4095 characters are kept).
// Conversions: %s string, %d int, %X int in upper-case hex, %c char, %D the
// four bytes of an int as a chunk marker; "%" before anything else appends
// "*", that character, "*".
void LogPrintf(AudioStream& stream, const char* format, ...);

// Writes the description dump of stream.info into the log.
void LogInfo(AudioStream& stream);

// Appends binary fields to stream.header at headindex. Upper-case letters are
// big-endian, lower-case little-endian: B (pointer, count), F/f (double), L/l
// (int), W/w (int), b (int), m (marker int), S/s (string), z (count). Returns
// the bytes the conversions account for.
int HeaderWrite(AudioStream& stream, const char* format, ...);

// Reads binary fields from the stream's file at its current position: B
// (pointer, count), F/f (float*), L/l (int*), t (int*, 3 bytes LE), W/w
// (short*), b (char*), m (int*), j (count: relative move), p (position: move
// to fileoffset + position). Returns the bytes read since the start or the
// last j or p. With a null format, returns the position minus fileoffset.
int HeaderRead(AudioStream& stream, const char* format, ...);
