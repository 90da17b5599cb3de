// spoolpack verify <pakname>
// Reads, inflates, decodes and converts every entry of a set's packs
// without writing anything.
#include <cstdio>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "tools/spoolpack/spoolpack_common.h"

namespace {

// Checks one pack; returns false when it has problems.
bool VerifyPack(const std::string& path, PackKind kind, bool* found) {
  PackPtr pack;
  std::string reason;
  if (OpenPack(path, kind, &pack, &reason, PackAccess::kReadOnly) != kPackOk) {
    if (reason.empty()) return true;  // no pack of this kind
    *found = true;
    Complain(path + ": " + reason);
    return false;
  }
  *found = true;
  size_t entries = 0;
  size_t problems = 0;
  DirectoryEntry entry;
  int rc;
  while ((rc = NextRecord(*pack, &entry, &reason)) == kPackOk) {
    ++entries;
    uint32_t unpacked = 0;
    int v = ExtractEntry(*pack, entry, EntryOutput(), &unpacked, &reason);
    if (v == kPackOk && kind == PackKind::kDeflated && unpacked != entry.unpackedSize) {
      v = kPackFileError;
      reason = "inflates to " + std::to_string(unpacked) + " bytes, recorded " + std::to_string(entry.unpackedSize);
    }
    if (v != kPackOk) {
      ++problems;
      Complain(path + ": entry \"" + entry.name + "\": " + reason);
    }
  }
  if (rc != kPackEnd) {
    ++problems;
    Complain(path + ": " + reason);
  }
  if (problems > 0) {
    std::printf("%s: %zu entries, %zu problems\n", path.c_str(), entries, problems);
    return false;
  }
  std::printf("%s: %zu entries ok\n", path.c_str(), entries);
  return true;
}

int Verify(const std::string& pakname) {
  bool ok = true;
  bool found = false;
  for (PackKind kind : kPackKindsInRunOrder) ok = VerifyPack(FindPackFile(pakname, kind), kind, &found) && ok;
  if (!found) {
    Complain("no pack named " + pakname + ".APAK, .UPAK or .ZPAK");
    return kExitFailed;
  }
  return ok ? kExitOk : kExitFailed;
}

std::string Description() {
  return "reads and inflates every entry of <pakname>'s packs, and decodes\n"
         "every audio entry, without writing anything; problems go to\n"
         "standard error, exit status 1.\n";
}

int RunVerify(const Command& self, const std::vector<std::string>& args) {
  if (!args.empty() && IsHelp(args[0])) return CommandHelp(self);
  if (args.size() != 1) return UsageError(self, "verify takes a pack name");
  return Verify(args[0]);
}

}  // namespace

const Command kVerifyCommand = {"verify", RunVerify, "spoolpack verify <pakname>", "<pakname>", Description};
