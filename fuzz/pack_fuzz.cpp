// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: the bytes are a pack file, opened as each of the three kinds
// and unpacked into a scratch directory.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "pack/pack.h"
#include "platform/platform.h"

namespace {

// A scratch folder for the whole process, removed at exit.
struct Scratch {
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "spoolex-fuzz-pack-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) root = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    if (!root.empty()) std::filesystem::remove_all(root, ec);
  }
  std::string root;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  if (scratch.root.empty()) return 0;
  const std::string packPath = scratch.root + "/input.pak";
  const std::string dest = scratch.root + "/out";
  {
    platform::File file = platform::CreateReplacing(packPath);
    if (platform::WriteFile(file, data, size) != static_cast<int64_t>(size)) return 0;
  }
  std::error_code ec;
  std::filesystem::create_directory(dest, ec);
  platform::Destination destination;
  (void)destination.Open(dest);
  for (PackKind kind : kPackKindsInRunOrder) {
    PackPtr pack;
    if (OpenPack(packPath, kind, &pack) != kPackOk) continue;
    std::string name;
    uint32_t packed = 0;
    uint32_t unpacked = 0;
    while (NextEntry(destination, &name, *pack, &packed, &unpacked) == kPackOk) {
    }
    ClosePack(std::move(pack));
  }
  std::filesystem::remove_all(dest, ec);
  return 0;
}
