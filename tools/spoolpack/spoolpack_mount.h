// spoolpack mount: a pack set as a read-only folder, through FUSE.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The usage line of mount, and its part of the whole help.
void PrintMountUsage(FILE* out);
void PrintMountHelp(FILE* out);

// Runs mount with the arguments after "mount". Returns (in the background:
// once the mount is ready, in the foreground: once it is unmounted) 0, 1
// when the set cannot be mounted, 2 for a usage error or when no pack of
// that name exists.
[[nodiscard]] int RunMount(const std::vector<std::string>& args);
