// SPDX-License-Identifier: GPL-2.0-or-later
// The ordinary containers through libsndfile's virtual I/O.
#include "audio/stream/sndfile_module.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "audio/stream/audio_stream.h"
#include "audio/stream/iff_header_mending.h"
#include "audio/stream/stream_formats.h"
#include "audio/stream/written_header.h"

namespace {

// libsndfile messages that differ in wording from the table's, with the
// nearest error number.
struct MessageMap {
  std::string_view text;
  int error;
};

constexpr MessageMap kMessageMap[] = {
    {"Format not recognised.", kErrorUnknownFormat},
    {"Supported file format but file is malformed.", kErrorUnknownFormat},
    {"Supported file format but unsupported encoding.", kErrorUnimplemented},
    {"File exists but no data could be read.", kErrorShortRead},
    {"System error.", kErrorCannotOpen},
    {"Error in WAV/W64/RF64 file. No 'fmt ' chunk marker.", kErrorWavNoFmt},
    {"Error in WAV/W64/RF64 file. Short 'fmt ' chunk.", kErrorWavShortFmt},
    {"Error in WAV/W64/RF64 file. Malformed 'fmt ' chunk.", kErrorWavFmt},
    {"Error in ADPCM WAV file. Invalid number of samples per block.", kErrorWavFmt},
    {"Error in IRCAM file, unknown encoding format.", kErrorIrcamEncoding},
    {"Error. Bad format field in SF_INFO struct when opening a RAW file for read.", kErrorRawNeedsLayout},
};

// Records libsndfile's last failure in the log and returns the nearest error
// number, `fallback` when none is nearer.
int MapSndfileError(AudioStream& stream, int fallback) {
  const char* text = sf_error_number(sf_error(nullptr));
  if (text == nullptr) return fallback;
  LogPrintf(stream, "libsndfile: %s\n", text);
  const std::string_view message(text);
  for (int error = 1; error <= kErrorLastContainer; ++error) {
    if (message == ErrorMessage(error)) return error;
  }
  for (const MessageMap& m : kMessageMap) {
    if (message == m.text) return m.error;
  }
  if (message.starts_with("Error while opening RAW file for read.")) return kErrorRawNeedsLayout;
  return fallback;
}

struct SndfileState final : CodecState {
  AudioStream* stream = nullptr;
  SNDFILE* handle = nullptr;
  int64_t position = 0;  // bytes from fileoffset
  int shift = 0;         // bits between the stream's scale and the 16-bit scale
  bool readFloats = false;
  bool ioFailed = false;    // a write the file refused
  bool readFailed = false;  // a read inside the window that the file did not deliver
  std::vector<float> floats;
  std::vector<int16_t> shorts;

  ~SndfileState() override {
    if (handle != nullptr) sf_close(handle);
  }

