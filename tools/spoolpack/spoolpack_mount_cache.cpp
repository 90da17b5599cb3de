// SPDX-License-Identifier: GPL-2.0-or-later
// The audio cache of spoolpack mount (see spoolpack_mount_cache.h).
#include "tools/spoolpack/spoolpack_mount_cache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/destination.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kFolderPrefix = "mount-";

std::string SystemError() { return std::strerror(errno); }

int Fail(std::string* reason, int code, const std::string& text) {
  *reason = text;
  return code;
}

// Removes the folders of mounts whose process is gone: the lock a live
// mount holds on its folder is free.
void RemoveStaleFolders(const std::string& root) {
  std::error_code ec;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(kFolderPrefix, 0) != 0) continue;
    const platform::File folder(::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.IsOpen() || ::flock(folder.Descriptor(), LOCK_EX | LOCK_NB) != 0) continue;
    std::error_code ignored;
    fs::remove_all(it->path(), ignored);
  }
}

// Bytes a restoration of `entry` is likely to write, for making room first:
// its samples at their width.
uint64_t Estimate(const SetEntry& entry, int64_t expected) {
  if (expected >= 0) return static_cast<uint64_t>(expected);
  const AudioInfo& info = entry.record.info;
  return uint64_t{info.samples} * std::min<uint32_t>(info.channels, 256) * ((std::min<uint32_t>(info.pcmbitwidth, 32) + 7) / 8);
}

// Frees files no reader holds, least recently used first, until `more`
// bytes fit the limit (or nothing more can go).
void MakeRoom(AudioCache& cache, uint64_t more) {
  while (cache.bytes + more > cache.limit) {
    auto oldest = cache.files.end();
    for (auto it = cache.files.begin(); it != cache.files.end(); ++it) {
      if (it->second.opens == 0 && (oldest == cache.files.end() || it->second.lastUse < oldest->second.lastUse)) {
        oldest = it;
      }
    }
    if (oldest == cache.files.end()) return;
    cache.bytes -= oldest->second.size;
    cache.files.erase(oldest);
  }
}

// In the child: restores the entry under the cache folder and reports the
// result code and reason through `report`. Never returns.
[[noreturn]] void RestoreInChild(AudioCache& cache, PackSet& set, size_t index, pid_t parent, platform::File& report) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, SIG_DFL);
  // A child that outlives its mount would restore for nothing.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(1);
  std::string reason;
  int rc = kPackFileError;
  platform::Destination destination;
  // The folder is the destination "."; names are checked as under any
  // destination of one character.
  if (::fchdir(cache.folder.Descriptor()) != 0 || !destination.Open(".", {.createFolders = true})) {
    reason = "cannot open the cache folder " + cache.folderPath + ": " + SystemError();
  } else {
    EntryOutput output;
    output.destination = &destination;
    uint32_t unpacked = 0;
    rc = ExtractSetEntry(set, index, output, &unpacked, &reason);
  }
  const int32_t code = rc;
  std::string message(reinterpret_cast<const char*>(&code), sizeof code);
  message += reason;
  (void)platform::WriteFile(report, message.data(), message.size());
  ::_exit(0);
}

// Restores entry `index` in a child process; on 0 the file is open in
// *file and unlinked. Returns a reader code with `reason` set.
int Restore(AudioCache& cache, PackSet& set, size_t index, platform::File* file, std::string* reason) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Fail(reason, kPackFileError, "cannot make a pipe: " + SystemError());
  platform::File from(fds[0]), to(fds[1]);
  std::fflush(nullptr);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) return Fail(reason, kPackFileError, "cannot start a restoration: " + SystemError());
  if (child == 0) {
    platform::CloseFile(from);
    RestoreInChild(cache, set, index, parent, to);
  }
  platform::CloseFile(to);
  std::string message;
  char chunk[4096];
  for (int64_t n; (n = platform::ReadFile(from, chunk, sizeof chunk)) > 0;) message.append(chunk, size_t(n));
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    return Fail(reason, kPackAudioFailed,
                "the restoration ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                    strsignal(WTERMSIG(status)) + ")");
  }
  int32_t code = kPackFileError;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || message.size() < sizeof code) {
    return Fail(reason, kPackAudioFailed,
                "the restoration ended without a result (exit status " + std::to_string(WEXITSTATUS(status)) + ")");
  }
  std::memcpy(&code, message.data(), sizeof code);
  *reason = message.substr(sizeof code);
  if (code != kPackOk) return code;
  const std::string& path = SetEntries(set)[index].path;
  *file = platform::File(::openat(cache.folder.Descriptor(), path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file->IsOpen() || ::unlinkat(cache.folder.Descriptor(), path.c_str(), 0) != 0) {
    return Fail(reason, kPackFileError, "cannot open the restored file in the cache: " + SystemError());
  }
  return kPackOk;
}

}  // namespace

AudioCache::~AudioCache() {
  files.clear();
  if (folderPath.empty()) return;
  std::error_code ignored;
  fs::remove_all(folderPath, ignored);
}

std::string DefaultCacheRoot() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/spoolpack";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/spoolpack";
  return {};
}

bool OpenAudioCache(const std::string& root, uint64_t limit, AudioCache* cache, std::string* error) {
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec || !fs::is_directory(root, ec)) {
    *error = "cannot make the cache folder " + root + ": " + (ec ? ec.message() : "not a directory");
    return false;
  }
  RemoveStaleFolders(root);
  std::string folder = root + "/" + kFolderPrefix + "XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    *error = "cannot make a folder in the cache folder " + root + ": " + SystemError();
    return false;
  }
  cache->folderPath = folder;
  cache->folder = platform::File(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!cache->folder.IsOpen() || ::flock(cache->folder.Descriptor(), LOCK_EX | LOCK_NB) != 0) {
    *error = "cannot lock the cache folder " + folder + ": " + SystemError();
    return false;
  }
  cache->limit = limit;
  return true;
}

int CachedAudio(AudioCache& cache, PackSet& set, size_t index, int64_t expected, CachedFile** cached,
                std::string* reason) {
  *cached = nullptr;
  auto it = cache.files.find(index);
  if (it == cache.files.end()) {
    MakeRoom(cache, Estimate(SetEntries(set)[index], expected));
    CachedFile restored;
    if (const int rc = Restore(cache, set, index, &restored.file, reason); rc != kPackOk) return rc;
    const int64_t size = platform::FileSize(restored.file);
    if (size < 0) return Fail(reason, kPackFileError, "cannot measure the restored file: " + SystemError());
    if (expected >= 0 && size != expected) {
      return Fail(reason, kPackAudioFailed,
                  "restored to " + std::to_string(size) + " bytes where " + std::to_string(expected) + " were expected");
    }
    restored.size = static_cast<uint64_t>(size);
    cache.bytes += restored.size;
    it = cache.files.emplace(index, std::move(restored)).first;
  }
  it->second.lastUse = ++cache.clock;
  *cached = &it->second;
  return kPackOk;
}

void TrimAudioCache(AudioCache& cache) { MakeRoom(cache, 0); }
