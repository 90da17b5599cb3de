// SPDX-License-Identifier: GPL-2.0-or-later
// Shared-library services over dlopen.
#include "platform/platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

LibraryHandle LoadSharedLibrary(const std::string& name) {
  // RTLD_LOCAL keeps a codec library's symbols out of the global scope, so
  // the forwarding functions of the binding never resolve to each other.
  return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

namespace {

// Why `st` (of `name`) may not be trusted with code, or empty when it may:
// it must belong to the running user or to root and be writable by neither
// its group nor others.
std::string Untrusted(const struct stat& st, const std::string& name) {
  if (st.st_uid != ::geteuid() && st.st_uid != 0) {
    return name + " belongs to user " + std::to_string(st.st_uid) + ", neither to this user nor to root";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return name + " is writable by its group or by others";
  return {};
}

// Why `name` could not be opened without following a link.
std::string OpenFailure(const std::string& name) {
  const int error = errno;
  struct stat st;
  if ((error == ELOOP || error == ENOTDIR) && ::lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return name + " is a symbolic link";
  }
  return name + ": " + std::strerror(error);
}

}  // namespace

LibraryHandle LoadOwnedSharedLibrary(const std::string& directory, const std::string& fileName, std::string* why) {
  std::string reason;
  LibraryHandle library = nullptr;
  // Without its trailing '/', so that a link at the folder's own name is not
  // followed.
  std::string folder = directory;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::string path = folder + "/" + fileName;
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fileName.empty() || fileName.find('/') != std::string::npos) {
    reason = path + " is no bare file name";
  } else if (dir < 0) {
    reason = OpenFailure(folder);
  } else if (::fstat(dir, &st) != 0) {
    reason = folder + ": " + std::strerror(errno);
  } else if (reason = Untrusted(st, folder); reason.empty()) {
    const int fd = ::openat(dir, fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      reason = OpenFailure(path);
    } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      reason = path + " is not a regular file";
    } else if (reason = Untrusted(st, path); reason.empty()) {
      // The descriptor names the file just checked, whatever the folder
      // holds by now.
      library = LoadSharedLibrary("/proc/self/fd/" + std::to_string(fd));
      if (library == nullptr) {
        const char* error = ::dlerror();
        reason = path + ": " + (error != nullptr ? error : "cannot be loaded");
      }
    }
    if (fd >= 0) ::close(fd);
  }
  if (dir >= 0) ::close(dir);
  if (why != nullptr) *why = reason;
  return library;
}

void* ResolveSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return ::dlsym(library, name);
}

void FreeSharedLibrary(LibraryHandle library) {
  if (library != nullptr) ::dlclose(library);
}

}  // namespace platform
