#include "update/long_path.h"

#include <cstddef>
#include <string>
#include <vector>

namespace kov::update {
namespace {

// CreateDirectoryW refuses a path from 248 characters on (it keeps room for an 8.3 name below
// MAX_PATH); the other calls from 260. One limit for all keeps every call on the safe side.
constexpr std::size_t kLongPathFrom = 248;

bool IsSeparator(Utf16Char c) { return c == '/' || c == '\\'; }

bool IsDots(Utf16View element, std::size_t count) {
  return element.size() == count && element.find_first_not_of(Utf16Char{'.'}) == Utf16View::npos;
}

bool IsAsciiLetter(Utf16Char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsDrivePath(Utf16View path) {
  return path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == ':' && IsSeparator(path[2]);
}

// \\server\share\..., but not \\?\... or \\.\..., which already bypass the folding.
bool IsNetworkPath(Utf16View path) {
  if (path.size() < 3 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return false;
  if (IsSeparator(path[2])) return false;
  const bool device =
      (path[2] == '?' || path[2] == '.') && (path.size() == 3 || IsSeparator(path[3]));
  return !device;
}

// The elements of rest with "." and empty ones dropped and ".." folded; the first kept ones
// (server and share of a network path) are never folded away.
std::vector<Utf16View> FoldedElements(Utf16View rest, std::size_t kept) {
  std::vector<Utf16View> elements;
  while (!rest.empty()) {
    std::size_t end = 0;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const Utf16View element = rest.substr(0, end);
    rest.remove_prefix(end == rest.size() ? end : end + 1);
    if (element.empty() || IsDots(element, 1)) continue;
    if (IsDots(element, 2)) {
      if (elements.size() > kept) elements.pop_back();
      continue;
    }
    elements.push_back(element);
  }
  return elements;
}

Utf16String Joined(Utf16String prefix, const std::vector<Utf16View>& elements) {
  if (elements.empty()) prefix += '\\';
  for (const Utf16View element : elements) {
    prefix += '\\';
    prefix += element;
  }
  return prefix;
}

Utf16String Ascii(const char* text) {
  return Utf16String(text, text + std::char_traits<char>::length(text));
}

}  // namespace

Utf16String ExtendedLengthPath(Utf16View path) {
  if (path.size() < kLongPathFrom) return Utf16String(path);
  if (IsDrivePath(path)) {
    return Joined(Ascii("\\\\?\\") + Utf16String(path.substr(0, 2)),
                  FoldedElements(path.substr(3), 0));
  }
  if (IsNetworkPath(path)) return Joined(Ascii("\\\\?\\UNC"), FoldedElements(path.substr(2), 2));
  return Utf16String(path);
}

}  // namespace kov::update
