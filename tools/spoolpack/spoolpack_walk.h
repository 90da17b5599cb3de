// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack create's walk of the tree to pack.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A file to pack.
struct SourceFile {
  std::string name;  // relative, backslash-separated: the entry name
  std::string path;  // where to read it
  std::string relative;  // relative, '/'-separated, for --store matching
};

// What the walk found, and how it goes.
struct Walk {
  std::vector<SourceFile> files;
  std::vector<std::filesystem::path> skipPaths;  // the packs being written
  bool skipUnpackable = false;      // leave out files that cannot be packed
  bool ok = true;
};

// Collects the regular files under `dir` depth first in byte order of names,
// `relative` being the path of `dir` under the tree's root ('/'-separated,
// empty for the root). Says on standard error what is skipped or cannot be
// packed; walk.ok turns false when a file cannot be packed (and is not to
// be left out) or a folder cannot be read.
void WalkDirectory(const std::filesystem::path& dir, const std::string& relative, Walk& walk);
