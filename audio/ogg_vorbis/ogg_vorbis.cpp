#include "audio/ogg_vorbis/ogg_vorbis.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <new>

#include "audio/codec_libraries/codec_libraries.h"
#include "audio/sample_buffer/sample_buffer.h"

namespace {

constexpr long kReadChunkBytes = 4096;
// First sample array: channels x factor x 1024 samples; the factor doubles
// whenever the array fills.
constexpr int64_t kFirstCapacityFactor = 10;
// Frames taken from the decoder at a time: this many samples / channels.
constexpr int kDecodeChunkSamples = 4096;
constexpr double kScaleTo16 = 32767.0;
constexpr float kScaleFrom16 = 1.0f / 32768.0f;
// Samples handed to the encoder at a time (rounded down to whole frames).
constexpr int kEncodeChunkSamples = 1024;

// Everything libogg and libvorbis keep while one stream is decoded or
// encoded. Whatever was initialised is cleared on every path, in the order
// stream, block, DSP state, comment, info, sync state.
struct VorbisSession {
  ogg_sync_state sync{};
  ogg_stream_state stream{};
  ogg_page page{};
  ogg_packet packet{};
  vorbis_info info{};
  vorbis_comment comment{};
  vorbis_dsp_state dsp{};
  vorbis_block block{};
  bool syncReady = false;
  bool streamReady = false;
  bool infoReady = false;
  bool commentReady = false;
  bool dspReady = false;
  bool blockReady = false;

