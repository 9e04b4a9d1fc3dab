#pragma once

// Internal to the installer: the durable record of a running install. It lies in the
// installation under a reserved name, so any later run on that installation finds it, whatever
// backup folder its own job names.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "update/installer_platform.h"

namespace kov::update {

// What recovery must do with an install that was interrupted.
enum class JournalState {
  Replacing,    // files were being replaced: put every original back
  RollingBack,  // the run was undoing itself: put every original back
  Complete,     // every file was in place and verified: only clean up
};

struct JournalEntry {
  std::string relative_path;  // normalised
  bool existed = false;       // a previous file was backed up; else the update added it
};

struct Journal {
  JournalState state = JournalState::Replacing;
  std::filesystem::path backup_dir;
  std::vector<JournalEntry> entries;
};

// Every name the helper places in an installation starts so; compared without case, as
// Windows compares names.
inline constexpr std::string_view kReservedPrefix = ".kov-update-";

// True when any element of a normalised relative path is one of the helper's reserved names.
bool HasReservedName(std::string_view relative_path);
bool IsReservedFileName(const std::filesystem::path& name);

std::filesystem::path JournalPath(const std::filesystem::path& install_dir);
std::filesystem::path JournalTemporaryPath(const std::filesystem::path& install_dir);
std::filesystem::path LockPath(const std::filesystem::path& install_dir);

// Written whole beside its place, flushed, then moved over it: never seen half-written.
std::error_code WriteJournal(const std::filesystem::path& install_dir, const Journal& journal,
                             const InstallFileOps& ops);
// Removed, and the removal on the disk.
std::error_code RemoveJournal(const std::filesystem::path& install_dir, const InstallFileOps& ops);

enum class JournalFound { None, Readable, Damaged };
JournalFound ReadJournal(const std::filesystem::path& install_dir, Journal& journal);

}  // namespace kov::update
