// spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]
//                  [--audio-for GLOB=MODE]... [--skip-unpackable]
// spoolpack extract <pakname> <dir> [options] | <pakname> --to-stdout NAME
// spoolpack list [--json] <pack>
// spoolpack verify [--max-ratio N] [--no-limit] <pakname>
//
// Exit status: 0 success, 1 failure (or problems found), 2 wrong usage.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "platform/platform.h"
#include "tools/spoolpack/spoolpack_audio.h"
#include "tools/spoolpack/spoolpack_common.h"
#include "tools/spoolpack/spoolpack_extract.h"
#include "tools/spoolpack/spoolpack_json.h"

namespace fs = std::filesystem;

namespace {

void PrintHelp(FILE* out) {
  std::fprintf(out,
               "usage: spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]\n"
               "                        [--audio-for GLOB=MODE]... [--skip-unpackable]\n"
               "       spoolpack extract <pakname> <dir> [--only GLOB]... [--exclude GLOB]...\n"
               "                         [--existing overwrite|keep|fail] [--delete] [--dry-run]\n"
               "                         [--progress|--no-progress] [--quiet]\n"
               "                         [--max-ratio N] [--no-limit]\n"
               "       spoolpack extract <pakname> --to-stdout NAME [--max-ratio N] [--no-limit]\n"
               "       spoolpack list [--json] <pack>\n"
               "       spoolpack verify [--max-ratio N] [--no-limit] <pakname>\n"
               "       spoolpack --version | help\n"
               "\n"
               "create  packs every file under <dir> (sorted, names relative to <dir>) into\n"
               "        <pakname>.APAK (audio files), <pakname>.ZPAK (deflated) and\n"
               "        <pakname>.UPAK (stored: files that deflate by less than 5 %%, and\n"
               "        files whose name or relative path matches a --store GLOB). A kind\n"
               "        without files gets no pack; packs of the set left from earlier runs\n"
               "        are removed.\n"
               "        Audio files (WAV, AIFF, AU, PAF, 8SVX, NIST, IRCAM, VOC, Ogg Vorbis, VQF,\n"
               "        ...) are packed by MODE, the last --audio-for GLOB that matches or\n"
               "        else --audio (default keep):\n"
               "          keep         the file's own bytes;\n"
               "          pcm          its samples as a WAV stream;\n"
               "          ogg[:Q]      re-encoded as Ogg Vorbis at quality Q (-1..10,\n"
               "                       default 4): lossy; restores the container, rate,\n"
               "                       channels and length, not the exact samples or the\n"
               "                       metadata;\n"
               "          aac[:K]      re-encoded as AAC (low complexity) at K kbit/s per\n"
               "                       channel (8..256, default 64): lossy, as ogg;\n"
               "          vqf[:KBPS]   re-encoded as VQF (TwinVQ) at the VQF rate nearest\n"
               "                       the file's (8000, 11025, 22050, 44100 Hz; restored\n"
               "                       to its own rate) and that rate's bit rate nearest\n"
               "                       KBPS kbit/s per channel (8, 10, 16, 20, 24, 32, 40,\n"
               "                       48; default the highest): lossy, as ogg; 1 or 2\n"
               "                       channels;\n"
               "          none         packed as an ordinary file.\n"
               "        With keep and pcm a file goes into the APAK only when restoring it\n"
               "        gives its exact bytes; otherwise it is packed as an ordinary file\n"
               "        and standard error says why.\n"
               "        A file that cannot go into a pack (a backslash in its name, a name\n"
               "        longer than 259 bytes, more than 4 GiB) stops the run, or with\n"
               "        --skip-unpackable is left out with a line on standard error.\n"
               "extract unpacks <pakname>'s packs into <dir>, creating the folders entries\n"
               "        need (never through a symbolic link, never outside <dir>); goes on\n"
               "        past an entry that fails and reports every failure at the end.\n"
               "        --only/--exclude GLOB select entries by name with '/' separators;\n"
               "        --existing says what happens to a file already there (default\n"
               "        overwrite); --dry-run reads, inflates and decodes everything and\n"
               "        writes nothing; --delete deletes each pack whose entries were all\n"
               "        written, and only when none was left out. A progress line on a\n"
               "        terminal (--progress, --no-progress), then a summary; --quiet\n"
               "        prints failures only. Exit status 0 when everything was written,\n"
               "        1 when something failed, 2 for a usage error or no such pack.\n"
               "        --to-stdout NAME writes that entry's bytes to standard output.\n"
               "        An audio entry restores to at most 1024 times its packed size (at\n"
               "        least 64 MiB), a run writes at most 1100 times its packs' size (at\n"
               "        least 1 GiB); --max-ratio N sets both ratios to N, --no-limit\n"
               "        lifts them. An entry that would pass them fails.\n"
               "list    prints one line per entry of a .APAK, .UPAK or .ZPAK file:\n"
               "        kind, data offset, packed size, unpacked size, name; audio entries\n"
               "        also show the packed stream's format and the stored description.\n"
               "        --json: one JSON object per line and entry instead.\n"
               "verify  reads and inflates every entry of <pakname>'s packs, and decodes\n"
               "        every audio entry, without writing anything, and checks every\n"
               "        entry's checksum and the limits of extract (--max-ratio,\n"
               "        --no-limit); problems go to standard error, exit status 1.\n");
}

// ---- create ----------------------------------------------------------------

struct SourceFile {
  std::string name;  // relative, backslash-separated: the entry name
  std::string path;  // where to read it
  std::string relative;  // relative, '/'-separated, for --store matching
};

struct Walk {
  std::vector<SourceFile> files;
  std::vector<fs::path> skipPaths;  // the packs being written
  bool skipUnpackable = false;      // leave out files that cannot be packed
  bool ok = true;
};

// A file that cannot go into a pack: left out when asked, else the run
// stops before anything is written.
void Unpackable(Walk& walk, const fs::path& path, const std::string& why) {
  Complain((walk.skipUnpackable ? "left out " : "cannot pack ") + path.string() + ": " + why);
  walk.ok = walk.ok && walk.skipUnpackable;
}

bool IsSkipped(const Walk& walk, const fs::path& path) {
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(path, ec);
  if (ec) return false;
  return std::find(walk.skipPaths.begin(), walk.skipPaths.end(), canonical) != walk.skipPaths.end();
}

// Collects the regular files under `dir` depth first in byte order of names.
void WalkDirectory(const fs::path& dir, const std::string& relative, Walk& walk) {
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) {
    Complain("cannot read directory " + dir.string() + ": " + ec.message());
    walk.ok = false;
    return;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const fs::path path = dir / name;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    fs::file_status own = fs::symlink_status(path, ec);
    if (!ec && fs::is_directory(own)) {
      WalkDirectory(path, rel, walk);
      continue;
    }
    fs::file_status target = fs::status(path, ec);
    if (ec || !fs::is_regular_file(target)) {
      Complain("skipped " + path.string() + ": not a regular file");
      continue;
    }
    if (IsSkipped(walk, path)) continue;
    if (rel.find('\\') != std::string::npos) {
      Unpackable(walk, path, "the name holds a backslash, the separator of pack names");
      continue;
    }
    std::string entryName = rel;
    std::replace(entryName.begin(), entryName.end(), '/', '\\');
    if (entryName.size() > kMaxNameBytes) {
      Unpackable(walk, path, "its name is longer than 259 bytes");
      continue;
    }
    // An entry records its sizes in 32 bits.
    if (const uintmax_t size = fs::file_size(path, ec); !ec && size > UINT32_MAX) {
      Unpackable(walk, path, "it is larger than a pack entry can be (4 GiB - 1 byte)");
      continue;
    }
    walk.files.push_back({entryName, path.string(), rel});
  }
}

