// Helpers for the AAC tests: ffmpeg as an independent encoder, the faad
// command as an independent decoder, ADTS and ADIF made by hand, and the
// stream records and signals of the Ogg Vorbis tests.
#pragma once

#include <string>
#include <vector>

#include "audio/aac/aac.h"
#include "audio/codec_libraries/codec_libraries.h"
#include "ogg_vorbis/ogg_test_support.h"

namespace aac_test {

using namespace ogg_test;

// Encodes interleaved samples with ffmpeg's AAC encoder (low complexity)
// into an ADTS file at `kbps` kbit/s for the whole stream.
inline bool FfmpegAdts(const TempDir& dir, const std::vector<int16_t>& samples, int channels, int rate, int kbps,
                       const std::string& out) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());  // little-endian host
  WriteBytes(dir / "ffmpeg-in.raw", Bytes(bytes, bytes + samples.size() * 2));
  return RunQuietly("ffmpeg -v error -y -f s16le -ar " + std::to_string(rate) + " -ac " + std::to_string(channels) +
                    " -i '" + dir / "ffmpeg-in.raw" + "' -c:a aac -b:a " + std::to_string(kbps) + "k -f adts '" +
                    out + "'");
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

// The first `keep` channels of interleaved samples of `channels` channels.
inline std::vector<int16_t> FirstChannels(const std::vector<int16_t>& samples, int channels, int keep) {
  std::vector<int16_t> out;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (int(i % channels) < keep) out.push_back(samples[i]);
  }
  return out;
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
// header layout; stops at the first place that is not a whole frame.
inline std::vector<size_t> AdtsFrames(const Bytes& b) {
  std::vector<size_t> starts;
  for (size_t at = 0, length; b.size() - at >= 7 && b[at] == 0xFF && (b[at + 1] & 0xF6) == 0xF0; at += length) {
    length = ((b[at + 3] & 3u) << 11) | (size_t{b[at + 4]} << 3) | (b[at + 5] >> 5);
    if (length < 7 || length > b.size() - at) break;
    starts.push_back(at);
  }
  return starts;
}

// The raw data blocks of an ADTS stream without CRCs, back to back.
inline Bytes StripAdts(const Bytes& b) {
  Bytes raw;
  std::vector<size_t> starts = AdtsFrames(b);
  starts.push_back(b.size());
  for (size_t i = 0; i + 1 < starts.size(); ++i) {
    raw.insert(raw.end(), b.begin() + long(starts[i] + 7), b.begin() + long(starts[i + 1]));
  }
  return raw;
}

// An ADIF header, bit by bit: the header fields, one program configuration
// whose one front element is a single channel (1) or a pair (2), and no
// comment. `variable` is the bitstream type (constant rate has a 20-bit
// buffer fullness).
inline Bytes AdifHeader(bool copyright, bool variable, uint32_t bitrate, unsigned index, unsigned channels) {
  std::vector<bool> bits;
  auto put = [&](uint64_t value, int width) {
    for (int b = width - 1; b >= 0; --b) bits.push_back(((value >> b) & 1) != 0);
  };
  put(copyright, 1);
  if (copyright) {
    put(0x5A5A5A5A5A5A5A5AULL, 64);
    put(0x5A, 8);
  }
  put(variable, 3);  // original, home, bitstream type
  put(bitrate, 23);
  put(0, 4);  // one program configuration
  if (!variable) put(0xFFFFF, 20);
  put(1, 4 + 2);  // element instance tag 0, object type low complexity
  put(index, 4);
  put(1, 4);  // one front element
  put(0, 4 + 4 + 2 + 3 + 4 + 3);  // no other elements, no mixdowns
  put(channels == 2 ? 0x10 : 0, 1 + 4);  // the front element: a pair? tag 0
  while (bits.size() % 8 != 0) bits.push_back(false);
  put(0, 8);  // comment bytes
  Bytes bytes = {'A', 'D', 'I', 'F'};
  for (size_t i = 0; i < bits.size(); i += 8) {
    uint8_t byte = 0;
    for (size_t j = 0; j < 8; ++j) byte = uint8_t(byte << 1 | bits[i + j]);
    bytes.push_back(byte);
  }
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

// Another file in place of one of the codec libraries while it lives (a
// stand-in of the tests, or a name that loads nothing); the library is
// unloaded before and after.
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
