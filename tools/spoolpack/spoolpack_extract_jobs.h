// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack extract --jobs: the selected entries of one pack written by
// worker processes (see spoolpack_jobs.h), their outcomes taken up here in
// entry order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "platform/destination.h"

// What ExtractEntry gave for one entry.
struct ExtractOutcome {
  int code = kPackOk;
  uint32_t unpacked = 0;
  std::string reason;
};

// Runs ExtractEntry for each of `entries` (records of the pack at `path`,
// of `kind`, in order) in up to `jobs` workers, each reading the pack
// through a handle of its own, into `destination` (nothing on a dry run),
// counted against `budget`, which the workers share. An entry waits while
// an earlier one not yet taken up writes the same path, or a folder of it,
// or under it, so that files and folders appear as in run order. `done`
// gets each outcome in order. Returns false, with *error set, when the
// workers fail (then `done` has not had every entry).
[[nodiscard]] bool ExtractInWorkers(const std::string& path, PackKind kind, const std::vector<DirectoryEntry>& entries,
                                    platform::Destination* destination, OutputBudget& budget, int jobs,
                                    const std::function<void(size_t, const ExtractOutcome&)>& done,
                                    std::string* error);