  // Bytes of the window: its length for reading, what was written so far.
  int64_t Extent() const {
    return stream->mode == kStreamModeRead ? stream->filelength : stream->written;
  }
  // Moves the file to `position` in the window.
  bool SeekFileTo() {
    return platform::SeekFile(*stream->file, stream->fileoffset + position, platform::SeekOrigin::kBegin) >= 0;
  }
};

SndfileState& StateOf(AudioStream& stream) { return static_cast<SndfileState&>(*stream.codecdata); }

sf_count_t VioLength(void* user) { return static_cast<SndfileState*>(user)->Extent(); }

sf_count_t VioSeek(sf_count_t offset, int whence, void* user) {
  auto* state = static_cast<SndfileState*>(user);
  const int64_t base = whence == SEEK_CUR ? state->position : whence == SEEK_END ? state->Extent() : 0;
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
  state->position = target;
  return target;
}

sf_count_t VioRead(void* out, sf_count_t count, void* user) {
  auto* state = static_cast<SndfileState*>(user);
  const int64_t left = state->Extent() - state->position;
  const int64_t wanted = std::min<int64_t>(count, left);
  if (wanted <= 0) return 0;
  // One positioned read in the usual case; where the file ends inside the
  // window, a read from the position that reports how much there was.
  AudioStream& stream = *state->stream;
  if (platform::ReadFileAt(*stream.file, stream.fileoffset + state->position, out, static_cast<size_t>(wanted))) {
    state->position += wanted;
    return wanted;
  }
  // The window promised these bytes: a file that ends before them, or a
  // read the system refuses, is a failed read, not the stream's end.
  state->readFailed = true;
  const int64_t got = state->SeekFileTo() ? platform::ReadFile(*stream.file, out, static_cast<size_t>(wanted)) : -1;
  if (got < 0 && stream.systemError == 0) stream.systemError = errno;
  if (got <= 0) return 0;
  state->position += got;
  return got;
}

sf_count_t VioWrite(const void* in, sf_count_t count, void* user) {
  auto* state = static_cast<SndfileState*>(user);
  if (count <= 0) return 0;
  int64_t done = 0;
  if (state->SeekFileTo()) done = platform::WriteFile(*state->stream->file, in, static_cast<size_t>(count));
  if (done < count) {
    state->ioFailed = true;
    if (state->stream->systemError == 0) state->stream->systemError = errno;
  }
  state->position += done;
  state->stream->written = std::max(state->stream->written, state->position);
  return done;
}

sf_count_t VioTell(void* user) { return static_cast<SndfileState*>(user)->position; }

// libsndfile takes the table by a non-const pointer; it is never changed.
SF_VIRTUAL_IO g_windowIo = {VioLength, VioSeek, VioRead, VioWrite, VioTell};

// Samples per chunk for the conversions: whole frames, at least one.
size_t ChunkSamples(int channels) {
  const size_t ch = static_cast<size_t>(std::max(channels, 1));
  return std::max<size_t>(4096 / ch, 1) * ch;
}

// Shift between a stream of `bits` and the 16-bit scale.
int ScaleShift(uint32_t bits) { return bits >= 1 && bits < 16 ? static_cast<int>(16 - bits) : 0; }

int16_t FloatToShort(float value) {
  const float scaled = value * 32768.0f;
  if (std::isnan(scaled)) return 0;
  if (scaled >= 32767.0f) return 32767;
  if (scaled <= -32768.0f) return -32768;
  return static_cast<int16_t>(std::lrint(scaled));
}

int64_t ReadConverted(SndfileState& state, int16_t* buffer, int64_t count) {
  if (!state.readFloats) {
    const sf_count_t got = sf_read_short(state.handle, buffer, count);
    if (state.shift > 0) {
      for (sf_count_t i = 0; i < got; ++i) buffer[i] = static_cast<int16_t>(buffer[i] >> state.shift);
    }
    return got;
  }
  int64_t done = 0;
  while (done < count) {
    const sf_count_t want = std::min<int64_t>(count - done, static_cast<int64_t>(state.floats.size()));
    const sf_count_t got = sf_read_float(state.handle, state.floats.data(), want);
    for (sf_count_t i = 0; i < got; ++i) buffer[done + i] = FloatToShort(state.floats[static_cast<size_t>(i)]);
    done += got;
    if (got < want) break;
  }
  return done;
}

// A read of the window that failed (now or before) is the stream's error:
// whatever libsndfile made of the missing bytes is not the stream's samples.
int64_t ReadSamples(AudioStream& stream, int16_t* buffer, int64_t count) {
  SndfileState& state = StateOf(stream);
  const int64_t got = ReadConverted(state, buffer, count);
  if (state.readFailed) stream.error = kErrorShortRead;
  return got;
}

int64_t WriteSamples(AudioStream& stream, const int16_t* buffer, int64_t count) {
  SndfileState& state = StateOf(stream);
  if (state.shift == 0) return sf_write_short(state.handle, buffer, count);
  // Samples on the scale of a narrower width: clip to it, then move them to
  // the 16-bit scale libsndfile expects.
  const int high = (1 << (15 - state.shift)) - 1;
  const int low = -high - 1;
  int64_t done = 0;
  while (done < count) {
    const int64_t piece = std::min<int64_t>(count - done, static_cast<int64_t>(state.shorts.size()));
    for (int64_t i = 0; i < piece; ++i) {
      const int value = std::clamp<int>(buffer[done + i], low, high);
      state.shorts[static_cast<size_t>(i)] = static_cast<int16_t>(value * (1 << state.shift));
    }
    const sf_count_t put = sf_write_short(state.handle, state.shorts.data(), piece);
    done += put;
    if (put < piece) break;
  }
  return done;
}

int64_t SeekFrames(AudioStream& stream, int64_t frames, int whence) {
  const sf_count_t result = sf_seek(StateOf(stream).handle, frames, whence);
  if (result >= 0) stream.current = result;
  return result;
}

int CloseSndfile(AudioStream& stream) {
  if (!stream.codecdata) return 0;
  SndfileState& state = StateOf(stream);
  int result = 0;
  if (state.handle != nullptr) {
    // Closing a stream being written rewrites its header through VioWrite.
    const int closed = sf_close(state.handle);
    state.handle = nullptr;
    if (stream.mode == kStreamModeWrite && (closed != 0 || state.ioFailed)) result = kErrorShortWrite;
    if (stream.mode == kStreamModeWrite && result == 0 && !MendIffHeader(stream)) result = kErrorShortWrite;
    if (stream.mode == kStreamModeWrite && result == 0 && !MendWrittenHeader(stream)) result = kErrorShortWrite;
  }
  // A stream written inside a larger file leaves the file at its end.
  if (stream.mode == kStreamModeWrite) {
    (void)platform::SeekFile(*stream.file, stream.fileoffset + stream.written, platform::SeekOrigin::kBegin);
  }
  stream.codecdata.reset();
  return result;
}

// Bytes one sample takes in the data of libsndfile subtype `subtype`
// (encodings narrower than a byte count as the 16-bit samples they give).
int SubtypeBytes(int subtype) {
  switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
      return 1;
    case SF_FORMAT_PCM_24:
      return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
      return 4;
    default:
      return 2;
  }
}