// Whether `glob` matches the file's relative path or its base name.
bool Matches(const std::string& glob, const SourceFile& file) { return GlobMatches(glob, file.relative); }

bool MatchesStore(const std::vector<std::string>& globs, const SourceFile& file) {
  return std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) { return Matches(glob, file); });
}

// What create was asked to do besides walking the tree.
struct CreateOptions {
  bool skipUnpackable = false;
  std::vector<std::string> storeGlobs;
  AudioChoice audio;                                          // --audio
  std::vector<std::pair<std::string, AudioChoice>> audioFor;  // --audio-for, in order
};

AudioChoice AudioChoiceFor(const CreateOptions& options, const SourceFile& file) {
  AudioChoice choice = options.audio;
  for (const auto& [glob, forGlob] : options.audioFor) {
    if (Matches(glob, file)) choice = forGlob;
  }
  return choice;
}

// A folder for trial restorations, made on first use and removed with its
// contents at the end of the run.
struct TrialFolder {
  std::string path;
  ~TrialFolder() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
  // The path of the trial file, or empty when no folder can be made.
  std::string File() {
    if (path.empty()) {
      std::error_code ec;
      std::string pattern = (fs::temp_directory_path(ec) / "spoolpack-XXXXXX").string();
      if (!ec && ::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    return path.empty() ? std::string() : path + "/restored";
  }
};

// The packs of one create run, made on first use under temporary names
// beside the packs they are to replace. Whatever is left of them when the
// set goes away (a run that failed) is removed: the old packs stay as they
// were until every new one is finished.
struct PackSet {
  std::string pakname;
  PackPtr audio;
  PackPtr stored;
  PackPtr deflated;
  std::string temporary[3];  // by PackKind; empty when none was made
  uint64_t audioIn = 0;
  uint64_t audioOut = 0;
  uint64_t deflatedIn = 0;
  uint64_t deflatedOut = 0;
  uint64_t storedBytes = 0;
  TrialFolder trial;

  PackSet() = default;
  PackSet(const PackSet&) = delete;
  PackSet& operator=(const PackSet&) = delete;
  ~PackSet() {
    for (const std::string& path : temporary) {
      if (!path.empty()) platform::DeleteFileByName(path);
    }
  }
};

std::string PackPathOf(const std::string& pakname, PackKind kind) { return pakname + std::string(PackExtension(kind)); }

PackPtr& SlotOf(PackSet& set, PackKind kind) {
  return kind == PackKind::kAudio ? set.audio : kind == PackKind::kStored ? set.stored : set.deflated;
}

std::string& TemporaryOf(PackSet& set, PackKind kind) { return set.temporary[static_cast<size_t>(kind)]; }

// Creates a fresh hidden file beside `path` (".NAME.APAK.spoolpack-XXXXXX")
// with the mode a plain create would give. Sets *temporary to its path and
// returns it open, or returns a closed File with errno set.
platform::File CreateTemporaryBeside(const std::string& path, std::string* temporary) {
  const fs::path final(path);
  std::string pattern = (final.parent_path() / ("." + final.filename().string() + ".spoolpack-XXXXXX")).string();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return platform::File();
  const mode_t mask = ::umask(0);
  ::umask(mask);
  (void)::fchmod(fd, 0666 & ~mask);
  *temporary = pattern;
  return platform::File(fd);
}

// A failed write result, with the system's reason where the system refused
// a read or a write. REQUIRES: errno cleared before the call that failed.
std::string WriteFailure(PackWriteResult result) {
  std::string text = WriteResultMessage(result);
  const bool system = result == PackWriteResult::kWriteFailed || result == PackWriteResult::kReadFailed;
  if (system && errno != 0) text += std::string(" (") + std::strerror(errno) + ")";
  return text;
}

PackHandle* OpenForWriting(PackSet& set, PackKind kind) {
  PackPtr& slot = SlotOf(set, kind);
  if (!slot) {
    const std::string path = PackPathOf(set.pakname, kind);
    errno = 0;
    platform::File file = CreateTemporaryBeside(path, &TemporaryOf(set, kind));
    PackWriteResult r = file.IsOpen() ? CreatePack(std::move(file), kind, &slot) : PackWriteResult::kWriteFailed;
    if (r != PackWriteResult::kOk) {
      Complain("cannot create " + path + ": " + WriteFailure(r));
      return nullptr;
    }
  }
  return slot.get();
}

enum class AudioOutcome { kPacked, kOrdinary, kFailed };

// Packs `file` into the Audio pack when the audio layer reads it and `choice`
// allows; otherwise it is to be packed as an ordinary file.
AudioOutcome AddAudioFile(PackSet& set, const SourceFile& file, const AudioChoice& choice) {
  if (choice.mode == AudioMode::kNone) return AudioOutcome::kOrdinary;
  AudioSource source;
  std::string why;
  if (!OpenAudioSource(file.path, &source, &why)) {
    if (!why.empty()) Complain(file.path + ": packed as an ordinary file: " + why);
    return AudioOutcome::kOrdinary;
  }
  const std::string trialPath = set.trial.File();
  if (trialPath.empty()) {
    Complain("cannot make a folder for trial restorations: " + std::string(std::strerror(errno)));
    return AudioOutcome::kFailed;
  }
  PackHandle* pack = OpenForWriting(set, PackKind::kAudio);
  if (pack == nullptr) return AudioOutcome::kFailed;
  const uint64_t before = DataEnd(*pack);
  switch (PackAudio(*pack, file.name, source, choice, trialPath, &why)) {
    case AudioPackResult::kPacked:
      set.audioIn += source.bytes;
      set.audioOut += DataEnd(*pack) - before;
      return AudioOutcome::kPacked;
    case AudioPackResult::kFallBack:
      Complain(file.path + ": packed as an ordinary file: " + why);
      return AudioOutcome::kOrdinary;
    case AudioPackResult::kFailed: break;
  }
  Complain("cannot pack " + file.path + ": " + why);
  return AudioOutcome::kFailed;
}

bool AddFile(PackSet& set, const SourceFile& file, bool store) {
  platform::File source = platform::OpenExistingReadOnly(file.path);
  if (!source.IsOpen()) {
    Complain("cannot read " + file.path + ": " + std::strerror(errno));
    return false;
  }
  const int64_t size = platform::FileSize(source);
  if (size < 0) {
    Complain("cannot measure " + file.path + ": " + std::strerror(errno));
    return false;
  }
  if (!store) {
    PackHandle* pack = OpenForWriting(set, PackKind::kDeflated);
    if (pack == nullptr) return false;
    // Kept deflated only when it saves at least 5 %.
    const uint64_t limit = static_cast<uint64_t>(size) * 19 / 20 + 1;
    const uint64_t before = DataEnd(*pack);
    errno = 0;
    PackWriteResult r = AppendDeflatedEntry(*pack, file.name, source, limit);
    if (r == PackWriteResult::kOk) {
      set.deflatedIn += static_cast<uint64_t>(size);
      set.deflatedOut += DataEnd(*pack) - before;
      return true;
    }
    if (r != PackWriteResult::kNotSmaller) {
      Complain("cannot pack " + file.path + ": " + WriteFailure(r));
      return false;
    }
    if (platform::SeekFile(source, 0, platform::SeekOrigin::kBegin) != 0) {
      Complain("cannot read " + file.path + " again: " + std::strerror(errno));
      return false;
    }
  }
  PackHandle* pack = OpenForWriting(set, PackKind::kStored);
  if (pack == nullptr) return false;
  const uint64_t before = DataEnd(*pack);
  errno = 0;
  PackWriteResult r = AppendStoredEntry(*pack, file.name, source);
  if (r != PackWriteResult::kOk) {
    Complain("cannot pack " + file.path + ": " + WriteFailure(r));
    return false;
  }
  set.storedBytes += DataEnd(*pack) - before;
  return true;
}

// Finishes the new pack of `kind` under its temporary name; one without
// entries (made only for trying) is dropped. Returns false when it cannot
// be finished.
bool Finish(PackSet& set, PackKind kind) {
  PackPtr& pack = SlotOf(set, kind);
  if (!pack) return true;
  if (EntryCount(*pack) == 0) {
    AbandonPack(std::move(pack));
    platform::DeleteFileByName(TemporaryOf(set, kind));
    TemporaryOf(set, kind).clear();
    return true;
  }
  errno = 0;
  const PackWriteResult r = FinishPack(*pack);
  if (r == PackWriteResult::kOk) return true;
  Complain("cannot finish " + PackPathOf(set.pakname, kind) + ": " + WriteFailure(r));
  return false;
}

// Puts the finished pack of `kind` in place of the old one, or removes the
// old one when this run made none: the set is replaced as a whole, since a
// pack left from an earlier run would be unpacked with the new ones.
bool Replace(PackSet& set, PackKind kind) {
  const std::string path = PackPathOf(set.pakname, kind);
  std::string& temporary = TemporaryOf(set, kind);
  PackPtr& pack = SlotOf(set, kind);
  if (!pack) {
    if (platform::DeleteFileByName(path)) std::printf("%s: removed (no files of this kind)\n", path.c_str());
    return true;
  }
  const size_t count = EntryCount(*pack);
  ClosePack(std::move(pack));
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    Complain("cannot put " + path + " in place: " + std::strerror(errno));
    return false;
  }
  temporary.clear();
  if (kind == PackKind::kAudio) {
    std::printf("%s: %zu audio files, %" PRIu64 " bytes to %" PRIu64 "\n", path.c_str(), count, set.audioIn,
                set.audioOut);
  } else if (kind == PackKind::kStored) {
    std::printf("%s: %zu files stored, %" PRIu64 " bytes\n", path.c_str(), count, set.storedBytes);
  } else {
    std::printf("%s: %zu files deflated, %" PRIu64 " bytes to %" PRIu64 "\n", path.c_str(), count, set.deflatedIn,
                set.deflatedOut);
  }
  return true;
}

int Create(const std::string& pakname, const std::string& dir, const CreateOptions& options) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    Complain(dir + " is not a directory");
    return kExitFailed;
  }
  Walk walk;
  walk.skipUnpackable = options.skipUnpackable;
  for (PackKind kind : kPackKindsInRunOrder) {
    fs::path canonical = fs::weakly_canonical(PackPathOf(pakname, kind), ec);
    if (!ec) walk.skipPaths.push_back(canonical);
  }
  WalkDirectory(dir, "", walk);
  if (!walk.ok) {
    Complain("nothing written");
    return kExitFailed;
  }
  PackSet set;
  set.pakname = pakname;
  for (const SourceFile& file : walk.files) {
    const AudioOutcome audio = AddAudioFile(set, file, AudioChoiceFor(options, file));
    if (audio == AudioOutcome::kFailed ||
        (audio == AudioOutcome::kOrdinary && !AddFile(set, file, MatchesStore(options.storeGlobs, file)))) {
      Complain("stopped; no pack was replaced");
      return kExitFailed;
    }
  }
  for (PackKind kind : kPackKindsInRunOrder) {
    if (!Finish(set, kind)) {
      Complain("stopped; no pack was replaced");
      return kExitFailed;
    }
  }
  bool ok = true;
  for (PackKind kind : kPackKindsInRunOrder) ok = Replace(set, kind) && ok;
  return ok ? kExitOk : kExitFailed;
}

