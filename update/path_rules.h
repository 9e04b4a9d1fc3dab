#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

namespace kov::update {

// Segment names an update must never write, wherever they stand in a path.
inline constexpr const char* kProtectedNames[] = {"game",
                                                  "game-install-temp",
                                                  "game-install-backup",
                                                  "user_data",
                                                  "user_data.migrating",
                                                  "logs",
                                                  "cache",
                                                  "content",
                                                  "save",
                                                  "saves",
                                                  "dlc",
                                                  "settings.toml",
                                                  "settings.toml.bak",
                                                  "7c30e5a2",
                                                  "screenshots"};
inline constexpr const char* kProtectedFileNames[] = {"default.xex", "data.bin", "arcadeinfo.xml",
                                                      "nxeart", "settings.toml"};
inline constexpr const char* kProtectedExtensions[] = {
    ".xex", ".xsh", ".xpso", ".sav",      ".log", ".dmp", ".pdb", ".ilk", ".obj",
    ".bak", ".tmp", ".zip",  ".appimage", ".7z",  ".rar", ".tar", ".gz"};

// Accepts a relative path and gives its one normalised form: '/' between segments, no "."
// segments, no trailing separator. Refuses absolute and drive-qualified paths, "..", empty
// segments, segments over 255 bytes, paths over 1024 bytes, control characters and "*:<>?|,
// segments ending in '.' or ' ', and device names (con, prn, aux, nul, com1-9, lpt1-9, with
// any extension), naming the first fault in reason (when not null) as a short lower-case
// fragment such as "path traversal"; reason is untouched on success. normalized is cleared
// first and holds, after a refusal, the segments accepted before the faulty one.
bool NormalizeRelativePath(std::string_view path, std::string& normalized, std::string* reason);
// NormalizeRelativePath without its normalised form.
bool IsSafeRelativePath(std::string_view path, std::string* reason);

// True when a normalised relative path touches the game, user data or a protected kind of file.
bool IsProtectedRelativePath(std::string_view path);

// True when path is root or lies below it, both resolved on disk first (links followed, the
// missing rest folded lexically); whole elements compared, ignoring case on Windows. False
// when either cannot be resolved.
bool PathIsWithin(const std::filesystem::path& path, const std::filesystem::path& root);
// True for an existing ordinary file that is no link; false also when it cannot be examined.
bool IsRegularFile(const std::filesystem::path& path);
// The same two checks without folding a failed system call into the answer: false with ec
// set when the file system could not resolve a path or read an entry's type.
bool PathIsWithin(const std::filesystem::path& path, const std::filesystem::path& root,
                  std::error_code& ec);
bool IsRegularFile(const std::filesystem::path& path, std::error_code& ec);

// Path relative to root as the file system resolves both (links followed, the stored long
// name and letter case of every existing element), as UTF-8 with '/' between elements; empty
// when path is root or does not lie below it. Sets ec when a path cannot be resolved or an
// element has no UTF-8 form.
std::string ResolvedRelativePath(const std::filesystem::path& path,
                                 const std::filesystem::path& root, std::error_code& ec);

// True when path cannot be shown to lie below root without passing a link: path outside root,
// a folder between them that is a link or cannot be examined, or root itself a link.
bool HasReparseAncestor(const std::filesystem::path& path, const std::filesystem::path& root);

// The three checks above for many paths below one root, asking the file system about the root
// and each folder once: an update's thousands of files share a few folders. A path's last
// element is looked up among its folder's entries, read once, and followed from the start only
// when it is a link.
class PathsBelow {
 public:
  explicit PathsBelow(std::filesystem::path root);

  std::string ResolvedRelativePath(const std::filesystem::path& path, std::error_code& ec);
  bool Contains(const std::filesystem::path& path, std::error_code& ec);
  bool HasReparseAncestor(const std::filesystem::path& path);

 private:
  // A folder's entries by folded name, each with its stored name, or none for a link.
  using Names = std::map<std::filesystem::path::string_type, std::optional<std::filesystem::path>>;

  std::filesystem::path Canonical(const std::filesystem::path& path, std::error_code& ec);
  const std::optional<Names>& NamesIn(const std::filesystem::path& folder);
  std::filesystem::path CanonicalFolder(const std::filesystem::path& folder, std::error_code& ec);

  std::filesystem::path root_;
  std::map<std::filesystem::path, std::filesystem::path> canonical_folders_;
  std::map<std::filesystem::path, std::optional<Names>> folder_names_;
  std::set<std::filesystem::path> link_free_folders_;  // with every folder up to the root
  std::optional<bool> root_is_link_;
};

}  // namespace kov::update
