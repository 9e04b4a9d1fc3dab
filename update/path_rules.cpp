#include "update/path_rules.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

#include "update/path_rules_platform.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxPathBytes = 1024;
constexpr std::size_t kMaxSegmentBytes = 255;

bool Refuse(std::string* reason, const char* text) {
  if (reason != nullptr) *reason = text;
  return false;
}

bool IsSeparator(char byte) { return byte == '/' || byte == '\\'; }

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& byte : lower) {
    byte = static_cast<char>(std::tolower(static_cast<unsigned char>(byte)));
  }
  return lower;
}

bool IsForbiddenByte(unsigned char byte) {
  constexpr std::string_view kForbidden = "\"*:<>?|";
  return byte < 0x20 || kForbidden.find(static_cast<char>(byte)) != std::string_view::npos;
}

bool IsReservedDeviceName(std::string_view segment) {
  const std::string stem = LowerAscii(segment.substr(0, segment.find('.')));
  if (stem.size() == 3) return stem == "con" || stem == "prn" || stem == "aux" || stem == "nul";
  if (stem.size() == 4) {
    const std::string_view family = std::string_view(stem).substr(0, 3);
    return (family == "com" || family == "lpt") && stem[3] >= '1' && stem[3] <= '9';
  }
  return false;
}

// Why a segment is refused, or null when it may stand in a normalised path.
// A "." in the middle never gets here; at the end it counts as empty.
const char* SegmentFault(std::string_view segment) {
  if (segment.empty() || segment == ".") return "empty path segment";
  if (segment == "..") return "path traversal";
  if (segment.size() > kMaxSegmentBytes) return "path segment too long";
  if (std::any_of(segment.begin(), segment.end(),
                  [](char byte) { return IsForbiddenByte(static_cast<unsigned char>(byte)); })) {
    return "invalid character in path";
  }
  if (segment.back() == '.' || segment.back() == ' ') return "invalid path segment ending";
  if (IsReservedDeviceName(segment)) return "reserved path name";
  return nullptr;
}

template <std::size_t N>
bool IsListed(const char* const (&table)[N], std::string_view text) {
  return std::any_of(std::begin(table), std::end(table),
                     [text](const char* entry) { return text == entry; });
}

bool HasProtectedSegment(std::string_view lower_path) {
  for (;;) {
    const std::size_t slash = lower_path.find('/');
    const std::string_view segment = lower_path.substr(0, slash);
    if (IsListed(kProtectedNames, segment) || IsListed(kProtectedFileNames, segment)) return true;
    if (slash == std::string_view::npos) return false;
    lower_path.remove_prefix(slash + 1);
  }
}

bool HasProtectedExtension(std::string_view lower_path) {
  const std::size_t dot = lower_path.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::size_t slash = lower_path.rfind('/');
  if (slash != std::string_view::npos && dot < slash) return false;
  return IsListed(kProtectedExtensions, lower_path.substr(dot));
}

// A canonical form that ends in a separator names the same folder without it; the final
// empty element would otherwise keep everything below that folder from counting as inside.
fs::path WithoutTrailingSeparator(const fs::path& path) {
  return path.has_relative_path() && !path.has_filename() ? path.parent_path() : path;
}

fs::path Canonical(const fs::path& path, std::error_code& ec) {
  const fs::path canonical = platform::WeaklyCanonical(path, ec);
  if (ec) return {};
  return WithoutTrailingSeparator(canonical);
}

// Where path goes on past the elements of root, or nothing when it does not start with them.
std::optional<fs::path::iterator> ElementsPast(const fs::path& path, const fs::path& root) {
  auto path_element = path.begin();
  for (const fs::path& root_element : root) {
    if (path_element == path.end()) return std::nullopt;
    if (!platform::SameElement(*path_element, root_element)) return std::nullopt;
    ++path_element;
  }
  return path_element;
}

// The elements from first to last, as UTF-8 joined by '/'.
std::string JoinedUtf8(fs::path::iterator first, fs::path::iterator last, std::error_code& ec) {
  std::string joined;
  for (; first != last; ++first) {
    const std::optional<std::string> element = TryUtf8Path(*first);
    if (!element) {
      ec = std::make_error_code(std::errc::illegal_byte_sequence);
      return {};
    }
    if (!joined.empty()) joined += '/';
    joined += *element;
  }
  return joined;
}

// A last element that names an entry of its folder, not the folder itself or its parent.
bool IsPlainName(const fs::path& name) { return !name.empty() && name != "." && name != ".."; }

// A folder between root and the target that is a link, or whose nature cannot be read.
bool IsLinkOnTheWay(const fs::path& folder) {
  std::error_code unreadable;
  switch (platform::LinkStatusType(folder, unreadable)) {
    case fs::file_type::not_found:
      return false;
    case fs::file_type::none:
    case fs::file_type::symlink:
      return true;
    default:
      return platform::IsLinkReparsePoint(folder);
  }
}

}  // namespace

bool NormalizeRelativePath(std::string_view path, std::string& normalized, std::string* reason) {
  normalized.clear();
  if (path.empty()) return Refuse(reason, "empty path");
  if (IsSeparator(path.front())) return Refuse(reason, "absolute path");
  if (path.size() >= 2 && path[1] == ':') return Refuse(reason, "drive-qualified path");

  std::string unified(path);
  std::replace(unified.begin(), unified.end(), '\\', '/');
  while (unified.back() == '/') unified.pop_back();
  if (unified.size() > kMaxPathBytes) return Refuse(reason, "path too long");

  std::string_view rest = unified;
  for (;;) {
    const std::size_t slash = rest.find('/');
    const bool is_last = slash == std::string_view::npos;
    const std::string_view segment = rest.substr(0, slash);
    if (segment != "." || is_last) {
      if (const char* fault = SegmentFault(segment)) return Refuse(reason, fault);
      if (!normalized.empty()) normalized += '/';
      normalized += segment;
    }
    if (is_last) return true;
    rest.remove_prefix(slash + 1);
  }
}

