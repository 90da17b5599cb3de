// SPDX-License-Identifier: GPL-2.0-or-later
// Safe output: pending files created and renamed inside an open folder, the
// destination walk, and the removal of pending files when a signal ends the
// process.
#include "platform/destination.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <utility>

namespace platform {

namespace {

// ---- Signal cleanup ----------------------------------------------------------

// The temporary files in progress, in static storage so that a signal
// handler can remove them with unlinkat alone. A slot is free (0), being
// filled (1) or armed (2); the handler only reads armed slots.
constexpr int kCleanupSlots = 16;
constexpr size_t kSlotNameBytes = 256;

struct CleanupSlot {
  std::atomic<int> state{0};
  int folder = -1;
  char name[kSlotNameBytes] = {};
  int self = -1;  // for a pending folder: the folder named, whose files go first
};

CleanupSlot g_cleanup[kCleanupSlots];

constexpr int kCoveredSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the files directly in the open folder `folder`. Async-signal-safe:
// the entries are read with the getdents64 system call.
void RemoveFilesIn(int folder) {
  alignas(8) char buffer[4096];
  ::lseek(folder, 0, SEEK_SET);
  for (;;) {
    const long n = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer);
    if (n <= 0) return;
    for (long at = 0; at < n;) {
      // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
      unsigned short length;
      std::memcpy(&length, buffer + at + 16, sizeof length);
      const char* name = buffer + at + 19;
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) ::unlinkat(folder, name, 0);
      at += length;
    }
  }
}

// Removes every armed temporary file and folder. Async-signal-safe.
void RemoveArmedPendingFiles() {
  for (CleanupSlot& slot : g_cleanup) {
    if (slot.state.load() != 2) continue;
    if (slot.self >= 0) RemoveFilesIn(slot.self);
    ::unlinkat(slot.folder, slot.name, slot.self >= 0 ? AT_REMOVEDIR : 0);
  }
}

extern "C" void RemovePendingAndReraise(int signal) {
  RemoveArmedPendingFiles();
  // The handler was reset to the default action on entry; the signal stays
  // blocked until the handler returns and then ends the process.
  ::raise(signal);
}

// Blocks the covered signals for its lifetime, so that creating or renaming
// a temporary file and recording it in a slot happen as one step.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kCoveredSignals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t previous_;
};

// Records `name` in `folder` in a free slot. Returns the slot, or -1 when
// every slot is taken (the file is then not covered).
int ArmSlot(int folder, const std::string& name, int self = -1) {
  if (name.size() >= kSlotNameBytes) return -1;
  for (int i = 0; i < kCleanupSlots; ++i) {
    int expected = 0;
    if (!g_cleanup[i].state.compare_exchange_strong(expected, 1)) continue;
    g_cleanup[i].folder = folder;
    g_cleanup[i].self = self;
    std::memcpy(g_cleanup[i].name, name.c_str(), name.size() + 1);
    g_cleanup[i].state.store(2);
    return i;
  }
  return -1;
}

void DisarmSlot(int slot) {
  if (slot >= 0) g_cleanup[slot].state.store(0);
}

// ---- Pending files -------------------------------------------------------------

// Six characters for a temporary name, from the system's random source (or
// the clock when it has none to give).
std::string RandomSuffix() {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6];
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(::getpid()) << 32);
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(x >>= 5);
  }
  std::string out;
  for (unsigned char b : bytes) out += kAlphabet[b % (sizeof kAlphabet - 1)];
  return out;
}

