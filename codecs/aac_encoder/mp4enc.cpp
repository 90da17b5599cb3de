// SPDX-License-Identifier: GPL-2.0-or-later
// libmp4enc.so: faac's encoder entry points over libavcodec's native AAC
// encoder. The encoder gives raw AAC frames; this library collects the
// caller's 16-bit samples into whole frames for it, puts an ADTS header in
// front of each coded frame when asked, and drains the encoder's delay at
// the flush so that every input sample is coded.
#include "codecs/aac_encoder/faac.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include <array>
#include <cstring>
#include <iterator>
#include <new>

namespace {

constexpr int kFrameSamples = 1024;  // samples per channel in one AAC frame
// The most bytes per channel the encoder puts in one coded frame: its packet
// allocation. Frames mostly keep to the 6144 bits per channel of the
// decoder's buffer, but not always.
constexpr unsigned long kMaxFrameBytesPerChannel = 8192;
constexpr unsigned kAdtsHeaderBytes = 7;
constexpr unsigned kAdtsMaxFrameBytes = 8191;  // the 13-bit frame length
constexpr unsigned kAdtsFullnessVariable = 0x7FF;
constexpr unsigned long kDefaultBitRate = 64000;  // per channel, when none is set
constexpr size_t kMaxPending = 8;                 // coded frames held between calls
constexpr float kScale = 1.0f / 32768.0f;         // 16-bit samples to the encoder's -1 .. 1

// The sampling-frequency index of the ADTS header is the position here.
constexpr std::array<unsigned long, 12> kSampleRates = {96000, 88200, 64000, 48000, 44100, 32000,
                                                        24000, 22050, 16000, 12000, 11025, 8000};

// The ADTS channel configuration of a channel count: 1 to 6 channels are
// configurations 1 to 6, 8 channels configuration 7; others need a program
// configuration element, which this library does not write.
int ChannelConfiguration(unsigned channels) {
  if (channels >= 1 && channels <= 6) return static_cast<int>(channels);
  return channels == 8 ? 7 : -1;
}

// Coded channels follow the element order of the channel configurations:
// centre, front pair, side pair, back pair, back centre, low frequency.
int ElementRank(AVChannel channel) {
  switch (channel) {
    case AV_CHAN_FRONT_CENTER: return 0;
    case AV_CHAN_FRONT_LEFT: return 1;
    case AV_CHAN_FRONT_RIGHT: return 2;
    case AV_CHAN_SIDE_LEFT: return 3;
    case AV_CHAN_SIDE_RIGHT: return 4;
    case AV_CHAN_BACK_LEFT: return 5;
    case AV_CHAN_BACK_RIGHT: return 6;
    case AV_CHAN_BACK_CENTER: return 7;
    case AV_CHAN_LOW_FREQUENCY: return 8;
    default: return 9;
  }
}

char kName[] = "libmp4enc (libavcodec AAC)";
char kCopyright[] = "spoolex project; coding by libavcodec";
char kModelName[] = "libavcodec";
psymodellist_t kModels[] = {{nullptr, kModelName}, {nullptr, nullptr}};

struct Encoder {
  unsigned long sampleRate = 0;
  unsigned channels = 0;
  int samplingIndex = 0;
  faacEncConfiguration config{};   // what faacEncGetCurrentConfiguration hands out
  faacEncConfiguration applied{};  // what was last accepted
  const AVCodec* codec = nullptr;
  AVCodecContext* context = nullptr;
  AVFrame* frame = nullptr;  // input being collected, kFrameSamples per channel
  int filled = 0;            // samples per channel in `frame`
  int64_t nextPts = 0;       // samples per channel handed to the encoder
  std::array<int, 64> planeOf{};  // plane of the encoder's layout for each coded channel
  std::array<AVPacket*, kMaxPending> pending{};
  size_t pendingHead = 0, pendingCount = 0;
  bool started = false, draining = false, finished = false, failed = false;

