// SPDX-License-Identifier: GPL-2.0-or-later
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
#include <string>
#include <vector>

#include "audio/stream/audio_info.h"
#include "platform/destination.h"
#include "platform/platform.h"

struct AudioStream;

// Opens for reading the stream that begins at `file`'s current position and
// is `length` bytes long (0: from there up to the end of the file). Nothing
// outside those bytes is read. `info->format` is the format code to open with
// (only its major code counts), 0 to recognise it from the first bytes (and,
// for headerless AU, from the extension "au" or "snd" of `name`); for FMT_RAW
// the caller's info must give channels, pcmbitwidth and the minor code. On
// success `info` receives the stream's description. Returns null on failure
// with the error number in LastError() (kErrorNoInfo, kErrorBadFile no file,
// kErrorUnknownFormat, kErrorRawNeedsLayout raw without layout,
// kErrorInfoIncomplete incomplete description, the module's number
// otherwise) and the stream's log in LastLog(). A codec stream (Ogg, AAC,
// VQF) that decodes to more samples than MaxCodecSamples of its window
// allows (stream_module.h: 1024 per byte) is refused with
// kErrorUnknownFormat (its module may refuse it earlier with a number of its
// own).
[[nodiscard]] AudioStream* OpenStreamRead(const char* name, platform::File* file, AudioInfo* info,
                                          uint32_t length);

// Opens for writing, at `file`'s current position, a stream in the format and
// layout that `info` describes (FormatCheck must accept it, else
// kErrorBadFormat). The file
// stays open after CloseStream and then stands at the stream's end. Returns
// null on failure, see LastError().
[[nodiscard]] AudioStream* OpenStreamWrite(const char* name, platform::File* file, AudioInfo* info);

// Opens a new file `path` (backslashes taken as separators) for writing as
// OpenStreamWrite does. The data goes to a temporary file beside `path`, which
// CloseStream renames over `path` once the stream is complete; a refused open
// (kErrorBadFormat, or kErrorCannotOpen when the file cannot be created) or a
// failed close leaves no file
// behind and a file already named `path` untouched.
[[nodiscard]] AudioStream* OpenFileWrite(const char* path, AudioInfo* info);

// Opens for writing, as OpenFileWrite does, into `pending`, a pending file
// that its creator placed (see platform::Destination); `name` names the
// stream. The stream takes the pending file over (it is empty afterwards,
// even on failure): CloseStream puts it under its final name once the
// stream is complete; a refused open (kErrorBadFormat, or kErrorCannotOpen
// when `pending` holds no file) or a failed close leaves nothing.
[[nodiscard]] AudioStream* OpenPendingFileWrite(const char* name, platform::PendingFile* pending, AudioInfo* info);

// Reads up to `count` samples into `buffer`. REQUIRES: `count` is a whole
// number of frames (else 0 with StreamError kErrorReadChannels). StreamError
// is kErrorShortRead after a read of the file that failed, now or earlier:
// the samples are then not the stream's (see StreamSystemError). Returns the
// samples read; the rest of `buffer` up to `count` is zero-filled, and past
// the end every read returns 0. For a handle that is not valid returns
// kErrorBadHandle (no handle or bad magic) or kErrorBadFile (no file); on a
// stream being written, 0 with StreamError kErrorReadOnWrite.
[[nodiscard]] int64_t ReadShorts(AudioStream* stream, int16_t* buffer, int64_t count);

// Writes `count` samples. REQUIRES: a whole number of frames (else 0 with
// StreamError kErrorWriteChannels). Samples of a stream narrower than 16 bits
// are on its own scale; values beyond it are clipped. Returns the samples
// written, fewer (with StreamError kErrorShortWrite, or the module's number)
// when the file refused them; kErrorBadHandle or kErrorBadFile for a handle
// that is not valid; 0 with StreamError kErrorWriteOnRead on a stream being
// read.
[[nodiscard]] int64_t WriteShorts(AudioStream* stream, const int16_t* buffer, int64_t count);

