// The audio stream layer: one handle over an audio stream that lies in an
// open file, read and written as interleaved signed 16-bit samples.
//
// A stream begins at the file's position when it is opened and spans a given
// number of bytes, so a packed stream is read in place inside a pack. Opens
// return the stream or null and record the reason in LastError(). Samples
// cross the layer on the scale of the stream's bit width below 16 bits (an
// 8-bit stream reads as -128..127) and on the 16-bit scale from 16 bits up.
#pragma once

#include <cstdint>
#include <memory>

#include "audio/stream/audio_info.h"
#include "platform/platform.h"

struct AudioStream;

// Opens for reading the stream that begins at `file`'s current position and
// is `length` bytes long (0: up to the end of the file). `info->format` is the
// format code to open with, 0 to recognise it from the first bytes (and, for
// headerless AU, from the extension of `name`). On success `info` receives
// the stream's description. Returns null on failure; see LastError().
[[nodiscard]] AudioStream* OpenStreamRead(const char* name, platform::File* file, AudioInfo* info,
                                          uint32_t length);

// Opens for writing, at `file`'s current position, a stream in the format and
// layout that `info` describes. The file stays open after CloseStream.
[[nodiscard]] AudioStream* OpenStreamWrite(const char* name, platform::File* file, AudioInfo* info);

// Creates `path` (replacing a file of that name) and opens it for writing as
// OpenStreamWrite does; CloseStream closes the file.
[[nodiscard]] AudioStream* OpenFileWrite(const char* path, AudioInfo* info);

// Reads up to `count` samples (a whole number of frames). Returns the samples
// read; past the end the rest of `buffer` up to `count` is zero-filled. For a
// handle that is not valid returns 4 (no handle or bad magic) or 6 (no file).
[[nodiscard]] int64_t ReadShorts(AudioStream* stream, int16_t* buffer, int64_t count);

// Writes `count` samples (a whole number of frames). Returns the samples
// written, fewer when the file refused them; 4 or 6 for a handle that is not
// valid.
[[nodiscard]] int64_t WriteShorts(AudioStream* stream, const int16_t* buffer, int64_t count);

// Completes and closes the stream and releases the handle. Returns 0; 4 or 6
// for a handle that is not valid; or the error number with which the module
// failed to complete a stream being written (20 for a failed header or data
// write, 21 when the encoder refused its settings).
int CloseStream(AudioStream* stream);

// 1 when `info` describes a stream that may be written, else 0.
[[nodiscard]] int FormatCheck(const AudioInfo* info);

// The error number of the most recent open (0 after a successful one).
[[nodiscard]] int LastError();
// The log of the most recent stream whose opening failed.
[[nodiscard]] const char* LastLog();
// The message of an error number 0..87 ("Maximum error number." beyond).
[[nodiscard]] const char* ErrorMessage(int error);
// The stream's own last error number.
[[nodiscard]] int StreamError(const AudioStream* stream);

// Closes a stream when the owning pointer goes away.
struct StreamCloser {
  void operator()(AudioStream* stream) const { (void)CloseStream(stream); }
};
using StreamPtr = std::unique_ptr<AudioStream, StreamCloser>;
