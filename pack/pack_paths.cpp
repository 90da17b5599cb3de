// Joining entry names to the destination, and the check that keeps every
// output file inside it.
#include "pack/pack.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::string JoinEntryPath(std::string_view destination, std::string_view name) {
  if (name.empty()) return std::string(destination);
  if (name.front() == '\\') name.remove_prefix(1);
  std::string path(destination);
  if (!destination.empty() && destination.back() != '\\') path += '\\';
  path += name;
  return path;
}

bool NameStaysInside(std::string_view name) {
  if (!name.empty() && name.front() == '\\') name.remove_prefix(1);
  if (name.empty() || IsSeparator(name.front())) return false;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] == '\0') return false;
    if (i == name.size() || IsSeparator(name[i])) {
      if (name.substr(start, i - start) == "..") return false;
      start = i + 1;
    }
  }
  return true;
}
