// SPDX-License-Identifier: GPL-2.0-or-later
// spoolex <pakname> <directory> [delete]
//
// Unpacks NAME.APAK, NAME.UPAK and NAME.ZPAK, in that order, into a
// directory, printing one line per file and a summary; with DELETE, deletes
// each pack whose entries were all written and that can be deleted without
// loss. The exit status is always 0.
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>

#include "pack/pack.h"
#include "platform/destination.h"
#include "platform/platform.h"

namespace {

// The counters of one run. Wider than the figures they print, so that large
// entries and runs show their true values.
struct RunTotals {
  int64_t audioCount = 0;
  int64_t audioPacked = 0;
  int64_t audioUnpacked = 0;
  int64_t normalCount = 0;  // Stored and Deflated entries together
  int64_t deflatedPacked = 0;
  int64_t deflatedUnpacked = 0;
};

void PrintUsage() {
  std::printf("spoolex <pakname> <directory> [delete]\n\n");
  std::printf("        pakname: Name of the pak file (NO TERMINATION)\n");
  std::printf("        directory: Destination Directory\n");
  std::printf("        delete: (Delete pack(s) after finish\n");
}

// "DELETE" in any mix of upper and lower case letters A to Z.
bool IsDeleteWord(const char* word) {
  const char* expected = "DELETE";
  for (; *expected != '\0'; ++word, ++expected) {
    char c = *word;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *expected) return false;
  }
  return *word == '\0';
}

const char* Heading(PackKind kind) {
  switch (kind) {
    case PackKind::kAudio: return "Decompressing audio...\n";
    case PackKind::kStored: return "Copying files...\n";
    case PackKind::kDeflated: return "Uncompressing files...\n";
  }
  return "";
}

// Unpacked size times 100 over packed size, truncated; 0 for an empty entry.
int64_t Ratio(uint32_t unpacked, uint32_t packed) {
  return packed == 0 ? 0 : static_cast<int64_t>(unpacked) * 100 / packed;
}

// One line on standard error, after what standard output holds so far.
void Diagnose(const std::string& packPath, const std::string* entry, const std::string& reason) {
  std::fflush(stdout);
  if (entry != nullptr) {
    std::fprintf(stderr, "spoolex: %s: entry \"%s\": %s\n", PrintableName(packPath).c_str(),
                 PrintableName(*entry).c_str(), PrintableName(reason).c_str());
  } else {
    std::fprintf(stderr, "spoolex: %s: %s\n", PrintableName(packPath).c_str(), PrintableName(reason).c_str());
  }
}

void CountEntry(PackKind kind, const std::string& entryName, uint32_t packed, uint32_t unpacked, RunTotals& totals) {
  const std::string name = PrintableName(entryName);
  switch (kind) {
    case PackKind::kAudio:
      std::printf("%s...audio packed (%02" PRId64 "%%)\n", name.c_str(), Ratio(unpacked, packed));
      totals.audioCount += 1;
      totals.audioPacked += packed;
      totals.audioUnpacked += unpacked;
      break;
    case PackKind::kStored:
      std::printf("%s...copied\n", name.c_str());
      totals.normalCount += 1;
      break;
    case PackKind::kDeflated:
      totals.deflatedPacked += packed;
      totals.deflatedUnpacked += unpacked;
      totals.normalCount += 1;
      std::printf("%s...compressed (%02" PRId64 "%%)\n", name.c_str(), Ratio(unpacked, packed));
      break;
  }
}

// One pack of the set, opened before anything is written, so that no entry
// can change which file is read as a later pack.
struct SetPack {
  std::string path;  // as found
  PackPtr pack;      // empty when the pack could not be opened
  std::string reason;  // why not, empty when it does not exist
};