// Runs `call` again while it fails with EINTR.
template <typename Fn>
auto Retry(Fn call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

// Flushes the folder open as `folder` (an O_PATH descriptor) to the disk.
bool SyncFolder(const File& folder) {
  File readable(Retry([&] { return ::openat(folder.Descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  return readable.IsOpen() && ::fsync(readable.Descriptor()) == 0;
}

// Renames `from` to `to` in `folder` unless something is named `to`
// already (then false with EEXIST). File systems without an exclusive
// rename get a hard link and the removal of the old name instead.
bool RenameKeeping(const File& folder, const std::string& from, const std::string& to) {
  const int at = folder.Descriptor();
  if (::renameat2(at, from.c_str(), at, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::linkat(at, from.c_str(), at, to.c_str(), 0) != 0) return false;
  ::unlinkat(at, from.c_str(), 0);
  return true;
}

}  // namespace

PendingFile::PendingFile(PendingFile&& other) noexcept
    : file_(std::move(other.file_)),
      folder_(std::move(other.folder_)),
      temporaryName_(std::exchange(other.temporaryName_, std::string())),
      finalName_(std::exchange(other.finalName_, std::string())),
      durable_(other.durable_),
      keepExisting_(other.keepExisting_),
      unnamed_(std::exchange(other.unnamed_, false)),
      slot_(std::exchange(other.slot_, -1)) {}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this != &other) {
    Abandon();
    file_ = std::move(other.file_);
    folder_ = std::move(other.folder_);
    temporaryName_ = std::exchange(other.temporaryName_, std::string());
    finalName_ = std::exchange(other.finalName_, std::string());
    durable_ = other.durable_;
    keepExisting_ = other.keepExisting_;
    unnamed_ = std::exchange(other.unnamed_, false);
    slot_ = std::exchange(other.slot_, -1);
  }
  return *this;
}

PendingFile::~PendingFile() { Abandon(); }

bool PendingFile::Create(const std::string& finalPath) {
  const size_t slash = finalPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : finalPath.substr(0, slash);
  File dir(Retry([&] { return ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  if (!dir.IsOpen()) return false;
  return CreateIn(dir, slash == std::string::npos ? finalPath : finalPath.substr(slash + 1), false);
}

bool PendingFile::CreateIn(const File& folder, std::string_view name, bool durable, bool keepExisting) {
  Abandon();
  if (name.empty() || name.find('/') != std::string_view::npos) {
    errno = EINVAL;
    return false;
  }
  File dir = DuplicateFile(folder);
  if (!dir.IsOpen()) return false;
  // A hidden name in the final folder, so that the rename stays on one file
  // system and never replaces anything but the final name.
  const std::string base(name.substr(0, 200));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = "." + base + ".spoolex-" + RandomSuffix();
    int fd;
    int slot = -1;
    {
      SignalBlock block;
      fd = Retry([&] {
        return ::openat(dir.Descriptor(), temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0666);
      });
      if (fd >= 0) slot = ArmSlot(dir.Descriptor(), temporary);
    }
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    file_ = File(fd);
    folder_ = std::move(dir);
    temporaryName_ = std::move(temporary);
    finalName_ = std::string(name);
    durable_ = durable;
    keepExisting_ = keepExisting;
    slot_ = slot;
    return true;
  }
  errno = EEXIST;
  return false;
}

bool PendingFile::CreateUnnamed(const std::string& folderPath) {
  Abandon();
  // O_EXCL: the file can never be given a name later.
  int fd = Retry([&] { return ::open(folderPath.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600); });
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    // A file system without unnamed files: a fresh name, removed at once.
    File folder(Retry([&] { return ::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    if (!folder.IsOpen()) return false;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      const std::string name = ".spoolex-" + RandomSuffix();
      SignalBlock block;
      fd = Retry([&] {
        return ::openat(folder.Descriptor(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      });
      if (fd >= 0) {
        ::unlinkat(folder.Descriptor(), name.c_str(), 0);
      } else if (errno != EEXIST) {
        return false;
      }
    }
  }
  if (fd < 0) return false;
  file_ = File(fd);
  unnamed_ = true;
  return true;
}

bool PendingFile::Commit() {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  bool ok = !durable_ || !file_.IsOpen() || ::fsync(file_.Descriptor()) == 0;
  ok = ok && CloseFile(file_);
  if (unnamed_) {
    unnamed_ = false;
    return ok;
  }
  if (ok) {
    SignalBlock block;
    ok = keepExisting_ ? RenameKeeping(folder_, temporaryName_, finalName_)
                       : ::renameat(folder_.Descriptor(), temporaryName_.c_str(), folder_.Descriptor(),
                                    finalName_.c_str()) == 0;
    if (ok) {
      DisarmSlot(std::exchange(slot_, -1));
      temporaryName_.clear();
    }
  }
  if (!ok) {
    const int error = errno;
    Abandon();
    errno = error;
    return false;
  }
  const bool synced = !durable_ || SyncFolder(folder_);
  const int error = errno;
  Abandon();
  errno = error;
  return synced;
}

void PendingFile::Abandon() {
  CloseFile(file_);
  unnamed_ = false;
  if (!temporaryName_.empty()) {
    SignalBlock block;
    ::unlinkat(folder_.Descriptor(), temporaryName_.c_str(), 0);
    DisarmSlot(std::exchange(slot_, -1));
  }
  temporaryName_.clear();
  finalName_.clear();
  folder_ = File();
}

PendingFolder::~PendingFolder() {
  if (path_.empty()) return;
  SignalBlock block;
  RemoveFilesIn(self_.Descriptor());
  ::unlinkat(parent_.Descriptor(), path_.substr(path_.rfind('/') + 1).c_str(), AT_REMOVEDIR);
  DisarmSlot(std::exchange(slot_, -1));
}

bool PendingFolder::Create(const std::string& besidePath) {
  const size_t slash = besidePath.rfind('/');
  const std::string base = slash == std::string::npos ? besidePath : besidePath.substr(slash + 1);
  const char* tmp = std::getenv("TMPDIR");
  const std::string places[] = {slash == std::string::npos ? std::string(".") : besidePath.substr(0, slash),
                                tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"};
  int error = 0;
  for (const std::string& place : places) {
    File parent(::open(place.empty() ? "/" : place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.IsOpen()) {
      error = errno;
      continue;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = "." + base + ".spoolex-" + RandomSuffix();
      SignalBlock block;
      if (::mkdirat(parent.Descriptor(), name.c_str(), 0700) != 0) {
        if (errno == EEXIST) continue;
        error = errno;
        break;
      }
      File self(::openat(parent.Descriptor(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!self.IsOpen()) {
        error = errno;
        ::unlinkat(parent.Descriptor(), name.c_str(), AT_REMOVEDIR);
        break;
      }
      slot_ = ArmSlot(parent.Descriptor(), name, self.Descriptor());
      path_ = place + "/" + name;
      parent_ = std::move(parent);
      self_ = std::move(self);
      return true;
    }
  }
  errno = error;
  return false;
}

void RemovePendingFilesOnSignals() {
  // exit() from deep inside a run (the TwinVQ bitstream's fatal limits)
  // skips the destructors that would remove the files in progress.
  static const bool atExit = std::atexit(RemoveArmedPendingFiles) == 0;
  (void)atExit;
  for (int signal : kCoveredSignals) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemovePendingAndReraise;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int s : kCoveredSignals) sigaddset(&action.sa_mask, s);
    ::sigaction(signal, &action, nullptr);
  }
}

// ---- The destination walk ---------------------------------------------------------

RelativePath SplitRelativePath(std::string_view path, std::vector<std::string_view>* parts) {
  if (parts != nullptr) parts->clear();
  bool leaves = false;
  size_t count = 0;
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "..") leaves = true;
    if (!part.empty()) {
      ++count;
      if (parts != nullptr) parts->push_back(part);
    }
    start = end + 1;
  }
  if (leaves) return RelativePath::kLeaves;
  // A last component "." names the folder it stands in, not a file.
  const bool dotLast = path == "." || path.ends_with("/.");
  if (count == 0 || dotLast || path.back() == '/' || path.find('\0') != std::string_view::npos) {
    return RelativePath::kNoFile;
  }
  return RelativePath::kInside;
}

bool Destination::Open(const std::string& path, const DestinationOptions& options) {
  path_ = path;
  options_ = options;
  protected_.clear();
  protectedNames_.clear();
  const char* name = path.empty() ? "." : path.c_str();
  directory_ = File(Retry([&] { return ::open(name, O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  openError_ = directory_.IsOpen() ? 0 : errno;
  return directory_.IsOpen();
}

void Destination::Protect(const File& file) {
  File kept = DuplicateFile(file);
  if (kept.IsOpen()) protected_.push_back(std::move(kept));
}

void Destination::ProtectName(const std::string& folderPath, const std::string& name) {
  File folder(Retry([&] { return ::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  if (folder.IsOpen()) protectedNames_.push_back({std::move(folder), name});
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

PlaceError Destination::Create(std::string_view path, PendingFile* out, std::string* where) {
  out->Abandon();
  if (where != nullptr) *where = std::string(path);
  if (!directory_.IsOpen()) {
    errno = openError_;
    return PlaceError::kNoDestination;
  }
  std::vector<std::string_view> parts;
  switch (SplitRelativePath(path, &parts)) {
    case RelativePath::kInside: break;
    case RelativePath::kLeaves: return PlaceError::kLeaves;
    case RelativePath::kNoFile: return PlaceError::kNoFile;
  }
  File reached;  // the folder reached so far, when below the destination
  std::string walked;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const int at = reached.IsOpen() ? reached.Descriptor() : directory_.Descriptor();
    const std::string part(parts[i]);
    walked += (walked.empty() ? "" : "/") + part;
    const auto open = [&] {
      return Retry([&] { return ::openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    };
    int fd = open();
    if (fd < 0 && errno == ENOENT && options_.createFolders) {
      if (::mkdirat(at, part.c_str(), 0777) == 0 || errno == EEXIST) fd = open();
    }
    if (fd < 0) {
      const int error = errno;
      if (where != nullptr) *where = walked;
      struct stat st;
      if (::fstatat(at, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) return PlaceError::kLinkOnPath;
        if (!S_ISDIR(st.st_mode)) return PlaceError::kNotAFolder;
      }
      errno = error;
      return error == ENOENT ? PlaceError::kMissingFolder : PlaceError::kSystem;
    }
    reached = File(fd);
  }
  const File& folder = reached.IsOpen() ? reached : directory_;
  const std::string leaf(parts.back());
  struct stat there;
  const bool taken = ::fstatat(folder.Descriptor(), leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0;
  if (taken && options_.keepExisting) return PlaceError::kExists;
  if (taken) {
    for (File& kept : protected_) {
      struct stat st;
      if (::fstat(kept.Descriptor(), &st) == 0 && SameFile(st, there)) return PlaceError::kProtected;
    }
  }
  struct stat here;
  for (ProtectedName& kept : protectedNames_) {
    struct stat st;
    if (kept.name == leaf && ::fstat(kept.folder.Descriptor(), &st) == 0 &&
        ::fstat(folder.Descriptor(), &here) == 0 && SameFile(st, here)) {
      return PlaceError::kProtected;
    }
  }
  return out->CreateIn(folder, leaf, options_.durable, options_.keepExisting) ? PlaceError::kNone
                                                                             : PlaceError::kSystem;
}

}  // namespace platform
