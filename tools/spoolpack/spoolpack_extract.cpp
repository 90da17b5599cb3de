// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack extract: the packs of a set are opened read-only, their
// directories walked once to count what is selected, and then every
// selected entry is written through the pack module (ExtractEntry) into a
// destination that creates the folders entries need. A failing entry does
// not stop the run; every failure is reported at the end.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/stream/audio_stream.h"
#include "pack/pack.h"
#include "platform/destination.h"
#include "platform/platform.h"
#include "tools/spoolpack/spoolpack_common.h"
#include "tools/spoolpack/spoolpack_extract_jobs.h"
#include "tools/spoolpack/spoolpack_jobs.h"
#include "tools/spoolpack/spoolpack_progress.h"

namespace {

enum class ExistingFiles { kOverwrite, kKeep, kFail };

struct ExtractOptions {
  std::string pakname;
  std::string directory;             // empty with --to-stdout
  std::vector<std::string> only;     // --only globs
  std::vector<std::string> exclude;  // --exclude globs
  ExistingFiles existing = ExistingFiles::kOverwrite;
  bool deleteAfter = false;
  bool dryRun = false;
  bool quiet = false;
  bool verbose = false;  // a line per entry written
  int progress = -1;  // 1 --progress, 0 --no-progress, -1 on a terminal only
  bool toStdout = false;
  std::string entry;  // --to-stdout NAME
  ExpansionLimits limits;  // --max-ratio N, --no-limit
  int jobs = DefaultJobs();  // --jobs N
};

// One pack of the set that exists.
struct SetPack {
  PackKind kind;
  std::string path;  // as found, for messages and deletion
  PackPtr pack;      // empty when the pack could not be opened
};

// What a run did, for the summary and the exit status.
struct Tally {
  uint64_t written = 0;
  uint64_t kept = 0;
  uint64_t notSelected = 0;
  uint64_t bytes = 0;
  std::vector<std::string> failures;  // one line each
  std::vector<std::string> notes;     // deletions and why packs were kept
};

// Opens every pack of the set that exists; one that cannot be read is a
// failure. Returns whether any pack of the set exists.
bool OpenSet(const std::string& pakname, std::vector<SetPack>* packs, Tally& tally) {
  bool found = false;
  for (PackKind kind : kPackKindsInRunOrder) {
    SetPack entry{kind, FindPackFile(pakname, kind), PackPtr()};
    std::string reason;
    if (OpenPack(entry.path, kind, &entry.pack, &reason, PackAccess::kReadOnly) != kPackOk) {
      if (reason.empty()) continue;  // no such pack
      tally.failures.push_back(entry.path + ": " + reason + "; not unpacked");
    }
    found = true;
    if (entry.pack) packs->push_back(std::move(entry));
  }
  return found;
}

bool Selected(const ExtractOptions& options, const std::string& name) {
  const auto any = [&](const std::vector<std::string>& globs) {
    return std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) { return GlobMatches(glob, name); });
  };
  return (options.only.empty() || any(options.only)) && !any(options.exclude);
}

// The bytes an entry is expected to write, for the progress line: exact for
// Stored and Deflated entries; for an Audio entry its stored samples at
// their width (a codec format: its packed size).
uint64_t ExpectedBytes(PackKind kind, const DirectoryEntry& entry) {
  if (kind == PackKind::kStored) return entry.packedSize;
  if (kind == PackKind::kDeflated) return entry.unpackedSize;
  const AudioInfo& info = entry.info;
  if (IsCodecFormat(info.format) || info.pcmbitwidth == 0) return entry.packedSize;
  return uint64_t{info.samples} * std::min<uint32_t>(info.channels, 256) *
         ((std::min<uint32_t>(info.pcmbitwidth, 32) + 7) / 8);
}

std::string EntryFailure(const SetPack& pack, const std::string& name, const std::string& reason, int code) {
  return pack.path + ": entry \"" + name + "\": " + reason + " (" + std::to_string(code) + ")";
}