// Reads the first four bytes of the window (zeros where it is shorter) and
// leaves the file where it was.
bool StartsWith(AudioStream& stream, const char (&magic)[5]) {
  char bytes[4] = {};
  if (stream.filelength < 4 || !platform::ReadFileAt(*stream.file, stream.fileoffset, bytes, 4)) return false;
  return std::memcmp(bytes, magic, 4) == 0;
}

// Whether libsndfile writes `format` at the rate and channel count of `info`.
bool SndfileWrites(const AudioInfo& info, int format) {
  SF_INFO probe = {};
  probe.samplerate = static_cast<int>(std::min<uint32_t>(info.samplerate, INT_MAX));
  probe.channels = static_cast<int>(info.channels);
  probe.format = format;
  return sf_format_check(&probe) != 0;
}

// libsndfile subtype for linear PCM of at least `bits` in `container`, with
// the byte order in `order`; 0 when the container takes no such width.
int PcmFormat(const AudioInfo& info, const SndfileContainer& container, int order) {
  constexpr int kWidths[] = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32};
  for (int i = 0; i < 4; ++i) {
    if (8u * static_cast<uint32_t>(i + 1) < info.pcmbitwidth) continue;
    int subtype = kWidths[i];
    if (subtype == SF_FORMAT_PCM_S8 && container.unsigned8) subtype = SF_FORMAT_PCM_U8;
    // One byte has no byte order.
    const int format = container.major | subtype | (subtype == kWidths[0] || subtype == SF_FORMAT_PCM_U8 ? 0 : order);
    if (SndfileWrites(info, format)) return format;
  }
  return 0;
}

// The libsndfile format for writing stream.info, or 0 when libsndfile cannot
// write it.
int WriteFormat(const AudioInfo& info, const SndfileContainer& container) {
  const uint32_t minor = FormatMinor(info.format);
  int order = container.writeOrder;
  if (minor == FMT_PCM_BE || minor == FMT_FLOAT_BE) order = SF_ENDIAN_BIG;
  if (minor == FMT_PCM_LE || minor == FMT_FLOAT_LE) order = SF_ENDIAN_LITTLE;
  // Asked for explicitly, a container's own order can make libsndfile write
  // another form of it (AIFF-C for big-endian AIFF) that many readers refuse.
  if (order != 0 && order == container.ownOrder) order = 0;
  int format = 0;
  if (minor == FMT_PCM || minor == FMT_PCM_BE || minor == FMT_PCM_LE) {
    return PcmFormat(info, container, order);
  } else if (minor == FMT_PCM_S8 || minor == FMT_PCM_U8) {
    format = container.major | (minor == FMT_PCM_S8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_U8);
  } else {
    for (const StreamEncoding& e : StreamEncodings()) {
      if (e.minor == minor && e.sndfileSubtype != 0) format = container.major | e.sndfileSubtype | order;
    }
  }
  return format != 0 && SndfileWrites(info, format) ? format : 0;
}

// Reads a 32-bit little-endian word at `offset` bytes into the window.
bool WindowWord(AudioStream& stream, int64_t offset, uint32_t& word) {
  uint8_t b[4];
  if (offset < 0 || offset + 4 > stream.filelength ||
      !platform::ReadFileAt(*stream.file, stream.fileoffset + offset, b, 4)) {
    return false;
  }
  word = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
  return true;
}

