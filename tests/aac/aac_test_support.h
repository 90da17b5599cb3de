// Helpers for the AAC tests: ffmpeg as an independent encoder, the faad
// command and ffmpeg as independent decoders, ADTS frames split by hand,
// and the stream records and signals of the Ogg Vorbis tests.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "audio/aac/aac.h"
#include "ogg_vorbis/ogg_test_support.h"

namespace aac_test {

using namespace ogg_test;

// Encodes interleaved samples with ffmpeg's AAC encoder into an ADTS file at
// `kbps` kbit/s for the whole stream; `profile` is ffmpeg's name for it.
inline bool FfmpegAdts(const TempDir& dir, const std::vector<int16_t>& samples, int channels, int rate, int kbps,
                       const std::string& out, const std::string& profile = "aac_low") {
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());  // little-endian host
  WriteBytes(dir / "ffmpeg-in.raw", Bytes(bytes, bytes + samples.size() * 2));
  return RunQuietly("ffmpeg -v error -y -f s16le -ar " + std::to_string(rate) + " -ac " + std::to_string(channels) +
                    " -i '" + dir / "ffmpeg-in.raw" + "' -c:a aac -profile:a " + profile + " -b:a " +
                    std::to_string(kbps) + "k -f adts '" + out + "'");
}

// The faad command's decoding of `path`: interleaved 16-bit samples, and the
// channel count and rate of the WAV file it writes. faad2 returns mono
// streams as two equal channels (for the parametric stereo they may carry)
// and, unless told otherwise as the module tells it, streams of 24000 Hz
// and below at twice their rate (for the band replication they may carry).
struct Decoded {
  std::vector<int16_t> samples;
  uint32_t channels = 0, samplerate = 0;
};
inline Decoded FaadDecode(const TempDir& dir, const std::string& path) {
  const std::string wav = dir / "faad.wav";
  const Bytes bytes = RunQuietly("faad -q -b 1 -o '" + wav + "' '" + path + "'") ? ReadBytes(wav) : Bytes();
  Decoded d;
  // RIFF, then chunks of a 4-byte name and a 4-byte length: "fmt ", "data".
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const std::string name(bytes.begin() + long(at), bytes.begin() + long(at) + 4);
    const size_t length = std::min<size_t>(test_support::At32(bytes, at + 4), bytes.size() - at - 8);
    if (name == "fmt " && length >= 8) {
      d.channels = bytes[at + 10] | bytes[at + 11] << 8;
      d.samplerate = test_support::At32(bytes, at + 12);
    } else if (name == "data") {
      d.samples.resize(length / 2);
      std::memcpy(d.samples.data(), bytes.data() + at + 8, d.samples.size() * 2);
    }
    at += 8 + length + (length & 1);
  }
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

// One ADTS frame of a file: where it starts, its length and its header's
// length (7, or 9 with a CRC), all in bytes.
struct AdtsFrame {
  size_t offset = 0, length = 0, header = 0;
};

// The frames of an ADTS stream, read by the header layout of today's
// writers; stops at the first place that is not a whole frame.
inline std::vector<AdtsFrame> SplitAdts(const Bytes& bytes) {
  std::vector<AdtsFrame> frames;
  for (size_t at = 0; bytes.size() - at >= 7 && bytes[at] == 0xFF && (bytes[at + 1] & 0xF6) == 0xF0;) {
    const size_t length = ((bytes[at + 3] & 3u) << 11) | (size_t{bytes[at + 4]} << 3) | (bytes[at + 5] >> 5);
    if (length < 7 || length > bytes.size() - at) break;
    frames.push_back({at, length, (bytes[at + 1] & 1) != 0 ? 7u : 9u});
    at += length;
  }
  return frames;
}

// The raw data blocks of an ADTS stream, back to back: the stream without
// its headers.
inline Bytes StripAdts(const Bytes& bytes) {
  Bytes raw;
  for (const AdtsFrame& f : SplitAdts(bytes)) {
    raw.insert(raw.end(), bytes.begin() + long(f.offset + f.header), bytes.begin() + long(f.offset + f.length));
  }
  return raw;
}

// An ADIF header written bit by bit from its layout: the header fields, one
// program configuration whose one front element is a single channel (1
// channel) or a channel pair (2), and no comment. `variable` is the
// bitstream type (0: constant rate, with a 20-bit buffer fullness).
inline Bytes AdifHeader(bool copyright, bool variable, uint32_t bitrate, unsigned index, unsigned channels) {
  std::vector<bool> bits;
  auto put = [&](uint64_t value, int width) {
    for (int b = width - 1; b >= 0; --b) bits.push_back(((value >> b) & 1) != 0);
  };
  put(copyright, 1);
  if (copyright) {
    put(0x5A5A5A5A5AULL, 40);
    put(0x5A5A5A5AULL, 32);
  }
  put(0, 2);  // original, home
  put(variable, 1);
  put(bitrate, 23);
  put(0, 4);  // one program configuration
  if (!variable) put(0xFFFFF, 20);
  put(0, 4);  // element instance tag
  put(1, 2);  // object type: low complexity
  put(index, 4);
  put(1, 4);          // front elements
  put(0, 4 + 4 + 2);  // side, back, low-frequency elements
  put(0, 3 + 4);      // associated data, coupling elements
  put(0, 3);          // no mixdowns
  put(channels == 2, 1);  // front element: a pair?
  put(0, 4);              // its tag
  while (bits.size() % 8 != 0) bits.push_back(false);
  put(0, 8);  // comment bytes
  Bytes bytes = {'A', 'D', 'I', 'F'};
  for (size_t i = 0; i < bits.size(); i += 8) {
    uint8_t byte = 0;
    for (size_t j = 0; j < 8; ++j) byte = static_cast<uint8_t>(byte << 1 | (bits[i + j] ? 1 : 0));
    bytes.push_back(byte);
  }
  return bytes;
}

// SNR in dB of `got` against `want` at the best of the shifts a decoder's
// priming can cause (0, 1 or 2 frames of 1024 samples per channel, either
// way), over the samples both have.
inline double AlignedSnrDb(const std::vector<int16_t>& want, const std::vector<int16_t>& got, int channels) {
  double best = -1000;
  for (long shift : {0L, 1024L, -1024L, 2048L, -2048L}) {
    const size_t skip = static_cast<size_t>(std::abs(shift)) * channels;
    const std::vector<int16_t>& ahead = shift >= 0 ? got : want;
    const std::vector<int16_t>& behind = shift >= 0 ? want : got;
    if (skip >= ahead.size()) continue;
    const std::vector<int16_t> moved(ahead.begin() + long(skip), ahead.end());
    best = std::max(best, shift >= 0 ? SnrDb(behind, moved) : SnrDb(moved, behind));
  }
  return best;
}

// Two tones per channel, the second channel's a fifth above the first's.
inline std::vector<int16_t> TwoTones(int frames, int channels, int rate) {
  std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i / channels) / rate, k = 1.0 + 0.5 * static_cast<double>(i % channels);
    out[i] = static_cast<int16_t>(std::lrint(7000 * std::sin(2 * M_PI * 440 * k * t) +
                                             5000 * std::sin(2 * M_PI * 1250 * k * t)));
  }
  return out;
}

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