  ~Encoder() {
    for (AVPacket*& p : pending) av_packet_free(&p);
    av_frame_free(&frame);
    avcodec_free_context(&context);
  }
};

bool ValidConfiguration(const Encoder& e, const faacEncConfiguration& c) {
  if (c.mpegVersion != MPEG4 && c.mpegVersion != MPEG2) return false;
  if (c.aacObjectType != MAIN && c.aacObjectType != LOW) return false;
  if (c.outputFormat != RAW_STREAM && c.outputFormat != ADTS_STREAM) return false;
  if (c.inputFormat != FAAC_INPUT_16BIT) return false;
  // The map must name every input channel once.
  unsigned named = 0;
  for (unsigned i = 0; i < e.channels; ++i) {
    const int input = c.channel_map[i];
    if (input < 0 || input >= static_cast<int>(e.channels) || (named >> input & 1) != 0) return false;
    named |= 1u << input;
  }
  return true;
}

// The layouts of the channel configurations, by channel count; the encoder
// codes their channels in element order. Fills planeOf with the plane of
// each coded channel.
bool ChooseLayout(Encoder& e, AVChannelLayout* layout) {
  static constexpr uint64_t kLayouts[] = {0,
                                          AV_CH_LAYOUT_MONO,
                                          AV_CH_LAYOUT_STEREO,
                                          AV_CH_LAYOUT_SURROUND,
                                          AV_CH_LAYOUT_4POINT0,
                                          AV_CH_LAYOUT_5POINT0,
                                          AV_CH_LAYOUT_5POINT1,
                                          0,
                                          AV_CH_LAYOUT_7POINT1};
  if (e.channels >= std::size(kLayouts) || kLayouts[e.channels] == 0 ||
      av_channel_layout_from_mask(layout, kLayouts[e.channels]) < 0) {
    return false;
  }
  // Coded channel i is the plane whose channel ranks i-th.
  for (unsigned plane = 0; plane < e.channels; ++plane) {
    const int rank = ElementRank(av_channel_layout_channel_from_index(layout, plane));
    unsigned before = 0;
    for (unsigned other = 0; other < e.channels; ++other) {
      const int r = ElementRank(av_channel_layout_channel_from_index(layout, other));
      if (r < rank || (r == rank && other < plane)) ++before;
    }
    e.planeOf[before] = static_cast<int>(plane);
  }
  return true;
}

int Profile(const faacEncConfiguration& c) {
  if (c.aacObjectType == MAIN) return FF_PROFILE_AAC_MAIN;
  return c.mpegVersion == MPEG2 ? FF_PROFILE_MPEG2_AAC_LOW : FF_PROFILE_AAC_LOW;
}

// Opens the codec with the applied settings at the first encode call.
bool Start(Encoder& e) {
  e.started = true;
  e.context = avcodec_alloc_context3(e.codec);
  e.frame = av_frame_alloc();
  if (e.context == nullptr || e.frame == nullptr) return false;
  for (AVPacket*& p : e.pending) {
    if ((p = av_packet_alloc()) == nullptr) return false;
  }
  if (!ChooseLayout(e, &e.context->ch_layout)) return false;
  const unsigned long perChannel = e.applied.bitRate != 0 ? e.applied.bitRate : kDefaultBitRate;
  e.context->sample_rate = static_cast<int>(e.sampleRate);
  e.context->sample_fmt = AV_SAMPLE_FMT_FLTP;
  e.context->bit_rate = static_cast<int64_t>(perChannel) * e.channels;
  e.context->profile = Profile(e.applied);
  e.context->time_base = AVRational{1, static_cast<int>(e.sampleRate)};
  if (avcodec_open2(e.context, e.codec, nullptr) < 0 || e.context->frame_size != kFrameSamples) return false;
  e.frame->format = AV_SAMPLE_FMT_FLTP;
  e.frame->nb_samples = kFrameSamples;
  if (av_channel_layout_copy(&e.frame->ch_layout, &e.context->ch_layout) < 0) return false;
  return av_frame_get_buffer(e.frame, 0) >= 0;
}

// Moves one coded frame from the encoder to the end of the pending queue.
// Returns 1 when one came, 0 when the encoder has none now, -1 on an error
// or a full queue.
int ReceiveOne(Encoder& e) {
  if (e.finished) return 0;
  if (e.pendingCount == kMaxPending) return -1;
  AVPacket* into = e.pending[(e.pendingHead + e.pendingCount) % kMaxPending];
  const int r = avcodec_receive_packet(e.context, into);
  if (r == AVERROR(EAGAIN)) return 0;
  if (r == AVERROR_EOF) {
    e.finished = true;
    return 0;
  }
  if (r < 0) return -1;
  ++e.pendingCount;
  return 1;
}

// Hands the collected frame (null: the end of the input) to the encoder.
bool Send(Encoder& e, AVFrame* frame) {
  for (;;) {
    const int r = avcodec_send_frame(e.context, frame);
    if (r >= 0) return true;
    // The encoder holds a coded frame that must be taken first.
    if (r != AVERROR(EAGAIN) || ReceiveOne(e) != 1) return false;
  }
}

bool SendCollected(Encoder& e) {
  e.frame->nb_samples = e.filled;
  e.frame->pts = e.nextPts;
  e.nextPts += e.filled;
  e.filled = 0;
  return Send(e, e.frame);
}

// Collects `frames` frames of interleaved samples, handing each whole frame
// to the encoder.
bool Collect(Encoder& e, const int16_t* from, int frames) {
  const unsigned channels = e.channels;
  while (frames > 0) {
    if (e.filled == 0 && av_frame_make_writable(e.frame) < 0) return false;
    const int take = frames < kFrameSamples - e.filled ? frames : kFrameSamples - e.filled;
    for (unsigned c = 0; c < channels; ++c) {
      float* to = reinterpret_cast<float*>(e.frame->extended_data[e.planeOf[c]]) + e.filled;
      const int16_t* in = from + e.applied.channel_map[c];
      for (int i = 0; i < take; ++i) to[i] = static_cast<float>(in[static_cast<size_t>(i) * channels]) * kScale;
    }
    from += static_cast<size_t>(take) * channels;
    frames -= take;
    e.filled += take;
    if (e.filled == kFrameSamples && !SendCollected(e)) return false;
  }
  return true;
}

// Writes the 7-byte ADTS header of a frame of `frameBytes` bytes, header
// included: no CRC, one raw data block, buffer fullness "variable rate".
void WriteAdtsHeader(const Encoder& e, unsigned frameBytes, unsigned char* to) {
  const unsigned profile = e.applied.aacObjectType - 1;
  const unsigned configuration = static_cast<unsigned>(ChannelConfiguration(e.channels));
  const unsigned fullness = kAdtsFullnessVariable;
  to[0] = 0xFF;
  to[1] = static_cast<unsigned char>(0xF1 | (e.applied.mpegVersion == MPEG2 ? 0x08 : 0));
  to[2] = static_cast<unsigned char>((profile << 6) | (e.samplingIndex << 2) | (configuration >> 2));
  to[3] = static_cast<unsigned char>(((configuration & 3) << 6) | (frameBytes >> 11));
  to[4] = static_cast<unsigned char>((frameBytes >> 3) & 0xFF);
  to[5] = static_cast<unsigned char>(((frameBytes & 7) << 5) | (fullness >> 6));
  to[6] = static_cast<unsigned char>((fullness & 0x3F) << 2);
}

// Writes the oldest pending frame. Returns its bytes, or -1 when it does not
// fit `bufferSize`.
int EmitPending(Encoder& e, unsigned char* out, unsigned bufferSize) {
  AVPacket* packet = e.pending[e.pendingHead];
  const bool adts = e.applied.outputFormat == ADTS_STREAM;
  const unsigned header = adts ? kAdtsHeaderBytes : 0;
  const unsigned total = header + static_cast<unsigned>(packet->size);
  if (total > bufferSize || (adts && total > kAdtsMaxFrameBytes)) return -1;
  if (adts) WriteAdtsHeader(e, total, out);
  std::memcpy(out + header, packet->data, static_cast<size_t>(packet->size));
  av_packet_unref(packet);
  e.pendingHead = (e.pendingHead + 1) % kMaxPending;
  --e.pendingCount;
  return static_cast<int>(total);
}

int Encode(Encoder& e, const int16_t* input, unsigned samples, unsigned char* out, unsigned bufferSize) {
  if (samples > kFrameSamples * e.channels || samples % e.channels != 0 || (samples > 0 && input == nullptr) ||
      (samples > 0 && e.draining) || out == nullptr) {
    return -1;
  }
  if (!e.started && !Start(e)) return -1;
  if (samples > 0) {
    if (!Collect(e, input, static_cast<int>(samples / e.channels))) return -1;
  } else if (!e.draining) {
    e.draining = true;
    if (e.filled > 0 && !SendCollected(e)) return -1;
    if (!Send(e, nullptr)) return -1;
  }
  if (e.pendingCount == 0 && ReceiveOne(e) < 0) return -1;
  return e.pendingCount > 0 ? EmitPending(e, out, bufferSize) : 0;
}

}  // namespace

