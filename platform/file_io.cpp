// POSIX implementation of the file services.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

// Retries a system call interrupted by a signal.
template <typename Fn>
auto RetryOnInterrupt(Fn fn) {
  for (;;) {
    auto result = fn();
    if (result >= 0 || errno != EINTR) return result;
  }
}

File OpenRegular(const std::string& path, int flags) {
  int fd = RetryOnInterrupt([&] { return ::open(path.c_str(), flags | O_CLOEXEC); });
  if (fd < 0) return File();
  File file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EISDIR;
    return File();
  }
  return file;
}

// The directory part of `path` including its final '/', or "" for a bare name.
std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File OpenExistingReadWrite(const std::string& path) { return OpenRegular(path, O_RDWR); }

File OpenExistingReadOnly(const std::string& path) { return OpenRegular(path, O_RDONLY); }

File CreateReplacing(const std::string& path) {
  // O_NOFOLLOW refuses a symbolic link at the final component; such a link is
  // removed and the file created afresh, so nothing is written through it.
  const int flags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  int fd = RetryOnInterrupt([&] { return ::open(path.c_str(), flags, 0666); });
  if (fd < 0 && errno == ELOOP) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::unlink(path.c_str()) == 0) {
      fd = RetryOnInterrupt([&] { return ::open(path.c_str(), flags | O_EXCL, 0666); });
    }
  }
  return fd < 0 ? File() : File(fd);
}

int64_t ReadFile(File& file, void* buffer, size_t count) {
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    size_t piece = count - done;
    if (piece > (size_t{1} << 30)) piece = size_t{1} << 30;
    ssize_t n = RetryOnInterrupt([&] { return ::read(file.Descriptor(), out + done, piece); });
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool ReadFileAt(File& file, int64_t offset, void* buffer, size_t count) {
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = RetryOnInterrupt(
        [&] { return ::pread(file.Descriptor(), out + done, count - done, offset + static_cast<int64_t>(done)); });
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int64_t WriteFile(File& file, const void* buffer, size_t count) {
  const auto* in = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    size_t piece = count - done;
    if (piece > (size_t{1} << 30)) piece = size_t{1} << 30;
    ssize_t n = RetryOnInterrupt([&] { return ::write(file.Descriptor(), in + done, piece); });
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t SeekFile(File& file, int64_t offset, SeekOrigin origin) {
  int whence = origin == SeekOrigin::kBegin ? SEEK_SET : origin == SeekOrigin::kCurrent ? SEEK_CUR : SEEK_END;
  off_t pos = ::lseek(file.Descriptor(), static_cast<off_t>(offset), whence);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int64_t TellFile(File& file) { return SeekFile(file, 0, SeekOrigin::kCurrent); }

int64_t FileSize(File& file) {
  struct stat st;
  if (::fstat(file.Descriptor(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool CloseFile(File& file) {
  if (file.fd_ < 0) return true;
  int fd = std::exchange(file.fd_, -1);
  // close() must not be retried on EINTR on Linux: the descriptor is gone.
  return ::close(fd) == 0;
}

bool TruncateFile(File& file, int64_t size) {
  if (size < 0) return false;
  return RetryOnInterrupt([&] { return ::ftruncate(file.Descriptor(), static_cast<off_t>(size)); }) == 0;
}

bool DeleteFileByName(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool IsSymbolicLink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : file_(std::move(other.file_)),
      temporaryPath_(std::exchange(other.temporaryPath_, std::string())),
      finalPath_(std::exchange(other.finalPath_, std::string())) {}

PendingFile& PendingFile::operator=(PendingFile&& other) noexcept {
  if (this != &other) {
    Abandon();
    file_ = std::move(other.file_);
    temporaryPath_ = std::exchange(other.temporaryPath_, std::string());
    finalPath_ = std::exchange(other.finalPath_, std::string());
  }
  return *this;
}

PendingFile::~PendingFile() { Abandon(); }

bool PendingFile::Create(const std::string& finalPath) {
  Abandon();
  // A hidden name in the final directory, so that the rename stays on one
  // file system and never replaces anything but the final name.
  std::string dir = DirectoryOf(finalPath);
  std::string base = finalPath.substr(dir.size());
  if (base.size() > 200) base.resize(200);
  std::string pattern = dir + "." + base + ".spoolex-XXXXXX";
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // mkstemp creates the file 0600; give it the mode a plain create would.
  mode_t mask = ::umask(0);
  ::umask(mask);
  (void)::fchmod(fd, 0666 & ~mask);
  file_ = File(fd);
  temporaryPath_ = std::move(pattern);
  finalPath_ = finalPath;
  return true;
}

bool PendingFile::Commit() {
  if (temporaryPath_.empty()) return false;
  bool ok = CloseFile(file_);
  if (ok && ::rename(temporaryPath_.c_str(), finalPath_.c_str()) == 0) {
    temporaryPath_.clear();
    finalPath_.clear();
    return true;
  }
  Abandon();
  return false;
}

void PendingFile::Abandon() {
  CloseFile(file_);
  if (!temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
  finalPath_.clear();
}

std::string MapPath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace platform