// Walks the directories once: the selected entries and their expected
// bytes; *deselected is set when any entry is left out. An --only glob that
// matches no entry is a failure, as with tar.
void CountSelected(const ExtractOptions& options, std::vector<SetPack>& packs, uint64_t* entries, uint64_t* bytes,
                   bool* deselected, Tally& tally) {
  std::vector<bool> matched(options.only.size(), false);
  for (SetPack& set : packs) {
    DirectoryEntry entry;
    while (NextRecord(*set.pack, &entry) == kPackOk) {
      const std::string name = EntryPathUnderDestination(entry.name);
      for (size_t i = 0; i < options.only.size(); ++i) matched[i] = matched[i] || GlobMatches(options.only[i], name);
      if (Selected(options, name)) {
        *entries += 1;
        *bytes += ExpectedBytes(set.kind, entry);
      } else {
        *deselected = true;
      }
    }
    RewindDirectory(*set.pack);
  }
  for (size_t i = 0; i < options.only.size(); ++i) {
    if (!matched[i]) tally.failures.push_back("--only " + options.only[i] + ": no entry matches");
  }
}

// Extracts the selected entries of one pack (to nothing on a dry run) and
// deletes the pack afterwards when asked and nothing can be lost.
void ExtractPack(const ExtractOptions& options, SetPack& set, platform::Destination* destination, bool mayDelete,
                 OutputBudget& budget, ProgressLine& progress, Tally& tally) {
  EntryOutput output;
  output.destination = destination;
  output.budget = &budget;
  output.written = [&](uint64_t bytes) { progress.Written(bytes); };
  bool whole = true;  // every entry of the pack written
  // Counts the outcome of one selected entry.
  const auto taken = [&](const DirectoryEntry& entry, const ExtractOutcome& outcome) {
    const std::string name = EntryPathUnderDestination(entry.name);
    const uint64_t expected = ExpectedBytes(set.kind, entry);
    // A dry run writes no audio file to measure: its estimate stands.
    const uint64_t actual = outcome.code != kPackOk || (destination == nullptr && set.kind == PackKind::kAudio)
                                ? expected
                                : outcome.unpacked;
    progress.EntryDone(expected, actual);
    if (outcome.code == kPackOk) {
      if (options.verbose) {
        progress.Clear();
        std::printf("%s\n", PrintableName(name).c_str());
        std::fflush(stdout);
      }
      tally.written += 1;
      tally.bytes += actual;
      return;
    }
    whole = false;
    if (outcome.code == kPackExists && options.existing == ExistingFiles::kKeep) {
      tally.kept += 1;
    } else {
      tally.failures.push_back(EntryFailure(set, name, outcome.reason, outcome.code));
    }
  };
  std::vector<DirectoryEntry> selected;  // with jobs, the entries still to extract
  DirectoryEntry entry;
  std::string reason;
  int rc;
  while ((rc = NextRecord(*set.pack, &entry, &reason)) == kPackOk) {
    if (!Selected(options, EntryPathUnderDestination(entry.name))) {
      tally.notSelected += 1;
    } else if (options.jobs > 1) {
      selected.push_back(entry);
    } else {
      ExtractOutcome outcome;
      outcome.code = ExtractEntry(*set.pack, entry, output, &outcome.unpacked, &outcome.reason);
      taken(entry, outcome);
    }
  }
  std::string error;
  if (!selected.empty() &&
      !ExtractInWorkers(set.path, set.kind, selected, destination, budget, options.jobs,
                        [&](size_t i, const ExtractOutcome& outcome) { taken(selected[i], outcome); }, &error)) {
    whole = false;
    tally.failures.push_back(set.path + ": " + error);
  }
  if (rc != kPackEnd) {
    whole = false;
    tally.failures.push_back(set.path + ": " + reason + "; the entries after it cannot be reached");
  }
  if (!mayDelete) return;
  if (!whole) {
    tally.notes.push_back(set.path + ": not deleted: not every entry was written");
  } else if (::access(set.path.c_str(), W_OK) != 0) {
    // A pack its owner made read-only is kept, as spoolex DELETE keeps it.
    tally.notes.push_back(set.path + ": not deleted: the pack cannot be written (" + std::strerror(errno) + ")");
  } else if (ClosePackAndDelete(std::move(set.pack), set.path, &reason)) {
    tally.notes.push_back("deleted " + set.path);
  } else {
    tally.notes.push_back(set.path + ": not deleted: " + reason);
  }
}

