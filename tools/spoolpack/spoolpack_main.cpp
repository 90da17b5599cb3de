// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack: creates, extracts, lists, verifies and mounts packs, one command per
// run: spoolpack <command> [arguments], spoolpack --version | help [command].
//
// Exit status: 0 success, 1 failure (or problems found), 2 wrong usage.
#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/spoolpack/spoolpack_common.h"

namespace {

// Every command, in the order help lists them.
const Command* const kCommands[] = {&kCreateCommand, &kExtractCommand, &kListCommand, &kVerifyCommand,
                                     &kMountCommand};

// The whole help: every command's usage, then every description.
void PrintHelp() {
  bool first = true;
  for (const Command* command : kCommands) {
    PrintSynopsis(*command, first, stdout);
    first = false;
  }
  std::printf("       spoolpack --version | help [command]\n\n");
  for (const Command* command : kCommands) PrintDescription(*command, stdout);
}

// The usage of spoolpack without a command it knows: the commands in short,
// after what was wrong when anything is said.
int Usage(const std::string& error) {
  if (!error.empty()) Complain(error);
  const char* prefix = "usage: ";
  for (const Command* command : kCommands) {
    std::istringstream forms(command->summary);
    for (std::string form; std::getline(forms, form); prefix = "       ") {
      std::fprintf(stderr, "%sspoolpack %s %s\n", prefix, command->name, form.c_str());
    }
  }
  std::fprintf(stderr, "'spoolpack help' lists the options.\n");
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // A write past the file-size limit then fails as any other write does, and
  // the run removes what it wrote instead of being killed mid-way.
  std::signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("");
  const std::string& name = args[0];
  const bool help = name == "--help" || name == "-h" || name == "help";
  if (name == "--version" || name == "-V") return PrintVersion();
  // "spoolpack help COMMAND" is the command's own help.
  const std::string& wanted = help && args.size() > 1 ? args[1] : name;
  for (const Command* command : kCommands) {
    if (wanted == command->name) {
      return help ? CommandHelp(*command) : command->run(*command, {args.begin() + 1, args.end()});
    }
  }
  if (help && args.size() == 1) {
    PrintHelp();
    return kExitOk;
  }
  return Usage((help ? "no command named " : "unknown command ") + wanted);
}
