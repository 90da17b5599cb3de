// SPDX-License-Identifier: GPL-2.0-or-later
// The frames the Ogg Vorbis open counts without synthesis, against a full
// decode with libvorbis (linked here directly, not through the binding):
// the open's result, the count and every sample read must be those of the
// decode, for streams of many rates, channel counts and qualities, cut at
// many offsets, with granule positions that trim, and the fuzz corpus.
#include <gtest/gtest.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <filesystem>

#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "ogg_vorbis/ogg_test_support.h"

using namespace ogg_test;

namespace {

struct Decoded {
  int error = 0;
  std::vector<int16_t> samples;
};

// The whole stream decoded at once: pages in 4096-byte pieces, every audio
// packet synthesised, its frames taken 4096 / channels at a time, each
// checked against 1024 samples per byte read and the store's doublings.
Decoded DecodeWhole(const Bytes& ogg) {
  Decoded d;
  ogg_sync_state sync;
  ogg_stream_state os;
  ogg_page page;
  ogg_packet packet;
  vorbis_info vi;
  vorbis_comment vc;
  vorbis_dsp_state dsp;
  vorbis_block vb;
  ogg_sync_init(&sync);
  vorbis_info_init(&vi);
  vorbis_comment_init(&vc);
  bool streamReady = false, dspReady = false;
  size_t at = 0;
  auto feed = [&]() {
    const size_t n = std::min<size_t>(4096, ogg.size() - at);
    std::copy_n(ogg.begin() + static_cast<ptrdiff_t>(at), n, ogg_sync_buffer(&sync, 4096));
    ogg_sync_wrote(&sync, static_cast<long>(n));
    at += n;
    return n;
  };
  auto run = [&]() -> int {
    feed();
    if (ogg_sync_pageout(&sync, &page) != 1) return 83;
    ogg_stream_init(&os, ogg_page_serialno(&page));
    streamReady = true;
    if (ogg_stream_pagein(&os, &page) < 0 || ogg_stream_packetout(&os, &packet) != 1 ||
        vorbis_synthesis_headerin(&vi, &vc, &packet) < 0) {
      return 83;
    }
    for (int headers = 0; headers < 2;) {
      while (headers < 2) {
        const int p = ogg_sync_pageout(&sync, &page);
        if (p == 0) break;
        if (p < 0) continue;
        ogg_stream_pagein(&os, &page);
        while (headers < 2) {
          const int got = ogg_stream_packetout(&os, &packet);
          if (got == 0) break;
          if (got < 0 || vorbis_synthesis_headerin(&vi, &vc, &packet) < 0) return 83;
          ++headers;
        }
      }
      if (feed() == 0 && headers < 2) return 83;
    }
    if (vi.channels < 1 || vi.rate < 1 || vorbis_synthesis_init(&dsp, &vi) != 0) return 83;
    dspReady = true;
    vorbis_block_init(&dsp, &vb);
    const int channels = vi.channels;
    int64_t capacity = channels * 10 * 1024;
    for (;;) {
      const int p = ogg_sync_pageout(&sync, &page);
      if (p == 0) {
        if (feed() == 0) break;
        continue;
      }
      if (p < 0) return 83;
      ogg_stream_pagein(&os, &page);
      for (int got; (got = ogg_stream_packetout(&os, &packet)) != 0;) {
        if (got < 0) return 83;
        if (vorbis_synthesis(&vb, &packet) == 0) vorbis_synthesis_blockin(&dsp, &vb);
        float** pcm = nullptr;
        for (int n; (n = vorbis_synthesis_pcmout(&dsp, &pcm)) > 0;) {
          const int b = std::min(n, 4096 / channels);
          const int64_t after = static_cast<int64_t>(d.samples.size()) + int64_t{b} * channels;
          if (after > int64_t(at) * 1024) return 83;
          if (after >= capacity && (capacity *= 2) > INT32_MAX) return 8;
          for (int i = 0; i < b; ++i) {
            for (int c = 0; c < channels; ++c) {
              const double v = std::clamp(double(pcm[c][i]) * 32767.0, -32768.0, 32767.0);
              d.samples.push_back(static_cast<int16_t>(v == v ? v : 0.0));
            }
          }
          vorbis_synthesis_read(&dsp, b);
        }
      }
      if (ogg_page_eos(&page)) break;
    }
    return d.samples.empty() ? 8 : 0;
  };
  d.error = run();
  if (dspReady) {
    vorbis_block_clear(&vb);
    vorbis_dsp_clear(&dsp);
  }
  if (streamReady) ogg_stream_clear(&os);
  vorbis_comment_clear(&vc);
  vorbis_info_clear(&vi);
  ogg_sync_clear(&sync);
  if (d.error != 0) d.samples.clear();
  return d;
}

// Opens `ogg` with the module and reads it in pieces of 1000 frames; both
// must agree with the whole decode.
void ExpectSameAsWholeDecode(const TempDir& dir, const Bytes& ogg, const std::string& what) {
  const std::string path = dir / "count.ogg";
  WriteBytes(path, ogg);
  const Decoded whole = DecodeWhole(ogg);
  platform::File file;
  std::unique_ptr<AudioStream> stream;
  const int opened = OpenWindow(OggVorbisOpenRead, file, stream, path, 0, int64_t(ogg.size()));
  // 19: the window is cut; the whole decode stops at the same bytes.
  ASSERT_EQ(opened == kErrorShortRead ? 0 : opened, whole.error) << what;
  if (opened != 0) return;
  const int64_t channels = stream->info.channels;
  ASSERT_EQ(int64_t{stream->info.samples} * channels, int64_t(whole.samples.size())) << what;
  std::vector<int16_t> read;
  std::vector<int16_t> piece(static_cast<size_t>(1000 * channels));
  for (int64_t n; (n = stream->readShort(*stream, piece.data(), int64_t(piece.size()))) > 0;) {
    read.insert(read.end(), piece.begin(), piece.begin() + n);
  }
  EXPECT_EQ(stream->error, 0) << what;
  EXPECT_TRUE(read == whole.samples) << what;
  EXPECT_EQ(stream->close(*stream), 0);
}

TEST(OggCount, EveryRateChannelCountAndQuality) {
  TempDir dir;
  const std::string ogg = dir / "enc.ogg";
  for (int rate : {8000, 22050, 44100, 96000}) {
    for (int channels : {1, 2, 3, 6}) {
      const int quality = (rate / 1000 + channels * 3) % 12 - 1;
      const int frames = rate / 5 + 77 * channels;
      ASSERT_TRUE(OggEncode(dir, MusicSignal(frames, channels, rate), channels, rate, quality, ogg));
      ExpectSameAsWholeDecode(dir, ReadBytes(ogg), std::to_string(rate) + " Hz " + std::to_string(channels) +
                                                       " ch q" + std::to_string(quality));
    }
  }
}

// Cut at many offsets (the last page short, or none at all), and with the
// last page's end-of-stream flag or granule position changed so that
// libvorbis trims the end differently.
TEST(OggCount, CutStreamsAndChangedGranules) {
  TempDir dir;
  const std::string ogg = dir / "enc.ogg";
  ASSERT_TRUE(OggEncode(dir, MusicSignal(30000, 2, 44100), 2, 44100, 3, ogg));
  const Bytes whole = ReadBytes(ogg);
  for (size_t cut = 3000; cut < whole.size(); cut += 733) {
    ExpectSameAsWholeDecode(dir, Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut)),
                            "cut at " + std::to_string(cut));
  }
  // The last page: its flag at byte 5, granule at 6, CRC at 22.
  size_t last = 0;
  for (size_t at = 0; at + 4 <= whole.size(); ++at) {
    if (std::equal(whole.begin() + static_cast<ptrdiff_t>(at), whole.begin() + static_cast<ptrdiff_t>(at) + 4,
                   "OggS")) {
      last = at;
    }
  }
  for (int64_t delta : {-5000, -1, 1, 700, 40000}) {
    for (uint8_t flag : {0x00, 0x04}) {
      Bytes changed = whole;
      changed[last + 5] = flag;
      uint64_t granule = 0;
      for (int i = 7; i >= 0; --i) granule = granule << 8 | changed[last + 6 + i];
      granule += static_cast<uint64_t>(delta);
      for (int i = 0; i < 8; ++i) changed[last + 6 + i] = static_cast<uint8_t>(granule >> (8 * i));
      FixPageCrc(changed, last, changed.size() - last);
      ExpectSameAsWholeDecode(dir, changed, "granule " + std::to_string(delta) + " flag " + std::to_string(flag));
    }
  }
  ExpectSameAsWholeDecode(dir, SilentVorbisStream(2, 8000, 3, 40), "hand-made");
}

TEST(OggCount, FuzzCorpus) {
  TempDir dir;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(SPOOLEX_SOURCE_DIR) + "/fuzz/corpus/ogg")) {
    ExpectSameAsWholeDecode(dir, ReadBytes(entry.path().string()), entry.path().filename().string());
    ++files;
  }
  EXPECT_GT(files, 0);
}

}  // namespace
