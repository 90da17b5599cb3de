// SPDX-License-Identifier: GPL-2.0-or-later
// Usage and help of spoolpack's commands.
#include "tools/spoolpack/spoolpack_common.h"

#include <sstream>

namespace {

// The lines of `text`.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

void PrintSynopsis(const Command& command, bool first, FILE* out) {
  for (const std::string& line : Lines(command.synopsis)) {
    std::fprintf(out, "%s%s\n", first ? "usage: " : "       ", line.c_str());
    first = false;
  }
}

void PrintDescription(const Command& command, FILE* out) {
  bool first = true;
  for (const std::string& line : Lines(command.description())) {
    std::fprintf(out, "%-8s%s\n", first ? command.name : "", line.c_str());
    first = false;
  }
}

int CommandHelp(const Command& command) {
  PrintSynopsis(command, true, stdout);
  std::printf("\n");
  PrintDescription(command, stdout);
  return kExitOk;
}

int UsageError(const Command& command, const std::string& error) {
  Complain(error);
  PrintSynopsis(command, true, stderr);
  std::fprintf(stderr, "'spoolpack %s --help' says more.\n", command.name);
  return kExitUsage;
}

bool ReadCommandLine(const Command& command, const std::vector<std::string>& args, std::span<const OptionSpec> table,
                     CommandLine* line, int* status) {
  std::string error;
  if (!ParseCommandLine(args, table, line, &error)) {
    *status = UsageError(command, error);
  } else if (line->help) {
    *status = CommandHelp(command);
  } else if (line->version) {
    *status = PrintVersion();
  } else {
    return true;
  }
  return false;
}

int PrintVersion() {
  std::printf("spoolpack %s\n", SPOOLEX_VERSION);
  return kExitOk;
}

std::string Wrap(const std::string& text, const std::string& first, const std::string& indent, size_t width) {
  std::string out = first;
  size_t lineStart = 0;
  bool empty = true;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!empty && out.size() - lineStart + 1 + word.size() > width) {
      out += "\n";
      lineStart = out.size();
      out += indent;
      empty = true;
    }
    if (!empty) out += " ";
    out += word;
    empty = false;
  }
  return out + "\n";
}
