// SPDX-License-Identifier: GPL-2.0-or-later
// Safe output under a destination directory.
//
// A Destination opens its directory once; every file placed under it is
// reached from that open directory one folder at a time, never following a
// symbolic link, and is written to a fresh temporary file in its own folder
// that is renamed into place there when complete (PendingFile). No path is
// resolved twice, so a link swapped in while files are written cannot
// redirect a write out of the destination.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace platform {

// An output file that appears under its final name only when complete. The
// data goes to a fresh hidden temporary file in the final name's folder
// (created exclusively, never through a link); Commit renames it over the
// final name there (replacing a file or a symbolic link of that name, never
// writing through it). Destroying an uncommitted PendingFile removes the
// temporary file, so a failed write leaves nothing behind and an existing
// file of the final name untouched. While it exists, the temporary file is
// also removed when the process is ended by a signal that
// RemovePendingFilesOnSignals() covers.
class PendingFile {
 public:
  PendingFile() = default;
  PendingFile(PendingFile&& other) noexcept;
  PendingFile& operator=(PendingFile&& other) noexcept;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // Creates the temporary file for `finalPath` (a Linux path whose folder
  // the system resolves as usual: for paths the caller chose itself).
  // Returns false, with errno set, when the folder does not exist or is not
  // writable.
  [[nodiscard]] bool Create(const std::string& finalPath);

  // Creates the temporary file for `name` (one path component) in the open
  // directory `folder`. With `durable`, Commit also flushes the file and
  // the folder to the disk; with `keepExisting`, Commit never replaces
  // anything already under `name` (it fails with EEXIST instead). Returns
  // false with errno set.
  [[nodiscard]] bool CreateIn(const File& folder, std::string_view name, bool durable, bool keepExisting = false);

  // Creates a file without a name in the folder `folderPath`, for output
  // that is read back instead of put in place: Commit only closes it, and
  // its bytes stay readable through a descriptor duplicated before (the
  // file vanishes when the last one is closed, also when the process is
  // killed). Returns false with errno set.
  [[nodiscard]] bool CreateUnnamed(const std::string& folderPath);

  [[nodiscard]] bool IsOpen() const { return !temporaryName_.empty() || unnamed_; }
  File& file() { return file_; }

  // Closes the file when it is still open (flushing it first when durable),
  // renames it into place and, when durable, flushes the folder. Returns
  // false with errno set, and removes the temporary file, when a step before
  // the rename fails; false after the rename only when the folder could not
  // be flushed.
  [[nodiscard]] bool Commit();

  // Removes the temporary file now (also done by the destructor).
  void Abandon();

 private:
  File file_;
  File folder_;  // the final name's folder (an O_PATH descriptor)
  std::string temporaryName_;
  std::string finalName_;
  bool durable_ = false;
  bool keepExisting_ = false;
  bool unnamed_ = false;
  int slot_ = -1;  // the signal cleanup slot holding temporaryName_
};

// A hidden folder for temporary files, made beside `besidePath`
// (".NAME.spoolex-XXXXXX" in its folder) or, where that folder takes none,
// in the system's temporary folder. Destroying it removes it with the files
// directly in it; so does a signal that RemovePendingFilesOnSignals()
// covers, while it exists.
class PendingFolder {
 public:
  PendingFolder() = default;
  PendingFolder(const PendingFolder&) = delete;
  PendingFolder& operator=(const PendingFolder&) = delete;
  ~PendingFolder();

  // Makes the folder; false with errno set when neither place takes one.
  [[nodiscard]] bool Create(const std::string& besidePath);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  File parent_;    // the folder holding it
  File self_;      // the folder itself, for removing its files
  int slot_ = -1;  // its signal cleanup slot
};

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary file of every
// PendingFile in progress and then end the process by the signal's default
// action (so its exit status is the signal's). A signal that is ignored when
// this is called stays ignored. Files in progress when the process calls
// exit() are removed too. Call once, early in main.
void RemovePendingFilesOnSignals();

// How a path relative to a destination reads.
enum class RelativePath {
  kInside,  // names a file inside the destination
  kLeaves,  // has a ".." component
  kNoFile,  // names no file: no component, a final separator or ".", or a zero byte
};

// Splits `path` ('/'-separated, relative to a destination) into components.
// Empty components are dropped, so doubled and leading separators collapse
// ("//a//b" is "a/b"). `parts`, when given, receives the components on
// kInside; they point into `path`.
[[nodiscard]] RelativePath SplitRelativePath(std::string_view path,
                                             std::vector<std::string_view>* parts = nullptr);

// Why a file could not be placed under a destination.
enum class PlaceError {
  kNone,
  kNoDestination,  // the destination directory could not be opened (errno)
  kLeaves,         // the path has a ".." component
  kNoFile,         // the path names no file (see RelativePath::kNoFile)
  kLinkOnPath,     // a folder of the path is a symbolic link
  kNotAFolder,     // a folder of the path is something else than a folder
  kMissingFolder,  // a folder of the path does not exist (and is not created)
  kProtected,      // the file there is one the destination must not replace
  kExists,         // something is there and the destination keeps existing files
  kSystem,         // the system refused (errno)
};

struct DestinationOptions {
  bool createFolders = false;  // create missing folders (never through a link)
  bool durable = false;        // flush every file and its folder when committed
  bool keepExisting = false;   // never replace a file (or anything) already there
};

// An open destination directory. Move-only.
class Destination {
 public:
  Destination() = default;

  // Opens the directory `path` (a Linux path; empty: the working directory)
  // once, following links in `path` itself. Returns false with errno set;
  // every Create then fails with kNoDestination and that errno.
  [[nodiscard]] bool Open(const std::string& path, const DestinationOptions& options = {});

  // Never lets Create hand out a file that would replace `file` (the same
  // file under any name, compared by device and inode). The destination
  // keeps a descriptor of it, so its inode cannot be reused meanwhile.
  void Protect(const File& file);

  // Never lets Create hand out a file named `name` (one component) in the
  // folder `folderPath` (a Linux path, opened now and compared by device and
  // inode), whether or not anything is there yet: for a name that would be
  // taken in place of a protected file. A folder that cannot be opened
  // protects nothing.
  void ProtectName(const std::string& folderPath, const std::string& name);

  // The path given to Open, and the options.
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] const DestinationOptions& options() const { return options_; }

  // Creates the pending file of `path` (see SplitRelativePath), reaching its
  // folder from the destination one component at a time without following
  // links, creating missing folders when the options say so. Returns kNone
  // with *out ready for writing, or why not (kExists, with keepExisting,
  // when anything is under the final name, a link or a folder too); `where`, when given, receives
  // the leading part of `path` at which it failed. errno tells more for
  // kNoDestination and kSystem.
  [[nodiscard]] PlaceError Create(std::string_view path, PendingFile* out, std::string* where = nullptr);

 private:
  std::string path_;
  File directory_;
  int openError_ = 0;
  DestinationOptions options_;
  std::vector<File> protected_;
  struct ProtectedName {
    File folder;
    std::string name;
  };
  std::vector<ProtectedName> protectedNames_;
};

}  // namespace platform
