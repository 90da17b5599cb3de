// SPDX-License-Identifier: GPL-2.0-or-later
// Brings decoded 16-bit samples to the bit-width scale, sample rate and
// channel count of a stored stream description, one block at a time.
#include "convert/stored_conversion.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <new>
#include <vector>

#include "convert/convert.h"
#include "convert/rate_converter.h"

// The rate step: one converter for one or two channels (its own layout), or
// one per channel (the two-channel layout would pair neighbours), all of the
// same settings, fed the same blocks in lockstep so that they give the same
// number of output frames from every block.
struct RateStep {
  std::vector<std::unique_ptr<RateConvState>> lanes;
  int group = 1;          // channels per lane: 1, or 2 for one stereo converter
  uint64_t blockFrames = 0;  // decoded frames each block feeds
  std::vector<int16_t> block;      // one block, every decoded channel
  std::vector<int16_t> laneBlock;  // one channel of it
  std::vector<float> values;       // emitted values, emitFrames * group per lane
  long emitFrames = 0;
  bool fed = false;  // the lanes hold a block not yet exhausted
};

struct SampleConversion {
  uint32_t from = 0;  // decoded channels
  uint32_t to = 0;    // stored channels
  int widen = 0;      // bits the decoded samples move up
  int narrow = 0;     // bits the converted samples move down
  bool unchanged = false;
  bool rate = false;
  bool stopped = false;  // the reader stopped
  uint64_t frames = 0;    // frames to give
  uint64_t produced = 0;  // frames given so far
  uint64_t blockFrames = 0;
  SampleReader read;
  std::vector<int16_t> in;   // decoded frames (rate step: converted ones)
  std::vector<int16_t> out;  // frames of the stored channel count
  RateStep step;
};

