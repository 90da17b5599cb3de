// SPDX-License-Identifier: GPL-2.0-or-later
// The audio stream layer: opens, format recognition, reads and writes.
#include "audio/stream/audio_stream.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "audio/stream/stream_formats.h"
#include "audio/stream/stream_module.h"

namespace {

int g_lastError = 0;
char g_lastLog[kStreamLogBytes] = {};

// 0 for a valid handle, else 4 (none or bad magic) or 6 (no file).
int CheckHandle(const AudioStream* stream) {
  if (stream == nullptr || stream->magic != kStreamMagic) return kErrorBadHandle;
  if (stream->file == nullptr) return kErrorBadFile;
  return kErrorNone;
}

// The checks ReadShorts and WriteShorts share: the handle (4 or 6), the mode
// (`wrongMode`), whole frames (`notFrames`) and the buffer (7). Returns what
// the call returns when it is refused, or -1 when it may go on.
int64_t RefuseSamples(AudioStream* stream, const void* buffer, int64_t count, int mode, int wrongMode,
                      int notFrames) {
  if (const int invalid = CheckHandle(stream)) return invalid;
  stream->error = kErrorNone;
  const int64_t channels = stream->info.channels;
  if (stream->mode != mode) {
    stream->error = wrongMode;
  } else if (count < 0 || channels == 0 || count % channels != 0) {
    stream->error = notFrames;
  } else if (buffer == nullptr && count > 0) {
    stream->error = kErrorBadPointer;
  }
  return stream->error == kErrorNone ? -1 : 0;
}

// Releases a stream: the module's close, then the handle. A file the stream
// owns and that was not committed is removed.
int DestroyStream(AudioStream* stream) {
  int result = kErrorNone;
  if (stream->close != nullptr) result = stream->close(*stream);
  stream->codecdata.reset();
  stream->magic = 0;
  delete stream;
  return result;
}

// Ends a failed open: records `error` (and, when asked, the stream's log) and
// releases the stream.
AudioStream* FailOpen(AudioStream* stream, int error, bool keepLog) {
  if (keepLog) std::memcpy(g_lastLog, stream->logbuffer, sizeof g_lastLog);
  g_lastError = error;
  (void)DestroyStream(stream);
  return nullptr;
}

// Ends an open that made no stream: records `error`.
AudioStream* Refuse(int error) {
  g_lastError = error;
  return nullptr;
}

// Begins an open: clears lastError and lastLog and makes a stream over `file`
// at its current position, with its name in the log. Returns null with
// lastError set (6 no file, 8 memory, 9 when the position cannot be had).
AudioStream* NewStream(const char* name, platform::File* file, int mode) {
  g_lastError = kErrorNone;
  g_lastLog[0] = '\0';
  if (file == nullptr || !file->IsOpen()) return Refuse(kErrorBadFile);
  auto* stream = new (std::nothrow) AudioStream;
  if (stream == nullptr) return Refuse(kErrorMemory);
  stream->magic = kStreamMagic;
  stream->mode = mode;
  stream->file = file;
  stream->info.quality = kQualityNotSet;
  stream->fileoffset = platform::TellFile(*file);
  if (stream->fileoffset < 0) return FailOpen(stream, kErrorSeek, false);
  if (name == nullptr) name = "";
  // The base name: after the last '/', else after the last backslash.
  const char* base = std::strrchr(name, '/');
  if (base == nullptr) base = std::strrchr(name, '\\');
  base = base == nullptr ? name : base + 1;
  std::strncpy(stream->filename, base, kStreamFilenameBytes - 1);
  LogPrintf(*stream, "%s\n", name);
  return stream;
}

// The format of the stream's first bytes and its name: the record whose
// probe first holds. Leaves the file at the stream's start.
const StreamFormat& Recognise(AudioStream& stream) {
  int w[3] = {};
  (void)HeaderRead(stream, "mmm", &w[0], &w[1], &w[2]);
  (void)HeaderRead(stream, "p", 0);
  StreamStart start;
  // "m" gives the four bytes as they lie, lowest first.
  for (int i = 0; i < 12; ++i) start.bytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(w[i / 4]) >> (8 * (i % 4)));
  start.filename = stream.filename;
  return RecogniseStart(start);
}

