// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack list [--json] <pack>|<pakname>
// One line (or one JSON object) per entry of a pack file, or of every pack
// of a set, each line then naming its pack.
#include <cinttypes>
#include <cstdio>
#include <filesystem>
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

// Lists the `kind` pack at `path`; with `named`, every line starts with the
// pack's path (a JSON object gets it as "pack"). Returns false on a failure.
bool ListPack(const std::string& path, PackKind kind, bool json, bool named) {
  PackPtr pack;
  std::string reason;
  if (OpenPack(path, kind, &pack, &reason, PackAccess::kReadOnly) != kPackOk) {
    Complain(path + ": " + (reason.empty() ? "no such file" : reason));
    return false;
  }
  const std::string prefix = named ? PrintableName(path) + ": " : "";
  DirectoryEntry entry;
  int rc;
  while ((rc = NextRecord(*pack, &entry, &reason)) == kPackOk) {
    if (json) {
      const std::string object = EntryJson(kind, entry);
      std::printf("%s\n", named ? ("{\"pack\":" + JsonString(path) + "," + object.substr(1)).c_str() : object.c_str());
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
    std::printf("%s%s %" PRIu32 " %" PRIu32 " %s %s\n", prefix.c_str(), KindName(kind), entry.dataOffset, entry.packedSize,
                unpacked.c_str(), PrintableName(entry.name).c_str());
  }
  if (rc != kPackEnd) {
    Complain(path + ": " + reason);
    return false;
  }
  return true;
}

// A name with a pack's extension is that pack file; any other name is a
// set, whose packs are listed in run order.
int List(const std::string& name, bool json) {
  PackKind kind;
  if (KindFromExtension(name, &kind)) return ListPack(name, kind, json, false) ? kExitOk : kExitFailed;
  bool found = false;
  bool ok = true;
  for (PackKind k : kPackKindsInRunOrder) {
    const std::string path = FindPackFile(name, k);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    found = true;
    ok = ListPack(path, k, json, true) && ok;
  }
  if (!found) {
    Complain("no pack named " + name + ".APAK, .UPAK or .ZPAK");
    return kExitFailed;
  }
  return ok ? kExitOk : kExitFailed;
}

std::string Description() {
  return "prints one line per entry of a .APAK, .UPAK or .ZPAK file:\n"
         "kind, data offset, packed size, unpacked size, name; audio entries\n"
         "also show the packed stream's format and the stored description.\n"
         "Given a set's <pakname>, lists each of its packs, every line after\n"
         "the pack's name and \": \".\n"
         "--json: one JSON object per line and entry instead (with \"pack\"\n"
         "for a set).\n";
}

enum ListOption { kJson };
constexpr OptionSpec kListOptions[] = {{kJson, "--json", 0, OptionKind::kFlag, nullptr}};

int RunList(const Command& self, const std::vector<std::string>& args) {
  CommandLine line;
  int status = kExitOk;
  if (!ReadCommandLine(self, args, kListOptions, &line, &status)) return status;
  if (line.operands.size() != 1) return UsageError(self, "list takes one pack file or pack name");
  return List(line.operands[0], !line.options.empty());
}

}  // namespace

const Command kListCommand = {"list", RunList, "spoolpack list [--json] <pack>|<pakname>", "[--json] <pack>|<pakname>",
                              Description};
