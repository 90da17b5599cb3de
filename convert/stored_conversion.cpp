// Brings decoded 16-bit samples to the bit-width scale, sample rate and
// channel count of a stored stream description.
#include "convert/stored_conversion.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>

#include "convert/convert.h"
#include "convert/rate_converter.h"

namespace {

// Channels per frame that a stream description may give.
constexpr uint32_t kMaxChannels = 256;
// Cap on the samples of the converted buffer (4 GiB).
constexpr uint64_t kMaxSamples = uint64_t{1} << 31;

// Runs channels first ... first + group - 1 (group 1, or 2 for a stereo pair)
// of `in` (interleaved, `channels` per frame) through one converter and puts
// `frames` output frames of those channels into `out`, interleaved the same
// way. When the group is every channel, the frames are appended to `out`,
// which REQUIRES room reserved for them (so appending never allocates);
// otherwise `out` must already hold channels * frames samples and the
// group's are overwritten.
// Output frame j lies at input time j / ratio; once the input runs out the
// converter is fed zeros. Returns false when the converter cannot be set up
// or memory runs out; `out` may then be partly written.
bool ResampleChannels(const std::vector<int16_t>& in, uint32_t channels, uint32_t first,
                      int group, double ratio, uint64_t frames, std::vector<int16_t>& out) {
  long inSize = 0;
  std::unique_ptr<RateConvState> conv =
      RateConvInit(0, ratio, group, -1, -1.0f, -1.0f, -1.0f, inSize);
  if (!conv) return false;
  std::vector<int16_t> block;
  if (!ReserveSamples(block, static_cast<uint64_t>(inSize))) return false;
  block.resize(static_cast<size_t>(inSize));
  const uint64_t blockFrames = static_cast<uint64_t>(inSize) / group;
  const uint64_t available = in.size() / channels;
  const bool whole = static_cast<uint32_t>(group) == channels;
  uint64_t nextIn = 0;
  uint64_t produced = 0;
  while (produced < frames) {
    const int16_t* src = block.data();
    if (whole && nextIn + blockFrames <= available) {
      src = in.data() + nextIn * channels;
    } else {
      for (uint64_t i = 0; i < blockFrames; ++i) {
        const uint64_t f = nextIn + i;
        for (int c = 0; c < group; ++c) {
          block[i * group + c] = f < available ? in[f * channels + first + c] : 0;
        }
      }
    }
    const float* values = nullptr;
    const int count = RateConv(*conv, src, inSize, values);
    const uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(count / group), frames - produced);
    if (whole) {
      const size_t at = out.size();
      out.resize(at + static_cast<size_t>(take) * group);
      int16_t* to = out.data() + at;
      for (uint64_t k = 0; k < take * group; ++k) to[k] = SampleFromFloat(values[k]);
    } else {
      for (uint64_t i = 0; i < take; ++i) {
        for (int c = 0; c < group; ++c) {
          out[(produced + i) * channels + first + c] = SampleFromFloat(values[i * group + c]);
        }
      }
    }
    produced += take;
    nextIn += blockFrames;
  }
  RateConvFree(std::move(conv));
  return true;
}

// Rewrites `frames` frames of `buf` from `from` to `to` channels in place.
// Widening runs from the last frame to the first so that a frame is read
// before its place is overwritten. Channels that nothing sets are 0; above 6
// channels on either side, channel c keeps input channel c where there is one.
// REQUIRES: buf holds max(from, to) * frames samples; both counts <= 256.
void RemapFrames(int16_t* buf, uint32_t from, uint32_t to, uint64_t frames) {
  std::array<int16_t, kMaxChannels> frame{};
  const bool table = from <= kFrameScratch && to <= kFrameScratch;
  const uint32_t cleared = std::max<uint32_t>(to, kFrameScratch);
  auto one = [&](uint64_t f) {
    std::copy_n(buf + f * from, from, frame.begin());
    std::fill(frame.begin() + from, frame.begin() + std::max(from, cleared), int16_t{0});
    if (table) MapChannels(static_cast<int>(from), static_cast<int>(to), frame.data());
    std::copy_n(frame.begin(), to, buf + f * to);
  };
  if (from < to) {
    for (uint64_t f = frames; f-- > 0;) one(f);
  } else {
    for (uint64_t f = 0; f < frames; ++f) one(f);
  }
}

