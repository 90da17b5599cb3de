// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack create's pack set: the packs of one run, made under temporary
// names and put in place together at the end, and the adding of one file
// to them (as audio, deflated or stored), in this process or, with --jobs,
// in worker processes whose entries are copied into the set in order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pack/audio_entry_write.h"
#include "pack/pack.h"
#include "platform/destination.h"
#include "platform/platform.h"
#include "tools/spoolpack/spoolpack_progress.h"
#include "tools/spoolpack/spoolpack_walk.h"

// A folder for trial restorations in the system's temporary folder, made
// on first use and removed with its contents at the end of the run or when
// a signal ends it.
struct TrialFolder {
  platform::PendingFolder folder;
  // The path of the trial file, or empty when no folder can be made.
  std::string File() {
    if (folder.path().empty()) {
      std::error_code ec;
      const std::filesystem::path temporary = std::filesystem::temp_directory_path(ec);
      if (ec || !folder.Create((temporary / "spoolpack").string())) return std::string();
    }
    return folder.path() + "/restored";
  }
};

// The packs of one create run, made on first use under temporary names
// beside the packs they are to replace (pending files). Whatever is left of
// them when the set goes away (a run that failed) or a signal ends the run
// is removed: the old packs stay as they were until every new one is
// finished.
struct NewPackSet {
  std::string pakname;
  PackPtr audio;
  PackPtr stored;
  PackPtr deflated;
  platform::PendingFile temporary[3];  // by PackKind; not open when none was made
  ProgressLine* progress = nullptr;    // cleared before a line on standard error
  bool quiet = false;                  // no notes, no summary lines
  uint64_t audioIn = 0;
  uint64_t audioOut = 0;
  uint64_t deflatedIn = 0;
  uint64_t deflatedOut = 0;
  uint64_t storedBytes = 0;
  TrialFolder trial;

  NewPackSet() = default;
  NewPackSet(const NewPackSet&) = delete;
  NewPackSet& operator=(const NewPackSet&) = delete;
};

// The path of the `kind` pack of `pakname`.
[[nodiscard]] std::string PackPathOf(const std::string& pakname, PackKind kind);

// How one file of the walk is to be packed.
struct FilePlan {
  AudioChoice audio;   // the audio mode that applies to it
  bool store = false;  // matched by a --store GLOB
};

// Packs `files` into `set` in order, file i as plans[i] says, with `jobs`
// worker processes when more than 1 (the packs are the same bytes for any
// `jobs`); a large deflated file is deflated on up to `jobs` threads.
// `added(i)` is called once file i is in the set, in order. Returns false,
// having said why on standard error, when the run is to stop.
[[nodiscard]] bool AddFiles(NewPackSet& set, const std::vector<SourceFile>& files, const std::vector<FilePlan>& plans,
                            int jobs, const std::function<void(size_t)>& added);

// A failure of the run on standard error, on a line of its own.
void Say(NewPackSet& set, const std::string& text);

// Finishes the new pack of `kind` under its temporary name; one without
// entries (made only for trying) is dropped. Returns false when it cannot
// be finished.
[[nodiscard]] bool Finish(NewPackSet& set, PackKind kind);

// Puts the finished pack of `kind` in place of the old one, or removes the
// old one when this run made none, with a line on standard output.
[[nodiscard]] bool Replace(NewPackSet& set, PackKind kind);
