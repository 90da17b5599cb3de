// Runs one of the built programs in a child process and collects its exit
// status and output, optionally under a file-size limit or as another user.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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
  int64_t fileSizeLimit = -1;  // bytes, RLIMIT_FSIZE for the child
  bool asNobody = false;       // drop to uid/gid 65534 (when run as root)
  std::string cwd;
};

inline std::string SpoolexPath() { return std::string(SPOOLEX_BINARY_DIR) + "/driver/spoolex"; }
inline std::string SpoolpackPath() { return std::string(SPOOLEX_BINARY_DIR) + "/tools/spoolpack/spoolpack"; }

inline RunResult RunProgram(const std::vector<std::string>& args, const RunOptions& options = {}) {
  RunResult result;
  TempDir capture;
  const std::string outPath = capture / "stdout";
  const std::string errPath = capture / "stderr";
  std::vector<std::string> argsToRun = args;
  if (options.asNobody && ::geteuid() == 0) {
    // The build folder may lie where that user cannot reach (a checkout in
    // a private temporary folder): run a copy of the program from here.
    const std::string copy = capture / "program";
    std::filesystem::copy_file(args[0], copy);
    if (::chmod(capture.path().c_str(), 0755) != 0 || ::chmod(copy.c_str(), 0755) != 0) return result;
    argsToRun[0] = copy;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    if (options.fileSizeLimit >= 0) {
      struct rlimit limit = {static_cast<rlim_t>(options.fileSizeLimit), static_cast<rlim_t>(options.fileSizeLimit)};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    if (options.asNobody && ::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
    }
    std::vector<char*> argv;
    for (const std::string& a : argsToRun) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  Bytes out = ReadBytes(outPath);
  Bytes err = ReadBytes(errPath);
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

// Number of lines in `text`.
inline size_t LineCount(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

}  // namespace test_support
