// SPDX-License-Identifier: GPL-2.0-or-later
// POSIX implementation of the file services.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
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

// How many of `count` bytes a write at the file's position may put there
// before the record's write limit; `count` when it has none.
size_t RoomBeforeLimit(File& file, size_t count) {
  if (file.WriteLimit() == UINT64_MAX) return count;
  const off_t at = ::lseek(file.Descriptor(), 0, SEEK_CUR);
  if (at < 0) return count;  // the write itself fails on such a descriptor
  const uint64_t position = static_cast<uint64_t>(at);
  const uint64_t room = file.WriteLimit() > position ? file.WriteLimit() - position : 0;
  return room < count ? static_cast<size_t>(room) : count;
}

File OpenRegular(const std::string& path, int flags) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  int fd = RetryOnInterrupt([&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) return File();
  File file(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EISDIR;
    return File();
  }
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return File();
  return file;
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    writeLimit_ = other.writeLimit_;
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

File DuplicateFile(const File& file) {
  return file.IsOpen() ? File(::fcntl(file.Descriptor(), F_DUPFD_CLOEXEC, 0)) : File();
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
    if (n < 0) return false;
    if (n == 0) {
      errno = ENODATA;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int64_t CopyFileRange(File& from, int64_t offset, File& to, size_t count) {
  const size_t allowed = RoomBeforeLimit(to, count);
  if (allowed == 0 && count > 0) {
    errno = EFBIG;
    return -1;
  }
  loff_t in = offset;
  ssize_t n = RetryOnInterrupt(
      [&] { return ::copy_file_range(from.Descriptor(), &in, to.Descriptor(), nullptr, allowed, 0); });
  return n < 0 ? -1 : static_cast<int64_t>(n);
}

int64_t WriteFile(File& file, const void* buffer, size_t count) {
  const auto* in = static_cast<const char*>(buffer);
  const size_t allowed = RoomBeforeLimit(file, count);
  size_t done = 0;
  while (done < allowed) {
    size_t piece = allowed - done;
    if (piece > (size_t{1} << 30)) piece = size_t{1} << 30;
    ssize_t n = RetryOnInterrupt([&] { return ::write(file.Descriptor(), in + done, piece); });
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done == allowed && allowed < count) errno = EFBIG;
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

std::string OpenFailureReason(const std::string& path, int error) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "a special file";
    return std::string(kind) + ", not a regular file";
  }
  return std::strerror(error);
}

std::string MapPath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace platform