int Average(std::initializer_list<int> values) {
  int sum = 0;
  for (int v : values) sum += v;
  return sum / static_cast<int>(values.size());
}

}  // namespace

bool ReserveSamples(std::vector<int16_t>& samples, uint64_t count) {
  try {
    samples.reserve(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kPage = 4096;
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const auto begin = (reinterpret_cast<uintptr_t>(samples.data()) + kPage - 1) & ~(kPage - 1);
  const auto end = reinterpret_cast<uintptr_t>(samples.data() + samples.capacity()) & ~(kPage - 1);
  if (end > begin && end - begin >= kHugePage) {
    (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#endif
  return true;
}

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

int ConvertToStoredInfo(const AudioInfo& decoded, const AudioInfo& stored,
                        std::vector<int16_t>& samples) {
  if (decoded.pcmbitwidth == stored.pcmbitwidth && decoded.channels == stored.channels &&
      decoded.samplerate == stored.samplerate) {
    return 1;
  }
  // Descriptions no stream can have, and a buffer shorter than promised, are
  // refused before anything is touched.
  const uint32_t from = decoded.channels;
  const uint32_t to = stored.channels;
  const uint64_t frames = decoded.samples;
  const bool rateStep = decoded.samplerate != stored.samplerate;
  if (from == 0 || to == 0 || from > kMaxChannels || to > kMaxChannels) return 0;
  if (rateStep && (decoded.samplerate == 0 || stored.samplerate == 0)) return 0;
  const uint64_t decodedCount = from * frames;
  const uint64_t workCount = std::max(from, to) * frames;
  if (samples.size() < decodedCount || workCount > kMaxSamples) return 0;

  if (decoded.pcmbitwidth < 16) {
    // Every sample the buffer holds: those beyond the stored frame count still
    // feed the rate step.
    const int shift = 16 - static_cast<int>(decoded.pcmbitwidth);
    for (int16_t& s : samples) {
      s = static_cast<int16_t>(static_cast<uint32_t>(static_cast<uint16_t>(s)) << shift);
    }
  }

  std::vector<int16_t> fresh;
  std::vector<int16_t>* work = &samples;
  if (rateStep || from != to) {
    if (!ReserveSamples(fresh, workCount)) return 0;
    if (rateStep) {
      const double ratio = static_cast<double>(stored.samplerate) / decoded.samplerate;
      bool ok = true;
      if (from <= 2) {
        ok = ResampleChannels(samples, from, 0, static_cast<int>(from), ratio, frames, fresh);
      } else {
        // One converter per channel: the two-channel layout pairs neighbours.
        fresh.resize(static_cast<size_t>(decodedCount));
        for (uint32_t c = 0; c < from && ok; ++c) {
          ok = ResampleChannels(samples, from, c, 1, ratio, frames, fresh);
        }
      }
      if (!ok) return 0;
    } else {
      fresh.assign(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(decodedCount));
    }
    fresh.resize(static_cast<size_t>(workCount));  // within the reserved room
    work = &fresh;
  }

  int16_t* buf = work->data();
  if (stored.pcmbitwidth < 16) {
    const int shift = 16 - static_cast<int>(stored.pcmbitwidth);
    for (uint64_t i = 0; i < decodedCount; ++i) buf[i] = static_cast<int16_t>(buf[i] >> shift);
  }
  if (from != to) RemapFrames(buf, from, to, frames);

  if (work != &samples) samples.swap(fresh);
  samples.resize(static_cast<size_t>(to * frames));
  return 1;
}
