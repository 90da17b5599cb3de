// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack create's pack set (see spoolpack_create_set.h).
#include "tools/spoolpack/spoolpack_create_set.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/spoolpack/spoolpack_common.h"
#include "tools/spoolpack/spoolpack_jobs.h"

namespace fs = std::filesystem;

std::string PackPathOf(const std::string& pakname, PackKind kind) { return pakname + std::string(PackExtension(kind)); }

void Say(NewPackSet& set, const std::string& text) {
  if (set.progress != nullptr) set.progress->Clear();
  Complain(text);
}

namespace {

PackPtr& SlotOf(NewPackSet& set, PackKind kind) {
  return kind == PackKind::kAudio ? set.audio : kind == PackKind::kStored ? set.stored : set.deflated;
}

platform::PendingFile& TemporaryOf(NewPackSet& set, PackKind kind) { return set.temporary[static_cast<size_t>(kind)]; }

// A note on how a file was packed; --quiet leaves it out.
void Note(NewPackSet& set, const std::string& text) {
  if (!set.quiet) Say(set, text);
}

// A failed write result, with the system's reason where the system refused
// a read or a write. REQUIRES: errno cleared before the call that failed.
std::string WriteFailure(PackWriteResult result) {
  std::string text = WriteResultMessage(result);
  const bool system = result == PackWriteResult::kWriteFailed || result == PackWriteResult::kReadFailed;
  if (system && errno != 0) text += std::string(" (") + std::strerror(errno) + ")";
  return text;
}

PackHandle* OpenForWriting(NewPackSet& set, PackKind kind) {
  PackPtr& slot = SlotOf(set, kind);
  if (!slot) {
    const std::string path = PackPathOf(set.pakname, kind);
    errno = 0;
    platform::PendingFile& temporary = TemporaryOf(set, kind);
    // The pack owns the file from here; the pending file keeps its name.
    PackWriteResult r = temporary.Create(path) ? CreatePack(std::move(temporary.file()), kind, &slot)
                                               : PackWriteResult::kWriteFailed;
    if (r != PackWriteResult::kOk) {
      Say(set, "cannot create " + path + ": " + WriteFailure(r));
      return nullptr;
    }
  }
  return slot.get();
}

enum class AudioOutcome { kPacked, kOrdinary, kFailed };

// Packs `file` into the Audio pack when the audio layer reads it and `choice`
// allows; otherwise it is to be packed as an ordinary file.
AudioOutcome AddAudioFile(NewPackSet& set, const SourceFile& file, const AudioChoice& choice) {
  if (choice.mode == AudioMode::kNone) return AudioOutcome::kOrdinary;
  std::string why;
  AudioSourcePtr source = OpenAudioSource(file.path, &why);
  if (!source) {
    if (!why.empty()) Note(set, file.path + ": packed as an ordinary file: " + why);
    return AudioOutcome::kOrdinary;
  }
  const std::string trialPath = set.trial.File();
  if (trialPath.empty()) {
    Say(set, "cannot make a folder for trial restorations: " + std::string(std::strerror(errno)));
    return AudioOutcome::kFailed;
  }
  PackHandle* pack = OpenForWriting(set, PackKind::kAudio);
  if (pack == nullptr) return AudioOutcome::kFailed;
  const uint64_t before = EntryDataBytes(*pack);
  switch (AppendAudioEntry(*pack, file.name, *source, choice, trialPath, &why)) {
    case AudioPackResult::kPacked:
      set.audioIn += AudioSourceBytes(*source);
      set.audioOut += EntryDataBytes(*pack) - before;
      return AudioOutcome::kPacked;
    case AudioPackResult::kFallBack:
      Note(set, file.path + ": packed as an ordinary file: " + why);
      return AudioOutcome::kOrdinary;
    case AudioPackResult::kFailed: break;
  }
  Say(set, "cannot pack " + file.path + ": " + why);
  return AudioOutcome::kFailed;
}

bool AddFile(NewPackSet& set, const SourceFile& file, bool store, int threads) {
  platform::File source = platform::OpenExistingReadOnly(file.path);
  if (!source.IsOpen()) {
    Say(set, "cannot read " + file.path + ": " + std::strerror(errno));
    return false;
  }
  const int64_t size = platform::FileSize(source);
  if (size < 0) {
    Say(set, "cannot measure " + file.path + ": " + std::strerror(errno));
    return false;
  }
  if (!store) {
    PackHandle* pack = OpenForWriting(set, PackKind::kDeflated);
    if (pack == nullptr) return false;
    // Kept deflated only when it saves at least 5 %.
    const uint64_t limit = static_cast<uint64_t>(size) * 19 / 20 + 1;
    const uint64_t before = EntryDataBytes(*pack);
    errno = 0;
    PackWriteResult r = AppendDeflatedEntry(*pack, file.name, source, limit, threads);
    if (r == PackWriteResult::kOk) {
      set.deflatedIn += static_cast<uint64_t>(size);
      set.deflatedOut += EntryDataBytes(*pack) - before;
      return true;
    }
    if (r != PackWriteResult::kNotSmaller) {
      Say(set, "cannot pack " + file.path + ": " + WriteFailure(r));
      return false;
    }
    if (platform::SeekFile(source, 0, platform::SeekOrigin::kBegin) != 0) {
      Say(set, "cannot read " + file.path + " again: " + std::strerror(errno));
      return false;
    }
  }
  PackHandle* pack = OpenForWriting(set, PackKind::kStored);
  if (pack == nullptr) return false;
  const uint64_t before = EntryDataBytes(*pack);
  errno = 0;
  PackWriteResult r = AppendStoredEntry(*pack, file.name, source);
  if (r != PackWriteResult::kOk) {
    Say(set, "cannot pack " + file.path + ": " + WriteFailure(r));
    return false;
  }
  set.storedBytes += EntryDataBytes(*pack) - before;
  return true;
}

}  // namespace