std::string Summary(const ExtractOptions& options, const Tally& tally, double seconds) {
  std::string text = options.dryRun ? Count(tally.written, "entry", "entries") + " read, nothing written (dry run)"
                                    : Count(tally.written, "entry", "entries") + " written (" +
                                          HumanBytes(tally.bytes) + ") to " + options.directory;
  if (tally.kept > 0) text += ", " + std::to_string(tally.kept) + " kept (already there)";
  if (!tally.failures.empty()) text += ", " + std::to_string(tally.failures.size()) + " failed";
  if (tally.notSelected > 0) text += ", " + std::to_string(tally.notSelected) + " not selected";
  char time[32];
  std::snprintf(time, sizeof time, " in %.1f s", seconds);
  return text + time;
}

// --to-stdout: the last entry of that name in run order (the one extract
// leaves in place) goes to standard output, and nothing else does.
int ExtractToStdout(const ExtractOptions& options) {
  std::vector<SetPack> packs;
  Tally tally;
  if (!OpenSet(options.pakname, &packs, tally)) {
    Complain("no pack named " + options.pakname + ".APAK, .UPAK or .ZPAK");
    return kExitUsage;
  }
  const std::string wanted = EntryPathUnderDestination(options.entry);
  SetPack* holder = nullptr;
  DirectoryEntry found;
  for (SetPack& set : packs) {
    DirectoryEntry entry;
    std::string reason;
    int rc;
    while ((rc = NextRecord(*set.pack, &entry, &reason)) == kPackOk) {
      if (EntryPathUnderDestination(entry.name) == wanted) {
        holder = &set;
        found = entry;
      }
    }
    if (rc != kPackEnd) tally.failures.push_back(set.path + ": " + reason + "; the entries after it cannot be reached");
  }
  if (holder == nullptr) {
    tally.failures.push_back("no entry named \"" + wanted + "\" in the packs of " + options.pakname);
  } else {
    // The entry's bytes go to the real standard output; the audio layer's
    // fixed diagnostics, printed to standard output, go to standard error
    // meanwhile, so that nothing but the entry reaches the stream.
    std::fflush(stdout);
    platform::File out(::dup(STDOUT_FILENO));
    if (out.IsOpen()) ::dup2(STDERR_FILENO, STDOUT_FILENO);
    EntryOutput output;
    output.stream = &out;
    OutputBudget budget = MakeOutputBudget(options.limits, PackSetBytes(options.pakname));
    output.budget = &budget;
    uint32_t unpacked = 0;
    std::string reason;
    if (!out.IsOpen()) {
      tally.failures.push_back("cannot use standard output: " + std::string(std::strerror(errno)));
    } else if (const int code = ExtractEntry(*holder->pack, found, output, &unpacked, &reason); code != kPackOk) {
      tally.failures.push_back(EntryFailure(*holder, wanted, reason, code));
    }
  }
  for (const std::string& line : tally.failures) Complain(line);
  return tally.failures.empty() ? kExitOk : kExitFailed;
}

