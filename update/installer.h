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
  // An earlier update of the installation was interrupted and could not be finished; nothing
  // of this job was done, and the earlier run's record and backup copies are kept.
  RecoveryFailed = 7,
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
// removed unless the job was refused or the restore was incomplete. It holds the
// installation's lock for the whole run (waiting up to two minutes for another helper), first
// recovers an interrupted update (below), and refuses before any change when a volume lacks the
// space the update needs.
InstallResult InstallFiles(const UpdateJob& job, const InstallOptions& options, bool relaunch);

// The checks on the job record itself: a launcher process, absolute paths, existing
// installation and staging folders, work folders apart from the installation and each other,
// manifest and log outside the installation, an existing manifest, the restart program inside
// the installation. Clears error first; false with the first failed check's sentence.
bool ValidateInstallJob(const UpdateJob& job, std::string& error);

// An install keeps a record of itself in the installation (the file ".kov-update-journal")
// from before its first file is replaced until its outcome is final. When the update helper is
// killed or the machine loses power meanwhile, the record stays, and every later run of the
// helper on that installation finishes the interrupted run first (its recovery): a replacement
// or rollback that had not finished is undone from the backup copies the record names, files
// the update added are removed; an install that had every file in place and verified is only
// cleaned up. Then the record and those backup copies are removed. The staging folder is never
// touched by a recovery. Names starting with ".kov-update-" belong to the helper: a manifest
// that lists one is refused.

// True when an interrupted update of the installation waits for its recovery. A launcher asks
// at its start, before it trusts its own files. Only reads; a record that cannot be read
// counts as pending, and so does the record of a helper that is still at work.
bool IsInterruptedUpdatePending(const std::filesystem::path& install_dir);

// Recovers an interrupted update without installing anything new, as the update helper does
// first in every run. It takes the installation's lock, waiting up to two minutes for an update
// helper that still works on it. True when nothing was pending or the recovery finished;
// else false with error set to one sentence, and the record and backup copies kept for a later
// try. log (may be empty) receives the same lines as the helper's log: "recovery start",
// the rollback's lines, "recovery complete" or "recovery failed: " and the sentence. error is
// left unchanged on success.
bool RecoverInterruptedUpdate(const std::filesystem::path& install_dir,
                              const std::function<void(std::string_view)>& log, std::string& error);

}  // namespace kov::update
