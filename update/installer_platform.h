#pragma once

// Internal to the installer: the few file operations that differ between Windows and POSIX,
// and the entry point that lets tests and benchmarks watch or replace the ones that write.

#include <filesystem>
#include <functional>
#include <vector>

#include "update/installer.h"
#include "update/update_job.h"

namespace kov::update {

// Absolute as the job file means it: a drive with a root folder or a network prefix on Windows,
// a leading '/' on POSIX.
bool IsAbsoluteJobPath(const std::filesystem::path& path);

// The operations of the installer that change the disk. Every one answers true on success.
struct InstallFileOps {
  // Copies a file over destination, replacing what is there.
  std::function<bool(const std::filesystem::path& source, const std::filesystem::path& destination)>
      copy_file;
  // Brings a file's content to the disk.
  std::function<bool(const std::filesystem::path& file)> flush_file;
  // The system move over an existing destination, returning once the move is on the disk.
  std::function<bool(const std::filesystem::path& source, const std::filesystem::path& destination)>
      move_file;
  // Brings the backup copies, all below backup_dir, to the disk.
  std::function<bool(const std::filesystem::path& backup_dir,
                     const std::vector<std::filesystem::path>& copies)>
      sync_backups;
};

InstallFileOps SystemInstallFileOps();

// InstallFiles with its disk-changing operations given by the caller.
InstallResult InstallFilesWith(const UpdateJob& job, const InstallOptions& options, bool relaunch,
                               const InstallFileOps& ops);

}  // namespace kov::update