enum ExtractOption {
  kOnly, kExclude, kExisting, kToStdout, kDelete, kDryRun, kProgress, kNoProgress, kQuiet, kVerbose
};
constexpr OptionSpec kExtractOptions[] = {{kOnly, "--only", 0, OptionKind::kText, "GLOB"},
                                          {kExclude, "--exclude", 0, OptionKind::kText, "GLOB"},
                                          {kExisting, "--existing", 0, OptionKind::kText, "overwrite|keep|fail"},
                                          {kToStdout, "--to-stdout", 0, OptionKind::kText, "NAME"},
                                          {kDelete, "--delete", 0, OptionKind::kFlag, nullptr},
                                          {kDryRun, "--dry-run", 0, OptionKind::kFlag, nullptr},
                                          {kProgress, "--progress", 0, OptionKind::kFlag, nullptr},
                                          {kNoProgress, "--no-progress", 0, OptionKind::kFlag, nullptr},
                                          {kQuiet, "--quiet", 'q', OptionKind::kFlag, nullptr},
                                          {kVerbose, "--verbose", 'v', OptionKind::kFlag, nullptr},
                                          kMaxRatioSpec,
                                          kNoLimitSpec,
                                          kJobsSpec};

// Takes the parsed command line into `options`. Returns false with *error
// set for a usage error.
bool TakeExtractOptions(const CommandLine& line, ExtractOptions* options, std::string* error) {
  bool others = false;  // options besides the limits, which --to-stdout does not take
  for (const GivenOption& option : line.options) {
    if (ApplyLimitOption(option, &options->limits)) continue;
    const int id = option.known->id;
    if (id == kJobsOption) {
      options->jobs = static_cast<int>(option.number);
      others = true;
      continue;
    }
    others = others || id != kToStdout;
    if (id == kOnly) {
      options->only.push_back(option.value);
    } else if (id == kExclude) {
      options->exclude.push_back(option.value);
    } else if (id == kExisting) {
      const std::string& value = option.value;
      if (value == "overwrite") {
        options->existing = ExistingFiles::kOverwrite;
      } else if (value == "keep") {
        options->existing = ExistingFiles::kKeep;
      } else if (value == "fail") {
        options->existing = ExistingFiles::kFail;
      } else {
        *error = "--existing takes overwrite, keep or fail, not " + value;
        return false;
      }
    } else if (id == kToStdout) {
      options->toStdout = true;
      options->entry = option.value;
    } else if (id == kDelete) {
      options->deleteAfter = true;
    } else if (id == kDryRun) {
      options->dryRun = true;
    } else if (id == kProgress || id == kNoProgress) {
      options->progress = id == kProgress ? 1 : 0;
    } else {
      (id == kQuiet ? options->quiet : options->verbose) = true;
    }
  }
  const std::vector<std::string>& positional = line.operands;
  if (options->toStdout) {
    // Only the pack name goes with --to-stdout: the other options choose
    // files to write under a directory.
    if (positional.size() != 1 || others) {
      *error = "--to-stdout NAME takes the pack name alone (and the limit options)";
      return false;
    }
    options->pakname = positional[0];
    return true;
  }
  if (positional.size() != 2) {
    *error = "extract takes a pack name and a directory";
    return false;
  }
  options->pakname = positional[0];
  options->directory = positional[1];
  return true;
}

