// Entry names and paths: joining names to the destination, the check that
// keeps every output file inside it, placing the output file, finding the
// packs of a set, and names as a terminal shows them.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "pack/pack_internal.h"

std::string JoinEntryPath(std::string_view destination, std::string_view name) {
  if (name.empty()) return std::string(destination);
  if (name.front() == '\\') name.remove_prefix(1);
  std::string path(destination);
  if (!destination.empty() && destination.back() != '\\') path += '\\';
  path += name;
  return path;
}

bool NameStaysInside(std::string_view name, bool emptyDestination) {
  const std::string rest = EntryPathUnderDestination(name);
  if (emptyDestination && !rest.empty() && rest.front() == '/') return false;
  return platform::SplitRelativePath(rest) == platform::RelativePath::kInside;
}

std::string FindPackFile(const std::string& pakname, PackKind kind) {
  const std::string upper = pakname + std::string(PackExtension(kind));
  struct stat st;
  if (::stat(platform::MapPath(upper).c_str(), &st) == 0) return upper;
  std::string lower = upper;
  for (size_t i = pakname.size(); i < lower.size(); ++i) {
    if (lower[i] >= 'A' && lower[i] <= 'Z') lower[i] = static_cast<char>(lower[i] - 'A' + 'a');
  }
  return ::stat(platform::MapPath(lower).c_str(), &st) == 0 ? lower : upper;
}

void ProtectPackSet(platform::Destination& destination, const std::string& pakname) {
  for (PackKind kind : kPackKindsInRunOrder) {
    const platform::File pack = platform::OpenExistingReadOnly(platform::MapPath(FindPackFile(pakname, kind)));
    if (pack.IsOpen()) destination.Protect(pack);
  }
}

std::string PrintableName(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return out;
}

std::string EntryPathUnderDestination(std::string_view name) {
  if (!name.empty() && name.front() == '\\') name.remove_prefix(1);
  return platform::MapPath(name);
}

namespace pack_internal {

int CreateOutput(const OutputFile& output, platform::PendingFile* pending, std::string* reason) {
  if (output.stream != nullptr) {
    // The bytes wait in a file without a name, which nothing can leave behind.
    const char* folder = std::getenv("TMPDIR");
    const std::string temporary = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    if (pending->CreateUnnamed(temporary)) return kPackOk;
    return Fail(reason, kPackFileError, "cannot create a temporary file in " + temporary + ": " + std::strerror(errno));
  }
  std::string where;
  const platform::PlaceError error = output.destination->Create(output.path, pending, &where);
  const std::string cause = std::strerror(errno);
  const std::string& base = output.destination->path();
  const std::string at = base.empty() ? where : base + "/" + where;
  switch (error) {
    case platform::PlaceError::kNone: return kPackOk;
    case platform::PlaceError::kLeaves:
      return Fail(reason, kPackFileError, "name would leave the destination directory");
    case platform::PlaceError::kNoFile: return Fail(reason, kPackFileError, "name is not a file name");
    case platform::PlaceError::kLinkOnPath:
      return Fail(reason, kPackFileError, "a directory of the name is a symbolic link: " + at);
    case platform::PlaceError::kNotAFolder:
      return Fail(reason, kPackFileError, "a directory of the name is not a directory: " + at);
    case platform::PlaceError::kProtected:
      return Fail(reason, kPackFileError, "would replace a pack being unpacked: " + output.shown);
    case platform::PlaceError::kExists: return Fail(reason, kPackExists, output.shown + " is already there");
    case platform::PlaceError::kNoDestination:
      return Fail(reason, kPackFileError, "cannot open the destination directory " + base + ": " + cause);
    case platform::PlaceError::kMissingFolder:
    case platform::PlaceError::kSystem: break;
  }
  return Fail(reason, kPackFileError, "cannot create " + output.shown + ": " + cause);
}

int CommitOutput(const OutputFile& output, platform::PendingFile& pending, std::string* reason) {
  if (pending.Commit()) return kPackOk;
  if (errno == EEXIST && output.destination != nullptr && output.destination->options().keepExisting) {
    return Fail(reason, kPackExists, output.shown + " is already there");
  }
  return Fail(reason, kPackFileError, "cannot put " + output.shown + " in place: " + std::strerror(errno));
}

}  // namespace pack_internal
