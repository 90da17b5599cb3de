// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers for the Ogg Vorbis and binding tests: a test signal, the
// vorbis-tools and ffmpeg as independent coders, and streams made by hand
// the way the stream layer makes them. Temporary folders, file bytes and
// quiet commands are those of the pack and stream tests.
#pragma once

#include <algorithm>
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

// Opens bytes [offset, offset + length) of the file at `path` for reading
// with a module's open. codecdata is set exactly when the open succeeds.
inline int OpenWindow(ModuleOpenFn open, platform::File& file, std::unique_ptr<AudioStream>& stream,
                      const std::string& path, int64_t offset, int64_t length) {
  file = platform::OpenExistingReadOnly(path);
  platform::SeekFile(file, offset, platform::SeekOrigin::kBegin);
  stream = MakeStream(file, kStreamModeRead, length);
  const int result = open(*stream);
  EXPECT_EQ(stream->codecdata == nullptr, result != 0);
  return result;
}

// Writes `samples` with a module's open for writing into `path` after
// `prefix`, in uneven pieces of whole frames. Returns the close's result.
inline int EncodeWith(ModuleOpenFn open, const std::string& path, const std::vector<int16_t>& samples,
                      const AudioInfo& info, const std::string& prefix = "") {
  WriteBytes(path, test_support::ToBytes(prefix));
  platform::File file = platform::OpenExistingReadWrite(path);
  platform::SeekFile(file, 0, platform::SeekOrigin::kEnd);
  auto stream = MakeStream(file, kStreamModeWrite, 0, info);
  if (const int opened = open(*stream); opened != 0) {
    ADD_FAILURE() << "the open for writing failed with " << opened;
    return opened;
  }
  for (size_t at = 0, piece = info.channels * 997; at < samples.size(); at += piece) {
    const int64_t n = std::min(piece, samples.size() - at);
    EXPECT_EQ(stream->writeShort(*stream, samples.data() + at, n), n);
  }
  EXPECT_EQ(stream->info.samples, samples.size() / info.channels);
  return stream->close(*stream);
}

// Every sample a stream opened for reading delivers, read in pieces.
inline std::vector<int16_t> ReadAll(AudioStream& stream) {
  std::vector<int16_t> all;
  int16_t piece[4096];
  for (int64_t n; (n = stream.readShort(stream, piece, 4096)) > 0;) all.insert(all.end(), piece, piece + n);
  return all;
}

// Sets the CRC of the page at `at` (polynomial 0x04C11DB7, initial value 0,
// over the page with its CRC field zeroed), as the Ogg format describes it.
inline void FixPageCrc(Bytes& ogg, size_t at, size_t size) {
  std::fill_n(&ogg[at + 22], 4, 0);
  uint32_t crc = 0;
  for (size_t i = at; i < at + size; ++i) {
    crc ^= uint32_t{ogg[i]} << 24;
    for (int bit = 0; bit < 8; ++bit) crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  std::memcpy(&ogg[at + 22], &crc, 4);
}

// Appends one Ogg page holding `packets` (each under 255 bytes) to `ogg`.
inline void AppendPage(Bytes& ogg, const std::vector<Bytes>& packets, uint8_t flags, uint64_t granule,
                       uint32_t sequence) {
  const size_t at = ogg.size();
  test_support::Append(ogg, {'O', 'g', 'g', 'S', 0, flags});
  for (int i = 0; i < 8; ++i) ogg.push_back(static_cast<uint8_t>(granule >> (8 * i)));
  test_support::Put32(ogg, 0x5EED);  // serial number
  test_support::Put32(ogg, sequence);
  test_support::Put32(ogg, 0);  // CRC, set below
  ogg.push_back(static_cast<uint8_t>(packets.size()));
  for (const Bytes& packet : packets) ogg.push_back(static_cast<uint8_t>(packet.size()));
  for (const Bytes& packet : packets) test_support::Append(ogg, packet);
  FixPageCrc(ogg, at, ogg.size() - at);
}

// Bits written from the lowest bit of each byte up, as Vorbis packs them.
struct VorbisBits {
  Bytes bytes;
  int used = 8;
  void Put(uint32_t value, int count) {
    for (int i = 0; i < count; ++i, ++used) {
      if (used == 8) bytes.push_back(0), used = 0;
      bytes.back() |= static_cast<uint8_t>((value >> i & 1) << used);
    }
  }
};

// A valid Vorbis stream built by hand: `channels` at `rate`, both block
// sizes 8192, one unused floor per channel, and `pages` pages of `packets`
// audio packets of one byte each. Every packet after the first decodes to
// 4096 frames of silence, so a page of 255 packets (537 bytes) stands for
// nearly 255 x 4096 x `channels` samples; the last page's granule position
// claims them all.
inline Bytes SilentVorbisStream(int channels, uint32_t rate, int pages, int packets = 255) {
  Bytes id = {1, 'v', 'o', 'r', 'b', 'i', 's'};
  test_support::Put32(id, 0);  // version
  id.push_back(static_cast<uint8_t>(channels));
  test_support::Put32(id, rate);
  for (int i = 0; i < 3; ++i) test_support::Put32(id, 0);  // bit rates
  test_support::Append(id, {0xDD, 1});                    // block sizes 2^13, 2^13; framing
  Bytes comment = {3, 'v', 'o', 'r', 'b', 'i', 's', 0, 0, 0, 0, 0, 0, 0, 0, 1};
  VorbisBits setup;
  for (char c : std::string("\5vorbis")) setup.Put(static_cast<uint8_t>(c), 8);
  setup.Put(0, 8);                                              // one codebook:
  setup.Put(0x564342, 24), setup.Put(1, 16), setup.Put(2, 24);  // 1 dimension, 2 entries,
  setup.Put(0, 2), setup.Put(0, 5), setup.Put(0, 5);            // both 1 bit long,
  setup.Put(0, 4);                                              // no lookup
  setup.Put(0, 6), setup.Put(0, 16);                            // time domain
  setup.Put(0, 6), setup.Put(1, 16);                            // one floor of type 1:
  setup.Put(0, 5), setup.Put(0, 2), setup.Put(1, 4);            // no partitions
  setup.Put(0, 6), setup.Put(0, 16);                            // one residue of type 0:
  setup.Put(0, 24), setup.Put(0, 24), setup.Put(0, 24);         // empty,
  setup.Put(0, 6), setup.Put(0, 8), setup.Put(0, 4);            // one class, no books
  setup.Put(0, 6), setup.Put(0, 16), setup.Put(0, 4);           // one mapping, one submap,
  setup.Put(0, 8), setup.Put(0, 8), setup.Put(0, 8);            // floor 0, residue 0
  setup.Put(0, 6), setup.Put(1, 1);                             // one mode, long blocks,
  setup.Put(0, 16), setup.Put(0, 16), setup.Put(0, 8);          // mapping 0
  setup.Put(1, 1);                                              // framing
  Bytes ogg;
  AppendPage(ogg, {id}, 0x02, 0, 0);
  AppendPage(ogg, {comment, setup.bytes}, 0, 0, 1);
  // An audio packet: type 0, mode 0 (no bits), previous and next windows
  // long; the floors' "unused" bits lie past its end and read as unused.
  const std::vector<Bytes> audio(static_cast<size_t>(packets), Bytes{0x06});
  for (int page = 0; page < pages; ++page) {
    const uint64_t granule = uint64_t{4096} * packets * (page + 1);
    AppendPage(ogg, audio, page + 1 == pages ? 0x04 : 0, granule, static_cast<uint32_t>(page + 2));
  }
  return ogg;
}

}  // namespace ogg_test
