// What spoolpack's commands share: exit statuses, messages, kind names and
// the glob match of names.
#pragma once

#include <fnmatch.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// Takes `--max-ratio N` (N a whole number from 1 up: an audio entry may
// restore to N times its packed size, a run write N times its packs' size,
// past the floors of ExpansionLimits) or `--no-limit` at args[*i] into
// `limits`, moving *i past its value. Returns false when args[*i] is neither
// (or, with *error set, when N is missing or not such a number).
inline bool TakeLimitOption(const std::vector<std::string>& args, size_t* i, ExpansionLimits* limits,
                            std::string* error) {
  if (args[*i] == "--no-limit") {
    limits->enabled = false;
    return true;
  }
  if (args[*i] != "--max-ratio") return false;
  const std::string value = *i + 1 < args.size() ? args[++*i] : "";
  char* end = nullptr;
  const unsigned long long n = value.empty() || value[0] == '-' ? 0 : std::strtoull(value.c_str(), &end, 10);
  if (n == 0 || end == nullptr || *end != '\0') {
    *error = "--max-ratio takes a whole number from 1 up, not \"" + value + "\"";
    return true;
  }
  limits->audioRatio = limits->runRatio = n;
  return true;
}

// Whether `glob` (fnmatch, '*' also crossing '/') matches `path`, a
// '/'-separated relative path, or its last component.
inline bool GlobMatches(const std::string& glob, const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return fnmatch(glob.c_str(), path.c_str(), 0) == 0 || fnmatch(glob.c_str(), base.c_str(), 0) == 0;
}
