// JSON lines of pack entries.
#include "tools/spoolpack/spoolpack_json.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "audio/stream/audio_stream.h"
#include "tools/spoolpack/spoolpack_common.h"

namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
size_t Utf8Length(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  size_t length;
  uint32_t point;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, point = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    point = point << 6 | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and points beyond U+10FFFF are not valid.
  static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kSmallest[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) return 0;
  return length;
}

std::string Field(const char* name, const std::string& value) { return "\"" + std::string(name) + "\":" + value; }
std::string Field(const char* name, uint64_t value) { return Field(name, std::to_string(value)); }

std::string Format(uint32_t code) {
  return "{" + Field("format", JsonString(FormatName(code))) + "," + Field("code", code) + "}";
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8Length(text.substr(i));
    char escape[8];
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\udc%02x", c);
      out += escape;
      i += 1;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out + "\"";
}

std::string EntryJson(PackKind kind, const DirectoryEntry& entry) {
  std::string out = "{" + Field("kind", JsonString(KindName(kind))) + "," +
                    Field("name", JsonString(EntryPathUnderDestination(entry.name))) + "," +
                    Field("dataOffset", entry.dataOffset) + "," + Field("packedSize", entry.packedSize) + ",";
  switch (kind) {
    case PackKind::kStored: return out + Field("unpackedSize", entry.packedSize) + "}";
    case PackKind::kDeflated: return out + Field("unpackedSize", entry.unpackedSize) + "}";
    case PackKind::kAudio: break;
  }
  const AudioInfo& info = entry.info;
  // A quality that is no number (a damaged record) has no JSON form.
  char quality[32] = "null";
  if (std::isfinite(info.quality)) std::snprintf(quality, sizeof quality, "%.9g", info.quality);
  const std::string format = Format(info.format);
  return out + Field("unpackedSize", std::string("null")) + "," + Field("stream", Format(entry.streamFormat)) + "," +
         Field("stored", format.substr(0, format.size() - 1) + "," + Field("samplerate", info.samplerate) + "," +
                             Field("pcmbitwidth", info.pcmbitwidth) + "," + Field("channels", info.channels) + "," +
                             Field("samples", info.samples) + "," + Field("sections", info.sections) + "," +
                             Field("seekable", info.seekable) + "," + Field("bitrate", info.bitrate) + "," +
                             Field("minBitrate", info.minBitrate) + "," + Field("maxBitrate", info.maxBitrate) + "," +
                             Field("quality", std::string(quality)) + "," + Field("codecOption", info.codecOption) +
                             "}") +
         "}";
}
