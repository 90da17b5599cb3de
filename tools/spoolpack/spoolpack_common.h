// What spoolpack's commands share: the command record, exit statuses,
// messages, usage and help, kind names and the glob match of names.
#pragma once

#include <fnmatch.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pack/pack.h"

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

// Whether `arg` asks for help: --help or -h.
inline bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// Writes the command's usage (from "usage: ") to `out`.
void PrintSynopsis(const Command& command, bool first, FILE* out);
// Writes the command's description under its name to `out`.
void PrintDescription(const Command& command, FILE* out);

// The command's help on standard output: its usage and its description.
// Returns kExitOk.
int CommandHelp(const Command& command);

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

// Takes `--max-ratio N` (N a whole number from 1 up: an audio entry may
// restore to N times its packed size, a run write N times its packs' size,
// past the floors of ExpansionLimits) or `--no-limit` at args[*i] into
// `limits`, moving *i past its value. Returns false when args[*i] is neither
// (or, with *error set, when N is missing or not such a number).
inline bool TakeLimitOption(const std::vector<std::string>& args, size_t* i, ExpansionLimits* limits,
                            std::string* error) {
  if (args[*i] == "--no-limit") {
    limits->enabled = false;
    return true;
  }
  if (args[*i] != "--max-ratio") return false;
  const std::string value = *i + 1 < args.size() ? args[++*i] : "";
  char* end = nullptr;
  const unsigned long long n = value.empty() || value[0] == '-' ? 0 : std::strtoull(value.c_str(), &end, 10);
  if (n == 0 || end == nullptr || *end != '\0') {
    *error = "--max-ratio takes a whole number from 1 up, not \"" + value + "\"";
    return true;
  }
  limits->audioRatio = limits->runRatio = n;
  return true;
}

// Whether `glob` (fnmatch, '*' also crossing '/') matches `path`, a
// '/'-separated relative path, or its last component.
inline bool GlobMatches(const std::string& glob, const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return fnmatch(glob.c_str(), path.c_str(), 0) == 0 || fnmatch(glob.c_str(), base.c_str(), 0) == 0;
}
