// SPDX-License-Identifier: GPL-2.0-or-later
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

uint64_t PackSetBytes(const std::string& pakname) {
  uint64_t total = 0;
  for (PackKind kind : kPackKindsInRunOrder) {
    struct stat st;
    if (::stat(platform::MapPath(FindPackFile(pakname, kind)).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      total += static_cast<uint64_t>(st.st_size);
    }
  }
  return total;
}

void ProtectPackSet(platform::Destination& destination, const std::string& pakname) {
  for (PackKind kind : kPackKindsInRunOrder) {
    const std::string found = FindPackFile(pakname, kind);
    const platform::File pack = platform::OpenExistingReadOnly(platform::MapPath(found));
    if (!pack.IsOpen()) continue;
    destination.Protect(pack);
    const std::string upper = platform::MapPath(pakname + std::string(PackExtension(kind)));
    if (platform::MapPath(found) == upper) continue;
    // Found by its lower-case name: a file of the upper-case name would be
    // found in its place.
    const size_t slash = upper.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : upper.substr(0, slash);
    destination.ProtectName(folder, slash == std::string::npos ? upper : upper.substr(slash + 1));
  }
}

size_t DecodeUtf8(std::string_view text, uint32_t* codePoint) {
  if (text.empty()) return 0;
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                      : lead >= 0xF0 && lead <= 0xF4   ? 4 : 0;
  if (length == 0 || length > text.size()) return 0;
  uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(i) & 0x3F);
  }
  constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *codePoint = value;
  return length;
}

bool IsUnprintable(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string PrintableName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    uint32_t c = 0;
    const size_t length = DecodeUtf8(text, &c);
    if (length == 0) {
      // A byte that is no UTF-8 stays as it is, but for the C1 range, which
      // a terminal may take as a control.
      const auto raw = static_cast<uint8_t>(text[0]);
      out += raw >= 0x80 && raw <= 0x9F ? '?' : text[0];
      text.remove_prefix(1);
      continue;
    }
    if (IsUnprintable(c)) {
      out += '?';
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
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
    case platform::PlaceError::kNoFile: return Fail(reason, kPackFileError, kNotAFileName);
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
