// SPDX-License-Identifier: GPL-2.0-or-later
// Writing an Ogg Vorbis stream piece by piece: samples are encoded as they
// arrive, in the chunks of whole frames the encoder has always been given,
// and pages are written at the file's position as they complete.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "audio/ogg_vorbis/ogg_vorbis.h"
#include "audio/ogg_vorbis/ogg_vorbis_session.h"

namespace {

constexpr float kScaleFrom16 = 1.0f / 32768.0f;
// Samples handed to the encoder at a time (rounded down to whole frames).
constexpr int kEncodeChunkSamples = 1024;
// glibc's rand(): a TYPE_3 additive feedback generator of 31 words, 3 apart.
constexpr int kRandDegree = 31;
constexpr int kRandSeparation = 3;
constexpr int kRandDiscarded = 10 * kRandDegree;

// The codecdata of a stream being written.
struct OggWriter : CodecState {
  VorbisSession s;
  int channels = 0;
  int chunkFrames = 0;
  std::vector<int16_t> chunk;  // samples of the chunk not yet handed over
  size_t held = 0;
  bool endWritten = false;  // the page that ends the stream is out
  int error = 0;            // the first failure, reported by the close
};

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

// The seconds of SOURCE_DATE_EPOCH when it is set, otherwise the current
// time.
unsigned SerialSeed() {
  uint64_t seconds = 0;
  return SourceDateEpoch(&seconds) ? static_cast<unsigned>(seconds) : static_cast<unsigned>(std::time(nullptr));
}

// The stream serial number for `seed`: the first value of glibc's rand()
// after srand(seed), modulo 32768, computed here from the seed alone so
// that no state of the process (other streams, other threads) enters it.
int SerialNumber(unsigned seed) {
  int32_t state[kRandDegree];
  // The seed as glibc keeps it, a 32-bit signed word.
  int32_t word = static_cast<int32_t>(seed == 0 ? 1 : seed);
  state[0] = word;
  for (int i = 1; i < kRandDegree; ++i) {
    // 16807 * word mod (2^31 - 1), without overflowing 31 bits.
    const long hi = word / 127773;
    const long lo = word % 127773;
    word = static_cast<int32_t>(16807 * lo - 2836 * hi);
    if (word < 0) word += 2147483647;
    state[i] = word;
  }
  int front = kRandSeparation;
  int rear = 0;
  uint32_t value = 0;
  for (int k = 0; k <= kRandDiscarded; ++k) {
    value = static_cast<uint32_t>(state[front]) + static_cast<uint32_t>(state[rear]);
    state[front] = static_cast<int32_t>(value);
    front = (front + 1) % kRandDegree;
    rear = (rear + 1) % kRandDegree;
  }
  return static_cast<int>((value >> 1) % 32768);
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
bool DrainAnalysis(AudioStream& stream, OggWriter& w) {
  VorbisSession& s = w.s;
  while (codec::vorbis_analysis_blockout(&s.dsp, &s.block) == 1) {
    codec::vorbis_analysis(&s.block, nullptr);
    codec::vorbis_bitrate_addblock(&s.block);
    while (codec::vorbis_bitrate_flushpacket(&s.dsp, &s.packet) > 0) {
      codec::ogg_stream_packetin(&s.stream, &s.packet);
      if (w.endWritten) continue;
      bool endOfStream = false;
      if (!FlushPages(stream, s, endOfStream)) return false;
      w.endWritten = endOfStream;
    }
  }
  return true;
}

// Hands the held frames to the analysis and encodes what they complete.
// Encoding as the input arrives keeps the library's own buffer short.
// Records 21 when the library gives no buffer, 20 on a short write.
void SubmitChunk(AudioStream& stream, OggWriter& w) {
  const int frames = static_cast<int>(w.held / w.channels);
  w.held = 0;
  if (w.error != 0 || frames == 0) return;
  float** to = codec::vorbis_analysis_buffer(&w.s.dsp, kEncodeChunkSamples);
  if (to == nullptr) {
    w.error = kErrorInternal;
    return;
  }
  for (int c = 0; c < w.channels; ++c) {
    float* channel = to[c];
    const int16_t* sample = w.chunk.data() + c;
    for (int i = 0; i < frames; ++i) channel[i] = static_cast<float>(sample[i * w.channels]) * kScaleFrom16;
  }
  codec::vorbis_analysis_wrote(&w.s.dsp, frames);
  if (!DrainAnalysis(stream, w)) w.error = kErrorShortWrite;
}

// writeShort: takes `count` samples (whole frames). Failures are kept for
// the close, as when the whole stream was encoded there.
int64_t OggVorbisWriteShort(AudioStream& stream, const int16_t* buffer, int64_t count) {
  auto* w = dynamic_cast<OggWriter*>(stream.codecdata.get());
  if (w == nullptr || count <= 0) return 0;
  for (int64_t done = 0; done < count;) {
    const size_t n = std::min<size_t>(w->chunk.size() - w->held, static_cast<size_t>(count - done));
    std::copy_n(buffer + done, n, w->chunk.begin() + static_cast<ptrdiff_t>(w->held));
    w->held += n;
    done += static_cast<int64_t>(n);
    if (w->held == w->chunk.size()) SubmitChunk(stream, *w);
  }
  stream.info.samples += static_cast<uint32_t>(count / w->channels);
  return count;
}

// Encodes what is held, marks the end of the input and writes the rest.
// Returns 0, 21 when the encoder refused its settings or gave no buffer
// (nothing is written when it refused), or 20 when a page could not be
// written.
int OggVorbisCloseWrite(AudioStream& stream) {
  auto* w = dynamic_cast<OggWriter*>(stream.codecdata.get());
  int result = 0;
  if (w != nullptr) {
    SubmitChunk(stream, *w);
    if (w->error == 0) {
      codec::vorbis_analysis_wrote(&w->s.dsp, 0);
      if (!DrainAnalysis(stream, *w)) w->error = kErrorShortWrite;
    }
    result = w->error;
  }
  stream.codecdata.reset();
  return result;
}

// Sets the encoder up and writes the header pages. Returns 0, 21 when the
// encoder refuses its settings (nothing is written), or 20.
int StartEncoding(AudioStream& stream, OggWriter& w) {
  VorbisSession& s = w.s;
  codec::vorbis_info_init(&s.info);
  s.infoReady = true;
  if (SetUpEncoder(s, stream.info) != 0) return kErrorInternal;
  codec::vorbis_comment_init(&s.comment);
  s.commentReady = true;
  s.dspReady = true;
  if (codec::vorbis_analysis_init(&s.dsp, &s.info) != 0) return kErrorInternal;
  s.blockReady = true;
  if (codec::vorbis_block_init(&s.dsp, &s.block) != 0) return kErrorInternal;
  s.streamReady = true;
  if (codec::ogg_stream_init(&s.stream, SerialNumber(SerialSeed())) != 0) return kErrorInternal;

  ogg_packet identification{}, comment{}, setup{};
  if (codec::vorbis_analysis_headerout(&s.dsp, &s.comment, &identification, &comment, &setup) != 0) {
    return kErrorInternal;
  }
  codec::ogg_stream_packetin(&s.stream, &identification);
  codec::ogg_stream_packetin(&s.stream, &comment);
  codec::ogg_stream_packetin(&s.stream, &setup);
  bool endOfStream = false;
  return FlushPages(stream, s, endOfStream) ? 0 : kErrorShortWrite;
}

}  // namespace

int OggVorbisOpenWrite(AudioStream& stream) {
  for (CodecLibraryId id : {CodecLibraryId::kOgg, CodecLibraryId::kVorbis, CodecLibraryId::kVorbisEncoder}) {
    if (int error = OpenCodecLibraryFor(stream, id)) return error;
  }
  std::unique_ptr<OggWriter> w(new (std::nothrow) OggWriter);
  if (w == nullptr) return kErrorMemory;
  w->channels = static_cast<int>(std::max<uint32_t>(stream.info.channels, 1));
  w->chunkFrames = std::max(kEncodeChunkSamples / w->channels, 1);
  w->chunk.assign(static_cast<size_t>(w->chunkFrames) * w->channels, 0);
  stream.blockwidth = 2 * static_cast<int>(stream.info.channels);
  stream.info.pcmbitwidth = 16;
  stream.info.samples = 0;
  stream.bytewidth = 2;
  w->error = StartEncoding(stream, *w);
  stream.writeShort = OggVorbisWriteShort;
  stream.close = OggVorbisCloseWrite;
  stream.codecdata = std::move(w);
  return 0;
}
