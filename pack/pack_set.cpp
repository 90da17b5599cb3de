// SPDX-License-Identifier: GPL-2.0-or-later
// A pack set opened for random access: the listing with extract's names and
// refusals, reads of Stored entries in place, and the dispatch of Deflated
// entries to their access points and of every entry to ExtractEntry.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>

#include "pack/pack_access_points.h"
#include "pack/pack_entry_reader.h"
#include "pack/pack_internal.h"

using pack_internal::Fail;

struct PackSet {
  PackPtr packs[kPackKindCount];  // by PackKind; empty where the set has none
  std::vector<SetEntry> entries;
  pack_internal::AccessPointState points;
  std::vector<bool> ready;  // per entry: PrepareSetEntry succeeded
};

namespace {

// The destination the names are checked against: the shortest extract can
// have, so that a name is left out only when every extract refuses it.
constexpr const char* kCheckedDestination = ".";

PackHandle& PackOf(PackSet& set, const SetEntry& entry) { return *set.packs[static_cast<size_t>(entry.kind)]; }

// What each path of the listing holds so far.
struct Placed {
  bool folder = false;
  size_t entry = 0;  // for a file: its index in the listing
};

// The path of `name` as extract places it ('/'-separated, without empty or
// "." folder parts), or empty with `why` set when extract refuses it.
std::string PathOf(const std::string& name, std::string* why) {
  if (pack_internal::CheckOutputName(kCheckedDestination, name, why) != kPackOk) return {};
  std::vector<std::string_view> parts;
  const std::string mapped = EntryPathUnderDestination(name);
  if (platform::SplitRelativePath(mapped, &parts) != platform::RelativePath::kInside || parts.back() == ".") {
    *why = pack_internal::kNotAFileName;
    return {};
  }
  std::string path;
  for (std::string_view part : parts) {
    if (part == ".") continue;
    if (!path.empty()) path += '/';
    path += part;
  }
  return path;
}

// Adds the entry of `record` to `entries` unless extract would refuse it;
// a file of the same path placed before is replaced. `placed` holds what
// every path of the listing is. Returns the reason it was left out, or empty.
std::string Place(std::map<std::string, Placed>& placed, std::vector<SetEntry>& entries, std::vector<bool>& replaced,
                  SetEntry entry) {
  std::string why;
  entry.path = PathOf(entry.record.name, &why);
  if (entry.path.empty()) return why;
  // Each folder of the path must be a folder, not a file placed earlier.
  for (size_t slash = entry.path.find('/'); slash != std::string::npos; slash = entry.path.find('/', slash + 1)) {
    const auto it = placed.find(entry.path.substr(0, slash));
    if (it != placed.end() && !it->second.folder) {
      return "a directory of the name is not a directory: " + entry.path.substr(0, slash);
    }
  }
  const auto there = placed.find(entry.path);
  if (there != placed.end() && there->second.folder) return "a directory of that name is in the way";
  for (size_t slash = entry.path.find('/'); slash != std::string::npos; slash = entry.path.find('/', slash + 1)) {
    placed[entry.path.substr(0, slash)].folder = true;
  }
  if (there != placed.end()) replaced[there->second.entry] = true;
  placed[entry.path] = Placed{false, entries.size()};
  entries.push_back(std::move(entry));
  replaced.push_back(false);
  return {};
}

}  // namespace

void PackSetCloser::operator()(PackSet* set) const { delete set; }

