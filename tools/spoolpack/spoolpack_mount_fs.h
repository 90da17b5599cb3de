// SPDX-License-Identifier: GPL-2.0-or-later
// The file system that spoolpack mount serves through FUSE's low-level
// interface: a folder tree built from the entries of a pack set, whose
// files read Stored entries in place, Deflated ones through their access
// points and Audio ones from the restored file in the audio cache. Every
// change is refused with EROFS; an entry that fails gives EIO, on that file
// only and every time after.
//
// Assumes one thread: the session is run single-threaded, as the pack set,
// the access points and the audio layer are not safe to share.
// FUSE_USE_VERSION comes from the build.
#pragma once

#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pack/pack_entry_reader.h"
#include "tools/spoolpack/spoolpack_mount_cache.h"

// One file or folder of the tree; its inode number is its index + 1.
struct MountNode {
  fuse_ino_t parent = FUSE_ROOT_ID;
  bool folder = true;
  size_t entry = 0;                            // a file's index in the set
  std::map<std::string, fuse_ino_t> children;  // a folder's, by name
  size_t subfolders = 0;
};

// What is known of one file beyond its record.
struct MountFile {
  int64_t size = -1;    // bytes, once known
  bool ready = false;   // Stored and Deflated: prepared for reading
  std::string failure;  // why it fails, once it has
};

struct MountState {
  PackSet* set = nullptr;
  AudioCache* cache = nullptr;
  std::vector<MountNode> nodes;  // [0] is the root
  std::vector<MountFile> files;  // by entry index
  uid_t uid = 0;
  gid_t gid = 0;
  struct timespec times[kPackKindCount] = {};  // of each pack, for its files
  struct timespec newest = {};                 // for the folders
  bool tell = false;  // say on standard error why a file fails
  std::vector<uint8_t> buffer;  // for reads
};

// Builds the tree of `set`'s entries into `state` and the packs' times.
void BuildMountTree(PackSet& set, MountState* state);

// The operations of the file system over a MountState given as the
// session's user data.
[[nodiscard]] const fuse_lowlevel_ops& MountOperations();
