// SPDX-License-Identifier: GPL-2.0-or-later
// The progress line: drawn with a carriage return and padded with spaces
// over the previous one, so it needs no terminal control sequences.
#include "tools/spoolpack/spoolpack_progress.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>

namespace {

// Redraws at most this often.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
// The rate and time left are shown once this much has passed.
constexpr double kSteadyAfterSeconds = 0.5;

std::string Clock(double seconds) {
  const auto total = static_cast<uint64_t>(std::min(seconds, 359999.0));
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, total / 60, total % 60);
  return text;
}

}  // namespace

std::string HumanBytes(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

void ProgressLine::Begin(uint64_t bytes, uint64_t entries) {
  start_ = std::chrono::steady_clock::now();
  totalBytes_ = bytes;
  totalEntries_ = entries;
  Draw(true);
}

void ProgressLine::Written(uint64_t bytes) {
  current_ = bytes;
  Draw(false);
}

void ProgressLine::EntryDone(uint64_t expected, uint64_t actual) {
  totalBytes_ = totalBytes_ - std::min(totalBytes_, expected) + actual;
  doneBytes_ += actual;
  doneEntries_ += 1;
  current_ = 0;
  Draw(false);
}

double ProgressLine::ElapsedSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressLine::Draw(bool force) {
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - drawn_ < kRedrawInterval) return;
  drawn_ = now;
  const uint64_t done = doneBytes_ + current_;
  const uint64_t total = std::max(totalBytes_, done);
  std::string line = HumanBytes(done) + " of " + HumanBytes(total) + ", " + std::to_string(doneEntries_) + " of " +
                     std::to_string(totalEntries_) + " entries";
  const double elapsed = ElapsedSeconds();
  if (elapsed >= kSteadyAfterSeconds && done > 0) {
    const double rate = static_cast<double>(done) / elapsed;
    line += ", " + HumanBytes(static_cast<uint64_t>(rate)) + "/s, " + Clock(static_cast<double>(total - done) / rate) +
            " left";
  }
  const size_t width = line.size();
  line.append(width_ > width ? width_ - width : 0, ' ');
  std::fprintf(out_, "\r%s", line.c_str());
  std::fflush(out_);
  width_ = width;
}

void ProgressLine::Clear() {
  if (!shown_ || width_ == 0) return;
  std::fprintf(out_, "\r%s\r", std::string(width_, ' ').c_str());
  width_ = 0;
  drawn_ = {};
}

void ProgressLine::Finish(const std::string& summary) {
  Clear();
  if (!summary.empty()) std::fprintf(out_, "%s\n", summary.c_str());
  std::fflush(out_);
}

bool ProgressShown(bool quiet, int progress) {
  return !quiet && (progress == 1 || (progress == -1 && ::isatty(STDERR_FILENO)));
}