bool IsSafeRelativePath(std::string_view path, std::string* reason) {
  std::string normalized;
  return NormalizeRelativePath(path, normalized, reason);
}

bool IsProtectedRelativePath(std::string_view path) {
  const std::string lower = LowerAscii(path);
  return HasProtectedSegment(lower) || HasProtectedExtension(lower);
}

bool PathIsWithin(const fs::path& path, const fs::path& root, std::error_code& ec) {
  return PathsBelow(root).Contains(path, ec);
}

bool PathIsWithin(const fs::path& path, const fs::path& root) {
  std::error_code unresolved;
  return PathIsWithin(path, root, unresolved);
}

bool IsRegularFile(const fs::path& path, std::error_code& ec) {
  if (platform::LinkStatusType(path, ec) != fs::file_type::regular) return false;
  return !platform::IsLinkReparsePoint(path);
}

bool IsRegularFile(const fs::path& path) {
  std::error_code unreadable;
  return IsRegularFile(path, unreadable);
}

std::string ResolvedRelativePath(const fs::path& path, const fs::path& root, std::error_code& ec) {
  return PathsBelow(root).ResolvedRelativePath(path, ec);
}

bool HasReparseAncestor(const fs::path& path, const fs::path& root) {
  return PathsBelow(root).HasReparseAncestor(path);
}

PathsBelow::PathsBelow(fs::path root) : root_(std::move(root)) {}

std::string PathsBelow::ResolvedRelativePath(const fs::path& path, std::error_code& ec) {
  const fs::path canonical_root = CanonicalFolder(root_, ec);
  if (ec || canonical_root.empty()) return {};
  const fs::path canonical_path = Canonical(path, ec);
  if (ec) return {};
  const auto below_root = ElementsPast(canonical_path, canonical_root);
  if (!below_root) return {};
  return JoinedUtf8(*below_root, canonical_path.end(), ec);
}

// Where a path lies depends on its folder alone unless its last element is a link, so only that
// is asked of the file system, not the element's stored name.
bool PathsBelow::Contains(const fs::path& path, std::error_code& ec) {
  const fs::path canonical_root = CanonicalFolder(root_, ec);
  if (ec || canonical_root.empty()) return false;
  const bool by_folder = IsPlainName(path.filename()) &&
                         platform::LinkStatusType(path, ec) != fs::file_type::none &&
                         !platform::IsLinkReparsePoint(path);
  if (ec) return false;
  const fs::path canonical_path = by_folder
                                      ? CanonicalFolder(path.parent_path(), ec) / path.filename()
                                      : kov::update::Canonical(path, ec);
  if (ec || canonical_path.empty()) return false;
  return ElementsPast(canonical_path, canonical_root).has_value();
}

bool PathsBelow::HasReparseAncestor(const fs::path& path) {
  const fs::path relative = path.lexically_relative(root_);
  if (relative.empty() || *relative.begin() == "..") return true;
  if (!root_is_link_) root_is_link_ = platform::IsLinkReparsePoint(root_);
  if (*root_is_link_) return true;
  fs::path current = root_;
  for (const fs::path& element : relative.parent_path()) {
    current /= element;
    if (link_free_folders_.contains(current)) continue;
    if (IsLinkOnTheWay(current)) return true;
    link_free_folders_.insert(current);
  }
  return false;
}

// The folder's resolution and entries, remembered: the last element is found among them.
fs::path PathsBelow::Canonical(const fs::path& path, std::error_code& ec) {
  const fs::path name = path.filename();
  if (!IsPlainName(name)) return kov::update::Canonical(path, ec);
  const std::optional<Names>& names = NamesIn(path.parent_path());
  if (!names) return kov::update::Canonical(path, ec);
  const auto entry = names->find(platform::FoldedElement(name));
  const bool listed = entry != names->end();
  if (listed && !entry->second) return kov::update::Canonical(path, ec);  // a link
  const fs::path folder = CanonicalFolder(path.parent_path(), ec);
  if (ec || folder.empty()) return {};
  return folder / (listed ? *entry->second : name);
}

// Nothing when the folder cannot be read (a file in its place, say): its paths are then left to
// the resolution from the start, which tells what is in the way.
const std::optional<PathsBelow::Names>& PathsBelow::NamesIn(const fs::path& folder) {
  const auto known = folder_names_.find(folder);
  if (known != folder_names_.end()) return known->second;
  std::error_code unreadable;
  Names names = platform::ListStoredNames(folder, unreadable);
  std::optional<Names> readable;
  if (!unreadable) readable = std::move(names);
  return folder_names_.emplace(folder, std::move(readable)).first->second;
}

fs::path PathsBelow::CanonicalFolder(const fs::path& folder, std::error_code& ec) {
  const auto known = canonical_folders_.find(folder);
  if (known != canonical_folders_.end()) return known->second;
  fs::path canonical = kov::update::Canonical(folder, ec);
  if (!ec) canonical_folders_.emplace(folder, canonical);
  return canonical;
}

}  // namespace kov::update
