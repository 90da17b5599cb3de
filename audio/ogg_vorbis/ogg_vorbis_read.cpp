// SPDX-License-Identifier: GPL-2.0-or-later
// Reading an Ogg Vorbis stream piece by piece: the open counts the frames
// the stream decodes to without decoding them, and reads decode as they go.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <new>

#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "audio/ogg_vorbis/ogg_vorbis_session.h"

namespace {

constexpr long kReadChunkBytes = 4096;
// The frame counts are checked as the store of the whole stream that this
// module once filled would have grown: channels x factor x 1024 samples
// first, the factor doubling whenever the store filled, and frames taken
// from the decoder 4096 / channels at a time.
constexpr int64_t kFirstCapacityFactor = 10;
constexpr int kDecodeChunkSamples = 4096;
// Most samples a stream may decode to (the layer's counts are 32-bit).
constexpr int64_t kMaxStreamSamples = INT32_MAX;
constexpr double kScaleTo16 = 32767.0;

// The part of the stream's window not read yet.
struct Window {
  platform::File* file = nullptr;
  int64_t remaining = 0;  // bytes
  int64_t consumed = 0;   // bytes read so far
  int systemError = 0;    // errno of a failed read
};

// libvorbis's account of the frames a block makes ready
// (vorbis_synthesis_blockin with vorbis_synthesis_pcmout), kept for blocks
// taken by vorbis_synthesis_trackonly, whose blockin leaves that account
// alone: the centre of the window, the frames returned and ready, and the
// granule position that trims the first and the last block.
struct FrameTiming {
  long blocksizes[2] = {};
  int w = 0;
  long centerW = 0;
  long pcmReturned = -1;
  long pcmCurrent = 0;
  int64_t sequence = -1;
  int64_t granulepos = -1;
  int64_t sampleCount = -1;
};

// Takes one block as vorbis_synthesis_blockin does and returns the frames
// vorbis_synthesis_pcmout then reports; they count as read.
long TimeBlock(FrameTiming& t, const vorbis_block& vb) {
  const int lw = t.w;
  t.w = vb.W;
  if (t.sequence == -1 || t.sequence + 1 != vb.sequence) {
    t.granulepos = -1;  // out of sequence: the count is lost
    t.sampleCount = -1;
  }
  t.sequence = vb.sequence;
  const long n1 = t.blocksizes[1] >> 1;
  const long thisCenter = t.centerW != 0 ? n1 : 0;
  const long prevCenter = t.centerW != 0 ? 0 : n1;
  t.centerW = t.centerW != 0 ? 0 : n1;
  const long span = t.blocksizes[lw] / 4 + t.blocksizes[t.w] / 4;
  if (t.pcmReturned == -1) {
    t.pcmReturned = thisCenter;
    t.pcmCurrent = thisCenter;
  } else {
    t.pcmReturned = prevCenter;
    t.pcmCurrent = prevCenter + span;
  }
  t.sampleCount = t.sampleCount == -1 ? 0 : t.sampleCount + span;
  if (t.granulepos == -1) {
    if (vb.granulepos != -1) {
      t.granulepos = vb.granulepos;
      if (t.sampleCount > t.granulepos) {
        // The first page with a position is short: its end is cut when it
        // also ends the stream, else its beginning.
        long extra = static_cast<long>(t.sampleCount - vb.granulepos);
        if (extra < 0) extra = 0;
        if (vb.eofflag != 0) {
          extra = std::min(extra, t.pcmCurrent - t.pcmReturned);
          t.pcmCurrent -= extra;
        } else {
          t.pcmReturned = std::min(t.pcmReturned + extra, t.pcmCurrent);
        }
      }
    }
  } else {
    t.granulepos += span;
    if (vb.granulepos != -1 && t.granulepos != vb.granulepos) {
      if (t.granulepos > vb.granulepos && vb.eofflag != 0) {
        // A partial last block: the frames past the position go.
        long extra = static_cast<long>(t.granulepos - vb.granulepos);
        extra = std::min(extra, t.pcmCurrent - t.pcmReturned);
        if (extra < 0) extra = 0;
        t.pcmCurrent -= extra;
      }
      t.granulepos = vb.granulepos;
    }
  }
  const long ready = t.pcmReturned > -1 && t.pcmReturned < t.pcmCurrent ? t.pcmCurrent - t.pcmReturned : 0;
  t.pcmReturned += ready;
  return ready;
}

// One pass over the stream: the session, the window and where the walk
// over pages and packets stands.
struct OggPass {
  VorbisSession s;
  Window window;
  bool inPage = false;  // a page was submitted whose packets are not all taken
  bool ended = false;   // no packet follows
  int error = 0;        // why the pass stopped early
};

// Reads the next piece of the window (up to 4096 bytes) into the sync state
// and sets `bytes` to its size, 0 at the window's end. A file that ends
// inside the window, or a read the system refuses, is a failed read (19).
// Returns 0 or an error.
int FeedSync(VorbisSession& s, Window& window, int64_t& bytes) {
  char* to = codec::ogg_sync_buffer(&s.sync, kReadChunkBytes);
  if (to == nullptr) return kErrorMemory;
  const int64_t want = std::min<int64_t>(kReadChunkBytes, window.remaining);
  bytes = want > 0 ? platform::ReadFile(*window.file, to, static_cast<size_t>(want)) : 0;
  if (bytes < 0) window.systemError = errno;
  if (bytes < want) return kErrorShortRead;
  window.remaining -= bytes;
  window.consumed += bytes;
  codec::ogg_sync_wrote(&s.sync, static_cast<long>(bytes));
  return 0;
}

// Takes the three header packets into s.info and s.comment. Returns 0 or an
// error number.
int ReadHeaders(VorbisSession& s, Window& window) {
  int64_t bytes = 0;
  if (int error = FeedSync(s, window, bytes)) return error;
  if (codec::ogg_sync_pageout(&s.sync, &s.page) != 1) return kErrorNotVorbis;
  // The records start zeroed, so clearing one whose set-up failed is safe.
  s.streamReady = true;
  if (codec::ogg_stream_init(&s.stream, codec::ogg_page_serialno(&s.page)) != 0) return kErrorMemory;
  codec::vorbis_info_init(&s.info);
  s.infoReady = true;
  codec::vorbis_comment_init(&s.comment);
  s.commentReady = true;
  if (codec::ogg_stream_pagein(&s.stream, &s.page) < 0) return kErrorNotVorbis;
  if (codec::ogg_stream_packetout(&s.stream, &s.packet) != 1) return kErrorNotVorbis;
  if (codec::vorbis_synthesis_headerin(&s.info, &s.comment, &s.packet) < 0) return kErrorNotVorbis;

  int headers = 0;
  while (headers < 2) {
    while (headers < 2) {
      int page = codec::ogg_sync_pageout(&s.sync, &s.page);
      if (page == 0) break;
      if (page < 0) continue;
      codec::ogg_stream_pagein(&s.stream, &s.page);
      while (headers < 2) {
        int got = codec::ogg_stream_packetout(&s.stream, &s.packet);
        if (got == 0) break;
        if (got < 0) return kErrorNotVorbis;
        // A comment or setup header that does not parse leaves the decoder
        // without codebooks: refuse the stream rather than decode with it.
        if (codec::vorbis_synthesis_headerin(&s.info, &s.comment, &s.packet) < 0) {
          return kErrorNotVorbis;
        }
        ++headers;
      }
    }
    if (int error = FeedSync(s, window, bytes)) return error;
    if (bytes == 0 && headers < 2) return kErrorNotVorbis;
  }
  return 0;
}

// Starts a pass at the stream's first byte: headers read, synthesis set up.
// Returns 0 or an error number.
int StartPass(AudioStream& stream, OggPass& pass) {
  if (platform::SeekFile(*stream.file, stream.fileoffset, platform::SeekOrigin::kBegin) < 0) {
    return kErrorShortRead;
  }
  pass.window = Window{stream.file, std::max<int64_t>(stream.filelength, 0)};
  VorbisSession& s = pass.s;
  if (codec::ogg_sync_init(&s.sync) != 0) return kErrorMemory;
  s.syncReady = true;
  if (int error = ReadHeaders(s, pass.window)) return error;
  if (s.info.channels < 1 || s.info.rate < 1) return kErrorNotVorbis;
  s.dspReady = true;
  if (codec::vorbis_synthesis_init(&s.dsp, &s.info) != 0) return kErrorNotVorbis;
  s.blockReady = true;
  if (codec::vorbis_block_init(&s.dsp, &s.block) != 0) return kErrorMemory;
  return 0;
}

// Takes the next audio packet into s.block (decoded, or only timed when
// `trackOnly`); `taken` tells whether the block may go to blockin. Returns
// false when no packet follows: the stream's last page was done, the window
// ended, or (with pass.error set) a page, a packet or a read failed.
bool NextPacket(OggPass& pass, bool trackOnly, bool& taken) {
  VorbisSession& s = pass.s;
  while (!pass.ended) {
    if (pass.inPage) {
      const int got = codec::ogg_stream_packetout(&s.stream, &s.packet);
      if (got < 0) {
        pass.error = kErrorNotVorbis;
        break;
      }
      if (got == 0) {
        pass.inPage = false;
        if (codec::ogg_page_eos(&s.page)) pass.ended = true;
        continue;
      }
      taken = (trackOnly ? codec::vorbis_synthesis_trackonly(&s.block, &s.packet)
                         : codec::vorbis_synthesis(&s.block, &s.packet)) == 0;
      return true;
    }
    const int page = codec::ogg_sync_pageout(&s.sync, &s.page);
    if (page == 0) {
      int64_t bytes = 0;
      if (int error = FeedSync(s, pass.window, bytes)) {
        pass.error = error;
        break;
      }
      if (bytes == 0) pass.ended = true;
      continue;
    }
    if (page < 0) {
      pass.error = kErrorNotVorbis;
      break;
    }
    codec::ogg_stream_pagein(&s.stream, &s.page);
    pass.inPage = true;
  }
  pass.ended = true;
  return false;
}

// Counts the samples the stream decodes to, checking them as the decoder
// hands them out. Returns 0 or an error number; 83 (logged) as soon as the
// samples pass what the bytes read so far can plausibly hold.
int CountSamples(AudioStream& stream, OggPass& pass, int64_t& total) {
  const int channels = pass.s.info.channels;
  FrameTiming timing;
  timing.blocksizes[0] = codec::vorbis_info_blocksize(&pass.s.info, 0);
  timing.blocksizes[1] = codec::vorbis_info_blocksize(&pass.s.info, 1);
  timing.centerW = timing.blocksizes[1] >> 1;
  timing.pcmCurrent = timing.centerW;
  const int chunkFrames = kDecodeChunkSamples / channels;
  int64_t capacity = channels * kFirstCapacityFactor * 1024;
  if (capacity > kMaxStreamSamples) return kErrorMemory;
  int64_t stored = 0;
  bool taken = false;
  while (NextPacket(pass, true, taken)) {
    if (!taken) continue;
    for (long frames = TimeBlock(timing, pass.s.block); frames > 0;) {
      const int b = static_cast<int>(std::min<long>(frames, chunkFrames));
      const int64_t after = stored + int64_t{b} * channels;
      if (after > MaxCodecSamples(pass.window.consumed)) {
        LogPrintf(stream, "%d bytes decode to more than %d samples\n", static_cast<int>(pass.window.consumed),
                  static_cast<int>(std::min<int64_t>(after, INT32_MAX)));
        return kErrorNotVorbis;
      }
      if (after >= capacity) {
        capacity *= 2;
        if (capacity > kMaxStreamSamples) return kErrorMemory;
      }
      stored = after;
      frames -= b;
    }
  }
  if (pass.error != 0) return pass.error;
  total = stored;
  return 0;
}

// A decoded sample on the 16-bit scale: the product with 32767 truncated
// toward zero, clipped; NaN gives 0.
inline int16_t ScaleSample(float value) {
  double scaled = static_cast<double>(value) * kScaleTo16;
  scaled = scaled == scaled ? scaled : 0.0;
  // Truncation and clipping commute at these integer bounds.
  scaled = std::min(std::max(scaled, -32768.0), 32767.0);
  return static_cast<int16_t>(static_cast<int32_t>(scaled));
}

// Writes `frames` decoded frames to `to`, interleaving the channel arrays.
// Vectorised (the build's -O2 leaves loops scalar): each lane computes
// exactly the scalar ScaleSample. A second copy for processors with AVX2,
// chosen when the program loads, takes four doubles per instruction
// instead of two; the operations and so the samples are the same.
[[gnu::optimize("tree-vectorize"), gnu::target_clones("avx2", "default")]] void InterleaveFrames(
    float* const* pcm, int channels, int frames, int16_t* to) {
  if (channels == 2) {
    const float* left = pcm[0];
    const float* right = pcm[1];
    for (int i = 0; i < frames; ++i) {
      to[2 * i] = ScaleSample(left[i]);
      to[2 * i + 1] = ScaleSample(right[i]);
    }
    return;
  }
  for (int c = 0; c < channels; ++c) {
    const float* from = pcm[c];
    int16_t* out = to + c;
    for (int i = 0; i < frames; ++i) out[static_cast<int64_t>(i) * channels] = ScaleSample(from[i]);
  }
}

// The codecdata of a stream being read: the decoding pass and the samples
// it still owes.
struct OggReader : CodecState {
  OggPass pass;
  int64_t left = 0;  // samples counted at the open and not delivered yet
};

// readShort: decodes up to `count` samples (whole frames) into `buffer`.
// A pass that fails, or decodes to other frames than the open counted,
// sets the stream's error (19 for a read, 83 otherwise).
int64_t OggVorbisReadShort(AudioStream& stream, int16_t* buffer, int64_t count) {
  auto* reader = dynamic_cast<OggReader*>(stream.codecdata.get());
  if (reader == nullptr) return 0;
  OggPass& pass = reader->pass;
  const int channels = pass.s.info.channels;
  int64_t done = 0;
  while (done < count && reader->left > 0) {
    float** pcm = nullptr;
    const int available = codec::vorbis_synthesis_pcmout(&pass.s.dsp, &pcm);
    if (available > 0) {
      const int64_t room = std::min(count - done, reader->left) / channels;
      const int frames = static_cast<int>(std::min<int64_t>(available, room));
      if (frames == 0) break;
      InterleaveFrames(pcm, channels, frames, buffer + done);
      codec::vorbis_synthesis_read(&pass.s.dsp, frames);
      done += int64_t{frames} * channels;
      reader->left -= int64_t{frames} * channels;
      continue;
    }
    bool taken = false;
    if (!NextPacket(pass, false, taken)) break;
    if (taken) codec::vorbis_synthesis_blockin(&pass.s.dsp, &pass.s.block);
  }
  float** pcm = nullptr;
  if (reader->left == 0 && codec::vorbis_synthesis_pcmout(&pass.s.dsp, &pcm) > 0) pass.error = kErrorNotVorbis;
  if (reader->left > 0 && pass.ended && pass.error == 0) pass.error = kErrorNotVorbis;
  if (pass.error != 0 && stream.error == 0) {
    stream.error = pass.error;
    if (stream.systemError == 0) stream.systemError = pass.window.systemError;
  }
  return done;
}

int OggVorbisCloseRead(AudioStream& stream) {
  stream.codecdata.reset();
  return 0;
}

}  // namespace