SetPack OpenSetPack(const std::string& pakname, PackKind kind, bool deleteAfter) {
  SetPack set{FindPackFile(pakname, kind), PackPtr(), std::string()};
  if (set.path.size() > kMaxPathBytes) {
    set.reason = "pack path longer than 259 bytes";
    return set;
  }
  // Only a pack that is to be deleted needs to be writable.
  const PackAccess access = deleteAfter ? PackAccess::kReadWrite : PackAccess::kReadOnly;
  if (OpenPack(platform::MapPath(set.path), kind, &set.pack, &set.reason, access) != kPackOk) set.pack.reset();
  return set;
}

// Unpacks and closes one pack; deletes it afterwards when asked and nothing
// can be lost. Returns whether the pack exists.
bool RunPack(SetPack& set, PackKind kind, platform::Destination& destination, bool deleteAfter, OutputBudget& budget,
             RunTotals& totals) {
  if (!set.pack) {
    if (!set.reason.empty()) Diagnose(set.path, nullptr, set.reason + "; skipped");
    return !set.reason.empty();
  }
  std::printf("%s", Heading(kind));
  int code;
  std::string reason;
  for (;;) {
    std::string name;
    uint32_t packed = 0;
    uint32_t unpacked = 0;
    code = NextEntry(destination, &name, *set.pack, &packed, &unpacked, &reason, &budget);
    if (code != kPackOk) {
      if (code != kPackEnd) Diagnose(set.path, &name, reason + "; the rest of the pack is not unpacked");
      break;
    }
    CountEntry(kind, name, packed, unpacked, totals);
  }
  if (deleteAfter && code == kPackEnd) {
    if (!ClosePackAndDelete(std::move(set.pack), platform::MapPath(set.path), &reason)) {
      Diagnose(set.path, nullptr, "not deleted: " + reason);
    }
  }
  set.pack.reset();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    PrintUsage();
    return 0;
  }
  // Every line reaches a log as soon as it is printed, also when the run is
  // ended by a signal.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A write past the file-size limit then fails the entry instead of ending
  // the process; an interrupted run leaves no temporary file.
  std::signal(SIGXFSZ, SIG_IGN);
  platform::RemovePendingFilesOnSignals();
  const bool deleteAfter = argc > 3 && IsDeleteWord(argv[3]);
  std::printf("KERV_SPOOLEX v1.0\n");
  // Entries never replace a pack of the set, under whatever name they reach
  // it; every file is on the disk before a pack is deleted.
  platform::Destination destination;
  (void)destination.Open(platform::MapPath(argv[2]), {.createFolders = false, .durable = deleteAfter});
  ProtectPackSet(destination, argv[1]);
  SetPack packs[kPackKindCount];
  for (size_t i = 0; i < std::size(packs); ++i) packs[i] = OpenSetPack(argv[1], kPackKindsInRunOrder[i], deleteAfter);
  // One allowance for the whole run: the packs' entries together.
  OutputBudget budget = MakeOutputBudget(ExpansionLimits{}, PackSetBytes(argv[1]));
  RunTotals totals;
  bool found = false;
  for (size_t i = 0; i < std::size(packs); ++i) {
    found = RunPack(packs[i], kPackKindsInRunOrder[i], destination, deleteAfter, budget, totals) || found;
  }
  if (!found) {
    std::fflush(stdout);
    std::fprintf(stderr, "spoolex: no pack named %s.APAK, .UPAK or .ZPAK\n", PrintableName(argv[1]).c_str());
  }
  std::printf("-------------------------------------------------\n");
  if (totals.audioCount > 0) {
    std::printf("%04" PRId64 "  audio files %08" PRId64 " packed size %08" PRId64 " unpacked size\n",
                totals.audioCount, totals.audioPacked, totals.audioUnpacked);
  }
  if (totals.deflatedPacked > 0 && totals.normalCount > 0) {
    std::printf("%04" PRId64 " normal files %08" PRId64 " packed size %08" PRId64 " unpacked size\n",
                totals.normalCount, totals.deflatedPacked, totals.deflatedUnpacked);
  }
  return 0;
}
