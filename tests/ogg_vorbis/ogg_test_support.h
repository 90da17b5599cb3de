// Helpers for the Ogg Vorbis and codec binding tests: temporary folders,
// test signals, the vorbis-tools as independent encoder and decoder, streams
// made by hand the way the stream layer makes them, and signal comparison.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "audio/stream/stream_module.h"

namespace ogg_test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed afterwards.
struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "spoolex-ogg-XXXXXX").string();
    path = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline std::vector<int16_t> ReadRawShorts(const std::string& path) {
  std::vector<uint8_t> bytes = ReadBytes(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return samples;
}

// Runs a shell command quietly; true when it exits with status 0.
inline bool Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A music-like signal: a few notes with harmonics and a decaying envelope,
// each channel a little different. Interleaved, frames x channels samples.
inline std::vector<int16_t> MusicSignal(int frames, int channels, int rate) {
  std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
  const double notes[] = {220.0, 277.18, 329.63, 440.0};
  for (int f = 0; f < frames; ++f) {
    double t = static_cast<double>(f) / rate;
    double beat = std::fmod(t, 0.25);
    double envelope = 0.35 * std::exp(-6.0 * beat);
    for (int c = 0; c < channels; ++c) {
      double note = notes[(static_cast<int>(t * 4) + c) % 4];
      double v = 0;
      for (int h = 1; h <= 4; ++h) v += std::sin(2 * M_PI * note * h * t + c) / h;
      out[static_cast<size_t>(f) * channels + c] = static_cast<int16_t>(std::lrint(8000.0 * envelope * v));
    }
  }
  return out;
}

// Encodes interleaved samples with oggenc at quality `quality` (-1 to 10).
inline bool OggEncode(const TempDir& dir, const std::vector<int16_t>& samples, int channels, int rate,
                      int quality, const std::string& out) {
  std::string raw = dir / "oggenc-input.raw";
  WriteBytes(raw, samples.data(), samples.size() * 2);
  return Run("oggenc -Q -r -B 16 -C " + std::to_string(channels) + " -R " + std::to_string(rate) +
             " --raw-endianness 0 -q " + std::to_string(quality) + " -o '" + out + "' '" + raw + "'");
}

// Decodes with oggdec to interleaved 16-bit samples.
inline std::vector<int16_t> OggdecDecode(const TempDir& dir, const std::string& ogg) {
  std::string raw = dir / "oggdec-output.raw";
  if (!Run("oggdec -Q -R -b 16 -e 0 -s 1 -o '" + raw + "' '" + ogg + "'")) return {};
  return ReadRawShorts(raw);
}

// Decodes with ffmpeg to interleaved 16-bit samples.
inline std::vector<int16_t> FfmpegDecode(const TempDir& dir, const std::string& ogg) {
  std::string raw = dir / "ffmpeg-output.raw";
  if (!Run("ffmpeg -v error -y -i '" + ogg + "' -f s16le -acodec pcm_s16le '" + raw + "'")) return {};
  return ReadRawShorts(raw);
}

// A stream record made the way the stream layer makes one for reading: the
// window of `length` bytes from the file's current position.
inline std::unique_ptr<AudioStream> ReadStream(platform::File& file, int64_t length) {
  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->fileoffset = platform::TellFile(file);
  stream->filelength = length;
  stream->mode = kStreamModeRead;
  stream->info.quality = kQualityNotSet;
  return stream;
}

// The same for writing, with the caller's description.
inline std::unique_ptr<AudioStream> WriteStream(platform::File& file, const AudioInfo& info) {
  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->fileoffset = platform::TellFile(file);
  stream->mode = kStreamModeWrite;
  stream->info = info;
  return stream;
}

// Every sample a stream opened for reading delivers, read in pieces.
inline std::vector<int16_t> ReadAll(AudioStream& stream) {
  std::vector<int16_t> all;
  int16_t piece[4096];
  for (int64_t n; (n = stream.readShort(stream, piece, 4096)) > 0;) all.insert(all.end(), piece, piece + n);
  return all;
}

// Signal-to-noise ratio in dB of `test` against `reference`, both
// interleaved with `channels`, at the lag (within +-maxLag frames) that fits
// best; compared over the frames both have.
inline double AlignedSnrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& test,
                           int channels, int maxLag) {
  auto error = [&](int lag, size_t limit) {
    double signal = 0, noise = 0;
    size_t frames = std::min(reference.size(), test.size()) / channels;
    for (size_t f = 0; f < std::min(frames, limit); ++f) {
      long t = static_cast<long>(f) + lag;
      if (t < 0 || static_cast<size_t>(t) >= test.size() / channels) continue;
      for (int c = 0; c < channels; ++c) {
        double r = reference[f * channels + c];
        double d = r - test[static_cast<size_t>(t) * channels + c];
        signal += r * r;
        noise += d * d;
      }
    }
    return std::make_pair(signal, noise);
  };
  int best = 0;
  double bestNoise = -1;
  for (int lag = -maxLag; lag <= maxLag; ++lag) {
    auto [signal, noise] = error(lag, 4096);
    double ratio = noise / (signal + 1);
    if (bestNoise < 0 || ratio < bestNoise) bestNoise = ratio, best = lag;
  }
  auto [signal, noise] = error(best, SIZE_MAX);
  return 10.0 * std::log10((signal + 1e-9) / (noise + 1e-9));
}

}  // namespace ogg_test
