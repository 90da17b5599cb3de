// The audio stream layer: opens, format recognition, the module table, reads,
// writes and the format check.
#include "audio/stream/audio_stream.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "audio/aac/aac.h"
#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "audio/stream/sndfile_module.h"
#include "audio/stream/stream_module.h"
#include "audio/vqf/vqf.h"

namespace {

int g_lastError = 0;
char g_lastLog[kStreamLogBytes] = {};

// The installed libsndfile has no Samplitude reader.
int SamplitudeUnavailable(AudioStream&) { return kErrorUnimplemented; }

struct FormatModule {
  uint32_t code;          // major code, or the headerless AU code
  ModuleOpenFn openRead;  // null: the format cannot be read
  ModuleOpenFn openWrite; // null: the format cannot be written
};

// Every format module, in the order recognition tries the formats. FMT_ASF
// and FMT_REX2 are recognised but have no module.
constexpr FormatModule kModules[] = {
    {FMT_WAV, SndfileOpenRead, SndfileOpenWrite},
    {FMT_VQF, VqfOpenRead, VqfOpenWrite},
    {FMT_MP4, AacOpenRead, AacOpenWrite},
    {FMT_OGG, OggVorbisOpenRead, OggVorbisOpenWrite},
    {FMT_AIFF, SndfileOpenRead, SndfileOpenWrite},
    {FMT_SVX, SndfileOpenRead, SndfileOpenWrite},
    {FMT_AU, SndfileOpenRead, SndfileOpenWrite},
    {FMT_AU_LE, nullptr, SndfileOpenWrite},
    {FMT_PAF, SndfileOpenRead, SndfileOpenWrite},
    {FMT_NIST, SndfileOpenRead, SndfileOpenWrite},
    {FMT_SAMPLITUDE, SamplitudeUnavailable, nullptr},
    {FMT_VOC, SndfileOpenRead, nullptr},
    {FMT_IRCAM, SndfileOpenRead, SndfileOpenWrite},
    {FMT_AU_HEADERLESS, HeaderlessUlawOpenRead, nullptr},
    {FMT_RAW, RawOpenRead, SndfileOpenWrite},
};

const FormatModule* FindModule(uint32_t code) {
  for (const FormatModule& m : kModules) {
    if (m.code == code) return &m;
  }
  return nullptr;
}

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

bool HasExtension(const char* filename, const char* extension) {
  const char* dot = std::strrchr(filename, '.');
  if (dot == nullptr) return false;
  const char* p = dot + 1;
  for (; *p != '\0' && *extension != '\0'; ++p, ++extension) {
    if (std::tolower(static_cast<unsigned char>(*p)) != *extension) return false;
  }
  return *p == '\0' && *extension == '\0';
}

// The format code of the stream's first bytes (the first rule that holds
// decides); 0 when no module takes them. Leaves the file at the stream's start.
uint32_t Recognise(AudioStream& stream) {
  int w0 = 0;
  int w1 = 0;
  int w2 = 0;
  (void)HeaderRead(stream, "mmm", &w0, &w1, &w2);
  (void)HeaderRead(stream, "p", 0);
  const auto byte = [&](int i) { return static_cast<uint32_t>(w0) >> (8 * i) & 0xFF; };
  if (w0 == MakeMarker('R', 'I', 'F', 'F') && w2 == MakeMarker('W', 'A', 'V', 'E')) return FMT_WAV;
  if (w0 == MakeMarker('T', 'W', 'I', 'N')) return FMT_VQF;
  if (w0 == MakeMarker('A', 'D', 'I', 'F')) return FMT_MP4;
  if (w0 == MakeMarker('O', 'g', 'g', 'S')) return FMT_OGG;
  if (w0 == MakeMarker('F', 'O', 'R', 'M')) {
    if (w2 == MakeMarker('A', 'I', 'F', 'F') || w2 == MakeMarker('A', 'I', 'F', 'C')) return FMT_AIFF;
    if (w2 == MakeMarker('1', '6', 'S', 'V') || w2 == MakeMarker('8', 'S', 'V', 'X')) return FMT_SVX;
    return 0;
  }
  if (w0 == MakeMarker('.', 's', 'n', 'd') || w0 == MakeMarker('d', 'n', 's', '.')) return FMT_AU;
  if (w0 == MakeMarker('f', 'a', 'p', ' ') || w0 == MakeMarker(' ', 'p', 'a', 'f')) return FMT_PAF;
  if (w0 == MakeMarker('N', 'I', 'S', 'T')) return FMT_NIST;
  if (w0 == MakeMarker('S', 'E', 'K', 'D') && w1 == MakeMarker('S', 'A', 'M', 'R')) return FMT_SAMPLITUDE;
  if (w0 == MakeMarker('C', 'r', 'e', 'a') && w1 == MakeMarker('t', 'i', 'v', 'e')) return FMT_VOC;
  if ((byte(0) == 0x64 && byte(1) == 0xA3 && byte(2) <= 0x07 && byte(3) == 0x00) ||
      (byte(0) == 0x00 && byte(1) <= 0x07 && byte(2) == 0xA3 && byte(3) == 0x64)) {
    return FMT_IRCAM;
  }
  if (w0 == MakeMarker('C', 'A', 'T', ' ') && w2 == MakeMarker('R', 'E', 'X', '2')) return FMT_REX2;
  if (w0 == MakeMarker('\x30', '\x26', '\xB2', '\x75') && w1 == MakeMarker('\x8E', '\x66', '\xCF', '\x11')) {
    return FMT_ASF;
  }
  if (HasExtension(stream.filename, "au") || HasExtension(stream.filename, "snd")) return FMT_AU_HEADERLESS;
  return FMT_RAW;
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
  const FormatModule* module = FindModule(FormatMajor(info->format));
  if (module == nullptr || module->openWrite == nullptr) return FailOpen(stream, kErrorUnknownFormat, false);
  const int error = module->openWrite(*stream);
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

  uint32_t code = FormatMajor(info->format);
  if (code == 0) {
    *info = AudioInfo{};
    code = Recognise(*stream);
  }
  if (code == FMT_RAW) {
    stream->info = *info;
  } else {
    stream->info.format = code;
  }
  const FormatModule* module = FindModule(code);
  if (module == nullptr || module->openRead == nullptr) return FailOpen(stream, kErrorUnknownFormat, true);
  const int error = module->openRead(*stream);
  if (error != kErrorNone) return FailOpen(stream, error, true);

  const AudioInfo& found = stream->info;
  const uint32_t major = FormatMajor(found.format);
  if ((major == FMT_OGG || major == FMT_MP4 || major == FMT_VQF) &&
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

int FormatCheck(const AudioInfo* info) {
  if (info == nullptr || info->channels < 1 || info->channels > 256) return 0;
  const uint32_t minor = FormatMinor(info->format);
  const uint32_t bits = info->pcmbitwidth;
  const uint32_t channels = info->channels;
  const auto in = [bits](uint32_t low, uint32_t high) { return bits >= low && bits <= high; };
  const bool pcmAnyOrder = minor == FMT_PCM || minor == FMT_PCM_BE || minor == FMT_PCM_LE;
  const bool law = minor == FMT_ULAW || minor == FMT_ALAW;
  const bool float32 = minor == FMT_FLOAT && bits == 32;
  bool accepted = false;
  switch (FormatMajor(info->format)) {
    case FMT_WAV:
      accepted = (minor == FMT_PCM && in(8, 32)) ||
                 ((minor == FMT_IMA_ADPCM || minor == FMT_MS_ADPCM) && bits == 16 && channels <= 2) ||
                 (minor == FMT_GSM610 && bits == 16 && channels == 1) || law || float32;
      break;
    case FMT_AIFF:
      accepted = (pcmAnyOrder && in(8, 32)) || float32;
      break;
    case FMT_AU:
    case FMT_AU_LE:
      accepted = (minor == FMT_PCM && in(8, 32)) || law ||
                 ((minor == FMT_G721_32 || minor == FMT_G723_24) && channels == 1) || float32;
      break;
    case FMT_RAW:
      accepted = ((minor == FMT_PCM_S8 || minor == FMT_PCM_U8) && bits == 8) ||
                 ((minor == FMT_PCM_BE || minor == FMT_PCM_LE) && bits % 8 == 0 && in(8, 32));
      break;
    case FMT_PAF:
      accepted = (minor == FMT_PCM_S8 && bits == 8) || (pcmAnyOrder && bits % 8 == 0 && in(8, 24));
      break;
    case FMT_SVX:
      accepted = minor == FMT_PCM && (bits == 8 || bits == 16);
      break;
    case FMT_NIST:
      accepted = pcmAnyOrder && in(16, 32);
      break;
    case FMT_IRCAM:
      accepted = (pcmAnyOrder && in(16, 32)) ||
                 ((minor == FMT_FLOAT || minor == FMT_FLOAT_BE || minor == FMT_FLOAT_LE) && bits == 32) || law;
      break;
    case FMT_VQF:
    case FMT_OGG:
    case FMT_MP4:
      accepted = true;
      break;
    default:
      break;
  }
  return accepted ? 1 : 0;
}

int LastError() { return g_lastError; }

const char* LastLog() { return g_lastLog; }

int StreamError(const AudioStream* stream) {
  if (const int invalid = CheckHandle(stream)) return invalid;
  return stream->error;
}

int StreamSystemError(const AudioStream* stream) { return CheckHandle(stream) == 0 ? stream->systemError : 0; }
