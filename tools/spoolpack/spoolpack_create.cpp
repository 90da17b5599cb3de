// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]
//                  [--audio-for GLOB=MODE]... [--skip-unpackable]
//                  [--progress|--no-progress] [--quiet|--verbose] [--jobs N]
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
#include "tools/spoolpack/spoolpack_create_set.h"
#include "tools/spoolpack/spoolpack_jobs.h"
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
  bool quiet = false;                                         // failures only
  bool verbose = false;                                       // a line per file packed
  int progress = -1;  // 1 --progress, 0 --no-progress, -1 on a terminal only
  int jobs = DefaultJobs();  // --jobs N
};

AudioChoice AudioChoiceFor(const CreateOptions& options, const SourceFile& file) {
  AudioChoice choice = options.audio;
  for (const auto& [glob, forGlob] : options.audioFor) {
    if (Matches(glob, file)) choice = forGlob;
  }
  return choice;
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
  NewPackSet set;
  set.pakname = pakname;
  set.progress = &progress;
  set.quiet = options.quiet;
  std::vector<FilePlan> plans;
  for (const SourceFile& file : walk.files) {
    plans.push_back(FilePlan{AudioChoiceFor(options, file), MatchesStore(options.storeGlobs, file)});
  }
  const auto added = [&](size_t i) {
    progress.EntryDone(sizes[i], sizes[i]);
    if (options.verbose) {
      progress.Clear();
      std::printf("%s\n", PrintableName(walk.files[i].relative).c_str());
      std::fflush(stdout);
    }
  };
  if (!AddFiles(set, walk.files, plans, options.jobs, added)) {
    Say(set, "stopped; no pack was replaced");
    return kExitFailed;
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
         "it is packed. --jobs N (-j N): N files packed at once (default: the\n"
         "cores); the packs are the same for any N.\n";
}

enum CreateOption { kStore, kAudio, kAudioFor, kSkipUnpackable, kProgress, kNoProgress, kQuiet, kVerbose };
constexpr OptionSpec kCreateOptions[] = {{kStore, "--store", 0, OptionKind::kText, "GLOB"},
                                         {kAudio, "--audio", 0, OptionKind::kText, "MODE"},
                                         {kAudioFor, "--audio-for", 0, OptionKind::kText, "GLOB=MODE"},
                                         {kSkipUnpackable, "--skip-unpackable", 0, OptionKind::kFlag, nullptr},
                                         {kProgress, "--progress", 0, OptionKind::kFlag, nullptr},
                                         {kNoProgress, "--no-progress", 0, OptionKind::kFlag, nullptr},
                                         {kQuiet, "--quiet", 'q', OptionKind::kFlag, nullptr},
                                         {kVerbose, "--verbose", 'v', OptionKind::kFlag, nullptr},
                                         kJobsSpec};

int RunCreate(const Command& self, const std::vector<std::string>& args) {
  CommandLine line;
  int status = kExitOk;
  if (!ReadCommandLine(self, args, kCreateOptions, &line, &status)) return status;
  if (line.operands.size() != 2) return UsageError(self, "create takes a pack name and a directory");
  CreateOptions options;
  for (const GivenOption& option : line.options) {
    const std::string& value = option.value;
    std::string error;
    switch (option.known->id) {
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
      case kNoProgress: options.progress = option.known->id == kProgress ? 1 : 0; break;
      case kQuiet: options.quiet = true; break;
      case kVerbose: options.verbose = true; break;
      case kJobsOption: options.jobs = static_cast<int>(option.number); break;
    }
  }
  return Create(line.operands[0], line.operands[1], options);
}

}  // namespace

const Command kCreateCommand = {
    "create", RunCreate,
    "spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]\n"
    "                 [--audio-for GLOB=MODE]... [--skip-unpackable]\n"
    "                 [--progress|--no-progress] [--quiet|--verbose] [--jobs N]",
    "<pakname> <dir> [options]", Description};
