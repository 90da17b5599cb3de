// spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]
//                  [--audio-for GLOB=MODE]... [--skip-unpackable]
// Packs every regular file under <dir> into the packs of <pakname>: audio
// files as the audio mode says, the rest deflated or stored.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "platform/platform.h"
#include "tools/spoolpack/spoolpack_common.h"
#include "tools/spoolpack/spoolpack_create_set.h"
#include "tools/spoolpack/spoolpack_jobs.h"
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
  int jobs = DefaultJobs();                                   // --jobs N
};

AudioChoice AudioChoiceFor(const CreateOptions& options, const SourceFile& file) {
  AudioChoice choice = options.audio;
  for (const auto& [glob, forGlob] : options.audioFor) {
    if (Matches(glob, file)) choice = forGlob;
  }
  return choice;
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
  std::vector<FilePlan> plans;
  for (const SourceFile& file : walk.files) {
    plans.push_back(FilePlan{AudioChoiceFor(options, file), MatchesStore(options.storeGlobs, file)});
  }
  if (!AddFiles(set, walk.files, plans, options.jobs)) {
    Complain("stopped; no pack was replaced");
    return kExitFailed;
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
         "--skip-unpackable is left out with a line on standard error.\n";
}

int RunCreate(const Command& self, const std::vector<std::string>& args) {
  if (!args.empty() && IsHelp(args[0])) return CommandHelp(self);
  if (args.size() < 2) return UsageError(self, "create takes a pack name and a directory");
  CreateOptions options;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    std::string error;
    if (IsHelp(arg)) {
      return CommandHelp(self);
    } else if (TakeJobsOption(args, &i, &options.jobs, &error)) {
      if (!error.empty()) return UsageError(self, error);
    } else if (arg == "--skip-unpackable") {
      options.skipUnpackable = true;
    } else if ((arg == "--store" || arg == "--audio" || arg == "--audio-for") && !hasValue) {
      return UsageError(self, arg + " needs a value");
    } else if (arg == "--store") {
      options.storeGlobs.push_back(args[++i]);
    } else if (arg == "--audio") {
      if (!ParseAudioMode(args[++i], &options.audio, &error)) return UsageError(self, error);
    } else if (arg == "--audio-for") {
      const std::string& value = args[++i];
      const size_t equals = value.rfind('=');
      if (equals == std::string::npos) return UsageError(self, "--audio-for takes GLOB=MODE, not " + value);
      AudioChoice choice;
      if (!ParseAudioMode(value.substr(equals + 1), &choice, &error)) return UsageError(self, error);
      options.audioFor.emplace_back(value.substr(0, equals), choice);
    } else {
      return UsageError(self, "unknown option " + arg);
    }
  }
  return Create(args[0], args[1], options);
}

}  // namespace

const Command kCreateCommand = {
    "create", RunCreate,
    "spoolpack create <pakname> <dir> [--store GLOB]... [--audio MODE]\n"
    "                 [--audio-for GLOB=MODE]... [--skip-unpackable] [--jobs N]",
    "<pakname> <dir> [options]", Description};
