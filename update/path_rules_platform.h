#pragma once

// The operating-system half of the path rules. The portable rules in path_rules.cpp walk
// elements and decide; these functions only ask the file system, and never throw.

#include <filesystem>
#include <optional>
#include <system_error>

namespace kov::update::platform {

// Absolute form with every link of the longest existing leading part resolved, the rest
// appended and folded lexically. Sets ec when the file system cannot tell.
std::filesystem::path WeaklyCanonical(const std::filesystem::path& path, std::error_code& ec);

// The entry's own type, links not followed: not_found when it does not exist, none with ec
// set when its status cannot be read.
std::filesystem::file_type LinkStatusType(const std::filesystem::path& path, std::error_code& ec);

// True for an entry that stands for another name: on Windows a reparse point whose tag has
// the name-surrogate bit or cannot be read, on POSIX a symbolic link. False when there is no
// such entry or its attributes cannot be read.
bool IsLinkReparsePoint(const std::filesystem::path& path);

// The name under which the file system keeps path's last element (on Windows its long name in
// its stored letter case), the element itself when it does not exist, or nothing when it is a
// link, which only a resolution from the start can follow. Sets ec when it cannot tell.
std::optional<std::filesystem::path> StoredName(const std::filesystem::path& path,
                                                std::error_code& ec);

// Whether two path elements name the same thing on this platform's file systems.
bool SameElement(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace kov::update::platform
