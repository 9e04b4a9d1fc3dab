#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "update/update_job.h"

namespace kov::update {

// The numbers are fixed: the update helper maps them to exit codes.
enum class InstallStatus : std::int32_t {
  Installed = 0,
  Rejected = 1,
  BackupFailed = 2,
  RolledBack = 3,
  RollbackFailed = 4,
  RestartFailedRolledBack = 5,
  RestartFailedRollbackFailed = 6,
};

struct InstallOptions {
  // Puts a finished temporary file in place instead of the system move; true on success.
  std::function<bool(const std::filesystem::path& source, const std::filesystem::path& destination)>
      replace_file;
  // Receives each progress line, without a line end.
  std::function<void(std::string_view line)> log;
};

struct InstallResult {
  InstallStatus status = InstallStatus::Rejected;
  std::string error;
};

// Installs the job's update as one transaction: every manifest file backed up, put in place
// through a flushed temporary file and one move, and proved equal to its staged file, or the
// installation as it was. With relaunch, the job's restart program is started afterwards (a
// failed start is rolled back too). Progress lines go to options.log. The status tells the
// outcome and error its sentence (empty after Installed); the staging and backup folders are
// removed unless the job was refused or the restore was incomplete.
InstallResult InstallFiles(const UpdateJob& job, const InstallOptions& options, bool relaunch);

// The checks on the job record itself: a launcher process, absolute paths, existing
// installation and staging folders, work folders apart from the installation and each other,
// manifest and log outside the installation, an existing manifest, the restart program inside
// the installation. Clears error first; false with the first failed check's sentence.
bool ValidateInstallJob(const UpdateJob& job, std::string& error);

}  // namespace kov::update
