// spoolpack list [--json] <pack>
// One line (or one JSON object) per entry of a pack file.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/stream/audio_stream.h"
#include "pack/pack.h"
#include "tools/spoolpack/spoolpack_common.h"
#include "tools/spoolpack/spoolpack_json.h"

namespace {

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

std::string Description() {
  return "prints one line per entry of a .APAK, .UPAK or .ZPAK file:\n"
         "kind, data offset, packed size, unpacked size, name; audio entries\n"
         "also show the packed stream's format and the stored description.\n"
         "--json: one JSON object per line and entry instead.\n";
}

int RunList(const Command& self, const std::vector<std::string>& args) {
  if (!args.empty() && IsHelp(args[0])) return CommandHelp(self);
  if (args.size() == 1) return List(args[0], false);
  if (args.size() == 2 && args[0] == "--json") return List(args[1], true);
  return UsageError(self, "list takes one pack file, with --json before it to print JSON");
}

}  // namespace

const Command kListCommand = {"list", RunList, "spoolpack list [--json] <pack>", "[--json] <pack>", Description};