// Finishes the new pack of `kind` under its temporary name; one without
// entries (made only for trying) is dropped. Returns false when it cannot
// be finished.
bool Finish(NewPackSet& set, PackKind kind) {
  PackPtr& pack = SlotOf(set, kind);
  if (!pack) return true;
  if (EntryCount(*pack) == 0) {
    AbandonPack(std::move(pack));
    TemporaryOf(set, kind).Abandon();
    return true;
  }
  errno = 0;
  const PackWriteResult r = FinishPack(*pack);
  if (r == PackWriteResult::kOk) return true;
  Say(set, "cannot finish " + PackPathOf(set.pakname, kind) + ": " + WriteFailure(r));
  return false;
}

// Puts the finished pack of `kind` in place of the old one, or removes the
// old one when this run made none: the set is replaced as a whole, since a
// pack left from an earlier run would be unpacked with the new ones.
bool Replace(NewPackSet& set, PackKind kind) {
  const std::string path = PackPathOf(set.pakname, kind);
  PackPtr& pack = SlotOf(set, kind);
  if (!pack) {
    if (platform::DeleteFileByName(path) && !set.quiet) {
      std::printf("%s: removed (no files of this kind)\n", path.c_str());
    }
    return true;
  }
  const size_t count = EntryCount(*pack);
  ClosePack(std::move(pack));
  if (!TemporaryOf(set, kind).Commit()) {
    Say(set, "cannot put " + path + " in place: " + std::strerror(errno));
    return false;
  }
  if (set.quiet) return true;
  // "game.ZPAK: 2 files deflated, 9000 bytes to 2500".
  const std::string what = kind == PackKind::kAudio    ? Count(count, "audio file", "audio files")
                           : kind == PackKind::kStored ? Count(count, "file", "files") + " stored"
                                                       : Count(count, "file", "files") + " deflated";
  const uint64_t in = kind == PackKind::kAudio    ? set.audioIn
                      : kind == PackKind::kStored ? set.storedBytes
                                                  : set.deflatedIn;
  std::printf("%s: %s, %" PRIu64 " bytes", path.c_str(), what.c_str(), in);
  if (kind != PackKind::kStored) {
    std::printf(" to %" PRIu64, kind == PackKind::kAudio ? set.audioOut : set.deflatedOut);
  }
  std::printf("\n");
  return true;
}

