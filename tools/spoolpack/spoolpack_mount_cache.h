// SPDX-License-Identifier: GPL-2.0-or-later
// The cache of restored audio entries behind spoolpack mount: a private
// folder per mount under the cache root, locked while the mount lives and
// removed when it ends (a folder left by a mount that was killed is removed
// by the next mount that finds it unlocked). Entries are restored into it by
// ExtractSetEntry in a child process, so that a stream that crashes a codec
// library or reaches a fatal limit of the audio layer fails that entry only;
// each restored file is then held open without a name, so nothing of it
// outlives the process. The bytes held are bounded; the least recently used
// file that no reader has open goes first.
//
// Assumes one thread: the mount serves one request at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "pack/pack_entry_reader.h"
#include "platform/platform.h"

struct CachedFile {
  platform::File file;  // the restored bytes, unlinked
  uint64_t size = 0;
  int opens = 0;  // readers holding it; never evicted while above 0
  uint64_t lastUse = 0;
};

struct AudioCache {
  AudioCache() = default;
  AudioCache(const AudioCache&) = delete;
  AudioCache& operator=(const AudioCache&) = delete;
  ~AudioCache();  // removes the folder

  std::string folderPath;  // this mount's folder, empty until opened
  platform::File folder;   // its descriptor, holding the lock
  uint64_t limit = 0;      // bytes
  uint64_t bytes = 0;      // held now
  uint64_t clock = 0;
  std::unordered_map<size_t, CachedFile> files;  // by entry index in the set
};

// The cache root when none is given: $XDG_CACHE_HOME/spoolpack, else
// $HOME/.cache/spoolpack; empty when neither is set to an absolute path.
[[nodiscard]] std::string DefaultCacheRoot();

// Creates `root` (private when it is made here), removes the folders of
// mounts that no longer run, and makes this mount's folder in it. Returns
// false with `error` set.
[[nodiscard]] bool OpenAudioCache(const std::string& root, uint64_t limit, AudioCache* cache, std::string* error);

// The restored file of Audio entry `index`, restoring it first when the
// cache does not hold it; `expected` is a size the entry must have (its
// description's, or an earlier restoration's), or -1. Returns 0 with
// *cached set, or a reader code with `reason` set (a restoration that ended
// by a signal counts as -4). Makes room for the file by evicting others.
[[nodiscard]] int CachedAudio(AudioCache& cache, PackSet& set, size_t index, int64_t expected, CachedFile** cached,
                              std::string* reason);

// Frees files no reader holds, least recently used first, while the cache
// holds more than its limit.
void TrimAudioCache(AudioCache& cache);
