// SPDX-License-Identifier: GPL-2.0-or-later
// The stream's text log and the binary header writer and reader.
#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "audio/stream/stream_module.h"

namespace {

void LogChar(AudioStream& stream, char c) {
  if (stream.logindex < 0 || stream.logindex >= kStreamLogBytes - 1) return;
  stream.logbuffer[stream.logindex++] = c;
  stream.logbuffer[stream.logindex] = '\0';
}

void LogText(AudioStream& stream, const char* text) {
  if (text == nullptr) return;
  for (; *text != '\0'; ++text) LogChar(stream, *text);
}

// Digits of `value` in `base` (10 or 16), most significant first.
void LogUnsigned(AudioStream& stream, uint32_t value, uint32_t base) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[value % base];
    value /= base;
  } while (value != 0);
  while (n > 0) LogChar(stream, digits[--n]);
}

void LogFormatted(AudioStream& stream, const char* format, va_list args) {
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      LogChar(stream, *p);
      continue;
    }
    const char c = *++p;
    if (c == '\0') break;
    switch (c) {
      case 's':
        LogText(stream, va_arg(args, const char*));
        break;
      case 'd': {
        const int value = va_arg(args, int);
        if (value < 0) LogChar(stream, '-');
        // The magnitude in unsigned arithmetic also holds INT_MIN.
        LogUnsigned(stream, value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value), 10);
        break;
      }
      case 'X':
        LogUnsigned(stream, static_cast<uint32_t>(va_arg(args, int)), 16);
        break;
      case 'c':
        LogChar(stream, static_cast<char>(va_arg(args, int)));
        break;
      case 'D': {
        const auto marker = static_cast<uint32_t>(va_arg(args, int));
        for (int shift = 0; shift < 32; shift += 8) {
          const auto byte = static_cast<char>((marker >> shift) & 0xFF);
          if (byte == '\0') break;
          LogChar(stream, byte);
        }
        break;
      }
      default:
        LogChar(stream, '*');
        LogChar(stream, c);
        LogChar(stream, '*');
        break;
    }
  }
}

// Whether a field of `count` bytes is stored at headindex: the field must end
// before the header's last byte (a 4-byte field goes in below 2044, a 2-byte
// one below 2046, a byte below 2047).
bool HeaderFits(const AudioStream& stream, size_t count) {
  return stream.headindex >= 0 && count < static_cast<size_t>(kStreamHeaderBytes - stream.headindex);
}

// Stores `count` bytes at headindex when the whole field fits in the header.
void HeaderPut(AudioStream& stream, const void* bytes, size_t count) {
  if (!HeaderFits(stream, count)) return;
  if (count > 0) std::memcpy(stream.header + stream.headindex, bytes, count);
  stream.headindex += static_cast<int>(count);
}

// Stores the low `width` bytes of `value`, big-endian or little-endian.
void HeaderPutInt(AudioStream& stream, uint32_t value, int width, bool bigEndian) {
  uint8_t bytes[4];
  for (int i = 0; i < width; ++i) {
    const int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
    bytes[i] = static_cast<uint8_t>(value >> shift);
  }
  HeaderPut(stream, bytes, static_cast<size_t>(width));
}

void LogInvalidSpecifier(AudioStream& stream, char c) {
  LogPrintf(stream, "*** Invalid format specifier `%c'\n", c);
  stream.error = kErrorInternal;
}

// Reads `count` bytes of the stream's file at its position into `out`. A
// stream open for reading stops at the end of its window; the bytes not read
// are zero.
void HeaderGet(AudioStream& stream, void* out, size_t count) {
  std::memset(out, 0, count);
  if (stream.file == nullptr || count == 0) return;
  size_t allowed = count;
  if (stream.mode == kStreamModeRead) {
    const int64_t position = platform::TellFile(*stream.file);
    if (position < 0) return;
    const int64_t left = stream.fileoffset + stream.filelength - position;
    allowed = left <= 0 ? 0 : std::min(count, static_cast<size_t>(left));
  }
  if (allowed > 0) (void)platform::ReadFile(*stream.file, out, allowed);
}

uint32_t HeaderGetInt(AudioStream& stream, int width, bool bigEndian) {
  uint8_t bytes[4] = {};
  HeaderGet(stream, bytes, static_cast<size_t>(width));
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    const int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
    value |= static_cast<uint32_t>(bytes[i]) << shift;
  }
  return value;
}

// Moves the file to `target` bytes from the file's start, never before the
// stream's start.
void HeaderMoveTo(AudioStream& stream, int64_t target) {
  if (stream.file == nullptr) return;
  (void)platform::SeekFile(*stream.file, std::max(target, stream.fileoffset), platform::SeekOrigin::kBegin);
}

}  // namespace

void LogPrintf(AudioStream& stream, const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  LogFormatted(stream, format, args);
  va_end(args);
}