constexpr uint32_t Marker(const char (&m)[5]) { return static_cast<uint32_t>(MakeMarker(m[0], m[1], m[2], m[3])); }

// libsndfile 1.2 loops forever on a WAV LIST chunk holding a sub-chunk whose
// size is 2^31 or more (its skip wraps around and goes backwards). No file
// can hold such a sub-chunk, so a stream that has one is refused before
// libsndfile sees it. Walks at most a few thousand chunk headers.
bool RiffListsAreSane(AudioStream& stream) {
  int budget = 4096;
  int64_t at = 12;  // after "RIFF", its size and "WAVE"
  uint32_t id = 0;
  uint32_t size = 0;
  while (budget-- > 0 && WindowWord(stream, at, id) && WindowWord(stream, at + 4, size)) {
    const int64_t end = std::min<int64_t>(at + 8 + size, stream.filelength);
    if (id == Marker("LIST")) {
      // Inside, "INFO" and "adtl" stand alone; "data" or a zero marker ends
      // the list; anything else is a marker and a size.
      uint32_t marker = 0;
      uint32_t length = 0;
      for (int64_t p = at + 8; budget-- > 0 && p + 4 <= end && WindowWord(stream, p, marker); p += 4) {
        if (marker == Marker("INFO") || marker == Marker("adtl")) continue;
        if (marker == Marker("data") || marker == 0 || !WindowWord(stream, p + 4, length)) break;
        if (length >= 0x80000000u) return false;
        p += 4 + length + (length & 1);
      }
    }
    at += 8 + static_cast<int64_t>(size) + (size & 1);
  }
  return true;
}

}  // namespace

int SndfileOpenRead(AudioStream& stream) {
  const SndfileContainer& container = stream.format->sndfile;
  if (stream.format->code == FMT_WAV && !RiffListsAreSane(stream)) {
    LogPrintf(stream, "LIST chunk holds a sub-chunk of impossible size\n");
    return kErrorUnknownFormat;
  }
  SF_INFO sfinfo = {};
  const int opened = OpenSndfileWindow(stream, sfinfo, kErrorUnknownFormat);
  if (opened != kErrorNone) return opened;
  const int found = sfinfo.format & SF_FORMAT_TYPEMASK;
  if (found != container.major && (container.alsoMajor == 0 || found != container.alsoMajor)) {
    LogPrintf(stream, "libsndfile found container %X\n", found);
    return container.wrongMarker;
  }
  if (stream.format->code == FMT_AU && StartsWith(stream, "dns.")) stream.info.format = FMT_AU_LE;
  const int described = DescribeSndfileRead(stream, sfinfo, &container);
  if (described == kErrorNone) BoundSvxFrames(stream);
  if (described == kErrorNone) BoundFramesByFactChunk(stream);
  return described;
}

int SndfileOpenWrite(AudioStream& stream) {
  SF_INFO sfinfo = {};
  sfinfo.format = WriteFormat(stream.info, stream.format->sndfile);
  if (sfinfo.format == 0 || stream.info.samplerate > INT_MAX) {
    LogPrintf(stream, "libsndfile cannot write format %X with %d bits and %d channels\n",
              static_cast<int>(stream.info.format), static_cast<int>(stream.info.pcmbitwidth),
              static_cast<int>(stream.info.channels));
    return kErrorBadFormat;
  }
  sfinfo.samplerate = static_cast<int>(stream.info.samplerate);
  sfinfo.channels = static_cast<int>(stream.info.channels);
  const int opened = OpenSndfileWindow(stream, sfinfo, kErrorBadFormat);
  if (opened != kErrorNone) return opened;
  const int subtype = sfinfo.format & SF_FORMAT_SUBMASK;
  SndfileState& state = StateOf(stream);
  state.shift = ScaleShift(stream.info.pcmbitwidth);
  if (state.shift > 0) state.shorts.resize(ChunkSamples(sfinfo.channels));
  stream.bytewidth = SubtypeBytes(subtype);
  stream.blockwidth = stream.bytewidth * sfinfo.channels;
  // Shorts written to a float stream become value / 32768.
  if (subtype == SF_FORMAT_FLOAT) (void)sf_command(state.handle, SFC_SET_SCALE_INT_FLOAT_WRITE, nullptr, SF_TRUE);
  stream.info.samples = 0;
  stream.info.sections = 1;
  stream.info.seekable = 1;
  stream.writeShort = WriteSamples;
  return kErrorNone;
}

