#pragma once

// Internal to the installer and to the AppImage update, which replaces its file the same way:
// the file operations that differ between Windows and POSIX, and the entry point that lets
// tests and benchmarks watch or fail the ones that change the disk.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "update/installer.h"
#include "update/update_job.h"

namespace kov::update::platform {

// Absolute as the job file means it: a drive with a root folder or a network prefix on Windows,
// a leading '/' on POSIX.
bool IsAbsoluteJobPath(const std::filesystem::path& path);

// Each answers the platform's own error code, empty on success.
// Copies a file over destination, replacing what is there.
std::error_code CopyFileOver(const std::filesystem::path& source,
                             const std::filesystem::path& destination);
// Keeps the state of an existing file at backup, replacing what is there, without bringing it
// to the disk.
std::error_code BackUpFile(const std::filesystem::path& original,
                           const std::filesystem::path& backup);
// Brings a file's content to the disk.
std::error_code FlushFile(const std::filesystem::path& file);
// The system move over an existing destination, returning once the move is on the disk.
std::error_code MoveFileDurably(const std::filesystem::path& source,
                                const std::filesystem::path& destination);
// The system's atomic move over an existing destination in the same folder, without waiting
// for the disk: the new name is safe from a power cut once the folder is synced (SyncFolder).
std::error_code RenameFile(const std::filesystem::path& source,
                           const std::filesystem::path& destination);
// Brings files, all below folder and on its volume, to the disk together: their content, and
// the names they were created under.
std::error_code SyncFiles(const std::filesystem::path& folder,
                          const std::vector<std::filesystem::path>& files);
// Creates or truncates a file and writes bytes into it, without bringing them to the disk.
std::error_code WriteNewFile(const std::filesystem::path& file, std::string_view bytes);
// Brings a folder's own entries (names created, moved or removed in it) to the disk.
std::error_code SyncFolder(const std::filesystem::path& folder);
// The space the process may still use on a volume, and which volume that is.
struct VolumeSpace {
  std::uintmax_t available = 0;
  std::uintmax_t volume = 0;  // equal for two folders on one volume
};
// For the volume that holds an existing folder.
std::error_code QueryVolumeSpace(const std::filesystem::path& folder, VolumeSpace& space);
// Removes a file; one that is not there counts as removed.
std::error_code RemoveFile(const std::filesystem::path& file);
// Creates a folder and the missing ones above it; an existing folder is fine.
std::error_code CreateFolders(const std::filesystem::path& folder);
// What a tree holds, for its removal: its folders, each before what it holds, and everything
// else, links to folders included (never what they point to). A path that is no folder is one
// of the rest; one that is not there holds nothing.
std::error_code ListTree(const std::filesystem::path& top,
                         std::vector<std::filesystem::path>& folders,
                         std::vector<std::filesystem::path>& rest);
// Removes an empty folder.
std::error_code RemoveFolder(const std::filesystem::path& folder);

// True for a failure that another process causes for a moment, such as a scanner holding a
// fresh file: worth trying again. Never on POSIX, where an open file blocks neither a move nor
// a removal.
bool IsTransientFileError(std::error_code error);

// An exclusive hold on an installation, through a lock file that only its holder may have; the
// system lets go of it when the process dies, however it dies.
struct HeldLock;
struct HeldLockRelease {
  void operator()(HeldLock* lock) const;
};
using InstallationLock = std::unique_ptr<HeldLock, HeldLockRelease>;
// Takes the lock at once or answers an empty one: with error empty when another process holds
// it, with error set when the lock file itself failed.
InstallationLock TryLockInstallation(const std::filesystem::path& lock_file,
                                     std::error_code& error);

}  // namespace kov::update::platform

namespace kov::update {

// The installer's operations that change the disk, as values that tests can wrap.
struct InstallFileOps {
  using TwoPaths = std::function<std::error_code(const std::filesystem::path& source,
                                                 const std::filesystem::path& destination)>;
  using OnePath = std::function<std::error_code(const std::filesystem::path& path)>;

  TwoPaths copy_file;
  OnePath flush_file;
  TwoPaths move_file;
  std::function<std::error_code(const std::filesystem::path& folder,
                                const std::vector<std::filesystem::path>& files)>
      sync_files;
  OnePath remove_file;
  OnePath create_folders;
  OnePath remove_tree;
  // Which failures the installer tries again after a short wait.
  std::function<bool(std::error_code)> is_transient;
  // The journal's own operations; callers that wrap only the file operations above get the
  // platform's.
  std::function<std::error_code(const std::filesystem::path& file, std::string_view bytes)>
      write_file = platform::WriteNewFile;
  OnePath sync_folder = platform::SyncFolder;
  std::function<std::error_code(const std::filesystem::path& folder, platform::VolumeSpace& space)>
      volume_space = platform::QueryVolumeSpace;
  // The move of a batch of replacements, whose folders are synced afterwards.
  TwoPaths rename_file = platform::RenameFile;
  TwoPaths back_up_file = platform::BackUpFile;
};

// The platform's operations.
InstallFileOps SystemInstallFileOps();

// Calls each for every path on a few threads at once, for calls that mostly wait for the disk,
// which serves concurrent waits together; the first failure, after which no call starts.
std::error_code ForEachAtOnce(
    const std::vector<std::filesystem::path>& paths,
    const std::function<std::error_code(const std::filesystem::path&)>& each);

// Removes a folder with everything below it, links themselves rather than what they point to;
// one that is not there counts as removed.
std::error_code RemoveTree(const std::filesystem::path& folder);

// The first name of the form prefix + attempt + ".tmp" in folder under which nothing exists,
// or an empty path.
std::filesystem::path FreeTemporaryName(const std::filesystem::path& folder,
                                        const std::string& prefix);

// InstallFiles with its disk-changing operations given by the caller.
InstallResult InstallFilesWith(const UpdateJob& job, const InstallOptions& options, bool relaunch,
                               const InstallFileOps& ops);

}  // namespace kov::update
