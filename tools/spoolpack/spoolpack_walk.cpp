// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack create's walk of the tree to pack, in sorted order.
#include "tools/spoolpack/spoolpack_walk.h"

#include <algorithm>
#include <cstdint>

#include "pack/pack.h"
#include "tools/spoolpack/spoolpack_common.h"

namespace fs = std::filesystem;

namespace {

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

}  // namespace

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
