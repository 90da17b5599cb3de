// SPDX-License-Identifier: GPL-2.0-or-later
// File, shared-library and path services over POSIX (output files that
// appear only when complete, and the destination walk: platform/destination.h).
//
// Everything above this layer names files with 8-bit strings that may use the
// backslash as path separator; the functions here take paths that are already
// mapped for Linux (see MapPath). Nothing here prints or throws: failures are
// reported as results, with errno left as the system set it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// One open file descriptor, closed when the record goes away. Move-only.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.fd_), writeLimit_(other.writeLimit_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  [[nodiscard]] int Descriptor() const { return fd_; }

  // Makes every later WriteFile to this record, and CopyFileRange into it,
  // stop at `bytes` bytes from the start of the file: what would pass the
  // limit is not written, and the call reports the bytes that fit with errno
  // set to EFBIG, as at the system's file-size limit. The limit moves with
  // the record; a DuplicateFile of it has none.
  void SetWriteLimit(uint64_t bytes) { writeLimit_ = bytes; }
  [[nodiscard]] uint64_t WriteLimit() const { return writeLimit_; }

 private:
  friend bool CloseFile(File& file);
  int fd_ = -1;
  uint64_t writeLimit_ = UINT64_MAX;
};

enum class SeekOrigin { kBegin, kCurrent, kEnd };

// Opens an existing file for reading and writing (others may read it too).
// Returns a closed File when the file is missing, not a regular file, or not
// writable.
[[nodiscard]] File OpenExistingReadWrite(const std::string& path);

// Opens an existing regular file for reading only.
[[nodiscard]] File OpenExistingReadOnly(const std::string& path);

// Creates `path` for reading and writing, replacing a file of that name. An
// existing symbolic link at `path` is replaced by the new file, never written
// through. Returns a closed File on failure.
[[nodiscard]] File CreateReplacing(const std::string& path);

// A second descriptor of the same open file (or directory), closed on its
// own. Returns a closed File, with errno set, when the system refuses.
[[nodiscard]] File DuplicateFile(const File& file);

// Reads up to `count` bytes. Returns the bytes read (fewer only at the end of
// the file) or -1 on an I/O error.
[[nodiscard]] int64_t ReadFile(File& file, void* buffer, size_t count);

// Reads exactly `count` bytes at absolute `offset` without moving the file
// position. Returns false on an error, or on a short read (the file ends
// first) with errno set to ENODATA.
[[nodiscard]] bool ReadFileAt(File& file, int64_t offset, void* buffer, size_t count);

// Copies up to `count` bytes of `from` at absolute `offset` to `to` at its
// position (which moves past them) inside the kernel, sharing the blocks
// where the file system can (a reflink). Returns the bytes copied (fewer
// when the kernel stops early, 0 at the end of `from`) or -1 with errno set:
// the kernel refuses to copy between some files (EXDEV across file systems,
// EINVAL, EOPNOTSUPP or ENOSYS for special files and older kernels), and
// then a read and write loop has to do it.
[[nodiscard]] int64_t CopyFileRange(File& from, int64_t offset, File& to, size_t count);

// Writes all `count` bytes. Returns the bytes written: fewer than `count` only
// when the system refused the rest (disk full, file too large, I/O error).
[[nodiscard]] int64_t WriteFile(File& file, const void* buffer, size_t count);

// Moves the file position. Returns the new position from the start of the
// file, or -1 when the move is refused (negative result, bad descriptor).
int64_t SeekFile(File& file, int64_t offset, SeekOrigin origin);

// Current position from the start of the file, or -1.
[[nodiscard]] int64_t TellFile(File& file);

// Size of the open file in bytes, or -1.
[[nodiscard]] int64_t FileSize(File& file);

// Closes the file and reports whether the system accepted the close (a late
// write error can surface here). The record is closed afterwards either way.
bool CloseFile(File& file);

// Sets the length of the open file to `size` bytes, cutting what lies beyond
// (or extending with zeros). Returns false when the system refuses.
[[nodiscard]] bool TruncateFile(File& file, int64_t size);

// Why opening `path` as a regular file failed, given the errno of the
// failure: what the path names when it is no regular file ("a FIFO, not a
// regular file"), else the system's message for `error`.
[[nodiscard]] std::string OpenFailureReason(const std::string& path, int error);

// Deletes the file `path`. Returns false when it could not be deleted.
bool DeleteFileByName(const std::string& path);

// A loaded shared library. The handle is opaque; null means none.
using LibraryHandle = void*;

// Loads a shared library by file name or path (dlopen semantics: a bare name
// is searched through the executable's run path and the system; a name with
// a '/' is taken relative to the working directory). Null on failure.
[[nodiscard]] LibraryHandle LoadSharedLibrary(const std::string& name);

// Loads the shared library `fileName` (a bare name) from the folder
// `directory`, only when neither is a symbolic link and both belong to the
// running user or to root and are writable by neither group nor others; the
// file checked is the file loaded (through its open descriptor), so a file
// swapped in meanwhile is never loaded. Null on failure, with *why (when
// given) saying what failed.
[[nodiscard]] LibraryHandle LoadOwnedSharedLibrary(const std::string& directory, const std::string& fileName,
                                                   std::string* why);

// Resolves an exported symbol. Null when the library does not export it.
[[nodiscard]] void* ResolveSymbol(LibraryHandle library, const char* name);

// Releases a library loaded by LoadSharedLibrary. Null is ignored.
void FreeSharedLibrary(LibraryHandle library);

// Maps a path that uses the backslash as separator to a Linux path: every
// backslash becomes '/'.
[[nodiscard]] std::string MapPath(std::string_view path);

}  // namespace platform
