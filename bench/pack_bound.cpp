// SPDX-License-Identifier: GPL-2.0-or-later
// The in-process bound of unpacking a pack: what moving its entries' bytes
// costs when no file is written. A Deflated pack's entries are inflated by
// the pack reader into its reused buffer (ExtractEntry without an output);
// a Stored pack's are copied with memcpy from the mapped pack, already in
// memory, into one reused 256 KiB buffer. Prints the bytes, the median seconds of the rounds,
// timed inside the process (the pack is opened and mapped before), and an
// XOR of bytes copied.
//
// Usage: bench_pack_bound <pack> stored|deflated [rounds]
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pack/pack.h"
#include "platform/platform.h"

namespace {

// Inflates every entry; returns the bytes inflated, or -1.
int64_t InflateAll(PackHandle& pack, const std::vector<DirectoryEntry>& entries) {
  int64_t total = 0;
  for (const DirectoryEntry& entry : entries) {
    uint32_t unpacked = 0;
    std::string reason;
    if (ExtractEntry(pack, entry, EntryOutput{}, &unpacked, &reason) != kPackOk) {
      std::fprintf(stderr, "bench_pack_bound: %s: %s\n", entry.name.c_str(), reason.c_str());
      return -1;
    }
    total += unpacked;
  }
  return total;
}

// Copies every entry's bytes from `mapped` through `buffer`; returns the bytes.
int64_t CopyAll(const uint8_t* mapped, const std::vector<DirectoryEntry>& entries, std::vector<uint8_t>& buffer,
                uint8_t* seen) {
  int64_t total = 0;
  for (const DirectoryEntry& entry : entries) {
    for (uint32_t done = 0; done < entry.packedSize;) {
      const uint32_t piece = std::min<uint32_t>(entry.packedSize - done, uint32_t(buffer.size()));
      std::memcpy(buffer.data(), mapped + entry.dataOffset + done, piece);
      // The copy must happen although only one byte of it is looked at.
      asm volatile("" : : "r"(buffer.data()) : "memory");
      *seen ^= buffer[piece - 1];
      done += piece;
    }
    total += entry.packedSize;
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_pack_bound <pack> stored|deflated [rounds]\n");
    return 2;
  }
  const bool stored = std::strcmp(argv[2], "stored") == 0;
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  PackPtr pack;
  std::string reason;
  if (OpenPack(argv[1], stored ? PackKind::kStored : PackKind::kDeflated, &pack, &reason, PackAccess::kReadOnly) !=
      kPackOk) {
    std::fprintf(stderr, "bench_pack_bound: %s: %s\n", argv[1], reason.c_str());
    return 1;
  }
  std::vector<DirectoryEntry> entries;
  for (DirectoryEntry entry; NextRecord(*pack, &entry) == kPackOk;) entries.push_back(entry);
  const uint8_t* mapped = nullptr;
  int64_t size = 0;
  if (stored) {
    platform::File file = platform::OpenExistingReadOnly(argv[1]);
    size = platform::FileSize(file);
    void* map = size > 0 ? ::mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.Descriptor(), 0)
                         : MAP_FAILED;
    if (map == MAP_FAILED) {
      std::fprintf(stderr, "bench_pack_bound: cannot map %s\n", argv[1]);
      return 1;
    }
    mapped = static_cast<const uint8_t*>(map);
  }
  std::vector<uint8_t> buffer(256 * 1024);
  uint8_t seen = 0;
  std::vector<double> seconds;
  int64_t bytes = 0;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    bytes = stored ? CopyAll(mapped, entries, buffer, &seen) : InflateAll(*pack, entries);
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (bytes < 0) return 1;
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("%lld %.4f %d\n", static_cast<long long>(bytes), seconds[seconds.size() / 2], seen);
  if (mapped != nullptr) ::munmap(const_cast<uint8_t*>(mapped), size_t(size));
  return 0;
}
