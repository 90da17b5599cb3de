// SPDX-License-Identifier: GPL-2.0-or-later
// spoolpack mount <pakname> <mountpoint> [--foreground] [--cache DIR]
//                 [--cache-size SIZE]
// Opens the packs of the set read-only, lists them as extract would place
// their files (names it leaves out go to standard error), mounts the tree
// read-only through libfuse3 and serves it single-threaded until it is
// unmounted (fusermount3 -u) or, in the foreground, interrupted.

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "tools/spoolpack/spoolpack_common.h"
#include "tools/spoolpack/spoolpack_mount_fs.h"

namespace fs = std::filesystem;

namespace {

// Restored audio kept when no size is given, bytes.
constexpr uint64_t kDefaultCacheBytes = uint64_t{1} << 30;

struct MountOptions {
  std::string pakname;
  std::string mountpoint;
  std::string cache;  // the cache root; empty for the default
  uint64_t cacheBytes = kDefaultCacheBytes;
  bool foreground = false;
};

// "1048576", "64K", "512M", "2G", "1T" (powers of 1024). False when `text`
// is none of these or the value does not fit.
bool ParseSize(const std::string& text, uint64_t* bytes) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 15 || text.size() > digits + 1) return false;
  int shift = 0;
  if (text.size() == digits + 1) {
    const char* units = "KMGT";
    const char* unit = std::strchr(units, text.back());
    if (unit == nullptr || *unit == '\0') return false;
    shift = 10 * int(unit - units + 1);
  }
  const uint64_t value = std::stoull(text.substr(0, digits));
  if (shift > 0 && value > (UINT64_MAX >> shift)) return false;
  *bytes = value << shift;
  return true;
}

enum MountOption { kForeground, kCache, kCacheSize };
constexpr OptionSpec kMountOptions[] = {{kForeground, "--foreground", 'f', OptionKind::kFlag, nullptr},
                                        {kCache, "--cache", 0, OptionKind::kText, "DIR"},
                                        {kCacheSize, "--cache-size", 0, OptionKind::kText, "SIZE"}};

bool TakeMountOptions(const CommandLine& line, MountOptions* options, std::string* error) {
  for (const GivenOption& option : line.options) {
    if (option.known->id == kForeground) {
      options->foreground = true;
    } else if (option.known->id == kCache) {
      options->cache = option.value;
    } else if (!ParseSize(option.value, &options->cacheBytes)) {
      *error = "--cache-size takes bytes, or a number with K, M, G or T, not " + option.value;
      return false;
    }
  }
  if (line.operands.size() != 2) {
    *error = "mount takes a pack name and a mount point";
    return false;
  }
  options->pakname = line.operands[0];
  options->mountpoint = line.operands[1];
  return true;
}

// A value for libfuse's -o list: its separators (',') and escapes ('\')
// escaped.
std::string OptionValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == ',' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

struct SessionDeleter {
  void operator()(fuse_session* session) const { fuse_session_destroy(session); }
};
using SessionPtr = std::unique_ptr<fuse_session, SessionDeleter>;

std::string Description() {
  return "shows <pakname>'s packs as a read-only folder at <mountpoint> (FUSE),\n"
         "with the files extract would write; returns once it is mounted, or\n"
         "with --foreground serves until interrupted. Deflated files are read\n"
         "through access points, audio files restored when first opened into\n"
         "a cache (--cache DIR, default ~/.cache/spoolpack; --cache-size SIZE,\n"
         "default 1G). Unmount with fusermount3 -u <mountpoint>.\n";
}

int RunMount(const Command& self, const std::vector<std::string>& args) {
  CommandLine line;
  int status = kExitOk;
  if (!ReadCommandLine(self, args, kMountOptions, &line, &status)) return status;
  MountOptions options;
  std::string error;
  if (!TakeMountOptions(line, &options, &error)) return UsageError(self, error);
  // libfuse moves the process to "/" once mounted: every path is made
  // absolute first.
  const std::string pakname = Absolute(options.pakname);
  const std::string mountpoint = Absolute(options.mountpoint);
  std::error_code ec;
  if (!fs::is_directory(mountpoint, ec)) {
    Complain("the mount point " + mountpoint + " is not a directory");
    return kExitFailed;
  }
  const std::string root = options.cache.empty() ? DefaultCacheRoot() : Absolute(options.cache);
  if (root.empty()) return UsageError(self, "no cache folder: HOME is not set; give --cache DIR");

  PackSetPtr set;
  std::vector<std::string> notes;
  const int opened = OpenPackSet(pakname, &set, &notes, &error);
  for (const std::string& note : notes) Complain(note);
  if (opened != kPackOk) {
    Complain(error);
    // Without a note no pack of the name exists at all.
    return notes.empty() ? kExitUsage : kExitFailed;
  }
  AudioCache cache;
  if (!OpenAudioCache(root, options.cacheBytes, &cache, &error)) {
    Complain(error);
    return kExitFailed;
  }
  MountState state;
  state.cache = &cache;
  state.uid = ::getuid();
  state.gid = ::getgid();
  state.tell = true;
  BuildMountTree(*set, &state);

  const std::string mountOptions =
      "ro,default_permissions,subtype=spoolpack,fsname=" + OptionValue("spoolpack:" + pakname);
  const char* argv[] = {"spoolpack", "-o", mountOptions.c_str()};
  fuse_args fuseArgs = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  // libfuse copies the arguments it changes; they are freed on every path.
  const std::unique_ptr<fuse_args, void (*)(fuse_args*)> freeArgs(&fuseArgs, fuse_opt_free_args);
  SessionPtr session(fuse_session_new(&fuseArgs, &MountOperations(), sizeof(fuse_lowlevel_ops), &state));
  if (!session) {
    Complain("cannot start a FUSE session");
    return kExitFailed;
  }
  if (fuse_set_signal_handlers(session.get()) != 0) {
    Complain("cannot set up the signal handlers");
    return kExitFailed;
  }
  if (fuse_session_mount(session.get(), mountpoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session.get());
    Complain("cannot mount on " + mountpoint + " (is /dev/fuse there, and may this user mount?)");
    return kExitFailed;
  }
  // In the background the calling process ends here, with the mount ready.
  (void)fuse_daemonize(options.foreground ? 1 : 0);
  const int served = fuse_session_loop(session.get());
  fuse_session_unmount(session.get());
  fuse_remove_signal_handlers(session.get());
  session.reset();
  if (served < 0) {
    Complain("serving " + mountpoint + " stopped: " + std::strerror(-served));
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

const Command kMountCommand = {"mount", RunMount,
                                "spoolpack mount <pakname> <mountpoint> [--foreground] [--cache DIR]\n"
                                "                [--cache-size SIZE]",
                                "<pakname> <mountpoint> [options]", Description};
