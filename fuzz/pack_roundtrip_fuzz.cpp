// SPDX-License-Identifier: GPL-2.0-or-later
// The pack writer, then the reader, on arbitrary trees of names and bytes.
// The input is a list of files, each a name length (1 byte), the name, a
// data length (2 bytes, little-endian) and the data; what the input leaves
// out is empty. Every file goes into a Stored and a Deflated pack (a name the
// writer refuses is left out of both). Each pack must open with valid
// checksums, list the files in order under their names and sizes, give back
// their bytes, and be safe to delete; then one bit of one entry's packed
// data (the last input byte says which) is flipped, and that entry, and only
// that one, must fail.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "platform/platform.h"

namespace {

struct Item {
  std::string name;
  std::vector<uint8_t> data;
};

std::vector<Item> ParseTree(const uint8_t* data, size_t size) {
  std::vector<Item> items;
  size_t at = 0;
  while (at < size && items.size() < 64) {
    Item item;
    const size_t wanted = data[at];
    at += 1;
    const size_t nameLength = std::min(wanted, size - at);
    item.name.assign(reinterpret_cast<const char*>(data + at), nameLength);
    at += nameLength;
    size_t dataLength = 0;
    if (at + 2 <= size) {
      dataLength = data[at] | data[at + 1] << 8;
      at += 2;
    }
    dataLength = std::min(dataLength, size - at);
    item.data.assign(data + at, data + at + dataLength);
    at += dataLength;
    items.push_back(std::move(item));
  }
  return items;
}

platform::File MemoryFile(const void* bytes, size_t size) {
  platform::File file(::memfd_create("pack-roundtrip", MFD_CLOEXEC));
  if (!file.IsOpen() || platform::WriteFile(file, bytes, size) != static_cast<int64_t>(size) ||
      platform::SeekFile(file, 0, platform::SeekOrigin::kBegin) != 0) {
    std::abort();
  }
  return file;
}

std::string PathOf(const platform::File& file) { return "/proc/self/fd/" + std::to_string(file.Descriptor()); }

// Writes `items` as a pack of `kind` into a memory file; *kept receives the
// items the writer took.
platform::File WritePack(PackKind kind, const std::vector<Item>& items, std::vector<const Item*>* kept) {
  platform::File file(::memfd_create("pack-roundtrip", MFD_CLOEXEC));
  platform::File handle = platform::DuplicateFile(file);
  PackPtr pack;
  if (!file.IsOpen() || CreatePack(std::move(handle), kind, &pack) != PackWriteResult::kOk) std::abort();
  for (const Item& item : items) {
    platform::File source = MemoryFile(item.data.data(), item.data.size());
    const PackWriteResult r = kind == PackKind::kStored ? AppendStoredEntry(*pack, item.name, source)
                                                        : AppendDeflatedEntry(*pack, item.name, source);
    if (r == PackWriteResult::kBadName) continue;
    if (r != PackWriteResult::kOk) std::abort();
    kept->push_back(&item);
  }
  if (FinishPack(*pack) != PackWriteResult::kOk) std::abort();
  return file;
}

// The bytes ExtractEntry gives for `entry` (to a memory file), or the code.
int Restore(PackHandle& pack, const DirectoryEntry& entry, std::vector<uint8_t>* bytes) {
  platform::File out(::memfd_create("pack-roundtrip-out", MFD_CLOEXEC));
  EntryOutput output;
  output.stream = &out;
  uint32_t unpacked = 0;
  const int rc = ExtractEntry(pack, entry, output, &unpacked);
  if (rc != kPackOk) return rc;
  const int64_t size = platform::FileSize(out);
  bytes->resize(static_cast<size_t>(size));
  if (size != unpacked || (size > 0 && !platform::ReadFileAt(out, 0, bytes->data(), bytes->size()))) std::abort();
  return rc;
}

void RoundTrip(PackKind kind, const std::vector<Item>& items, uint8_t flip) {
  std::vector<const Item*> kept;
  platform::File file = WritePack(kind, items, &kept);
  PackPtr pack;
  if (OpenPack(PathOf(file), kind, &pack, nullptr, PackAccess::kReadOnly) != kPackOk ||
      ChecksumsOf(*pack) != PackChecksums::kValid) {
    std::abort();
  }
  std::vector<DirectoryEntry> entries;
  DirectoryEntry entry;
  while (NextRecord(*pack, &entry) == kPackOk) entries.push_back(entry);
  if (entries.size() != kept.size()) std::abort();
  for (size_t i = 0; i < entries.size(); ++i) {
    std::vector<uint8_t> bytes;
    if (entries[i].name != kept[i]->name || Restore(*pack, entries[i], &bytes) != kPackOk ||
        bytes != kept[i]->data) {
      std::abort();
    }
  }
  std::string why;
  if (!PackSafeToDelete(*pack, &why)) std::abort();
  // One bit of one entry's packed data flipped: that entry fails, the rest
  // come back whole.
  size_t target = entries.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t k = (flip + i) % entries.size();
    if (entries[k].packedSize > 0) {
      target = k;
      break;
    }
  }
  if (target == entries.size()) return;
  const uint64_t at = entries[target].dataOffset + flip % entries[target].packedSize;
  uint8_t byte = 0;
  if (!platform::ReadFileAt(file, static_cast<int64_t>(at), &byte, 1)) std::abort();
  byte ^= static_cast<uint8_t>(1u << (flip % 8));
  if (platform::SeekFile(file, static_cast<int64_t>(at), platform::SeekOrigin::kBegin) < 0 ||
      platform::WriteFile(file, &byte, 1) != 1) {
    std::abort();
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    std::vector<uint8_t> bytes;
    const int rc = Restore(*pack, entries[i], &bytes);
    if ((i == target) != (rc != kPackOk) || (rc == kPackOk && bytes != kept[i]->data)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<Item> items = ParseTree(data, size);
  for (PackKind kind : {PackKind::kStored, PackKind::kDeflated}) RoundTrip(kind, items, data[size - 1]);
  return 0;
}
