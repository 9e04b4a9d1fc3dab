#pragma once

// The operating-system half of the path rules. The portable rules in path_rules.cpp walk
// elements and decide; these functions only ask the file system, and never throw.

#include <filesystem>
#include <map>
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

// The names of one folder's entries as the file system keeps them, for looking up many
// elements at once: each entry by its own name and by its other name where it has one (Windows'
// 8.3 short name), both folded (FoldedElement); an entry that stands for another name (a link
// or any reparse point) is kept with no name to give. A folder that does not exist has none;
// ec is set when the folder cannot be read.
using StoredNames =
    std::map<std::filesystem::path::string_type, std::optional<std::filesystem::path>>;
StoredNames ListStoredNames(const std::filesystem::path& folder, std::error_code& ec);

// An element in the form in which this platform's file systems compare names.
std::filesystem::path::string_type FoldedElement(const std::filesystem::path& element);

// Whether two path elements name the same thing on this platform's file systems.
bool SameElement(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace kov::update::platform