int OggVorbisOpenRead(AudioStream& stream) {
  for (CodecLibraryId id : {CodecLibraryId::kOgg, CodecLibraryId::kVorbis}) {
    if (int error = OpenCodecLibraryFor(stream, id)) return error;
  }
  int64_t total = 0;
  {
    OggPass counting;
    int error = StartPass(stream, counting);
    if (error == 0) error = CountSamples(stream, counting, total);
    if (error != 0) {
      stream.systemError = counting.window.systemError;
      return error;
    }
  }
  if (total == 0) return kErrorMemory;
  std::unique_ptr<OggReader> reader(new (std::nothrow) OggReader);
  if (reader == nullptr) return kErrorMemory;
  if (int error = StartPass(stream, reader->pass)) {
    stream.systemError = reader->pass.window.systemError;
    return error;
  }
  const vorbis_info& vi = reader->pass.s.info;
  AudioInfo& info = stream.info;
  info.samplerate = static_cast<uint32_t>(vi.rate);
  info.channels = static_cast<uint32_t>(vi.channels);
  info.pcmbitwidth = 16;
  info.format = FMT_OGG;
  info.sections = 1;
  // An unset nominal bit rate (0 or -1) reads as 0, "not set".
  info.bitrate = vi.bitrate_nominal > 0 ? static_cast<uint32_t>(vi.bitrate_nominal) : 0;
  info.samples = static_cast<uint32_t>(total / vi.channels);
  reader->left = total;
  stream.dataoffset = 16;
  stream.datalength = 4096;
  stream.bytewidth = 2;
  stream.blockwidth = 2 * vi.channels;
  stream.readShort = OggVorbisReadShort;
  stream.close = OggVorbisCloseRead;
  stream.codecdata = std::move(reader);
  return 0;
}
