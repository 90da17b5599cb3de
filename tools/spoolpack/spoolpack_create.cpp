// spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]
//                  [--audio-for GLOB=MODE]... [--skip-unpackable]
//                  [--progress|--no-progress] [--quiet|--verbose]
// Packs every regular file under <dir> into the packs of <pakname>: audio
// files as the audio mode says, the rest deflated or stored.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/stream/audio_stream.h"
#include "pack/audio_entry_write.h"
#include "pack/pack.h"
#include "platform/destination.h"
#include "platform/platform.h"
#include "tools/spoolpack/spoolpack_common.h"
#include "tools/spoolpack/spoolpack_progress.h"
#include "tools/spoolpack/spoolpack_walk.h"

namespace fs = std::filesystem;

namespace {

// The number after a mode's colon: `fallback` without one, else the whole
// text as a number (a whole one when `whole`) from `low` to `high`.
bool ParseModeNumber(bool hasArgument, const std::string& argument, double fallback, double low, double high,
                     bool whole, double* value) {
  *value = fallback;
  if (!hasArgument) return true;
  char* end = nullptr;
  *value = std::strtod(argument.c_str(), &end);
  return !argument.empty() && *end == '\0' && *value >= low && *value <= high &&
         (!whole || *value == std::floor(*value));
}

// Parses "none", "keep", "pcm", "ogg[:QUALITY]" (QUALITY from -1 to 10 as
// oggenc takes it, 4 when left out), "aac[:KBPS]" (kbit/s per channel, a
// whole number from 8 to 256, 64 when left out) or "vqf[:KBPS]" (one of the
// VQF bit rates per channel). Returns false with *error set for anything
// else.
bool ParseAudioMode(const std::string& text, AudioChoice* choice, std::string* error) {
  const std::string mode = text.substr(0, text.find(':'));
  const bool hasArgument = mode.size() < text.size();
  const std::string argument = hasArgument ? text.substr(mode.size() + 1) : "";
  if (!hasArgument && (mode == "none" || mode == "keep" || mode == "pcm")) {
    choice->mode = mode == "none" ? AudioMode::kNone : mode == "keep" ? AudioMode::kKeep : AudioMode::kPcm;
    return true;
  }
  // The lossy modes take one number, within a range, after a colon.
  double value = 0;
  if (mode == "ogg") {
    if (!ParseModeNumber(hasArgument, argument, 4, -1, 10, false, &value)) {
      *error = "--audio " + text + ": the Ogg Vorbis quality goes from -1 to 10";
      return false;
    }
    choice->mode = AudioMode::kOgg;
    choice->quality = value;
    return true;
  }
  if (mode == "aac") {
    if (!ParseModeNumber(hasArgument, argument, 64, 8, 256, true, &value)) {
      *error = "--audio " + text + ": the AAC bit rate goes from 8 to 256 kbit/s per channel";
      return false;
    }
    choice->mode = AudioMode::kAac;
    choice->bitrate = static_cast<uint32_t>(value) * 1000;
    return true;
  }
  if (mode == "vqf") {
    double kbps = 0;  // the highest of the rate
    const bool known =
        !hasArgument || (ParseModeNumber(true, argument, 0, 0, UINT32_MAX / 1000, true, &kbps) && IsVqfBitRate(kbps));
    if (!known) {
      *error = "--audio " + text + ": the VQF bit rates are " + VqfBitRates(" and ") + " kbit/s per channel";
      return false;
    }
    choice->mode = AudioMode::kVqf;
    choice->bitrate = static_cast<uint32_t>(kbps) * 1000;
    return true;
  }
  *error = "unknown audio mode \"" + text + "\" (none, keep, pcm, ogg[:QUALITY], aac[:KBPS] or vqf[:KBPS])";
  return false;
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
  bool quiet = false;    // failures only
  bool verbose = false;  // a line per file packed
  int progress = -1;     // 1 --progress, 0 --no-progress, -1 on a terminal only
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
// beside the packs they are to replace (pending files). Whatever is left of
// them when the set goes away (a run that failed) or a signal ends the run
// is removed: the old packs stay as they were until every new one is
// finished.
struct PackSet {
  std::string pakname;
  PackPtr audio;
  PackPtr stored;
  PackPtr deflated;
  platform::PendingFile temporary[3];  // by PackKind; not open when none was made
  ProgressLine* progress = nullptr;
  bool quiet = false;
  uint64_t audioIn = 0;
  uint64_t audioOut = 0;
  uint64_t deflatedIn = 0;
  uint64_t deflatedOut = 0;
  uint64_t storedBytes = 0;
  TrialFolder trial;

  PackSet() = default;
  PackSet(const PackSet&) = delete;
  PackSet& operator=(const PackSet&) = delete;
};

// A failure of the run on standard error, on a line of its own.
void Say(PackSet& set, const std::string& text) {
  if (set.progress != nullptr) set.progress->Clear();
  Complain(text);
}

// A note on how a file was packed; --quiet leaves it out.
void Note(PackSet& set, const std::string& text) {
  if (!set.quiet) Say(set, text);
}

std::string PackPathOf(const std::string& pakname, PackKind kind) { return pakname + std::string(PackExtension(kind)); }

PackPtr& SlotOf(PackSet& set, PackKind kind) {
  return kind == PackKind::kAudio ? set.audio : kind == PackKind::kStored ? set.stored : set.deflated;
}

platform::PendingFile& TemporaryOf(PackSet& set, PackKind kind) { return set.temporary[static_cast<size_t>(kind)]; }

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
AudioOutcome AddAudioFile(PackSet& set, const SourceFile& file, const AudioChoice& choice) {
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

bool AddFile(PackSet& set, const SourceFile& file, bool store) {
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
    PackWriteResult r = AppendDeflatedEntry(*pack, file.name, source, limit);
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

// Finishes the new pack of `kind` under its temporary name; one without
// entries (made only for trying) is dropped. Returns false when it cannot
// be finished.
bool Finish(PackSet& set, PackKind kind) {
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
bool Replace(PackSet& set, PackKind kind) {
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

int Create(const std::string& pakname, const std::string& dir, const CreateOptions& options) {
  // An interrupted run leaves no temporary pack.
  platform::RemovePendingFilesOnSignals();
  std::error_code ec;
  const fs::file_status status = fs::status(dir, ec);
  if (!fs::is_directory(status)) {
    Complain(dir + (status.type() == fs::file_type::not_found ? " does not exist"
                    : ec                                      ? ": " + ec.message()
                                                              : " is not a directory"));
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
  // The progress line counts the files' bytes as they are when walked.
  std::vector<uint64_t> sizes;
  uint64_t total = 0;
  for (const SourceFile& file : walk.files) {
    const uintmax_t size = fs::file_size(file.path, ec);
    sizes.push_back(ec ? 0 : size);
    total += sizes.back();
  }
  ProgressLine progress(stderr, ProgressShown(options.quiet, options.progress));
  progress.Begin(total, walk.files.size());
  PackSet set;
  set.pakname = pakname;
  set.progress = &progress;
  set.quiet = options.quiet;
  for (size_t i = 0; i < walk.files.size(); ++i) {
    const SourceFile& file = walk.files[i];
    const AudioOutcome audio = AddAudioFile(set, file, AudioChoiceFor(options, file));
    if (audio == AudioOutcome::kFailed ||
        (audio == AudioOutcome::kOrdinary && !AddFile(set, file, MatchesStore(options.storeGlobs, file)))) {
      Say(set, "stopped; no pack was replaced");
      return kExitFailed;
    }
    progress.EntryDone(sizes[i], sizes[i]);
    if (options.verbose) {
      progress.Clear();
      std::printf("%s\n", PrintableName(file.relative).c_str());
      std::fflush(stdout);
    }
  }
  for (PackKind kind : kPackKindsInRunOrder) {
    if (!Finish(set, kind)) {
      Say(set, "stopped; no pack was replaced");
      return kExitFailed;
    }
  }
  progress.Finish("");
  bool ok = true;
  for (PackKind kind : kPackKindsInRunOrder) ok = Replace(set, kind) && ok;
  return ok ? kExitOk : kExitFailed;
}

std::string Description() {
  std::string formats;
  for (const std::string& name : ListedFormats()) formats += (formats.empty() ? "" : " ") + name + ",";
  return "packs every file under <dir> (sorted, names relative to <dir>) into\n"
         "<pakname>.APAK (audio files), <pakname>.ZPAK (deflated) and\n"
         "<pakname>.UPAK (stored: files that deflate by less than 5 %, and\n"
         "files whose name or relative path matches a --store GLOB). A kind\n"
         "without files gets no pack; packs of the set left from earlier runs\n"
         "are removed.\n"
         "Audio files (" + formats + "\n"
         "...) are packed by MODE, the last --audio-for GLOB that matches or\n"
         "else --audio (default keep):\n"
         "  keep         the file's own bytes;\n"
         "  pcm          its samples as a WAV stream;\n"
         "  ogg[:Q]      re-encoded as Ogg Vorbis at quality Q (-1..10,\n"
         "               default 4): lossy; restores the container, rate,\n"
         "               channels and length, not the exact samples or the\n"
         "               metadata;\n"
         "  aac[:K]      re-encoded as AAC (low complexity) at K kbit/s per\n"
         "               channel (8..256, default 64): lossy, as ogg;\n" +
         Wrap("re-encoded as VQF (TwinVQ) at the VQF rate nearest the file's (" + VqfSampleRates(", ") +
                  " Hz; restored to its own rate) and that rate's bit rate nearest KBPS kbit/s per channel (" +
                  VqfBitRates(", ") + "; default the highest): lossy, as ogg; 1 or 2 channels;",
              "  vqf[:KBPS]   ", std::string(15, ' '), 66) +
         "  none         packed as an ordinary file.\n"
         "With keep and pcm a file goes into the APAK only when restoring it\n"
         "gives its exact bytes; otherwise it is packed as an ordinary file\n"
         "and standard error says why.\n"
         "A file that cannot go into a pack (a backslash in its name, a name\n"
         "longer than 259 bytes, more than 4 GiB) stops the run, or with\n"
         "--skip-unpackable is left out with a line on standard error.\n"
         "A progress line on a terminal (--progress, --no-progress); --quiet\n"
         "(-q) prints failures only, --verbose (-v) also each file's path as\n"
         "it is packed.\n";
}

enum CreateOption { kStore, kAudio, kAudioFor, kSkipUnpackable, kProgress, kNoProgress, kQuiet, kVerbose };
constexpr OptionSpec kCreateOptions[] = {{kStore, "--store", 0, OptionKind::kText, "GLOB"},
                                         {kAudio, "--audio", 0, OptionKind::kText, "MODE"},
                                         {kAudioFor, "--audio-for", 0, OptionKind::kText, "GLOB=MODE"},
                                         {kSkipUnpackable, "--skip-unpackable", 0, OptionKind::kFlag, nullptr},
                                         {kProgress, "--progress", 0, OptionKind::kFlag, nullptr},
                                         {kNoProgress, "--no-progress", 0, OptionKind::kFlag, nullptr},
                                         {kQuiet, "--quiet", 'q', OptionKind::kFlag, nullptr},
                                         {kVerbose, "--verbose", 'v', OptionKind::kFlag, nullptr}};

int RunCreate(const Command& self, const std::vector<std::string>& args) {
  CommandLine line;
  int status = kExitOk;
  if (!ReadCommandLine(self, args, kCreateOptions, &line, &status)) return status;
  if (line.operands.size() != 2) return UsageError(self, "create takes a pack name and a directory");
  CreateOptions options;
  for (const GivenOption& option : line.options) {
    const std::string& value = option.value;
    std::string error;
    switch (option.spec->id) {
      case kStore: options.storeGlobs.push_back(value); break;
      case kAudio:
        if (!ParseAudioMode(value, &options.audio, &error)) return UsageError(self, error);
        break;
      case kAudioFor: {
        const size_t equals = value.rfind('=');
        if (equals == std::string::npos) return UsageError(self, "--audio-for takes GLOB=MODE, not " + value);
        AudioChoice choice;
        if (!ParseAudioMode(value.substr(equals + 1), &choice, &error)) return UsageError(self, error);
        options.audioFor.emplace_back(value.substr(0, equals), choice);
        break;
      }
      case kSkipUnpackable: options.skipUnpackable = true; break;
      case kProgress:
      case kNoProgress: options.progress = option.spec->id == kProgress ? 1 : 0; break;
      case kQuiet: options.quiet = true; break;
      case kVerbose: options.verbose = true; break;
    }
  }
  return Create(line.operands[0], line.operands[1], options);
}

}  // namespace

const Command kCreateCommand = {
    "create", RunCreate,
    "spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]\n"
    "                 [--audio-for GLOB=MODE]... [--skip-unpackable]\n"
    "                 [--progress|--no-progress] [--quiet|--verbose]",
    "<pakname> <dir> [options]", Description};
