// What spoolpack's commands share: exit statuses, messages, kind names and
// the glob match of names.
#pragma once

#include <fnmatch.h>

#include <cstdio>
#include <string>

#include "pack/pack.h"

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// One line on standard error; names in it cannot drive the terminal.
inline void Complain(const std::string& text) { std::fprintf(stderr, "spoolpack: %s\n", PrintableName(text).c_str()); }

inline const char* KindName(PackKind kind) {
  switch (kind) {
    case PackKind::kAudio: return "audio";
    case PackKind::kStored: return "stored";
    case PackKind::kDeflated: return "deflated";
  }
  return "";
}

// Whether `glob` (fnmatch, '*' also crossing '/') matches `path`, a
// '/'-separated relative path, or its last component.
inline bool GlobMatches(const std::string& glob, const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return fnmatch(glob.c_str(), path.c_str(), 0) == 0 || fnmatch(glob.c_str(), base.c_str(), 0) == 0;
}
