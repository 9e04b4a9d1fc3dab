#include "updater/driver.h"

#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "update/process.h"
#include "update/update_job.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

constexpr int kParentWaitMs = 120000;
constexpr int kExitParentStillRunning = 3;

using NativeWord = std::filesystem::path::string_type;

// Every line is flushed before the next step, so that a run that dies half-way still leaves
// its story behind. A first log that cannot be opened silently loses the lines.
class UpdateLog {
 public:
  explicit UpdateLog(const std::filesystem::path& file) : first_(file), stream_(file, kMode) {}

  // The runs whose own log cannot be written are the ones support most needs to read, so their
  // lines go on in the first log, after a line that says why.
  void SwitchTo(const std::filesystem::path& file) {
    stream_.close();
    stream_.clear();
    stream_.open(file, kMode);
    if (stream_.is_open()) return;
    stream_.clear();
    stream_.open(first_, kMode);
    Write("log switch failed: Cannot open the job's log file " + TryUtf8Path(file).value_or("?") +
          ".");
  }

  void Write(std::string_view line) {
    stream_.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream_.put('\n');
    stream_.flush();
  }

  int Finish(int exit_code) {
    Write("exit code: " + std::to_string(exit_code));
    return exit_code;
  }

 private:
  static constexpr std::ios::openmode kMode = std::ios::out | std::ios::app | std::ios::binary;
  std::filesystem::path first_;
  std::ofstream stream_;
};

std::filesystem::path FindJobPath(const std::vector<NativeWord>& words) {
  const NativeWord flag = std::filesystem::path("--job").native();
  std::filesystem::path job_path;
  std::size_t i = 1;
  while (i + 1 < words.size()) {
    if (words[i] == flag) {
      job_path = words[i + 1];
      i += 2;
    } else {
      ++i;
    }
  }
  return job_path;
}

std::filesystem::path FirstLogPath(const std::filesystem::path& job_path) {
  return job_path.parent_path() / "updater.log";
}

// Logs the job path and reads the job. A path without a UTF-8 form cannot be shown in the
// log, so it ends the run like an unreadable job instead of escaping as an exception.
std::optional<UpdateJob> TakeJob(const std::filesystem::path& job_path, UpdateLog& log,
                                 std::string& error) {
  const auto shown = TryUtf8Path(job_path);
  if (!shown) {
    error = "The update job path cannot be written as UTF-8 text.";
    return std::nullopt;
  }
  log.Write("job: " + *shown);
  return ReadUpdateJob(job_path, error);
}

std::string JoinArguments(const std::vector<std::string>& args) {
  std::string joined;
  for (const std::string& arg : args) {
    if (!joined.empty()) joined += ' ';
    joined += arg;
  }
  return joined;
}

void LogJob(const UpdateJob& job, UpdateLog& log) {
  log.Write("install root: " + Utf8Path(job.install_dir));
  log.Write("staging root: " + Utf8Path(job.staging_dir));
  log.Write("manifest: " + Utf8Path(job.manifest));
  log.Write("restart executable: " + Utf8Path(job.restart));
  log.Write("restart arguments: " + JoinArguments(job.args));
}

void RestartPreviousLauncher(const UpdateJob& job, UpdateLog& log) {
  std::string error;
  if (LaunchApplication(job.restart, job.args, job.install_dir, error, true)) {
    log.Write("previous launcher restarted");
  } else {
    log.Write("could not restart the previous launcher: " + error);
  }
}

int Install(const UpdateJob& job, const std::filesystem::path& job_path, UpdateLog& log) {
  InstallOptions options;
  options.log = [&log](std::string_view line) { log.Write(line); };
  const InstallResult result = InstallFiles(job, options, true);
  if (result.status == InstallStatus::Installed) {
    log.Write("install result: success");
    log.Write("update installed and restarted");
    std::error_code ignored;
    std::filesystem::remove(job_path, ignored);
  } else {
    log.Write("install result: " + result.error);
    RestartPreviousLauncher(job, log);
  }
  return ExitCodeForInstallStatus(result.status);
}

}  // namespace

int ExitCodeForInstallStatus(InstallStatus status) {
  switch (status) {
    case InstallStatus::Installed:
      return 0;
    case InstallStatus::BackupFailed:
      return 5;
    case InstallStatus::RolledBack:
      return 6;
    case InstallStatus::RestartFailedRolledBack:
      return 7;
    case InstallStatus::RollbackFailed:
      return 8;
    case InstallStatus::RestartFailedRollbackFailed:
      return 9;
    case InstallStatus::RecoveryFailed:
      return 10;
    case InstallStatus::Rejected:
      break;
  }
  return 4;
}

int RunUpdateHelper(const std::vector<NativeWord>& words) {
  const std::filesystem::path job_path = FindJobPath(words);
  if (job_path.empty()) return kExitNoUsableJob;

  UpdateLog log(FirstLogPath(job_path));
  log.Write("kov-updater starting");
  std::string error;
  const std::optional<UpdateJob> job = TakeJob(job_path, log, error);
  if (!job) {
    log.Write("job read failed: " + error);
    return log.Finish(kExitNoUsableJob);
  }
  if (!job->log.empty()) log.SwitchTo(job->log);
  LogJob(*job, log);

  log.Write("waiting for parent pid " + std::to_string(job->parent_pid));
  if (!WaitForProcess(job->parent_pid, kParentWaitMs, error)) {
    log.Write("parent wait failed: " + error);
    return log.Finish(kExitParentStillRunning);
  }
  log.Write("parent exited");
  return log.Finish(Install(*job, job_path, log));
}

}  // namespace kov::update
