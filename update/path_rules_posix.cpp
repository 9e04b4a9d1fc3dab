#include <optional>
#include <system_error>

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

// Names are stored as given: only a link needs resolving.
std::optional<fs::path> StoredName(const fs::path& path, std::error_code& ec) {
  if (LinkStatusType(path, ec) == fs::file_type::symlink) return std::nullopt;
  return path.filename();
}

// The file systems here are case-sensitive, so elements match only when equal.
bool SameElement(const fs::path& a, const fs::path& b) { return a.native() == b.native(); }

}  // namespace kov::update::platform