int OpenPackSet(const std::string& pakname, PackSetPtr* set, std::vector<std::string>* notes, std::string* reason,
                const AccessPointLimits& limits) {
  set->reset();
  PackSetPtr opened(new (std::nothrow) PackSet);
  if (!opened) return Fail(reason, kPackNoMemory, "out of memory");
  opened->points.limits = limits;
  bool any = false;
  bool found = false;
  std::map<std::string, Placed> placed;
  std::vector<bool> replaced;
  for (PackKind kind : kPackKindsInRunOrder) {
    const std::string path = FindPackFile(pakname, kind);
    PackPtr& pack = opened->packs[static_cast<size_t>(kind)];
    std::string why;
    if (OpenPack(path, kind, &pack, &why, PackAccess::kReadOnly) != kPackOk) {
      found = found || !why.empty();
      if (!why.empty()) notes->push_back(path + ": " + why + "; not mounted");
      continue;
    }
    found = any = true;
    DirectoryEntry record;
    int rc;
    while ((rc = NextRecord(*pack, &record, &why)) == kPackOk) {
      const std::string shown = EntryPathUnderDestination(record.name);
      why = Place(placed, opened->entries, replaced, SetEntry{{}, kind, path, record});
      if (!why.empty()) notes->push_back(path + ": entry \"" + shown + "\": " + why + "; left out");
    }
    if (rc != kPackEnd) notes->push_back(path + ": " + why + "; the entries after it cannot be reached");
  }
  if (!any) {
    return Fail(reason, kPackFileError,
                found ? "no pack of " + pakname + " can be read" : "no pack named " + pakname + ".APAK, .UPAK or .ZPAK");
  }
  // Only the last of each name stays, in run order.
  std::vector<SetEntry> kept;
  for (size_t i = 0; i < opened->entries.size(); ++i) {
    if (!replaced[i]) kept.push_back(std::move(opened->entries[i]));
  }
  opened->entries = std::move(kept);
  opened->ready.assign(opened->entries.size(), false);
  *set = std::move(opened);
  return kPackOk;
}

const std::vector<SetEntry>& SetEntries(const PackSet& set) { return set.entries; }

int PrepareSetEntry(PackSet& set, size_t index, std::string* reason) {
  const SetEntry& entry = set.entries[index];
  PackHandle& pack = PackOf(set, entry);
  if (uint64_t{entry.record.dataOffset} + entry.record.packedSize > pack.fileSize) {
    return Fail(reason, kPackFileError, "data runs past the end of the pack");
  }
  if (entry.kind == PackKind::kDeflated) {
    const int rc = pack_internal::VerifyDeflated(set.points, index, pack, entry.record, reason);
    if (rc != kPackOk) return rc;
  }
  set.ready[index] = entry.kind != PackKind::kAudio;
  return set.ready[index] ? kPackOk : Fail(reason, kPackFileError, "an audio entry is read once restored");
}

int ReadSetEntry(PackSet& set, size_t index, uint64_t offset, uint8_t* buffer, size_t size, size_t* got,
                 std::string* reason) {
  *got = 0;
  const SetEntry& entry = set.entries[index];
  if (!set.ready[index]) return Fail(reason, kPackFileError, "entry not prepared for reading");
  PackHandle& pack = PackOf(set, entry);
  if (entry.kind == PackKind::kDeflated) {
    return pack_internal::ReadDeflated(set.points, index, pack, entry.record, offset, buffer, size, got, reason);
  }
  if (offset >= entry.record.packedSize) return kPackOk;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(size, entry.record.packedSize - offset));
  if (!platform::ReadFileAt(pack.file, static_cast<int64_t>(entry.record.dataOffset + offset), buffer, n)) {
    return Fail(reason, kPackFileError, std::string("data cannot be read: ") + std::strerror(errno));
  }
  *got = n;
  return kPackOk;
}

platform::File& StoredEntryFile(PackSet& set, size_t index, uint64_t* dataOffset) {
  const SetEntry& entry = set.entries[index];
  *dataOffset = entry.record.dataOffset;
  return PackOf(set, entry).file;
}

int ExtractSetEntry(PackSet& set, size_t index, const EntryOutput& output, uint32_t* unpackedSize,
                    std::string* reason) {
  const SetEntry& entry = set.entries[index];
  return ExtractEntry(PackOf(set, entry), entry.record, output, unpackedSize, reason);
}

uint64_t AccessPointBytes(const PackSet& set) { return set.points.bytes; }