// ---- list and verify -------------------------------------------------------

bool KindFromExtension(const std::string& path, PackKind* kind) {
  if (path.size() < 5) return false;
  std::string ext = path.substr(path.size() - 5);
  for (char& c : ext) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  for (PackKind k : kPackKindsInRunOrder) {
    if (ext == PackExtension(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

int List(const std::string& path, bool json) {
  PackKind kind;
  if (!KindFromExtension(path, &kind)) {
    Complain(path + ": not a .APAK, .UPAK or .ZPAK file");
    return kExitFailed;
  }
  PackPtr pack;
  std::string reason;
  if (OpenPack(path, kind, &pack, &reason, PackAccess::kReadOnly) != kPackOk) {
    Complain(path + ": " + (reason.empty() ? "no such file" : reason));
    return kExitFailed;
  }
  DirectoryEntry entry;
  int rc;
  while ((rc = NextRecord(*pack, &entry, &reason)) == kPackOk) {
    if (json) {
      std::printf("%s\n", EntryJson(kind, entry).c_str());
      continue;
    }
    std::string unpacked = kind == PackKind::kAudio    ? "-"
                           : kind == PackKind::kStored ? std::to_string(entry.packedSize)
                                                       : std::to_string(entry.unpackedSize);
    if (kind == PackKind::kAudio) {
      // The packed stream's format, then the stored description.
      const AudioInfo& info = entry.info;
      char audio[200];
      std::snprintf(audio, sizeof audio,
                    " stream=%s(0x%" PRIX32 ") stored=%s(0x%" PRIX32 "),%" PRIu32 "Hz,%" PRIu32 "bit,%" PRIu32
                    "ch,%" PRIu32 "frames",
                    FormatName(entry.streamFormat).c_str(), entry.streamFormat, FormatName(info.format).c_str(),
                    info.format, info.samplerate, info.pcmbitwidth, info.channels, info.samples);
      unpacked += audio;
    }
    std::printf("%s %" PRIu32 " %" PRIu32 " %s %s\n", KindName(kind), entry.dataOffset, entry.packedSize,
                unpacked.c_str(), PrintableName(entry.name).c_str());
  }
  if (rc != kPackEnd) {
    Complain(path + ": " + reason);
    return kExitFailed;
  }
  return kExitOk;
}

// Checks one pack, counting against `budget`; returns false when it has
// problems.
bool VerifyPack(const std::string& path, PackKind kind, OutputBudget& budget, bool* found) {
  PackPtr pack;
  std::string reason;
  if (OpenPack(path, kind, &pack, &reason, PackAccess::kReadOnly) != kPackOk) {
    if (reason.empty()) return true;  // no pack of this kind
    *found = true;
    Complain(path + ": " + reason);
    return false;
  }
  *found = true;
  size_t entries = 0;
  size_t problems = 0;
  if (ChecksumsOf(*pack, &reason) == PackChecksums::kDamaged) {
    ++problems;
    Complain(path + ": " + reason);
  }
  EntryOutput output;
  output.budget = &budget;
  DirectoryEntry entry;
  int rc;
  while ((rc = NextRecord(*pack, &entry, &reason)) == kPackOk) {
    ++entries;
    uint32_t unpacked = 0;
    int v = ExtractEntry(*pack, entry, output, &unpacked, &reason);
    if (v == kPackOk && kind == PackKind::kDeflated && unpacked != entry.unpackedSize) {
      v = kPackFileError;
      reason = "inflates to " + std::to_string(unpacked) + " bytes, recorded " + std::to_string(entry.unpackedSize);
    }
    if (v != kPackOk) {
      ++problems;
      Complain(path + ": entry \"" + entry.name + "\": " + reason);
    }
  }
  if (rc != kPackEnd) {
    ++problems;
    Complain(path + ": " + reason);
  }
  if (problems > 0) {
    std::printf("%s: %zu entries, %zu problems\n", path.c_str(), entries, problems);
    return false;
  }
  std::printf("%s: %zu entries ok\n", path.c_str(), entries);
  return true;
}

int Verify(const std::string& pakname, const ExpansionLimits& limits) {
  bool ok = true;
  bool found = false;
  OutputBudget budget = MakeOutputBudget(limits, PackSetBytes(pakname));
  for (PackKind kind : kPackKindsInRunOrder) ok = VerifyPack(FindPackFile(pakname, kind), kind, budget, &found) && ok;
  if (!found) {
    Complain("no pack named " + pakname + ".APAK, .UPAK or .ZPAK");
    return kExitFailed;
  }
  return ok ? kExitOk : kExitFailed;
}

// Says what was wrong (when anything is said) and prints the short usage.
int Usage(const std::string& error) {
  if (!error.empty()) Complain(error);
  std::fprintf(stderr,
               "usage: spoolpack create <pakname> <dir> [options]\n"
               "       spoolpack extract <pakname> <dir> [options]\n"
               "       spoolpack extract <pakname> --to-stdout NAME\n"
               "       spoolpack list [--json] <pack>\n"
               "       spoolpack verify [--max-ratio N] [--no-limit] <pakname>\n"
               "'spoolpack help' lists the options.\n");
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // A write past the file-size limit then fails as any other write does, and
  // the run removes what it wrote instead of being killed mid-way.
  std::signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    PrintHelp(stdout);
    return kExitOk;
  }
  if (command == "--version") {
    std::printf("spoolpack %s\n", SPOOLEX_VERSION);
    return kExitOk;
  }
  if (command == "extract") {
    ExtractOptions options;
    std::string error;
    if (!ParseExtractArguments({args.begin() + 1, args.end()}, &options, &error)) return Usage(error);
    return Extract(options);
  }
  if (command == "create" && args.size() >= 3) {
    CreateOptions options;
    for (size_t i = 3; i < args.size(); ++i) {
      const bool hasValue = i + 1 < args.size();
      std::string error;
      if (args[i] == "--skip-unpackable") {
        options.skipUnpackable = true;
      } else if (args[i] == "--store" && hasValue) {
        options.storeGlobs.push_back(args[++i]);
      } else if (args[i] == "--audio" && hasValue) {
        if (!ParseAudioMode(args[++i], &options.audio, &error)) return Usage(error);
      } else if (args[i] == "--audio-for" && hasValue && args[i + 1].find('=') != std::string::npos) {
        const std::string& value = args[++i];
        const size_t equals = value.rfind('=');
        AudioChoice choice;
        if (!ParseAudioMode(value.substr(equals + 1), &choice, &error)) return Usage(error);
        options.audioFor.emplace_back(value.substr(0, equals), choice);
      } else {
        return Usage("");
      }
    }
    return Create(args[1], args[2], options);
  }
  if (command == "list" && args.size() == 2) return List(args[1], false);
  if (command == "list" && args.size() == 3 && args[1] == "--json") return List(args[2], true);
  if (command == "verify" && args.size() >= 2) {
    ExpansionLimits limits;
    std::string error;
    for (size_t i = 1; i + 1 < args.size(); ++i) {
      if (!TakeLimitOption(args, &i, &limits, &error) || !error.empty()) return Usage(error);
    }
    return Verify(args.back(), limits);
  }
  return Usage("");
}
