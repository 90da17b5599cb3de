// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for the AAC tests: ffmpeg as an independent encoder, the faad
// command as an independent decoder, ADTS and ADIF headers made by hand,
// stand-in codec libraries, and the stream records and signals of the Ogg
// Vorbis tests.
#pragma once

#include <string>
#include <vector>

#include "audio/aac/aac.h"
#include "audio/codec_libraries/codec_libraries.h"
#include "ogg_vorbis/ogg_test_support.h"

namespace aac_test {

using namespace ogg_test;

// Encodes interleaved samples with ffmpeg's AAC encoder (profile "aac_low"
// or "aac_main") into an ADTS file at `kbps` kbit/s for the whole stream.
inline bool FfmpegAdts(const TempDir& dir, const std::vector<int16_t>& samples, int channels, int rate, int kbps,
                       const std::string& out, const std::string& profile = "aac_low") {
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());  // little-endian host
  WriteBytes(dir / "ffmpeg-in.raw", Bytes(bytes, bytes + samples.size() * 2));
  return RunQuietly("ffmpeg -v error -y -f s16le -ar " + std::to_string(rate) + " -ac " + std::to_string(channels) +
                    " -i '" + dir / "ffmpeg-in.raw" + "' -c:a aac -profile:a " + profile + " -b:a " +
                    std::to_string(kbps) + "k -f adts '" + out + "'");
}

// The faad command's decoding: samples, and the channels and rate of the WAV
// file it writes (its 44-byte header). faad2 returns mono streams as two
// equal channels and, unless told otherwise as the module tells it, streams
// of 24000 Hz and below at twice their rate.
struct Decoded {
  std::vector<int16_t> samples;
  uint32_t channels = 0, samplerate = 0;
};
inline Decoded FaadDecode(const TempDir& dir, const std::string& path) {
  const Bytes wav = RunQuietly("faad -q -o '" + dir / "faad.wav" + "' '" + path + "'") ? ReadBytes(dir / "faad.wav")
                                                                                      : Bytes(44);
  Decoded d{std::vector<int16_t>((wav.size() - 44) / 2), uint32_t(wav[22]), test_support::At32(wav, 24)};
  std::memcpy(d.samples.data(), wav.data() + 44, d.samples.size() * 2);
  return d;
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// An ADTS frame of `length` bytes (at least its 7-byte header, the rest
// zero): MPEG-4 (id 0) or MPEG-2 (id 1), low complexity, no CRC.
inline Bytes AdtsFrame(size_t length, unsigned index = 4, unsigned channels = 2, unsigned id = 0) {
  Bytes f(std::max<size_t>(length, 7), 0);
  f[0] = 0xFF;
  f[1] = uint8_t(0xF1 | id << 3);
  f[2] = uint8_t(1 << 6 | index << 2 | channels >> 2);
  f[3] = uint8_t((channels & 3) << 6 | (length >> 11 & 3));
  f[4] = uint8_t(length >> 3);
  f[5] = uint8_t((length & 7) << 5 | 0x1F);
  f[6] = 0xFC;
  return f;
}

// Where each frame of an ADTS stream without CRCs starts, read by the
// header layout, and where the last whole frame ends (the last element).
inline std::vector<size_t> AdtsFrames(const Bytes& b) {
  std::vector<size_t> starts = {0};
  for (size_t at = 0, length; b.size() - at >= 7 && b[at] == 0xFF && (b[at + 1] & 0xF6) == 0xF0; at += length) {
    length = ((b[at + 3] & 3u) << 11) | (size_t{b[at + 4]} << 3) | (b[at + 5] >> 5);
    if (length < 7 || length > b.size() - at) break;
    starts.push_back(at + length);
  }
  return starts;
}

// The raw data blocks of an ADTS stream without CRCs, back to back.
inline Bytes StripAdts(const Bytes& b) {
  Bytes raw;
  const std::vector<size_t> bounds = AdtsFrames(b);
  for (size_t i = 0; i + 1 < bounds.size(); ++i) {
    raw.insert(raw.end(), b.begin() + long(bounds[i] + 7), b.begin() + long(bounds[i + 1]));
  }
  return raw;
}

// An ADIF header, bit by bit: the header fields, one program configuration
// whose one front element is a single channel (1) or a pair (2), and no
// comment. `variable` is the bitstream type (constant rate has a 20-bit
// buffer fullness).
inline Bytes AdifHeader(bool copyright, bool variable, uint32_t bitrate, unsigned index, unsigned channels) {
  Bytes bytes = {'A', 'D', 'I', 'F'};
  int used = 8;
  auto put = [&](uint64_t value, int width) {
    for (int b = width - 1; b >= 0; --b, ++used) {
      if (used == 8) bytes.push_back(0), used = 0;
      bytes.back() |= uint8_t(((value >> b) & 1) << (7 - used));
    }
  };
  put(copyright, 1);
  if (copyright) put(0x5A5A5A5A5A5A5A5AULL, 64), put(0x5A, 8);
  put(variable, 3);  // original, home, bitstream type
  put(bitrate, 23);
  put(0, 4);  // one program configuration
  if (!variable) put(0xFFFFF, 20);
  put(1, 4 + 2);  // element instance tag 0, object type low complexity
  put(index, 4);
  put(1, 4);  // one front element
  put(0, 4 + 4 + 2 + 3 + 4 + 3);  // no other elements, no mixdowns
  put(channels == 2 ? 0x10 : 0, 1 + 4);  // the front element: a pair? tag 0
  put(0, 8 - used);
  put(0, 8);  // comment bytes
  return bytes;
}

// Two tones per channel, the second channel's a fifth above the first's.
inline std::vector<int16_t> TwoTones(int frames, int channels, int rate) {
  std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < out.size(); ++i) {
    const double t = double(i / channels) / rate, k = 1.0 + 0.5 * double(i % channels);
    out[i] = int16_t(std::lrint(7000 * std::sin(2 * M_PI * 440 * k * t) + 5000 * std::sin(2 * M_PI * 1250 * k * t)));
  }
  return out;
}

// Another file in place of a codec library while this lives (a stand-in of
// the tests, or a name that loads nothing); unloaded before and after.
struct LibraryInPlace {
  CodecLibraryId id;
  LibraryInPlace(CodecLibraryId library, const char* fileName) : id(library) {
    UnloadCodecLibraries();
    SetCodecLibraryFileName(id, fileName);
  }
  ~LibraryInPlace() {
    UnloadCodecLibraries();
    SetCodecLibraryFileName(id, nullptr);
  }
  // A variable the stand-in exports, loading it first.
  template <typename T>
  T& Variable(const char* name) {
    EXPECT_EQ(OpenCodecLibrary(id), 0);
    return *static_cast<T*>(platform::ResolveSymbol(GetCodecLibrary(id).module, name));
  }
};

inline int OpenRead(platform::File& file, std::unique_ptr<AudioStream>& stream, const std::string& path,
                    int64_t offset, int64_t length) {
  return OpenWindow(AacOpenRead, file, stream, path, offset, length);
}

// Decodes the whole file at `path` through the module; empty on failure.
inline std::vector<int16_t> ModuleDecode(const std::string& path, AudioInfo* info = nullptr) {
  platform::File file;
  std::unique_ptr<AudioStream> stream;
  if (OpenRead(file, stream, path, 0, int64_t(ReadBytes(path).size())) != 0) return {};
  if (info != nullptr) *info = stream->info;
  std::vector<int16_t> samples = ReadAll(*stream);
  EXPECT_EQ(stream->close(*stream), 0);
  return samples;
}

}  // namespace aac_test