// Completes and closes the stream and releases the handle, which must not be
// used afterwards. Returns 0; kErrorBadHandle or kErrorBadFile for a handle
// that is not valid; or, for a stream being written, the error number with
// which it could not be completed (kErrorShortWrite for a failed header or
// data write, or a file of OpenFileWrite that could not be closed and renamed
// into place; kErrorInternal when an encoder refused its settings; a codec
// format's own number, such as kErrorVqfSampleRate). After a failure errno
// holds the system's reason for it, 0 when there was none.
int CloseStream(AudioStream* stream);

// Closes a stream without completing it and releases the handle, which must
// not be used afterwards: nothing is encoded or finished, and the file of
// OpenFileWrite is removed (a file already named by its path stays as it
// was). For a stream of OpenStreamWrite, whatever was written stays in the
// file, whose position is then undefined. Returns 0, or kErrorBadHandle or
// kErrorBadFile for a handle that is not valid.
int AbandonStream(AudioStream* stream);

// ---- Formats (one record each in audio/stream/stream_formats.cpp) ---------

// 1 when `info` describes a stream that may be written (channels 1 to 256 and
// a container, encoding and bit width of the format table), else 0.
[[nodiscard]] int FormatCheck(const AudioInfo* info);

// The name of a format code as spoolpack shows it: "WAV/PCM", "OGG" (the
// codec formats have no encodings), "auto" for 0, "?" for an unknown part.
[[nodiscard]] std::string FormatName(uint32_t format);

// Whether the major code of `format` is a codec format (Ogg Vorbis, AAC,
// VQF): decoded whole when opened, to at most MaxCodecSamples of its window,
// whatever its minor code.
[[nodiscard]] bool IsCodecFormat(uint32_t format);

// Whether `error` is one of a codec format's own numbers (kErrorVqfUnspecified
// to kErrorVorbisEncLibrary): a file recognised as such a format whose stream
// cannot be read, for example without its codec library.
[[nodiscard]] bool IsCodecError(int error);

// The format code with which the bytes of a stream read as `format` open
// again: its major code, FMT_AU for a little-endian AU file, and 0
// (recognise them again) for u-law AU, which a headerless file reads as.
[[nodiscard]] uint32_t KeptStreamFormat(uint32_t format);

// Why samples of `stream` (opened for reading), written in another format
// and restored to its description, could not give back a file of its kind
// even where FormatCheck accepts that description ("a headerless AU file
// would come back with a header"); null when nothing stands in the way.
[[nodiscard]] const char* RewriteRefusal(const AudioStream* stream);

// The formats the layer reads, as spoolpack's help names them ("WAV", ...,
// "8SVX", ..., "Ogg Vorbis", "VQF").
[[nodiscard]] std::vector<std::string> ListedFormats();

// The error number of the most recent open (0 after a successful one).
[[nodiscard]] int LastError();
// The log of the most recent open when it failed; empty after a success.
[[nodiscard]] const char* LastLog();
// The message of an error number 0..87 ("Maximum error number." otherwise).
[[nodiscard]] const char* ErrorMessage(int error);
// The message followed by the number, for a line that says why something
// failed: "Short write error. (20)".
[[nodiscard]] std::string ErrorReason(int error);
// The same with the system's reason after it when `systemError` (an errno
// value) is not 0: "Short write error. (20): File too large".
[[nodiscard]] std::string ErrorReason(int error, int systemError);
// The stream's own last error number (kErrorBadHandle or kErrorBadFile for a
// handle that is not valid).
[[nodiscard]] int StreamError(const AudioStream* stream);
// errno of the stream's first failed file read or write, 0 when none failed
// (or the handle is not valid).
[[nodiscard]] int StreamSystemError(const AudioStream* stream);

// Closes a stream when the owning pointer goes away.
struct StreamCloser {
  void operator()(AudioStream* stream) const { (void)CloseStream(stream); }
};
using StreamPtr = std::unique_ptr<AudioStream, StreamCloser>;

// Abandons a stream being written when the owning pointer goes away; one that
// is to be completed is released and passed to CloseStream.
struct StreamAbandoner {
  void operator()(AudioStream* stream) const { (void)AbandonStream(stream); }
};
using WriteStreamPtr = std::unique_ptr<AudioStream, StreamAbandoner>;