extern "C" {

faacEncHandle FAACAPI faacEncOpen(unsigned long sampleRate, unsigned int numChannels, unsigned long* inputSamples,
                                  unsigned long* maxOutputBytes) {
  int index = -1;
  for (size_t i = 0; i < kSampleRates.size(); ++i) {
    if (kSampleRates[i] == sampleRate) index = static_cast<int>(i);
  }
  if (index < 0 || ChannelConfiguration(numChannels) < 0 || inputSamples == nullptr || maxOutputBytes == nullptr) {
    return nullptr;
  }
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec == nullptr) return nullptr;
  Encoder* e = new (std::nothrow) Encoder;
  if (e == nullptr) return nullptr;
  // The library speaks through its results only.
  av_log_set_level(AV_LOG_QUIET);
  e->sampleRate = sampleRate;
  e->channels = numChannels;
  e->samplingIndex = index;
  e->codec = codec;
  faacEncConfiguration& c = e->config;
  c.version = FAAC_CFG_VERSION;
  c.name = kName;
  c.copyright = kCopyright;
  c.mpegVersion = MPEG4;
  c.aacObjectType = LOW;
  c.jointmode = JOINT_MS;
  c.useTns = 1;
  c.bitRate = kDefaultBitRate;
  c.quantqual = 100;
  c.outputFormat = ADTS_STREAM;
  c.psymodellist = kModels;
  c.inputFormat = FAAC_INPUT_16BIT;
  c.shortctl = SHORTCTL_NORMAL;
  for (int i = 0; i < 64; ++i) c.channel_map[i] = i;
  c.pnslevel = 4;
  e->applied = c;
  *inputSamples = kFrameSamples * numChannels;
  *maxOutputBytes = kMaxFrameBytesPerChannel * numChannels + kAdtsHeaderBytes;
  return e;
}

