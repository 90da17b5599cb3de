// SPDX-License-Identifier: GPL-2.0-or-later
// The expansion limits: the per-entry limit a restored audio file must keep
// (its size from its stored description checked before decoding), and the
// run's output allowance that every entry counts against.
#include "pack/entry_limits.h"

#include <algorithm>
#include <atomic>

#include "pack/pack_internal.h"
#include "pack/restored_size.h"

namespace pack_internal {

namespace {

// The most a restored file may take: its size is reported in 32 bits, and
// RIFF, AIFF (FORM) and AU files hold their sizes in 32-bit fields.
constexpr uint64_t kMaxRestoredBytes = UINT32_MAX;
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
  const uint64_t used = std::atomic_ref<uint64_t>(const_cast<uint64_t&>(budget.usedBytes)).load();
  return budget.allowedBytes - std::min(used, budget.allowedBytes);
}

std::string RunLimitWords(const OutputBudget& budget) {
  return "the run's output limit of " + Bytes(budget.allowedBytes) + " (" + std::to_string(budget.limits.runRatio) +
         " times the packs' " + Bytes(budget.packBytes) + ", at least " + Mebibytes(budget.limits.runFloorBytes) +
         "; " + Bytes(budget.usedBytes) + " written before)";
}

}  // namespace

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
  if (const std::optional<RestoredSize> size = RestoredSizeOf(stored); size && size->mostBytes > limit->bytes) {
    return Fail(reason, kPackBadPack,
                "the restored file would take " + Bytes(size->mostBytes) + ", more than " + Bytes(limit->bytes) + ", " +
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
  // Atomic: with --jobs the budget lies in memory shared by the workers.
  if (budget != nullptr) std::atomic_ref<uint64_t>(budget->usedBytes).fetch_add(bytes);
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
