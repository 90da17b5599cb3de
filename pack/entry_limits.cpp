// The expansion limits: the size of a restored audio file computed from its
// stored description, the per-entry limit it must keep, and the run's
// output allowance that every entry counts against.
#include "pack/entry_limits.h"

#include <algorithm>

#include "audio/stream/audio_stream.h"
#include "pack/pack_internal.h"

namespace pack_internal {

namespace {

// The most a restored file may take: its size is reported in 32 bits, and
// RIFF, AIFF (FORM) and AU files hold their sizes in 32-bit fields.
constexpr uint64_t kMaxRestoredBytes = UINT32_MAX;
// Room for a container's header: NIST and IRCAM headers take 1024 bytes,
// PAF's 2048; WAV, AIFF and AU far less, with 8 bytes a channel for a
// float file's peak chunk.
constexpr uint64_t kHeaderAllowanceBytes = 4096;
constexpr uint64_t kPeakBytesPerChannel = 8;
// ADPCM: 4 bits a sample and a few bytes a block and channel (at least
// 252 of every 256 bytes hold samples); a last block of up to 2048 bytes a
// channel. GSM 06.10: 65 bytes for every 320 samples.
constexpr uint64_t kAdpcmBlockBytes = 2048;
constexpr uint64_t kGsmBlockBytes = 65;
constexpr uint64_t kGsmBlockSamples = 320;
constexpr uint64_t kPaf24BlockBytes = 32;

uint64_t SaturatingProduct(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

std::string Bytes(uint64_t n) { return std::to_string(n) + " bytes"; }

std::string Mebibytes(uint64_t n) {
  return n % (uint64_t{1} << 20) == 0 ? std::to_string(n >> 20) + " MiB" : Bytes(n);
}

// What is left of the run's allowance, and the allowance in words.
uint64_t RunRoom(const OutputBudget& budget) {
  return budget.allowedBytes - std::min(budget.usedBytes, budget.allowedBytes);
}

std::string RunLimitWords(const OutputBudget& budget) {
  return "the run's output limit of " + Bytes(budget.allowedBytes) + " (" + std::to_string(budget.limits.runRatio) +
         " times the packs' " + Bytes(budget.packBytes) + ", at least " + Mebibytes(budget.limits.runFloorBytes) +
         "; " + Bytes(budget.usedBytes) + " written before)";
}

// Bytes of data for `samples` samples (all channels) of `stored`'s encoding.
uint64_t DataBytes(const AudioInfo& stored, uint64_t samples) {
  const uint32_t major = FormatMajor(stored.format);
  const uint64_t channels = stored.channels;
  switch (FormatMinor(stored.format)) {
    case FMT_PCM_S8:
    case FMT_PCM_U8:
    case FMT_ULAW:
    case FMT_ALAW:
      return samples;
    case FMT_FLOAT:
    case FMT_FLOAT_BE:
    case FMT_FLOAT_LE:
      return samples * 4;
    case FMT_IMA_ADPCM:
    case FMT_MS_ADPCM:
      return (samples * 33 + 63) / 64 + kAdpcmBlockBytes * channels;
    case FMT_GSM610:
      return (samples + kGsmBlockSamples - 1) / kGsmBlockSamples * kGsmBlockBytes + kGsmBlockBytes;
    case FMT_G721_32:
      return (samples + 1) / 2;
    case FMT_G723_24:
      return (samples * 3 + 7) / 8;
    case FMT_PCM:
    case FMT_PCM_BE:
    case FMT_PCM_LE: {
      uint64_t width = (std::min<uint64_t>(stored.pcmbitwidth, 32) + 7) / 8;
      if (major == FMT_IRCAM && width == 3) width = 4;  // libsndfile writes no 24-bit IRCAM samples
      // PAF holds 24-bit samples in blocks of 32 bytes for 10 samples of a channel.
      if (major == FMT_PAF && width == 3) return (samples + 9) / 10 * kPaf24BlockBytes + kPaf24BlockBytes * channels;
      return samples * std::max<uint64_t>(width, 1);
    }
    default:
      return samples * 4;  // no encoding the layer writes: the widest
  }
}

}  // namespace

std::optional<uint64_t> RestoredFileBytes(const AudioInfo& stored) {
  if (IsCodecFormat(stored.format)) return std::nullopt;
  const uint64_t samples = uint64_t{stored.samples} * stored.channels;
  return DataBytes(stored, samples) + kHeaderAllowanceBytes + kPeakBytesPerChannel * stored.channels;
}

int LimitAudioOutput(const AudioInfo& stored, uint32_t packedSize, const OutputBudget* budget,
                     AudioOutputLimit* limit, std::string* reason) {
  const ExpansionLimits limits = budget != nullptr ? budget->limits : ExpansionLimits{};
  limit->bytes = kMaxRestoredBytes;
  limit->limit = "the most a restored file can take (its size is counted in 32 bits, as are the sizes of RIFF, "
                 "AIFF and AU files)";
  const uint64_t entryBytes =
      std::max(limits.audioFloorBytes, SaturatingProduct(limits.audioRatio, packedSize));
  const std::string entryWords = "the limit for an audio entry of " + Bytes(packedSize) + " (" +
                                 std::to_string(limits.audioRatio) + " times that, at least " +
                                 Mebibytes(limits.audioFloorBytes) + ")";
  if (limits.enabled && entryBytes < limit->bytes) {
    limit->bytes = entryBytes;
    limit->limit = entryWords;
  }
  if (budget != nullptr && limits.enabled && RunRoom(*budget) < limit->bytes) {
    limit->bytes = RunRoom(*budget);
    limit->limit = "what is left of " + RunLimitWords(*budget);
  }
  if (const std::optional<uint64_t> bytes = RestoredFileBytes(stored); bytes && *bytes > limit->bytes) {
    return Fail(reason, kPackBadPack,
                "the restored file would take " + Bytes(*bytes) + ", more than " + Bytes(limit->bytes) + ", " +
                    limit->limit);
  }
  // Until the restoration works block by block it holds every stored
  // sample in memory at 16 bits.
  const uint64_t memory = uint64_t{stored.samples} * stored.channels * sizeof(int16_t);
  if (limits.enabled && memory > entryBytes) {
    return Fail(reason, kPackBadPack,
                "restoring would hold " + Bytes(memory) + " of samples in memory, more than " + Bytes(entryBytes) +
                    ", " + entryWords);
  }
  return kPackOk;
}

int AudioLimitReached(const AudioOutputLimit& limit, uint64_t written, std::string* reason) {
  if (written < limit.bytes) return kPackOk;
  return Fail(reason, kPackBadPack, "the restored file would pass " + Bytes(limit.bytes) + ", " + limit.limit);
}

int ReserveOutput(const OutputBudget* budget, uint64_t bytes, std::string* reason) {
  if (budget == nullptr || !budget->limits.enabled || bytes <= RunRoom(*budget)) return kPackOk;
  return Fail(reason, kPackBadPack, "the entry's " + Bytes(bytes) + " would pass " + RunLimitWords(*budget));
}

void ChargeOutput(OutputBudget* budget, uint64_t bytes) {
  if (budget != nullptr) budget->usedBytes += bytes;
}

}  // namespace pack_internal

OutputBudget MakeOutputBudget(const ExpansionLimits& limits, uint64_t packBytes) {
  OutputBudget budget;
  budget.limits = limits;
  budget.packBytes = packBytes;
  budget.allowedBytes = limits.enabled ? std::max(limits.runFloorBytes, pack_internal::SaturatingProduct(
                                                                             limits.runRatio, packBytes))
                                       : UINT64_MAX;
  return budget;
}

bool AudioEntryWithinLimits(const DirectoryEntry& entry, std::string* why) {
  pack_internal::AudioOutputLimit limit;
  return pack_internal::LimitAudioOutput(entry.info, entry.packedSize, nullptr, &limit, why) == kPackOk;
}