// Opens for writing at `file`'s position; when `owned` is given the stream
// takes it over and `file` is its File.
AudioStream* OpenWrite(const char* name, platform::File* file, platform::PendingFile* owned, AudioInfo* info) {
  if (info == nullptr) return Refuse(kErrorNoInfo);
  if (FormatCheck(info) == 0) return Refuse(kErrorBadFormat);
  AudioStream* stream = NewStream(name, file, kStreamModeWrite);
  if (stream == nullptr) return nullptr;
  if (owned != nullptr) {
    stream->ownedFile = std::move(*owned);
    stream->file = &stream->ownedFile.file();
  }
  stream->info = *info;
  stream->filelength = 0;
  const StreamFormat* format = FindStreamFormat(FormatMajor(info->format));
  if (format == nullptr || format->openWrite == nullptr) return FailOpen(stream, kErrorUnknownFormat, false);
  stream->format = format;
  const int error = format->openWrite(*stream);
  if (error != kErrorNone) return FailOpen(stream, error, false);
  stream->closefile = owned != nullptr ? 1 : 0;
  return stream;
}

}  // namespace

AudioStream* OpenStreamRead(const char* name, platform::File* file, AudioInfo* info, uint32_t length) {
  if (info == nullptr) return Refuse(kErrorNoInfo);
  AudioStream* stream = NewStream(name, file, kStreamModeRead);
  if (stream == nullptr) return nullptr;
  stream->info.seekable = 1;
  if (length != 0) {
    stream->filelength = length;
  } else {
    // Up to the end of the file, from where the stream begins.
    stream->filelength = std::max<int64_t>(platform::FileSize(*file) - stream->fileoffset, 0);
  }
  LogPrintf(*stream, "size : %d\n", static_cast<int>(std::min<int64_t>(stream->filelength, INT_MAX)));

  const uint32_t asked = FormatMajor(info->format);
  const StreamFormat* format = FindStreamFormat(asked);
  if (asked == 0) {
    *info = AudioInfo{};
    format = &Recognise(*stream);
  }
  const uint32_t code = format != nullptr ? format->code : asked;
  if (code == FMT_RAW) {
    stream->info = *info;
  } else {
    stream->info.format = code;
  }
  if (format == nullptr || format->openRead == nullptr) return FailOpen(stream, kErrorUnknownFormat, true);
  stream->format = format;
  const int error = format->openRead(*stream);
  if (error != kErrorNone) return FailOpen(stream, error, true);

  const AudioInfo& found = stream->info;
  if (IsCodecFormat(found.format) &&
      int64_t{found.samples} * found.channels > MaxCodecSamples(stream->filelength)) {
    LogPrintf(*stream, "%d frames of %d channels from %d bytes\n", static_cast<int>(found.samples),
              static_cast<int>(found.channels), static_cast<int>(std::min<int64_t>(stream->filelength, INT_MAX)));
    return FailOpen(stream, kErrorUnknownFormat, true);
  }
  if (found.samplerate == 0 || found.samples == 0 || found.channels == 0 || found.pcmbitwidth == 0 ||
      found.format == 0 || found.sections == 0) {
    LogInfo(*stream);
    return FailOpen(stream, kErrorInfoIncomplete, true);
  }
  if (stream->blockwidth == 0 || stream->bytewidth == 0 || stream->datalength == 0 ||
      static_cast<int64_t>(stream->blockwidth) != static_cast<int64_t>(found.channels) * stream->bytewidth) {
    std::printf("validate_psf\n");
    return FailOpen(stream, kErrorInternal, true);
  }
  *info = stream->info;
  stream->closefile = 0;
  return stream;
}

AudioStream* OpenStreamWrite(const char* name, platform::File* file, AudioInfo* info) {
  return OpenWrite(name, file, nullptr, info);
}

AudioStream* OpenFileWrite(const char* path, AudioInfo* info) {
  // The checks that need no file come first, so a refused open creates none.
  if (info == nullptr || FormatCheck(info) == 0) return OpenWrite(path, nullptr, nullptr, info);
  platform::PendingFile pending;
  if (path != nullptr) (void)pending.Create(platform::MapPath(path));
  return OpenPendingFileWrite(path, &pending, info);
}

