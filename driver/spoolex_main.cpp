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

// Opens, unpacks and closes one pack; deletes it afterwards when asked and
// nothing can be lost. Returns whether the pack exists.
bool RunPack(const std::string& pakname, PackKind kind, platform::Destination& destination, bool deleteAfter,
             RunTotals& totals) {
  const std::string packPath = FindPackFile(pakname, kind);
  if (packPath.size() > kMaxPathBytes) {
    Diagnose(packPath, nullptr, "pack path longer than 259 bytes; skipped");
    return true;
  }
  const std::string linuxPath = platform::MapPath(packPath);
  PackPtr pack;
  std::string reason;
  // Only a pack that is to be deleted needs to be writable.
  const PackAccess access = deleteAfter ? PackAccess::kReadWrite : PackAccess::kReadOnly;
  if (OpenPack(linuxPath, kind, &pack, &reason, access) != kPackOk) {
    if (!reason.empty()) Diagnose(packPath, nullptr, reason + "; skipped");
    return !reason.empty();
  }
  std::printf("%s", Heading(kind));
  int code;
  for (;;) {
    std::string name;
    uint32_t packed = 0;
    uint32_t unpacked = 0;
    code = NextEntry(destination, &name, *pack, &packed, &unpacked, &reason);
    if (code != kPackOk) {
      if (code != kPackEnd) Diagnose(packPath, &name, reason + "; the rest of the pack is not unpacked");
      break;
    }
    CountEntry(kind, name, packed, unpacked, totals);
  }
  if (deleteAfter && code == kPackEnd) {
    if (!ClosePackAndDelete(std::move(pack), linuxPath, &reason)) Diagnose(packPath, nullptr, "not deleted: " + reason);
  }
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
  RunTotals totals;
  bool found = false;
  for (PackKind kind : kPackKindsInRunOrder) found = RunPack(argv[1], kind, destination, deleteAfter, totals) || found;
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
