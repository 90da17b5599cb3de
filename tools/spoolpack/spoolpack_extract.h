// spoolpack extract: unpacks the packs of a set into a directory, creating
// the folders entries need, or writes one entry to standard output.
#pragma once

#include <string>
#include <vector>

#include "pack/pack.h"

enum class ExistingFiles { kOverwrite, kKeep, kFail };

struct ExtractOptions {
  std::string pakname;
  std::string directory;             // empty with --to-stdout
  std::vector<std::string> only;     // --only globs
  std::vector<std::string> exclude;  // --exclude globs
  ExistingFiles existing = ExistingFiles::kOverwrite;
  bool deleteAfter = false;
  bool dryRun = false;
  bool quiet = false;
  int progress = -1;  // 1 --progress, 0 --no-progress, -1 on a terminal only
  bool toStdout = false;
  std::string entry;  // --to-stdout NAME
  ExpansionLimits limits;  // --max-ratio N, --no-limit
};

// Parses the arguments after "extract". Returns false with *error set (or
// empty when the usage alone says it) for a usage error.
[[nodiscard]] bool ParseExtractArguments(const std::vector<std::string>& args, ExtractOptions* options,
                                         std::string* error);

// Runs the extraction. Returns 0 when every selected entry was written (or
// kept), 1 when some entry or pack failed, 2 when no pack of the name exists.
[[nodiscard]] int Extract(const ExtractOptions& options);