namespace {

// Packs one file into `set`; false when the run is to stop.
bool AddEntry(NewPackSet& set, const SourceFile& file, const FilePlan& plan, int threads) {
  const AudioOutcome audio = AddAudioFile(set, file, plan.audio);
  return audio == AudioOutcome::kPacked || (audio == AudioOutcome::kOrdinary && AddFile(set, file, plan.store, threads));
}

// What a worker made of one file: its packs of one entry each, finished
// under `scratch` + the kind's extension, and the totals to count.
struct Packed {
  uint8_t ok = 0;
  uint8_t kinds = 0;  // bit 1 << PackKind: a pack of that kind was made
  uint64_t audioIn = 0;
  uint64_t audioOut = 0;
  uint64_t deflatedIn = 0;
  uint64_t deflatedOut = 0;
  uint64_t storedBytes = 0;
};

// In a worker: packs file `file` into packs of its own named `scratch`.
std::string PackInWorker(const NewPackSet& set, const std::string& scratch, const SourceFile& file, const FilePlan& plan, int threads) {
  NewPackSet own;
  own.pakname = scratch;
  own.quiet = set.quiet;
  Packed packed;
  packed.ok = AddEntry(own, file, plan, threads);
  for (PackKind kind : kPackKindsInRunOrder) {
    if (!packed.ok) break;
    if (!Finish(own, kind)) packed.ok = false;
    PackPtr& pack = SlotOf(own, kind);
    if (!packed.ok || !pack) continue;
    ClosePack(std::move(pack));
    if (!TemporaryOf(own, kind).Commit()) {
      Say(own, "cannot put " + PackPathOf(scratch, kind) + " in place: " + std::strerror(errno));
      packed.ok = false;
      continue;
    }
    packed.kinds |= static_cast<uint8_t>(1u << static_cast<unsigned>(kind));
  }
  packed.audioIn = own.audioIn;
  packed.audioOut = own.audioOut;
  packed.deflatedIn = own.deflatedIn;
  packed.deflatedOut = own.deflatedOut;
  packed.storedBytes = own.storedBytes;
  return std::string(reinterpret_cast<const char*>(&packed), sizeof packed);
}

// Here: copies the entry a worker made of `file` into `set`.
bool TakeFromWorker(NewPackSet& set, const std::string& scratch, const SourceFile& file, const std::string& result) {
  Packed packed;
  if (result.size() != sizeof packed) return false;
  std::memcpy(&packed, result.data(), sizeof packed);
  if (!packed.ok) return false;
  for (PackKind kind : kPackKindsInRunOrder) {
    if ((packed.kinds & (1u << static_cast<unsigned>(kind))) == 0) continue;
    const std::string path = PackPathOf(scratch, kind);
    PackPtr from;
    std::string reason;
    DirectoryEntry entry;
    if (OpenPack(path, kind, &from, &reason, PackAccess::kReadOnly) != kPackOk ||
        NextRecord(*from, &entry, &reason) != kPackOk) {
      Say(set, "cannot pack " + file.path + ": " + reason);
      return false;
    }
    PackHandle* pack = OpenForWriting(set, kind);
    if (pack == nullptr) return false;
    errno = 0;
    const PackWriteResult r = AppendEntryFrom(*pack, *from, entry);
    if (r != PackWriteResult::kOk) {
      Say(set, "cannot pack " + file.path + ": " + WriteFailure(r));
      return false;
    }
    from.reset();
    platform::DeleteFileByName(path);
  }
  set.audioIn += packed.audioIn;
  set.audioOut += packed.audioOut;
  set.deflatedIn += packed.deflatedIn;
  set.deflatedOut += packed.deflatedOut;
  set.storedBytes += packed.storedBytes;
  return true;
}

}  // namespace

bool AddFiles(NewPackSet& set, const std::vector<SourceFile>& files, const std::vector<FilePlan>& plans, int jobs,
              const std::function<void(size_t)>& added) {
  if (jobs <= 1) {
    for (size_t i = 0; i < files.size(); ++i) {
      if (!AddEntry(set, files[i], plans[i], 1)) return false;
      added(i);
    }
    return true;
  }
  // The workers' packs go into a hidden folder beside the packs (on their
  // file system, not in memory; the temporary folder where the packs'
  // folder takes none, and the first entry taken up then fails as with one
  // job), removed with its contents at the end or by a signal.
  platform::PendingFolder scratch;
  if (!scratch.Create(set.pakname)) {
    Say(set, "cannot make a folder for the workers: " + std::string(std::strerror(errno)));
    return false;
  }
  // Each block in flight holds about 2 MiB: at most 8 per file keeps a job
  // within 20 MiB for deflating.
  const int threads = std::min(jobs, 8);
  const auto name = [&](size_t i) { return scratch.path() + "/" + std::to_string(i); };
  bool ok = true;
  std::string error;
  const bool ran = RunJobs(
      files.size(), jobs, [&](size_t i) { return PackInWorker(set, name(i), files[i], plans[i], threads); },
      [&](size_t i, const std::string& result) {
        ok = TakeFromWorker(set, name(i), files[i], result);
        if (ok) added(i);
        return ok;
      },
      &error);
  if (!ran) Say(set, error);
  return ran && ok;
}
