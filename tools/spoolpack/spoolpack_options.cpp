// SPDX-License-Identifier: GPL-2.0-or-later
// The command-line parser of spoolpack's commands.
#include "tools/spoolpack/spoolpack_options.h"

#include <cerrno>
#include <cstdlib>

namespace {

// Finds the option `key` names ("--name" or "-c", without any value).
const OptionSpec* Lookup(std::span<const OptionSpec> table, const std::string& key) {
  for (const OptionSpec& known : table) {
    if (key == known.name || (known.shortName != 0 && key.size() == 2 && key[1] == known.shortName)) return &known;
  }
  return nullptr;
}

// The value of a kNumber option; false when `text` is not a whole number
// from known.minimum to known.maximum (no sign, no spaces, no trailing characters).
bool TakeNumber(const OptionSpec& known, const std::string& text, uint64_t* number) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n < known.minimum || n > known.maximum) return false;
  *number = n;
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, std::span<const OptionSpec> table, CommandLine* line,
                      std::string* error) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-") {
      *error = "\"-\" is not taken here: packs and folders are not read from or written to standard input or "
               "output (write ./- for a file named -)";
      return false;
    }
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      line->operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name=value" and "-cVALUE" carry their value in the same argument;
    // short flags may be joined ("-qv").
    const bool isLong = arg[1] == '-';
    const size_t equals = isLong ? arg.find('=') : std::string::npos;
    for (size_t at = 1; at < arg.size();) {
      const std::string key = isLong ? arg.substr(0, equals) : "-" + arg.substr(at, 1);
      const std::string rest =
          isLong ? (equals == std::string::npos ? "" : arg.substr(equals + 1)) : arg.substr(at + 1);
      const bool attached = isLong ? equals != std::string::npos : !rest.empty();
      at = isLong ? arg.size() : at + 1;
      if (key == "--help" || key == "-h" || key == "--version" || key == "-V") {
        (key == "--help" || key == "-h" ? line->help : line->version) = true;
        return true;
      }
      const OptionSpec* known = Lookup(table, key);
      if (known == nullptr) {
        *error = "unknown option " + key + (isLong || arg.size() == 2 ? "" : " (in " + arg + ")");
        return false;
      }
      GivenOption given{known, "", 0};
      if (known->kind == OptionKind::kFlag) {
        if (isLong && attached) {
          *error = key + " takes no value";
          return false;
        }
      } else {
        if (attached) {
          given.value = rest;
        } else if (i + 1 < args.size()) {
          given.value = args[++i];
        } else {
          *error = key + " needs a value (" + known->valueName + ")";
          return false;
        }
        at = arg.size();
      }
      if (known->kind == OptionKind::kNumber && !TakeNumber(*known, given.value, &given.number)) {
        const std::string range = known->maximum == UINT64_MAX ? " up" : " to " + std::to_string(known->maximum);
        *error = key + " takes a whole number from " + std::to_string(known->minimum) + range + ", not \"" +
                 given.value + "\"";
        return false;
      }
      line->options.push_back(std::move(given));
    }
  }
  return true;
}
