// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack extract --jobs (see spoolpack_extract_jobs.h).
#include "tools/spoolpack/spoolpack_extract_jobs.h"

#include <sys/mman.h>

#include <cstring>
#include <new>

#include "tools/spoolpack/spoolpack_jobs.h"

namespace {

// Whether `a` and `b`, '/'-separated paths under the destination, are the
// same or one is a folder of the other.
bool Overlap(const std::string& a, const std::string& b) {
  const std::string& shorter = a.size() < b.size() ? a : b;
  const std::string& longer = a.size() < b.size() ? b : a;
  return longer.compare(0, shorter.size(), shorter) == 0 &&
         (longer.size() == shorter.size() || longer[shorter.size()] == '/');
}

// The run's budget in memory the workers share, copied back when it goes.
struct SharedBudget {
  OutputBudget& owner;
  OutputBudget* shared = nullptr;
  explicit SharedBudget(OutputBudget& budget) : owner(budget) {
    void* memory = ::mmap(nullptr, sizeof(OutputBudget), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory != MAP_FAILED) shared = new (memory) OutputBudget(budget);
  }
  ~SharedBudget() {
    if (shared == nullptr) return;
    owner = *shared;
    shared->~OutputBudget();
    ::munmap(shared, sizeof(OutputBudget));
  }
  SharedBudget(const SharedBudget&) = delete;
  SharedBudget& operator=(const SharedBudget&) = delete;
};

std::string Encode(const ExtractOutcome& outcome) {
  std::string text(sizeof outcome.code + sizeof outcome.unpacked, '\0');
  std::memcpy(text.data(), &outcome.code, sizeof outcome.code);
  std::memcpy(text.data() + sizeof outcome.code, &outcome.unpacked, sizeof outcome.unpacked);
  return text + outcome.reason;
}

bool Decode(const std::string& text, ExtractOutcome* outcome) {
  if (text.size() < sizeof outcome->code + sizeof outcome->unpacked) return false;
  std::memcpy(&outcome->code, text.data(), sizeof outcome->code);
  std::memcpy(&outcome->unpacked, text.data() + sizeof outcome->code, sizeof outcome->unpacked);
  outcome->reason = text.substr(sizeof outcome->code + sizeof outcome->unpacked);
  return true;
}

}  // namespace

bool ExtractInWorkers(const std::string& path, PackKind kind, const std::vector<DirectoryEntry>& entries,
                      platform::Destination* destination, OutputBudget& budget, int jobs,
                      const std::function<void(size_t, const ExtractOutcome&)>& done, std::string* error) {
  SharedBudget shared(budget);
  if (shared.shared == nullptr) {
    *error = std::string("cannot share the output budget with the workers: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::string> paths;
  for (const DirectoryEntry& entry : entries) {
    // Doubled and leading separators collapse, as the destination reads them.
    std::string p;
    for (char c : EntryPathUnderDestination(entry.name)) {
      if (c != '/' || (!p.empty() && p.back() != '/')) p += c;
    }
    paths.push_back(p);
  }
  PackPtr own;  // a worker's handle, opened on its first entry
  const auto work = [&](size_t i) {
    ExtractOutcome outcome;
    if (!own && OpenPack(path, kind, &own, &outcome.reason, PackAccess::kReadOnly) != kPackOk) {
      outcome.code = kPackFileError;
      return Encode(outcome);
    }
    EntryOutput output;
    output.destination = destination;
    output.budget = shared.shared;
    outcome.code = ExtractEntry(*own, entries[i], output, &outcome.unpacked, &outcome.reason);
    return Encode(outcome);
  };
  bool decoded = true;
  const auto commit = [&](size_t i, const std::string& result) {
    ExtractOutcome outcome;
    decoded = Decode(result, &outcome);
    if (decoded) done(i, outcome);
    return decoded;
  };
  const auto mayStart = [&](size_t i, size_t from) {
    for (size_t j = from; j < i; ++j) {
      if (Overlap(paths[i], paths[j])) return false;
    }
    return true;
  };
  if (!RunJobs(entries.size(), jobs, work, commit, error, mayStart)) return false;
  if (!decoded) *error = "a worker delivered no outcome";
  return decoded;
}
