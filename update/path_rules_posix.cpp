#include <optional>
#include <system_error>
#include <utility>

#include "update/path_rules_platform.h"

namespace kov::update::platform {

namespace fs = std::filesystem;

std::filesystem::path WeaklyCanonical(const fs::path& path, std::error_code& ec) {
  const fs::path absolute = fs::absolute(path, ec);
  if (ec) return {};
  return fs::weakly_canonical(absolute, ec);
}

fs::file_type LinkStatusType(const fs::path& path, std::error_code& ec) {
  const fs::file_type type = fs::symlink_status(path, ec).type();
  if (type == fs::file_type::not_found) ec.clear();
  return type;
}

// There are no reparse points here; the only entry that stands for another name is a
// symbolic link, which is what a linked root must be caught as.
bool IsLinkReparsePoint(const fs::path& path) {
  std::error_code ignored;
  return LinkStatusType(path, ignored) == fs::file_type::symlink;
}

StoredNames ListStoredNames(const fs::path& folder, std::error_code& ec) {
  StoredNames names;
  std::error_code unreadable;
  for (fs::directory_iterator it(folder, unreadable), end; !unreadable && it != end;
       it.increment(unreadable)) {
    const bool link = it->is_symlink(unreadable);
    names.emplace(it->path().filename().native(),
                  link ? std::nullopt : std::optional(it->path().filename()));
  }
  if (unreadable && unreadable != std::errc::no_such_file_or_directory) ec = unreadable;
  return names;
}

fs::path::string_type FoldedElement(const fs::path& element) { return element.native(); }

// The file systems here are case-sensitive, so elements match only when equal.
bool SameElement(const fs::path& a, const fs::path& b) { return a.native() == b.native(); }

}  // namespace kov::update::platform