void LogInfo(AudioStream& stream) {
  const AudioInfo& info = stream.info;
  LogPrintf(stream, "---------------------------------\n");
  LogPrintf(stream, " Sample rate :   %d\n", static_cast<int>(info.samplerate));
  LogPrintf(stream, " Samples     :   %d\n", static_cast<int>(info.samples));
  LogPrintf(stream, " Channels    :   %d\n", static_cast<int>(info.channels));
  LogPrintf(stream, " Bit width   :   %d\n", static_cast<int>(info.pcmbitwidth));
  LogPrintf(stream, " Format      :   %X\n", static_cast<int>(info.format));
  LogPrintf(stream, " Sections    :   %d\n", static_cast<int>(info.sections));
  LogPrintf(stream, " Seekable    :   %s\n", info.seekable != 0 ? "TRUE" : "FALSE");
  LogPrintf(stream, "---------------------------------\n");
}

int HeaderWrite(AudioStream& stream, const char* format, ...) {
  if (format == nullptr) return 0;
  va_list args;
  va_start(args, format);
  int counted = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    const char c = *p;
    const bool big = c >= 'A' && c <= 'Z';
    switch (c) {
      case 'B': {
        const void* bytes = va_arg(args, const void*);
        const int count = std::max(va_arg(args, int), 0);
        if (bytes != nullptr) HeaderPut(stream, bytes, static_cast<size_t>(count));
        counted += count;
        break;
      }
      case 'F':
      case 'f':
        HeaderPutInt(stream, std::bit_cast<uint32_t>(static_cast<float>(va_arg(args, double))), 4, big);
        counted += 4;
        break;
      case 'L':
      case 'l':
        HeaderPutInt(stream, static_cast<uint32_t>(va_arg(args, int)), 4, big);
        counted += 4;
        break;
      case 'W':
      case 'w':
        HeaderPutInt(stream, static_cast<uint32_t>(va_arg(args, int)), 2, big);
        counted += 2;
        break;
      case 'b':
        HeaderPutInt(stream, static_cast<uint32_t>(va_arg(args, int)), 1, false);
        counted += 1;
        break;
      case 'm':
        HeaderPutInt(stream, static_cast<uint32_t>(va_arg(args, int)), 4, false);
        counted += 4;
        break;
      case 'S':
      case 's': {
        const char* text = va_arg(args, const char*);
        if (text == nullptr) text = "";
        const size_t textBytes = std::strlen(text) + 1;
        const size_t padded = textBytes + (textBytes & 1);
        // Length field and string go in together or not at all.
        if (HeaderFits(stream, 4 + padded)) {
          HeaderPutInt(stream, static_cast<uint32_t>(padded), 4, big);
          HeaderPut(stream, text, textBytes);
          if (padded > textBytes) HeaderPut(stream, "", 1);
        }
        counted += static_cast<int>(4 + padded);
        break;
      }
      case 'z': {
        const int count = std::max(va_arg(args, int), 0);
        if (HeaderFits(stream, static_cast<size_t>(count))) {
          std::memset(stream.header + stream.headindex, 0, static_cast<size_t>(count));
          stream.headindex += count;
        }
        counted += count;
        break;
      }
      default:
        LogInvalidSpecifier(stream, c);
        break;
    }
  }
  va_end(args);
  return counted;
}

int HeaderRead(AudioStream& stream, const char* format, ...) {
  if (format == nullptr) {
    if (stream.file == nullptr) return 0;
    return static_cast<int>(platform::TellFile(*stream.file) - stream.fileoffset);
  }
  va_list args;
  va_start(args, format);
  int counted = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    const char c = *p;
    const bool big = c >= 'A' && c <= 'Z';
    switch (c) {
      case 'B': {
        void* out = va_arg(args, void*);
        const int count = std::max(va_arg(args, int), 0);
        if (out != nullptr) HeaderGet(stream, out, static_cast<size_t>(count));
        counted += count;
        break;
      }
      case 'F':
      case 'f':
        *va_arg(args, float*) = std::bit_cast<float>(HeaderGetInt(stream, 4, big));
        counted += 4;
        break;
      case 'L':
      case 'l':
        *va_arg(args, int*) = static_cast<int>(HeaderGetInt(stream, 4, big));
        counted += 4;
        break;
      case 't':
        *va_arg(args, int*) = static_cast<int>(HeaderGetInt(stream, 3, false));
        counted += 3;
        break;
      case 'W':
      case 'w':
        *va_arg(args, int16_t*) = static_cast<int16_t>(HeaderGetInt(stream, 2, big));
        counted += 2;
        break;
      case 'b':
        *va_arg(args, char*) = static_cast<char>(HeaderGetInt(stream, 1, false));
        counted += 1;
        break;
      case 'm':
        *va_arg(args, int*) = static_cast<int>(HeaderGetInt(stream, 4, false));
        counted += 4;
        break;
      case 'j': {
        const int move = va_arg(args, int);
        if (stream.file != nullptr) HeaderMoveTo(stream, platform::TellFile(*stream.file) + move);
        counted = 0;
        break;
      }
      case 'p':
        HeaderMoveTo(stream, stream.fileoffset + va_arg(args, int));
        counted = 0;
        break;
      case 'S':
      case 's':
      case 'z':
        std::printf("Format conversion not implemented yet.\n");
        break;
      default:
        LogInvalidSpecifier(stream, c);
        break;
    }
  }
  va_end(args);
  return counted;
}
