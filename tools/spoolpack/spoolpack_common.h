// SPDX-License-Identifier: GPL-2.0-or-later
// What spoolpack's commands share: the command record, exit statuses,
// messages, usage and help, kind names and the glob match of names.
#pragma once

#include <fnmatch.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "tools/spoolpack/spoolpack_jobs.h"
#include "tools/spoolpack/spoolpack_options.h"

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// One command of spoolpack: `spoolpack NAME ARGS...`.
struct Command {
  const char* name;
  // Runs the command on the arguments after its name; returns the exit status.
  int (*run)(const Command& command, const std::vector<std::string>& args);
  // The command's usage lines, each from "spoolpack"; continuation lines are
  // indented to stand under "spoolpack ...".
  const char* synopsis;
  // The synopsis in short, one line per form, for the usage of spoolpack
  // without a command.
  const char* summary;
  // The command's description for help, its lines after the name column.
  std::string (*description)();
};

// The commands, in the order help lists them (one file each).
extern const Command kCreateCommand;
extern const Command kExtractCommand;
extern const Command kListCommand;
extern const Command kVerifyCommand;
extern const Command kMountCommand;

// One line on standard error; names in it cannot drive the terminal.
inline void Complain(const std::string& text) { std::fprintf(stderr, "spoolpack: %s\n", PrintableName(text).c_str()); }

// Writes the command's usage (from "usage: ") to `out`.
void PrintSynopsis(const Command& command, bool first, FILE* out);
// Writes the command's description under its name to `out`.
void PrintDescription(const Command& command, FILE* out);

// The command's help on standard output: its usage and its description.
// Returns kExitOk.
int CommandHelp(const Command& command);

// "spoolpack VERSION" on standard output. Returns kExitOk.
int PrintVersion();

// A usage error of the command: says what was wrong and prints the
// command's usage on standard error. Returns kExitUsage.
int UsageError(const Command& command, const std::string& error);

// `text` broken at spaces into lines of at most `width` columns, the first
// after `first`, every further one after `indent`; no line ends in a newline
// but the last.
[[nodiscard]] std::string Wrap(const std::string& text, const std::string& first, const std::string& indent,
                               size_t width);

inline const char* KindName(PackKind kind) {
  switch (kind) {
    case PackKind::kAudio: return "audio";
    case PackKind::kStored: return "stored";
    case PackKind::kDeflated: return "deflated";
  }
  return "";
}

// The limit options of extract and verify: `--max-ratio N` (N a whole
// number from 1 up: an audio entry may restore to N times its packed size,
// a run write N times its packs' size, past the floors of ExpansionLimits)
// and `--no-limit`. Their ids lie above every command's own.
inline constexpr int kMaxRatioOption = 1000;
inline constexpr int kNoLimitOption = 1001;
inline constexpr OptionSpec kMaxRatioSpec{kMaxRatioOption, "--max-ratio", 0, OptionKind::kNumber, "N", 1};
inline constexpr OptionSpec kNoLimitSpec{kNoLimitOption, "--no-limit", 0, OptionKind::kFlag, nullptr};

// Applies a limit option to `limits`; returns false when `option` is none.
inline bool ApplyLimitOption(const GivenOption& option, ExpansionLimits* limits) {
  if (option.known->id == kNoLimitOption) {
    limits->enabled = false;
  } else if (option.known->id == kMaxRatioOption) {
    limits->audioRatio = limits->runRatio = option.number;
  } else {
    return false;
  }
  return true;
}

// `--jobs N` / `-j N` of create, extract and verify: N workers, 1 to 1024.
inline constexpr int kJobsOption = 1002;
inline constexpr OptionSpec kJobsSpec{kJobsOption, "--jobs", 'j', OptionKind::kNumber, "N", 1, kMaxJobs};

// Parses the command's arguments by `table`. Returns true when the command
// is to run; otherwise its help, the version or a usage error was printed
// and *status is the exit status.
bool ReadCommandLine(const Command& command, const std::vector<std::string>& args, std::span<const OptionSpec> table,
                     CommandLine* line, int* status);

// "1 entry", "2 entries".
inline std::string Count(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Whether `glob` (fnmatch, '*' also crossing '/') matches `path`, a
// '/'-separated relative path, or its last component.
inline bool GlobMatches(const std::string& glob, const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return fnmatch(glob.c_str(), path.c_str(), 0) == 0 || fnmatch(glob.c_str(), base.c_str(), 0) == 0;
}