// Runs the extraction. Returns 0 when every selected entry was written (or
// kept), 1 when some entry or pack failed, 2 when no pack of the name exists.
int Extract(const ExtractOptions& options) {
  // A write past the file-size limit fails the entry instead of ending the
  // process; an interrupted run leaves no temporary file.
  std::signal(SIGXFSZ, SIG_IGN);
  platform::RemovePendingFilesOnSignals();
  if (options.toStdout) return ExtractToStdout(options);

  std::vector<SetPack> packs;
  Tally tally;
  if (!OpenSet(options.pakname, &packs, tally)) {
    Complain("no pack named " + options.pakname + ".APAK, .UPAK or .ZPAK");
    return kExitUsage;
  }
  uint64_t entries = 0;
  uint64_t bytes = 0;
  bool deselected = false;
  CountSelected(options, packs, &entries, &bytes, &deselected, tally);

  platform::Destination destination;
  if (!options.dryRun) {
    std::error_code ec;
    std::filesystem::create_directories(options.directory, ec);
    const platform::DestinationOptions place{.createFolders = true,
                                             .durable = options.deleteAfter,
                                             .keepExisting = options.existing != ExistingFiles::kOverwrite};
    if (!destination.Open(options.directory, place)) {
      Complain("cannot open the destination directory " + options.directory + ": " + std::strerror(errno));
      return kExitFailed;
    }
    // No entry may replace a pack of the set, under whatever name.
    ProtectPackSet(destination, options.pakname);
  }
  bool mayDelete = options.deleteAfter;
  if (mayDelete && options.dryRun) {
    tally.notes.push_back("no pack deleted: a dry run deletes nothing");
    mayDelete = false;
  } else if (mayDelete && deselected) {
    tally.notes.push_back("no pack deleted: some entries were not selected");
    mayDelete = false;
  }

  ProgressLine progress(stderr, ProgressShown(options.quiet, options.progress));
  progress.Begin(bytes, entries);
  OutputBudget budget = MakeOutputBudget(options.limits, PackSetBytes(options.pakname));
  // Packs to delete are read here, which keeps count of what was handed
  // out; a run that may reach its output limit goes in order, so that the
  // entry that passes it is the one a single job names.
  ExtractOptions run = options;
  if (mayDelete || (budget.limits.enabled && bytes > budget.allowedBytes / 2)) run.jobs = 1;
  for (SetPack& set : packs) {
    ExtractPack(run, set, options.dryRun ? nullptr : &destination, mayDelete, budget, progress, tally);
  }
  progress.Clear();
  for (const std::string& line : tally.failures) Complain(line);
  if (!options.quiet) {
    for (const std::string& line : tally.notes) Complain(line);
  }
  progress.Finish(options.quiet ? std::string() : Summary(options, tally, progress.ElapsedSeconds()));
  return tally.failures.empty() ? kExitOk : kExitFailed;
}

std::string Description() {
  return "unpacks <pakname>'s packs into <dir>, creating the folders entries\n"
         "need (never through a symbolic link, never outside <dir>); goes on\n"
         "past an entry that fails and reports every failure at the end.\n"
         "--only/--exclude GLOB select entries by name with '/' separators;\n"
         "--existing says what happens to a file already there (default\n"
         "overwrite); --dry-run reads, inflates and decodes everything and\n"
         "writes nothing; --delete deletes each pack whose entries were all\n"
         "written, and only when none was left out. A progress line on a\n"
         "terminal (--progress, --no-progress), then a summary; --quiet (-q)\n"
         "prints failures only, --verbose (-v) also each entry's name as it\n"
         "is written. Exit status 0 when everything was written, 1 when\n"
         "something failed or an --only GLOB matched no entry, 2 for a usage\n"
         "error or no such pack.\n"
         "--to-stdout NAME writes that entry's bytes to standard output.\n"
         "An audio entry restores to at most 1024 times its packed size (at\n"
         "least 64 MiB), a run writes at most 1100 times its packs' size (at\n"
         "least 1 GiB); --max-ratio N sets both ratios to N, --no-limit\n"
         "lifts them. An entry that would pass them fails.\n";
}

int RunExtract(const Command& self, const std::vector<std::string>& args) {
  CommandLine line;
  int status = kExitOk;
  if (!ReadCommandLine(self, args, kExtractOptions, &line, &status)) return status;
  ExtractOptions options;
  std::string error;
  if (!TakeExtractOptions(line, &options, &error)) return UsageError(self, error);
  return Extract(options);
}

}  // namespace

const Command kExtractCommand = {
    "extract", RunExtract,
    "spoolpack extract <pakname> <dir> [--only GLOB]... [--exclude GLOB]...\n"
    "                  [--existing overwrite|keep|fail] [--delete] [--dry-run]\n"
    "                  [--progress|--no-progress] [--quiet|--verbose]\n"
    "                  [--max-ratio N] [--no-limit] [--jobs N]\n"
    "spoolpack extract <pakname> --to-stdout NAME [--max-ratio N] [--no-limit]",
    "<pakname> <dir> [options]\n<pakname> --to-stdout NAME", Description};