  VorbisSession() = default;
  VorbisSession(const VorbisSession&) = delete;
  VorbisSession& operator=(const VorbisSession&) = delete;
  ~VorbisSession() {
    if (streamReady) codec::ogg_stream_clear(&stream);
    if (blockReady) codec::vorbis_block_clear(&block);
    if (dspReady) codec::vorbis_dsp_clear(&dsp);
    if (commentReady) codec::vorbis_comment_clear(&comment);
    if (infoReady) codec::vorbis_info_clear(&info);
    if (syncReady) codec::ogg_sync_clear(&sync);
  }
};

// The part of the stream's window not read yet.
struct Window {
  platform::File* file;
  int64_t remaining;    // bytes
  int64_t consumed = 0;  // bytes read so far
  int systemError = 0;   // errno of a failed read
};

// Reads the next piece of the window (up to 4096 bytes) into the sync state
// and sets `bytes` to its size, 0 at the window's end. A file that ends
// inside the window, or a read the system refuses, is a failed read (19).
// Returns 0 or an error.
int FeedSync(VorbisSession& s, Window& window, int64_t& bytes) {
  char* to = codec::ogg_sync_buffer(&s.sync, kReadChunkBytes);
  if (to == nullptr) return kErrorMemory;
  int64_t want = std::min<int64_t>(kReadChunkBytes, window.remaining);
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

// A decoded sample on the 16-bit scale: the product with 32767 truncated
// toward zero, clipped; NaN gives 0.
inline int16_t ScaleSample(float value) {
  double scaled = static_cast<double>(value) * kScaleTo16;
  scaled = scaled == scaled ? scaled : 0.0;
  // Truncation and clipping commute at these integer bounds.
  scaled = std::min(std::max(scaled, -32768.0), 32767.0);
  return static_cast<int16_t>(static_cast<int32_t>(scaled));
}

// Appends `frames` decoded frames, interleaving the channel arrays.
void AppendFrames(float* const* pcm, int channels, int frames, int16_t* to) {
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

// Decodes every audio packet of the window into `store`. Returns 0 or an
// error number; 83 (logged) as soon as the samples decoded pass what the
// bytes read so far can plausibly hold.
int DecodeAudio(AudioStream& stream, VorbisSession& s, Window& window, SampleBuffer& store) {
  const int channels = s.info.channels;
  int64_t factor = kFirstCapacityFactor;
  if (!ReserveSamples(store, channels * factor * 1024)) return kErrorMemory;
  const int chunkFrames = kDecodeChunkSamples / channels;
  int64_t stored = 0;
  for (;;) {
    int page = codec::ogg_sync_pageout(&s.sync, &s.page);
    if (page == 0) {
      int64_t bytes = 0;
      if (int error = FeedSync(s, window, bytes)) return error;
      if (bytes == 0) break;
      continue;
    }
    if (page < 0) return kErrorNotVorbis;
    codec::ogg_stream_pagein(&s.stream, &s.page);
    for (;;) {
      int got = codec::ogg_stream_packetout(&s.stream, &s.packet);
      if (got == 0) break;
      if (got < 0) return kErrorNotVorbis;
      if (codec::vorbis_synthesis(&s.block, &s.packet) == 0) {
        codec::vorbis_synthesis_blockin(&s.dsp, &s.block);
      }
      float** pcm = nullptr;
      int available;
      while ((available = codec::vorbis_synthesis_pcmout(&s.dsp, &pcm)) > 0) {
        int frames = std::min(available, chunkFrames);
        int64_t after = stored + int64_t{frames} * channels;
        if (after > MaxCodecSamples(window.consumed)) {
          LogPrintf(stream, "%d bytes decode to more than %d samples\n", static_cast<int>(window.consumed),
                    static_cast<int>(std::min<int64_t>(after, INT32_MAX)));
          return kErrorNotVorbis;
        }
        if (after >= store.capacity) {
          factor *= 2;
          if (!ReserveSamples(store, channels * factor * 1024)) return kErrorMemory;
        }
        PrepareSamples(store, after);
        AppendFrames(pcm, channels, frames, store.samples.get() + stored);
        stored = after;
        codec::vorbis_synthesis_read(&s.dsp, frames);
      }
    }
    if (codec::ogg_page_eos(&s.page)) break;
  }
  store.count = static_cast<int32_t>(stored);
  return 0;
}

int OggVorbisClose(AudioStream& stream);

// Opens for reading once the libraries are loaded.
int DecodeStream(AudioStream& stream) {
  if (platform::SeekFile(*stream.file, stream.fileoffset, platform::SeekOrigin::kBegin) < 0) {
    return kErrorShortRead;
  }
  std::unique_ptr<SampleBuffer> store(new (std::nothrow) SampleBuffer);
  if (store == nullptr) return kErrorMemory;
  Window window{stream.file, std::max<int64_t>(stream.filelength, 0)};
  {
    VorbisSession session;
    if (codec::ogg_sync_init(&session.sync) != 0) return kErrorMemory;
    session.syncReady = true;
    if (int error = ReadHeaders(session, window)) {
      stream.systemError = window.systemError;
      return error;
    }
    const vorbis_info& vi = session.info;
    if (vi.channels < 1 || vi.rate < 1) return kErrorNotVorbis;
    AudioInfo& info = stream.info;
    info.samplerate = static_cast<uint32_t>(vi.rate);
    info.channels = static_cast<uint32_t>(vi.channels);
    info.pcmbitwidth = 16;
    info.format = FMT_OGG;
    info.sections = 1;
    // An unset nominal bit rate (0 or -1) reads as 0, "not set".
    info.bitrate = vi.bitrate_nominal > 0 ? static_cast<uint32_t>(vi.bitrate_nominal) : 0;
    stream.dataoffset = 16;
    stream.datalength = 4096;
    stream.bytewidth = 2;
    stream.blockwidth = 2 * vi.channels;
    stream.readShort = SampleBufferReadShort;
    stream.close = OggVorbisClose;

    session.dspReady = true;
    if (codec::vorbis_synthesis_init(&session.dsp, &session.info) != 0) return kErrorNotVorbis;
    session.blockReady = true;
    if (codec::vorbis_block_init(&session.dsp, &session.block) != 0) return kErrorMemory;
    if (int error = DecodeAudio(stream, session, window, *store)) {
      stream.systemError = window.systemError;
      return error;
    }
  }
  if (store->count == 0 || !ShrinkSamples(*store)) return kErrorMemory;
  store->cursor = 0;
  stream.info.samples = static_cast<uint32_t>(store->count) / stream.info.channels;
  stream.codecdata = std::move(store);
  return 0;
}

// Writes one page at the file's position. Returns false on a short write.
bool WritePage(AudioStream& stream, const ogg_page& page) {
  size_t header = static_cast<size_t>(page.header_len);
  size_t body = static_cast<size_t>(page.body_len);
  if (platform::WriteFile(*stream.file, page.header, header) != static_cast<int64_t>(header) ||
      platform::WriteFile(*stream.file, page.body, body) != static_cast<int64_t>(body)) {
    if (stream.systemError == 0) stream.systemError = errno;
    return false;
  }
  stream.written += static_cast<int64_t>(header + body);
  return true;
}

// Writes every page the stream state can flush. Returns false on a short
// write; `endOfStream` tells whether the last page flushed ends the stream.
bool FlushPages(AudioStream& stream, VorbisSession& s, bool& endOfStream) {
  while (codec::ogg_stream_flush(&s.stream, &s.page) != 0) {
    if (!WritePage(stream, s.page)) return false;
    endOfStream = codec::ogg_page_eos(&s.page) != 0;
  }
  return true;
}

// The seed of the stream serial number: SOURCE_DATE_EPOCH when it holds a
// whole number of seconds (the reproducible-builds convention), so that the
// same samples give the same stream; otherwise the current time in seconds.
unsigned SerialSeed() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && *epoch >= '0' && *epoch <= '9') {
    char* end = nullptr;
    errno = 0;
    const unsigned long long seconds = std::strtoull(epoch, &end, 10);
    if (*end == '\0' && errno == 0) return static_cast<unsigned>(seconds);
  }
  return static_cast<unsigned>(std::time(nullptr));
}

// Sets up the encoder from stream.info. Returns what libvorbisenc says (0
// when it accepts the settings).
int SetUpEncoder(VorbisSession& s, const AudioInfo& info) {
  long channels = static_cast<long>(info.channels);
  long rate = static_cast<long>(info.samplerate);
  // An Ogg Vorbis stream holds 1 to 255 channels.
  if (channels < 1 || channels > 255) return -1;
  if (info.quality == kQualityNotSet || info.quality == 0.0f) {
    long nominal = static_cast<long>(info.bitrate);
    if (info.minBitrate == 0) {
      return codec::vorbis_encode_init(&s.info, channels, rate, nominal, nominal, nominal);
    }
    return codec::vorbis_encode_init(&s.info, channels, rate, static_cast<long>(info.maxBitrate),
                                     nominal, static_cast<long>(info.minBitrate));
  }
  // libvorbisenc turns the quality into table indices: keep NaN and
  // infinities away from it.
  if (!std::isfinite(info.quality)) return -1;
  return codec::vorbis_encode_init_vbr(&s.info, channels, rate, info.quality);
}

// Takes every block the analysis can complete, encodes it and writes its
// packets, flushing pages after each packet until the page that ends the
// stream is out. Returns false on a short write.
bool DrainAnalysis(AudioStream& stream, VorbisSession& s, bool& endWritten) {
  while (codec::vorbis_analysis_blockout(&s.dsp, &s.block) == 1) {
    codec::vorbis_analysis(&s.block, nullptr);
    codec::vorbis_bitrate_addblock(&s.block);
    while (codec::vorbis_bitrate_flushpacket(&s.dsp, &s.packet) > 0) {
      codec::ogg_stream_packetin(&s.stream, &s.packet);
      if (endWritten) continue;
      bool endOfStream = false;
      if (!FlushPages(stream, s, endOfStream)) return false;
      endWritten = endOfStream;
    }
  }
  return true;
}

// Hands the stored samples to the analysis in chunks of up to 1024 samples
// of whole frames, encoding what each chunk completes, then marks the end of
// the input and encodes the rest. Returns 0, 20 on a short write, or 21 when
// the library gives no buffer.
int SubmitSamples(AudioStream& stream, VorbisSession& s, const SampleBuffer& store, int channels) {
  const int chunkFrames = std::max(kEncodeChunkSamples / channels, 1);
  const int16_t* from = store.samples.get();
  int64_t framesLeft = store.count / channels;
  bool endWritten = false;
  while (framesLeft > 0) {
    float** to = codec::vorbis_analysis_buffer(&s.dsp, kEncodeChunkSamples);
    if (to == nullptr) return kErrorInternal;
    int frames = static_cast<int>(std::min<int64_t>(chunkFrames, framesLeft));
    for (int c = 0; c < channels; ++c) {
      float* channel = to[c];
      const int16_t* sample = from + c;
      for (int i = 0; i < frames; ++i) channel[i] = static_cast<float>(sample[i * channels]) * kScaleFrom16;
    }
    from += static_cast<int64_t>(frames) * channels;
    codec::vorbis_analysis_wrote(&s.dsp, frames);
    framesLeft -= frames;
    // Encoding as the input arrives keeps the library's own buffer short; it
    // would otherwise hold, and shift after every block, the whole stream.
    if (!DrainAnalysis(stream, s, endWritten)) return kErrorShortWrite;
  }
  codec::vorbis_analysis_wrote(&s.dsp, 0);
  return DrainAnalysis(stream, s, endWritten) ? 0 : kErrorShortWrite;
}

// Encodes every stored sample and writes the pages at the file's position.
// Returns 0, 21 when the encoder refuses its settings (nothing written), or
// 20 when a page cannot be written.
int EncodeStream(AudioStream& stream, const SampleBuffer& store) {
  VorbisSession s;
  codec::vorbis_info_init(&s.info);
  s.infoReady = true;
  if (SetUpEncoder(s, stream.info) != 0) return kErrorInternal;
  codec::vorbis_comment_init(&s.comment);
  s.commentReady = true;
  s.dspReady = true;
  if (codec::vorbis_analysis_init(&s.dsp, &s.info) != 0) return kErrorInternal;
  s.blockReady = true;
  if (codec::vorbis_block_init(&s.dsp, &s.block) != 0) return kErrorInternal;

  std::srand(SerialSeed());
  int serial = std::rand() % 32768;
  s.streamReady = true;
  if (codec::ogg_stream_init(&s.stream, serial) != 0) return kErrorInternal;

  ogg_packet identification{}, comment{}, setup{};
  if (codec::vorbis_analysis_headerout(&s.dsp, &s.comment, &identification, &comment, &setup) != 0) {
    return kErrorInternal;
  }
  codec::ogg_stream_packetin(&s.stream, &identification);
  codec::ogg_stream_packetin(&s.stream, &comment);
  codec::ogg_stream_packetin(&s.stream, &setup);
  bool endOfStream = false;
  if (!FlushPages(stream, s, endOfStream)) return kErrorShortWrite;

  return SubmitSamples(stream, s, store, s.info.channels);
}

int OggVorbisClose(AudioStream& stream) { return CloseSampleBufferStream(stream, EncodeStream); }

}  // namespace

int OggVorbisOpenRead(AudioStream& stream) {
  for (CodecLibraryId id : {CodecLibraryId::kOgg, CodecLibraryId::kVorbis}) {
    if (int error = OpenCodecLibraryFor(stream, id)) return error;
  }
  return DecodeStream(stream);
}

int OggVorbisOpenWrite(AudioStream& stream) {
  for (CodecLibraryId id : {CodecLibraryId::kOgg, CodecLibraryId::kVorbis, CodecLibraryId::kVorbisEncoder}) {
    if (int error = OpenCodecLibraryFor(stream, id)) return error;
  }
  return CollectSamplesForWriting(stream, OggVorbisClose);
}
