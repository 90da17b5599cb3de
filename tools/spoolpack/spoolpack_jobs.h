// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack's --jobs: the entries of a run are worked on by forked worker
// processes, and what each one produced is taken up by the calling process
// in entry order. Each worker is its own process, so the audio layer's and
// the codec libraries' process-wide state (last error and log, library
// table, one TwinVQ coder per library and direction, the bitstream pool,
// the pending-file slots) belongs to one entry at a time, as in a
// single-threaded run.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// The most workers a run takes.
inline constexpr int kMaxJobs = 1024;

// The cores this process may run on (sched_getaffinity), from 1 to kMaxJobs.
[[nodiscard]] int DefaultJobs();

// Runs `work(i)` for every i below `count` in up to `jobs` worker processes,
// forked from this one when the run starts, at most 2 x jobs entries ahead
// of the oldest one not yet taken up. What a worker writes on standard
// output and standard error while working on an entry is kept and written
// here, in entry order, followed by `commit(i, result)` with what work
// returned. A commit that returns false ends the run: the workers are
// stopped. Returns false, with *error set, when a worker cannot be started
// or ends without delivering its entry; true otherwise (whether or not a
// commit stopped the run).
// `work` runs in a child process: it must leave its results in files or in
// what it returns, and never rely on what it changes in memory.
// `mayStart(i, from)`, when given, says whether entry i may start while the
// entries from `from` to i - 1 are not yet all taken up; entry i waits
// until it may.
using JobWork = std::function<std::string(size_t index)>;
using JobCommit = std::function<bool(size_t index, const std::string& result)>;
using JobMayStart = std::function<bool(size_t index, size_t from)>;
[[nodiscard]] bool RunJobs(size_t count, int jobs, const JobWork& work, const JobCommit& commit, std::string* error,
                           const JobMayStart& mayStart = nullptr);
