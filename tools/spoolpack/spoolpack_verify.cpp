// spoolpack verify [--max-ratio N] [--no-limit] [--quiet] <pakname>
// Reads, inflates, decodes and converts every entry of a set's packs
// without writing anything.
#include <cstdio>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "tools/spoolpack/spoolpack_common.h"

namespace {

// Checks one pack, counting against `budget`; returns false when it has
// problems.
bool VerifyPack(const std::string& path, PackKind kind, OutputBudget& budget, bool quiet, bool* found) {
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
  if (ChecksumsOf(*pack, &reason) == PackChecksums::kDamaged) {
    ++problems;
    Complain(path + ": " + reason);
  }
  EntryOutput output;
  output.budget = &budget;
  DirectoryEntry entry;
  int rc;
  while ((rc = NextRecord(*pack, &entry, &reason)) == kPackOk) {
    ++entries;
    uint32_t unpacked = 0;
    int v = ExtractEntry(*pack, entry, output, &unpacked, &reason);
    if (v == kPackOk && kind == PackKind::kDeflated && unpacked != entry.unpackedSize) {
      v = kPackFileError;
      reason = "inflates to " + std::to_string(unpacked) + " bytes, recorded " + std::to_string(entry.unpackedSize);
    }
    if (v != kPackOk) {
      ++problems;
      Complain(path + ": entry \"" + EntryPathUnderDestination(entry.name) + "\": " + reason);
    }
  }
  if (rc != kPackEnd) {
    ++problems;
    Complain(path + ": " + reason);
  }
  if (problems > 0) {
    std::printf("%s: %s, %s\n", path.c_str(), Count(entries, "entry", "entries").c_str(),
                Count(problems, "problem", "problems").c_str());
    return false;
  }
  if (!quiet) std::printf("%s: %s ok\n", path.c_str(), Count(entries, "entry", "entries").c_str());
  return true;
}

int Verify(const std::string& pakname, const ExpansionLimits& limits, bool quiet) {
  bool ok = true;
  bool found = false;
  OutputBudget budget = MakeOutputBudget(limits, PackSetBytes(pakname));
  for (PackKind kind : kPackKindsInRunOrder) ok = VerifyPack(FindPackFile(pakname, kind), kind, budget, quiet, &found) && ok;
  if (!found) {
    Complain("no pack named " + pakname + ".APAK, .UPAK or .ZPAK");
    return kExitFailed;
  }
  return ok ? kExitOk : kExitFailed;
}

std::string Description() {
  return "reads and inflates every entry of <pakname>'s packs, and decodes\n"
         "every audio entry, without writing anything, and checks every\n"
         "entry's checksum and the limits of extract (--max-ratio,\n"
         "--no-limit); problems go to standard error, exit status 1.\n"
         "--quiet: no line for a pack without problems.\n";
}

enum VerifyOption { kQuiet };
constexpr OptionSpec kVerifyOptions[] = {kMaxRatioSpec, kNoLimitSpec, {kQuiet, "--quiet", 'q', OptionKind::kFlag, nullptr}};

int RunVerify(const Command& self, const std::vector<std::string>& args) {
  CommandLine line;
  int status = kExitOk;
  if (!ReadCommandLine(self, args, kVerifyOptions, &line, &status)) return status;
  if (line.operands.size() != 1) return UsageError(self, "verify takes one pack name");
  ExpansionLimits limits;
  bool quiet = false;
  for (const GivenOption& option : line.options) {
    if (!ApplyLimitOption(option, &limits)) quiet = true;
  }
  return Verify(line.operands[0], limits, quiet);
}

}  // namespace

const Command kVerifyCommand = {"verify", RunVerify,
                                 "spoolpack verify [--max-ratio N] [--no-limit] [--quiet] <pakname>",
                                 "[options] <pakname>", Description};