int OpenSndfileWindow(AudioStream& stream, SF_INFO& sfinfo, int fallbackError) {
  std::unique_ptr<SndfileState> state(new (std::nothrow) SndfileState);
  if (!state) return kErrorMemory;
  state->stream = &stream;
  const int mode = stream.mode == kStreamModeRead ? SFM_READ : SFM_WRITE;
  state->handle = sf_open_virtual(&g_windowIo, mode, &sfinfo, state.get());
  if (state->handle == nullptr) return MapSndfileError(stream, fallbackError);
  if (state->ioFailed) return kErrorShortWrite;
  stream.dataoffset = state->position;
  stream.codecdata = std::move(state);
  stream.seek = SeekFrames;
  stream.close = CloseSndfile;
  return kErrorNone;
}

int DescribeSndfileRead(AudioStream& stream, const SF_INFO& sfinfo, const SndfileContainer* container) {
  const int reports = container != nullptr ? container->reports : 0;
  const int subtype = sfinfo.format & SF_FORMAT_SUBMASK;
  const int order = sfinfo.format & SF_FORMAT_ENDMASK;
  uint32_t minor = 0;
  uint32_t bits = 16;
  switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
      bits = 8 * static_cast<uint32_t>(SubtypeBytes(subtype));
      minor = FMT_PCM;
      if ((reports & kReportsSigned8) != 0 && bits == 8) {
        minor = FMT_PCM_S8;
      } else if ((reports & kReportsPcmOrder) != 0 && bits > 8 && order == SF_ENDIAN_LITTLE) {
        minor = FMT_PCM_LE;
      } else if ((reports & kReportsPcmOrder) != 0 && bits > 8 && order == SF_ENDIAN_BIG) {
        minor = FMT_PCM_BE;
      }
      break;
    case SF_FORMAT_FLOAT:
      bits = 32;
      minor = FMT_FLOAT;
      if ((reports & kReportsFloatOrder) != 0 && order == SF_ENDIAN_LITTLE) minor = FMT_FLOAT_LE;
      if ((reports & kReportsFloatOrder) != 0 && order == SF_ENDIAN_BIG) minor = FMT_FLOAT_BE;
      StateOf(stream).readFloats = true;
      StateOf(stream).floats.resize(ChunkSamples(sfinfo.channels));
      break;
    default:
      // Linear PCM and floats were taken above: the rest has one code each.
      for (const StreamEncoding& e : StreamEncodings()) {
        if (e.sndfileSubtype == subtype) minor = e.minor;
      }
      if (minor == 0) {
        LogPrintf(stream, "libsndfile encoding %X has no format code\n", subtype);
        return kErrorUnimplemented;
      }
      break;
  }
  if (sfinfo.frames < 0 || sfinfo.frames > static_cast<sf_count_t>(UINT32_MAX)) return kErrorUnimplemented;
  AudioInfo& info = stream.info;
  if (container != nullptr) {
    info.format = (info.format & kFormatMajorMask) | minor;
    info.pcmbitwidth = bits;
    info.samplerate = static_cast<uint32_t>(std::max(sfinfo.samplerate, 0));
    info.channels = static_cast<uint32_t>(std::max(sfinfo.channels, 0));
  }
  info.samples = static_cast<uint32_t>(sfinfo.frames);
  info.sections = static_cast<uint32_t>(std::max(sfinfo.sections, 1));
  info.seekable = 1;
  stream.bytewidth = SubtypeBytes(subtype);
  stream.blockwidth = stream.bytewidth * sfinfo.channels;
  const bool packed = subtype == SF_FORMAT_IMA_ADPCM || subtype == SF_FORMAT_MS_ADPCM ||
                      subtype == SF_FORMAT_GSM610 || subtype == SF_FORMAT_G721_32 || subtype == SF_FORMAT_G723_24;
  // Data that lies outside the window counts for nothing.
  const int64_t inWindow = std::max<int64_t>(stream.filelength - stream.dataoffset, 0);
  stream.datalength = packed ? inWindow : std::min<int64_t>(sfinfo.frames * stream.blockwidth, inWindow);
  StateOf(stream).shift = ScaleShift(info.pcmbitwidth);
  stream.readShort = ReadSamples;
  return kErrorNone;
}
