// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack verify [--max-ratio N] [--no-limit] [--jobs N] [--quiet] <pakname>
// Reads, inflates, decodes and converts every entry of a set's packs
// without writing anything.
#include <cstdio>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "tools/spoolpack/spoolpack_common.h"
#include "tools/spoolpack/spoolpack_extract_jobs.h"
#include "tools/spoolpack/spoolpack_jobs.h"

namespace {

// Checks one pack, counting against `budget`; returns false when it has
// problems.
bool VerifyPack(const std::string& path, PackKind kind, OutputBudget& budget, int jobs, bool quiet, bool* found) {
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
  // Counts the outcome of one entry.
  const auto taken = [&](const DirectoryEntry& entry, ExtractOutcome outcome) {
    if (outcome.code == kPackOk && kind == PackKind::kDeflated && outcome.unpacked != entry.unpackedSize) {
      outcome.code = kPackFileError;
      outcome.reason = "inflates to " + std::to_string(outcome.unpacked) + " bytes, recorded " +
                       std::to_string(entry.unpackedSize);
    }
    if (outcome.code != kPackOk) {
      ++problems;
      Complain(path + ": entry \"" + EntryPathUnderDestination(entry.name) + "\": " + outcome.reason);
    }
  };
  std::vector<DirectoryEntry> later;  // with jobs, the entries still to read
  DirectoryEntry entry;
  int rc;
  while ((rc = NextRecord(*pack, &entry, &reason)) == kPackOk) {
    ++entries;
    if (jobs > 1) {
      later.push_back(entry);
      continue;
    }
    ExtractOutcome outcome;
    outcome.code = ExtractEntry(*pack, entry, output, &outcome.unpacked, &outcome.reason);
    taken(entry, outcome);
  }
  std::string error;
  if (!later.empty() && !ExtractInWorkers(path, kind, later, nullptr, budget, jobs,
                                          [&](size_t i, const ExtractOutcome& outcome) { taken(later[i], outcome); },
                                          &error)) {
    ++problems;
    Complain(path + ": " + error);
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

int Verify(const std::string& pakname, const ExpansionLimits& limits, int jobs, bool quiet) {
  bool ok = true;
  bool found = false;
  OutputBudget budget = MakeOutputBudget(limits, PackSetBytes(pakname));
  for (PackKind kind : kPackKindsInRunOrder) {
    ok = VerifyPack(FindPackFile(pakname, kind), kind, budget, jobs, quiet, &found) && ok;
  }
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
         "--jobs N: N entries checked at once (default: the cores).\n"
         "--quiet: no line for a pack without problems.\n";
}

enum VerifyOption { kQuiet };
constexpr OptionSpec kVerifyOptions[] = {kMaxRatioSpec, kNoLimitSpec, kJobsSpec,
                                         {kQuiet, "--quiet", 'q', OptionKind::kFlag, nullptr}};

int RunVerify(const Command& self, const std::vector<std::string>& args) {
  CommandLine line;
  int status = kExitOk;
  if (!ReadCommandLine(self, args, kVerifyOptions, &line, &status)) return status;
  if (line.operands.size() != 1) return UsageError(self, "verify takes one pack name");
  ExpansionLimits limits;
  bool quiet = false;
  int jobs = DefaultJobs();
  for (const GivenOption& option : line.options) {
    if (option.known->id == kJobsOption) {
      jobs = static_cast<int>(option.number);
    } else if (!ApplyLimitOption(option, &limits)) {
      quiet = true;
    }
  }
  return Verify(line.operands[0], limits, jobs, quiet);
}

}  // namespace

const Command kVerifyCommand = {"verify", RunVerify,
                                 "spoolpack verify [--max-ratio N] [--no-limit] [--jobs N] [--quiet] <pakname>",
                                 "[options] <pakname>", Description};