AudioStream* OpenPendingFileWrite(const char* name, platform::PendingFile* pending, AudioInfo* info) {
  platform::PendingFile owned;
  if (pending != nullptr) owned = std::move(*pending);
  if (info == nullptr || FormatCheck(info) == 0) return OpenWrite(name, nullptr, nullptr, info);
  if (!owned.IsOpen()) {
    g_lastLog[0] = '\0';
    return Refuse(kErrorCannotOpen);
  }
  return OpenWrite(name, &owned.file(), &owned, info);
}

int64_t ReadShorts(AudioStream* stream, int16_t* buffer, int64_t count) {
  const int64_t refused = RefuseSamples(stream, buffer, count, kStreamModeRead, kErrorReadOnWrite, kErrorReadChannels);
  if (refused >= 0) return refused;
  const int64_t channels = stream->info.channels;
  const int64_t frames = stream->info.samples;
  if (stream->current >= frames) {
    std::fill_n(buffer, count, int16_t{0});
    return 0;
  }
  if (stream->readShort == nullptr) {
    stream->error = kErrorUnimplemented;
    return 0;
  }
  int64_t n = std::clamp<int64_t>(stream->readShort(*stream, buffer, count), 0, count);
  const int64_t left = (frames - stream->current) * channels;
  if (n >= left) {
    n = left;
    stream->current = frames;
  } else {
    stream->current += n / channels;
  }
  // Whatever was not delivered reads as silence.
  std::fill(buffer + n, buffer + count, int16_t{0});
  return n;
}

int64_t WriteShorts(AudioStream* stream, const int16_t* buffer, int64_t count) {
  const int64_t refused =
      RefuseSamples(stream, buffer, count, kStreamModeWrite, kErrorWriteOnRead, kErrorWriteChannels);
  if (refused >= 0) return refused;
  if (stream->writeShort == nullptr) {
    stream->error = kErrorUnimplemented;
    return 0;
  }
  const int64_t channels = stream->info.channels;
  const int64_t n = stream->writeShort(*stream, buffer, count);
  if (n > 0) stream->current += n / channels;
  if (n < count && stream->error == kErrorNone) stream->error = kErrorShortWrite;
  const int64_t position = platform::TellFile(*stream->file) - stream->fileoffset;
  if (position > stream->written) stream->written = position;
  return n;
}

int CloseStream(AudioStream* stream) {
  if (const int invalid = CheckHandle(stream)) return invalid;
  stream->error = kErrorNone;
  const bool writing = stream->mode == kStreamModeWrite;
  int result = kErrorNone;
  if (stream->close != nullptr) {
    const int closed = stream->close(*stream);
    if (writing) result = closed;
    stream->close = nullptr;
  }
  if (stream->closefile == 1) {
    // The file appears under its name only when the stream was completed;
    // otherwise it is removed and a file of that name is left as it was.
    if (result == kErrorNone) {
      if (!stream->ownedFile.Commit()) {
        result = kErrorShortWrite;
        if (stream->systemError == 0) stream->systemError = errno;
      }
    } else {
      stream->ownedFile.Abandon();
    }
  }
  const int systemError = stream->systemError;
  (void)DestroyStream(stream);
  if (result != kErrorNone) errno = systemError;
  return result;
}

int AbandonStream(AudioStream* stream) {
  if (const int invalid = CheckHandle(stream)) return invalid;
  // The module's state goes without its close; a container may still write
  // its header into the file, which is removed next when the stream owns it.
  stream->close = nullptr;
  stream->codecdata.reset();
  if (stream->closefile == 1) stream->ownedFile.Abandon();
  (void)DestroyStream(stream);
  return kErrorNone;
}

int LastError() { return g_lastError; }

const char* LastLog() { return g_lastLog; }

int StreamError(const AudioStream* stream) {
  if (const int invalid = CheckHandle(stream)) return invalid;
  return stream->error;
}

int StreamSystemError(const AudioStream* stream) { return CheckHandle(stream) == 0 ? stream->systemError : 0; }
