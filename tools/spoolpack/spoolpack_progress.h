// SPDX-License-Identifier: GPL-2.0-or-later
// The progress line of spoolpack create and extract: bytes and entries done of the
// total, rate and time left, redrawn in place on standard error a few times
// a second, and replaced by a summary at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// Bytes as a person reads them: "512 B", "3.4 KiB", "12.0 MiB", "1.5 GiB".
[[nodiscard]] std::string HumanBytes(uint64_t bytes);

// Whether a progress line is drawn: not with --quiet; with --progress
// (`progress` 1) always, with --no-progress (0) never, and otherwise (-1)
// when standard error is a terminal.
[[nodiscard]] bool ProgressShown(bool quiet, int progress);

class ProgressLine {
 public:
  // `shown`: whether the line is drawn at all (a terminal, or asked for).
  ProgressLine(FILE* out, bool shown) : out_(out), shown_(shown) {}
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Starts the count: `bytes` and `entries` are the totals expected.
  void Begin(uint64_t bytes, uint64_t entries);

  // The entry in progress has written `bytes` so far.
  void Written(uint64_t bytes);

  // The entry in progress is done: it was expected to write `expected`
  // bytes and wrote `actual` (the total is corrected by the difference).
  void EntryDone(uint64_t expected, uint64_t actual);

  // Removes the line, so that a message can follow on a clean line; the
  // next update draws it again.
  void Clear();

  // Replaces the line by `summary` (one line; nothing when empty).
  void Finish(const std::string& summary);

  [[nodiscard]] double ElapsedSeconds() const;

 private:
  void Draw(bool force);

  FILE* out_;
  bool shown_;
  std::chrono::steady_clock::time_point start_{};
  std::chrono::steady_clock::time_point drawn_{};
  uint64_t totalBytes_ = 0;
  uint64_t totalEntries_ = 0;
  uint64_t doneBytes_ = 0;  // of the entries done
  uint64_t doneEntries_ = 0;
  uint64_t current_ = 0;  // bytes of the entry in progress
  size_t width_ = 0;      // characters of the line on the screen
};
