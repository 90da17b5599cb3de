// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack's command lines: one parser for every command, driven by a small
// table of the options each command takes. Options may stand before, between
// or after the operands; "--" ends them; a value follows its option as the
// next argument or after '=' ("--store=*.txt", "-j4" for a short one).
// --help/-h and --version/-V are understood by every command.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

enum class OptionKind {
  kFlag,    // no value
  kText,    // any text as its value
  kNumber,  // a whole number from OptionSpec::minimum to maximum
};

// One option a command takes.
struct OptionSpec {
  int id;                 // the command's own name for it
  const char* name;       // "--store"
  char shortName;         // 'q' for -q, or 0
  OptionKind kind;
  const char* valueName;  // "GLOB", for messages and help; nullptr for flags
  uint64_t minimum = 0;   // the smallest value a kNumber option takes
  uint64_t maximum = UINT64_MAX;  // and the largest
};

// One option as given.
struct GivenOption {
  const OptionSpec* known;  // the option of the table it is
  std::string value;    // as written, empty for a flag
  uint64_t number = 0;  // the value of a kNumber option
};

// A parsed command line.
struct CommandLine {
  std::vector<GivenOption> options;  // in the order given
  std::vector<std::string> operands;
  bool help = false;
  bool version = false;
};

// Parses `args` (those after the command's name) by `table`. Returns false
// with *error saying what was wrong: an unknown option, a missing or
// unwanted value, a number out of range, or "-" as an operand (no command
// reads or writes a pack or a folder through standard input or output).
// --help and --version end the parsing as soon as they are seen.
[[nodiscard]] bool ParseCommandLine(const std::vector<std::string>& args, std::span<const OptionSpec> table,
                                    CommandLine* line, std::string* error);
