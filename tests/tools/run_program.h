// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a program through the shell and collects its exit status and output,
// optionally under a file-size limit or as another user.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pack/pack_test_support.h"

namespace test_support {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct RunOptions {
  int64_t fileSizeLimit = -1;  // bytes, RLIMIT_FSIZE for the program
  bool asNobody = false;       // as uid/gid 65534 (when run as root)
  std::string workingDirectory;  // where the program runs (default: here)
};

inline std::string SpoolexPath() { return std::string(SPOOLEX_BINARY_DIR) + "/driver/spoolex"; }
inline std::string SpoolpackPath() { return std::string(SPOOLEX_BINARY_DIR) + "/tools/spoolpack/spoolpack"; }

// Runs args[0] with `args`. REQUIRES: no argument holds a single quote.
inline RunResult RunProgram(std::vector<std::string> args, const RunOptions& options = {}) {
  TempDir capture;
  std::string command;
  if (!options.workingDirectory.empty()) command = "cd '" + options.workingDirectory + "' && ";
  if (options.fileSizeLimit >= 0) command += "prlimit --fsize=" + std::to_string(options.fileSizeLimit) + " ";
  if (options.asNobody && ::geteuid() == 0) {
    // The build folder may lie where that user cannot reach (a checkout in
    // a private temporary folder): run a copy of the program from here.
    std::filesystem::copy_file(args[0], capture / "program");
    namespace fs = std::filesystem;
    fs::permissions(capture.path(), fs::perms::others_exec, fs::perm_options::add);
    args[0] = capture / "program";
    command += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  for (const std::string& arg : args) command += "'" + arg + "' ";
  const int status = std::system((command + ">'" + capture / "out" + "' 2>'" + capture / "err" + "'").c_str());
  const Bytes out = ReadBytes(capture / "out"), err = ReadBytes(capture / "err");
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, {out.begin(), out.end()}, {err.begin(), err.end()}};
}

// Starts args[0] with `args` and its output discarded, sends it `signal`
// as soon as `ready()` holds (checked for 5 s) and returns its wait status;
// *seen tells whether ready() held before the signal.
inline int SignalWhen(const std::vector<std::string>& args, int signal, const std::function<bool()>& ready,
                      bool* seen) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  *seen = false;
  for (int wait = 0; wait < 25000 && child > 0 && !(*seen = ready()); ++wait) ::usleep(200);
  int status = -1;
  if (child > 0 && ::kill(child, signal) == 0) ::waitpid(child, &status, 0);
  return status;
}

inline size_t LineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

}  // namespace test_support
