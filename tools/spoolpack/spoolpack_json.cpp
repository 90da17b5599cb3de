// SPDX-License-Identifier: GPL-2.0-or-later
// JSON lines of pack entries.
#include "tools/spoolpack/spoolpack_json.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "audio/stream/audio_stream.h"
#include "tools/spoolpack/spoolpack_common.h"

namespace {

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
    uint32_t point = 0;
    const size_t length = DecodeUtf8(text.substr(i), &point);
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
    } else if (IsUnprintable(point)) {
      // Exact, and nothing that drives a terminal that shows the line.
      std::snprintf(escape, sizeof escape, "\\u%04x", point);
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