namespace {

// Channels per frame that a stream description may give.
constexpr uint32_t kMaxChannels = 256;
// Fewest output frames one emission of the converters takes (many channels
// make a block of kConversionBlockSamples hold few frames).
constexpr long kMinEmitFrames = 16;

template <class T>
bool Resize(std::vector<T>& v, size_t count) {
  try {
    v.resize(count);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

void Widen(int16_t* s, size_t count, int shift) {
  for (size_t i = 0; i < count; ++i) {
    s[i] = static_cast<int16_t>(static_cast<uint32_t>(static_cast<uint16_t>(s[i])) << shift);
  }
}

void Narrow(int16_t* s, size_t count, int shift) {
  for (size_t i = 0; i < count; ++i) s[i] = static_cast<int16_t>(s[i] >> shift);
}

// Writes `frames` frames of `from` channels in `in` as frames of `to`
// channels in `out`. Channels that nothing sets are 0; above 6 channels on
// either side, channel c keeps input channel c where there is one.
void RemapFrames(const int16_t* in, uint32_t from, uint32_t to, uint64_t frames, int16_t* out) {
  std::array<int16_t, kMaxChannels> frame{};
  const bool table = from <= kFrameScratch && to <= kFrameScratch;
  const uint32_t cleared = std::max<uint32_t>(to, kFrameScratch);
  for (uint64_t f = 0; f < frames; ++f) {
    std::copy_n(in + f * from, from, frame.begin());
    std::fill(frame.begin() + from, frame.begin() + std::max(from, cleared), int16_t{0});
    if (table) MapChannels(static_cast<int>(from), static_cast<int>(to), frame.data());
    std::copy_n(frame.begin(), to, out + f * to);
  }
}

int Average(std::initializer_list<int> values) {
  int sum = 0;
  for (int v : values) sum += v;
  return sum / static_cast<int>(values.size());
}

// Writes the 16-bit samples of `count` converter values (SampleFromFloat of
// each) to `out`. Vectorised (the build's -O2 leaves loops scalar), with a
// second copy for processors with AVX2 chosen when the program loads; every
// lane computes exactly the scalar SampleFromFloat.
[[gnu::optimize("tree-vectorize"), gnu::target_clones("avx2", "default")]] void SamplesFromFloats(
    const float* values, uint64_t count, int16_t* out) {
  for (uint64_t k = 0; k < count; ++k) out[k] = SampleFromFloat(values[k]);
}

// Sets up the converters for `ratio` and room for one block and its output.
bool BeginRateStep(RateStep& rs, uint32_t channels, double ratio) {
  rs.group = channels <= 2 ? static_cast<int>(channels) : 1;
  long inSize = 0;
  std::unique_ptr<RateConvState> model = RateConvInit(0, ratio, rs.group, -1, -1.0f, -1.0f, -1.0f, inSize);
  if (!model) return false;
  rs.lanes.push_back(std::move(model));
  for (uint32_t c = 1; rs.group == 1 && c < channels; ++c) {
    std::unique_ptr<RateConvState> lane = RateConvShare(*rs.lanes.front());
    if (!lane) return false;
    rs.lanes.push_back(std::move(lane));
  }
  rs.blockFrames = static_cast<uint64_t>(inSize) / rs.group;
  rs.emitFrames = std::max<long>(kConversionBlockSamples / std::max<uint32_t>(channels, 1), kMinEmitFrames);
  return Resize(rs.block, rs.blockFrames * channels) &&
         Resize(rs.laneBlock, rs.lanes.size() > 1 ? rs.blockFrames : 0) &&
         Resize(rs.values, static_cast<size_t>(rs.emitFrames) * rs.group * rs.lanes.size());
}

// Feeds the converters the next block of decoded frames.
bool FeedRateStep(SampleConversion& c) {
  RateStep& rs = c.step;
  if (!c.read(rs.block.data(), static_cast<int64_t>(rs.block.size()))) return false;
  if (c.widen > 0) Widen(rs.block.data(), rs.block.size(), c.widen);
  if (rs.lanes.size() == 1) {
    RateConvFeed(*rs.lanes.front(), rs.block.data());
  } else {
    for (uint32_t ch = 0; ch < c.from; ++ch) {
      for (uint64_t i = 0; i < rs.blockFrames; ++i) rs.laneBlock[i] = rs.block[i * c.from + ch];
      RateConvFeed(*rs.lanes[ch], rs.laneBlock.data());
    }
  }
  rs.fed = true;
  return true;
}

// The next converted frames into c.in (decoded channels): returns their
// number, -1 when the reader stopped.
int64_t NextRateFrames(SampleConversion& c) {
  RateStep& rs = c.step;
  for (;;) {
    if (!rs.fed && !FeedRateStep(c)) return -1;
    const long capacity = rs.emitFrames * rs.group;
    long count = 0;
    for (size_t l = 0; l < rs.lanes.size(); ++l) {
      // Every lane has the same instants, so the same count.
      count = RateConvEmit(*rs.lanes[l], rs.values.data() + l * capacity, capacity);
    }
    if (count == 0) {
      rs.fed = false;
      continue;
    }
    const uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(count / rs.group), c.frames - c.produced);
    int16_t* to = c.in.data();
    if (rs.lanes.size() == 1) {
      SamplesFromFloats(rs.values.data(), take * rs.group, to);
    } else {
      for (uint64_t i = 0; i < take; ++i) {
        for (uint32_t ch = 0; ch < c.from; ++ch) to[i * c.from + ch] = SampleFromFloat(rs.values[ch * capacity + i]);
      }
    }
    return static_cast<int64_t>(take);
  }
}

}  // namespace

void SampleConversionDeleter::operator()(SampleConversion* conversion) const { delete conversion; }

void MapChannels(int from, int to, int16_t frame[kFrameScratch]) {
  const int s0 = frame[0], s1 = frame[1], s2 = frame[2], s3 = frame[3], s4 = frame[4],
            s5 = frame[5];
  auto set = [frame](int index, int value) { frame[index] = static_cast<int16_t>(value); };
  switch (from * 10 + to) {
    case 12: set(1, s0); break;
    case 14: set(1, s0); set(2, s0); set(3, s0); break;
    case 15: set(1, s0); set(2, s0); set(3, s0); set(4, s0); break;
    case 16: set(1, s0); set(2, s0); set(3, s0); set(4, s0); set(5, s0); break;
    case 21: set(0, Average({s0, s1})); break;
    case 24: set(2, s1); set(3, s0); break;
    case 25: set(2, s1); set(3, s0); set(4, Average({s0, s1})); break;
    case 26: set(2, s1); set(3, s0); set(4, Average({s0, s1})); set(5, Average({s0, s1})); break;
    case 41: set(0, Average({s0, s1, s2, s3})); break;
    case 42: set(0, Average({s0, s2})); set(1, Average({s1, s3})); break;
    case 45: set(4, Average({s0, s1})); break;
    case 46: set(4, Average({s0, s1})); set(5, Average({s0, s1, s2, s3})); break;
    case 51: set(0, Average({s0, s1, s2, s3, s4})); break;
    case 52: set(0, Average({s0, s2, s4})); set(1, Average({s1, s3, s4})); break;
    case 54: set(0, Average({s0, s4})); set(1, Average({s1, s4})); break;
    case 56: set(5, Average({s0, s1, s2, s3, s4})); break;
    case 61: set(0, Average({s0, s1, s2, s3, s4, s5})); break;
    case 62: set(0, Average({s0, s2, s4, s5})); set(1, Average({s1, s3, s4, s5})); break;
    case 64:
      set(0, Average({s0, s4})); set(1, Average({s1, s4}));
      set(2, Average({s2, s5})); set(3, Average({s3, s5}));
      break;
    default: break;
  }
}

SampleConversionPtr BeginConversion(const AudioInfo& decoded, const AudioInfo& stored, uint64_t frames,
                                    SampleReader read) {
  const uint32_t from = decoded.channels;
  const uint32_t to = stored.channels;
  if (from == 0 || to == 0 || from > kMaxChannels || to > kMaxChannels) return nullptr;
  SampleConversionPtr c(new (std::nothrow) SampleConversion);
  if (!c) return nullptr;
  c->from = from;
  c->to = to;
  c->frames = frames;
  c->read = std::move(read);
  c->unchanged = decoded.pcmbitwidth == stored.pcmbitwidth && from == to &&
                 decoded.samplerate == stored.samplerate;
  c->rate = decoded.samplerate != stored.samplerate;
  if (!c->unchanged) {
    c->widen = decoded.pcmbitwidth < 16 ? static_cast<int>(16 - decoded.pcmbitwidth) : 0;
    c->narrow = stored.pcmbitwidth < 16 ? static_cast<int>(16 - stored.pcmbitwidth) : 0;
  }
  const uint32_t widest = std::max(from, to);
  c->blockFrames = static_cast<uint64_t>(std::max<int64_t>(kConversionBlockSamples / widest, 1));
  if (c->rate) {
    if (decoded.samplerate == 0 || stored.samplerate == 0) return nullptr;
    const double ratio = static_cast<double>(stored.samplerate) / decoded.samplerate;
    if (!BeginRateStep(c->step, from, ratio)) return nullptr;
    c->blockFrames = static_cast<uint64_t>(c->step.emitFrames);
  }
  if (!Resize(c->in, c->blockFrames * from) || !Resize(c->out, c->unchanged ? 0 : c->blockFrames * to)) {
    return nullptr;
  }
  return c;
}

int64_t NextConverted(SampleConversion& c, const int16_t*& samples) {
  if (c.stopped) return -1;
  if (c.produced >= c.frames) return 0;
  int64_t n = 0;
  if (c.rate) {
    n = NextRateFrames(c);
  } else {
    n = static_cast<int64_t>(std::min(c.blockFrames, c.frames - c.produced));
    if (!c.read(c.in.data(), n * c.from)) n = -1;
  }
  if (n < 0) {
    c.stopped = true;
    return -1;
  }
  // The rate step widens the samples it is fed.
  if (!c.rate && c.widen > 0) Widen(c.in.data(), static_cast<size_t>(n) * c.from, c.widen);
  c.produced += static_cast<uint64_t>(n);
  if (c.unchanged) {
    samples = c.in.data();
    return n * c.from;
  }
  if (c.narrow > 0) Narrow(c.in.data(), static_cast<size_t>(n) * c.from, c.narrow);
  if (c.from == c.to) {
    samples = c.in.data();
  } else {
    RemapFrames(c.in.data(), c.from, c.to, static_cast<uint64_t>(n), c.out.data());
    samples = c.out.data();
  }
  return n * c.to;
}
