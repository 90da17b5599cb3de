// Helpers for the Ogg Vorbis and binding tests: a test signal, the
// vorbis-tools and ffmpeg as independent coders, and streams made by hand
// the way the stream layer makes them. Temporary folders, file bytes and
// quiet commands are those of the pack and stream tests.
#pragma once

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/stream/stream_module.h"
#include "audio_stream/stream_test_support.h"

namespace ogg_test {

using stream_test::RunQuietly;
using stream_test::SnrDb;
using test_support::Bytes;
using test_support::ReadBytes;
using test_support::TempDir;
using test_support::WriteBytes;

// A music-like signal: notes with harmonics and a decaying envelope, each
// channel a little different. Interleaved, frames x channels samples.
inline std::vector<int16_t> MusicSignal(int frames, int channels, int rate) {
  std::vector<int16_t> out(static_cast<size_t>(frames) * channels);
  const double notes[] = {220.0, 277.18, 329.63, 440.0};
  for (size_t i = 0; i < out.size(); ++i) {
    double t = static_cast<double>(i / channels) / rate;
    int c = static_cast<int>(i % channels);
    double note = notes[(static_cast<int>(t * 4) + c) % 4], v = 0;
    for (int h = 1; h <= 4; ++h) v += std::sin(2 * M_PI * note * h * t + c) / h;
    out[i] = static_cast<int16_t>(std::lrint(2800.0 * std::exp(-6.0 * std::fmod(t, 0.25)) * v));
  }
  return out;
}

// Encodes interleaved samples with oggenc at quality -1 to 10.
inline bool OggEncode(const TempDir& dir, const std::vector<int16_t>& samples, int channels, int rate,
                      int quality, const std::string& out) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());  // little-endian host
  WriteBytes(dir / "oggenc.raw", Bytes(bytes, bytes + samples.size() * 2));
  return RunQuietly("oggenc -Q -r -B 16 -C " + std::to_string(channels) + " -R " + std::to_string(rate) +
                    " --raw-endianness 0 -q " + std::to_string(quality) + " -o '" + out + "' '" +
                    dir / "oggenc.raw" + "'");
}

// Decodes with `command` ("oggdec" or "ffmpeg") to interleaved 16-bit samples.
inline std::vector<int16_t> DecodeWith(const std::string& command, const TempDir& dir, const std::string& ogg) {
  std::string raw = dir / "decoded.raw";
  std::string line = command == "oggdec" ? "oggdec -Q -R -b 16 -e 0 -s 1 -o '" + raw + "' '" + ogg + "'"
                                         : "ffmpeg -v error -y -i '" + ogg + "' -f s16le '" + raw + "'";
  Bytes bytes = RunQuietly(line) ? ReadBytes(raw) : Bytes();
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// A stream record as the stream layer makes one: the window of `length`
// bytes (reading) from the file's current position, with `info`.
inline std::unique_ptr<AudioStream> MakeStream(platform::File& file, int mode, int64_t length = 0,
                                               const AudioInfo& info = AudioInfo{}) {
  auto stream = std::make_unique<AudioStream>();
  stream->magic = kStreamMagic;
  stream->file = &file;
  stream->fileoffset = platform::TellFile(file);
  stream->filelength = length;
  stream->mode = mode;
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

}  // namespace ogg_test