faacEncConfigurationPtr FAACAPI faacEncGetCurrentConfiguration(faacEncHandle hEncoder) {
  return hEncoder != nullptr ? &static_cast<Encoder*>(hEncoder)->config : nullptr;
}

int FAACAPI faacEncSetConfiguration(faacEncHandle hEncoder, faacEncConfigurationPtr config) {
  if (hEncoder == nullptr || config == nullptr) return 0;
  Encoder& e = *static_cast<Encoder*>(hEncoder);
  if (e.started || !ValidConfiguration(e, *config)) {
    e.config = e.applied;
    return 0;
  }
  e.applied = *config;
  e.config = *config;
  return 1;
}

int FAACAPI faacEncEncode(faacEncHandle hEncoder, int32_t* inputBuffer, unsigned int samplesInput,
                          unsigned char* outputBuffer, unsigned int bufferSize) {
  if (hEncoder == nullptr) return -1;
  Encoder& e = *static_cast<Encoder*>(hEncoder);
  if (e.failed) return -1;
  const int result = Encode(e, reinterpret_cast<const int16_t*>(inputBuffer), samplesInput, outputBuffer, bufferSize);
  if (result < 0) e.failed = true;
  return result;
}

int FAACAPI faacEncClose(faacEncHandle hEncoder) {
  delete static_cast<Encoder*>(hEncoder);
  return 0;
}

}  // extern "C"
