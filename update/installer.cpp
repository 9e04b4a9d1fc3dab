#include "update/installer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "update/install_journal.h"
#include "update/installer_platform.h"
#include "update/path_rules.h"
#include "update/path_rules_platform.h"
#include "update/process.h"
#include "update/sha256.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxManifestEntries = 10000;
constexpr int kTemporaryNameAttempts = 100;

// The entry's three places are kept as plain text: a path object also holds each of its
// elements apart, several times the memory, and a manifest may list ten thousand entries.
struct ManifestEntry {
  std::string relative_path;
  fs::path::string_type staged;
  fs::path::string_type target;
  fs::path::string_type backup;
  bool target_existed = false;
  std::uintmax_t staged_size = 0;

  fs::path staged_path() const { return staged; }
  fs::path target_path() const { return target; }
  fs::path backup_path() const { return backup; }
};

// Why a step failed: the sentence of the result and, when a file operation failed, the
// platform's code, which the log shows on a line of its own.
struct Failure {
  std::string sentence;
  std::error_code cause;
};

// What lies at a path, asked without following a link at its end.
enum class EntryState { Missing, Unknown, RegularFile, Other };

// A link or junction is never a regular file here, whatever it points to. cause is set for
// Unknown.
EntryState QueryEntry(const fs::path& path, std::error_code& cause) {
  switch (platform::LinkStatusType(path, cause)) {
    case fs::file_type::not_found:
      return EntryState::Missing;
    case fs::file_type::none:
      return EntryState::Unknown;
    case fs::file_type::regular:
      return platform::IsLinkReparsePoint(path) ? EntryState::Other : EntryState::RegularFile;
    default:
      return EntryState::Other;
  }
}

using Entries = std::vector<ManifestEntry>;
// The entries replaced so far: always the first ones of the manifest, in order, so a view
// of them is kept instead of a second copy of every path.
using Replaced = std::span<const ManifestEntry>;

void Report(const InstallOptions& options, std::string_view line) {
  if (options.log) options.log(line);
}

// A failure line of the log, followed by the platform's code when there is one.
void ReportFailure(const InstallOptions& options, std::string_view line, std::error_code cause) {
  Report(options, line);
  if (cause) Report(options, "system error: " + std::to_string(cause.value()));
}

// The staged update is spent once the run has an outcome that removes it.
void RemoveWorkFolders(const UpdateJob& job, const InstallFileOps& ops) {
  ops.remove_tree(job.backup_dir);
  ops.remove_tree(job.staging_dir);
}

// How a path is named in the log: relative to the job's folder that holds it.
std::string ShownPath(const UpdateJob& job, const fs::path& path) {
  for (const fs::path* root : {&job.install_dir, &job.staging_dir, &job.backup_dir}) {
    const fs::path relative = path.lexically_relative(*root);
    if (!relative.empty() && *relative.begin() != ".." && relative != ".") {
      std::string text = TryUtf8Path(relative).value_or("?");
      std::replace(text.begin(), text.end(), '\\', '/');
      return text;
    }
  }
  return TryUtf8Path(path).value_or("?");
}

// Antivirus scanners, search indexers and backup agents open fresh files (above all .exe and
// .dll) for a moment, and the system refuses to copy, move or remove them meanwhile. Such a
// failure is tried again with growing waits, about two seconds per operation in all, before it
// counts; an operation that succeeded only so is logged, so support can see scanner trouble.
constexpr std::chrono::milliseconds kFirstRetryWait{20};
constexpr std::chrono::milliseconds kLongestRetryWait{400};
constexpr std::chrono::milliseconds kRetryBudget{2000};

// subject: the argument that names the file in the log line.
template <std::size_t subject, class... Paths>
std::function<std::error_code(Paths...)> Retrying(
    std::function<std::error_code(Paths...)> op, const InstallFileOps& ops,
    const std::function<void(const fs::path&, std::error_code)>& report) {
  return [op = std::move(op), is_transient = ops.is_transient, report](Paths... paths) {
    std::chrono::milliseconds wait = kFirstRetryWait;
    std::chrono::milliseconds waited{0};
    std::error_code held;
    for (;;) {
      const std::error_code failed = op(paths...);
      if (!failed) {
        if (held) report(std::get<subject>(std::tie(paths...)), held);
        return failed;
      }
      if (!is_transient || !is_transient(failed) || waited >= kRetryBudget) return failed;
      held = failed;
      std::this_thread::sleep_for(wait);
      waited += wait;
      wait = std::min(2 * wait, kLongestRetryWait);
    }
  };
}

InstallFileOps WithRetries(const InstallFileOps& ops, const UpdateJob& job,
                           const InstallOptions& options) {
  const std::function<void(const fs::path&, std::error_code)> report = [&job, &options](
                                                                           const fs::path& path,
                                                                           std::error_code held) {
    Report(options, "retried: " + ShownPath(job, path) + " (" + std::to_string(held.value()) + ")");
  };
  InstallFileOps retrying = ops;
  retrying.copy_file = Retrying<0>(ops.copy_file, ops, report);
  retrying.flush_file = Retrying<0>(ops.flush_file, ops, report);
  retrying.move_file = Retrying<1>(ops.move_file, ops, report);
  retrying.sync_files = Retrying<0>(ops.sync_files, ops, report);
  retrying.remove_file = Retrying<0>(ops.remove_file, ops, report);
  retrying.create_folders = Retrying<0>(ops.create_folders, ops, report);
  retrying.remove_tree = Retrying<0>(ops.remove_tree, ops, report);
  retrying.write_file = Retrying<0>(ops.write_file, ops, report);
  retrying.sync_folder = Retrying<0>(ops.sync_folder, ops, report);
  retrying.rename_file = Retrying<1>(ops.rename_file, ops, report);
  return retrying;
}

bool IsExistingFolder(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool FoldersOverlap(const UpdateJob& job) {
  const fs::path* const pairs[][2] = {
      {&job.staging_dir, &job.install_dir}, {&job.install_dir, &job.staging_dir},
      {&job.backup_dir, &job.install_dir},  {&job.install_dir, &job.backup_dir},
      {&job.backup_dir, &job.staging_dir},  {&job.staging_dir, &job.backup_dir}};
  for (const auto& pair : pairs) {
    if (PathIsWithin(*pair[0], *pair[1])) return true;
  }
  return false;
}

// The message of the first check the job fails, or null; cause is set when the file system
// could not answer a check.
const char* FirstJobProblem(const UpdateJob& job, std::error_code& cause) {
  if (job.parent_pid == 0) return "The update job has no launcher process.";
  for (const fs::path* path : {&job.install_dir, &job.staging_dir, &job.backup_dir, &job.manifest,
                               &job.restart, &job.log}) {
    if (!platform::IsAbsoluteJobPath(*path)) return "The update job contains a relative path.";
  }
  if (!IsExistingFolder(job.install_dir) || !IsExistingFolder(job.staging_dir)) {
    return "The update job names a missing folder.";
  }
  if (FoldersOverlap(job)) {
    return "The update staging and backup folders must be separate from the installation and "
           "each other.";
  }
  if (PathIsWithin(job.manifest, job.install_dir) || PathIsWithin(job.log, job.install_dir)) {
    return "The update job must not write into the installation before replacement.";
  }
  if (!IsRegularFile(job.manifest)) return "The update manifest is missing.";
  if (!PathIsWithin(job.restart, job.install_dir, cause)) {
    return cause ? "Cannot inspect the restart program."
                 : "The restart program is outside the installation.";
  }
  return nullptr;
}

std::string ProtectedPathSentence(const std::string& normalized) {
  return "The update manifest contains a protected path: " + normalized + ".";
}

// Path rules and protection, judged on the text alone.
bool AcceptLine(const std::string& line, std::string& normalized, std::string& error) {
  std::string reason;
  if (!NormalizeRelativePath(line, normalized, &reason)) {
    error = "The update manifest contains an unsafe path (" + reason + ").";
    return false;
  }
  if (IsProtectedRelativePath(normalized)) {
    error = ProtectedPathSentence(normalized);
    return false;
  }
  return true;
}

bool MakeEntry(const UpdateJob& job, const std::string& relative, ManifestEntry& entry,
               std::string& error) {
  const auto relative_path = TryPathFromUtf8(relative);
  if (!relative_path) {
    error = "The update manifest contains a path that is not valid UTF-8.";
    return false;
  }
  entry = {relative, (job.staging_dir / *relative_path).native(),
           (job.install_dir / *relative_path).native(), (job.backup_dir / *relative_path).native()};
  return true;
}

bool CannotInspect(const std::string& relative_path, std::error_code cause, Failure& failure) {
  failure = {"Cannot inspect " + relative_path + ".", cause};
  return false;
}

// The installation and staging folders, each resolved once for all the manifest's lines.
struct ManifestRoots {
  PathsBelow install;
  PathsBelow staging;
};

// The checks that need the disk: protection once more on the target as the file system
// resolves it, since the text check misses a protected entry written by another of its names
// (its 8.3 short name, or a link's); then the staged file, and the way to the target. A check
// that cannot ask the disk says so rather than guess.
bool CheckEntryOnDisk(const ManifestEntry& entry, ManifestRoots& roots, Failure& failure) {
  std::error_code cause;
  const std::string resolved = roots.install.ResolvedRelativePath(entry.target_path(), cause);
  if (cause) return CannotInspect(entry.relative_path, cause, failure);
  if (IsProtectedRelativePath(resolved)) {
    failure.sentence = ProtectedPathSentence(entry.relative_path);
    return false;
  }
  if (!roots.staging.Contains(entry.staged_path(), cause) ||
      !IsRegularFile(entry.staged_path(), cause)) {
    if (cause) return CannotInspect(entry.relative_path, cause, failure);
    failure.sentence = "The update is missing " + entry.relative_path + ".";
    return false;
  }
  if (resolved.empty()) {
    failure.sentence = "The update manifest points outside the installation.";
    return false;
  }
  if (roots.install.HasReparseAncestor(entry.target_path())) {
    failure.sentence = "The installation contains a link that the update will not follow.";
    return false;
  }
  return true;
}

// A refusal is the result's sentence alone; a check that the platform failed is also logged,
// with its code.
bool Refuse(const InstallOptions& options, const Failure& failure, std::string& error) {
  if (failure.cause) ReportFailure(options, "check failed: " + failure.sentence, failure.cause);
  error = failure.sentence;
  return false;
}

bool CheckJob(const UpdateJob& job, const InstallOptions& options, std::string& error) {
  Failure failure;
  const char* problem = FirstJobProblem(job, failure.cause);
  if (problem == nullptr) return true;
  failure.sentence = problem;
  return Refuse(options, failure, error);
}

bool LoadManifest(const UpdateJob& job, const InstallOptions& options, Entries& entries,
                  std::string& error) {
  std::ifstream in(job.manifest, std::ios::binary);
  if (!in) {
    error = "Cannot read the update manifest.";
    return false;
  }
  std::set<std::string> taken;
  ManifestRoots roots{PathsBelow(job.install_dir), PathsBelow(job.staging_dir)};
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string normalized;
    if (!AcceptLine(line, normalized, error)) return false;
    if (HasReservedName(normalized)) {
      error =
          "The update manifest contains a name reserved for the update helper: " + normalized + ".";
      return false;
    }
    if (!taken.insert(normalized).second) continue;
    ManifestEntry entry;
    if (!MakeEntry(job, normalized, entry, error)) return false;
    Failure failure;
    if (!CheckEntryOnDisk(entry, roots, failure)) return Refuse(options, failure, error);
    entries.push_back(std::move(entry));
    if (entries.size() > kMaxManifestEntries) {
      error = "The update manifest holds too many files.";
      return false;
    }
  }
  if (entries.empty()) {
    error = "The update manifest is empty.";
    return false;
  }
  return true;
}

// Whether the restart program is the entry's target as the file system resolves both, which
// also matches a restart path written with a short name.
bool IsResolvedRestartProgram(const UpdateJob& job, const std::string& restart,
                              const ManifestEntry& entry, Failure& failure) {
  std::error_code cause;
  const std::string target = ResolvedRelativePath(entry.target_path(), job.install_dir, cause);
  if (cause) return CannotInspect(entry.relative_path, cause, failure);
  return !target.empty() && target == restart;
}

bool FindRestartProgram(const UpdateJob& job, const InstallOptions& options, const Entries& entries,
                        std::string& error) {
  // Without a text form it cannot name an entry either.
  const std::string relative =
      TryUtf8Path(job.restart.lexically_relative(job.install_dir)).value_or("");
  std::string normalized;
  if (!NormalizeRelativePath(relative, normalized, nullptr)) {
    error = "The restart program is not inside the installation.";
    return false;
  }
  for (const ManifestEntry& entry : entries) {
    if (entry.relative_path == normalized) return true;
  }
  Failure failure;
  const std::string restart = ResolvedRelativePath(job.restart, job.install_dir, failure.cause);
  if (failure.cause) {
    CannotInspect(normalized, failure.cause, failure);
    return Refuse(options, failure, error);
  }
  for (const ManifestEntry& entry : entries) {
    if (IsResolvedRestartProgram(job, restart, entry, failure)) return true;
    if (failure.cause) return Refuse(options, failure, error);
  }
  error = "The update does not contain the launcher program.";
  return false;
}

// Whether each target exists, and each staged file's size.
bool InspectTargets(Entries& entries, std::string& error) {
  for (ManifestEntry& entry : entries) {
    std::error_code unreadable;
    const EntryState state = QueryEntry(entry.target_path(), unreadable);
    entry.staged_size = fs::file_size(entry.staged_path(), unreadable);
    if (state == EntryState::Unknown || unreadable) {
      error = "Cannot inspect " + entry.relative_path + ".";
      return false;
    }
    entry.target_existed = state != EntryState::Missing;
  }
  return true;
}

// The folders whose entries a run changed, each synced once before the journal counts on them:
// the parent of every folder it created, since a new folder survives a power cut only once its
// parent is on the disk too, and every folder it renamed files into.
class FolderSyncs {
 public:
  std::error_code Create(const fs::path& folder, const InstallFileOps& ops) {
    if (present_.contains(folder)) return {};
    std::vector<fs::path> missing;
    std::error_code unreadable;
    for (fs::path up = folder; up.has_relative_path() && up != up.parent_path();
         up = up.parent_path()) {
      if (QueryEntry(up, unreadable) != EntryState::Missing) break;
      missing.push_back(up);
    }
    const std::error_code cause = ops.create_folders(folder);
    if (!cause) {
      for (const fs::path& made : missing) parents_.insert(made.parent_path());
      present_.insert(folder);
    }
    return cause;
  }

  void Touched(const fs::path& folder) { parents_.insert(folder); }

  std::error_code Sync(const InstallFileOps& ops) {
    for (const fs::path& parent : parents_) {
      if (const std::error_code cause = ops.sync_folder(parent)) return cause;
    }
    parents_.clear();
    return {};
  }

 private:
  std::set<fs::path> parents_;
  std::set<fs::path> present_;  // created or found by this run: not asked again
};

// What a run needs on one volume, with room for file systems that allocate whole blocks and
// for the folder entries and the journal.
struct SpaceNeed {
  std::uintmax_t bytes = kSpareBytes;

  void Add(std::uintmax_t size) { bytes += (size + kBlock - 1) / kBlock * kBlock + kBlock; }

  static constexpr std::uintmax_t kBlock = 4096;
  static constexpr std::uintmax_t kSpareBytes = 1 << 20;
};

// The folder that holds path or will: itself or its nearest existing ancestor.
fs::path ExistingFolderOf(fs::path path) {
  std::error_code unreadable;
  while (path.has_relative_path() && QueryEntry(path, unreadable) == EntryState::Missing) {
    path = path.parent_path();
  }
  return path;
}

// The backup copies need room beside the backup, each new file a temporary beside its target:
// at most the whole update at once, since a replaced file's old blocks are only freed at its
// move. Refused when a volume clearly lacks it; a disk that fills up anyway is rolled back.
bool CheckFreeSpace(const UpdateJob& job, const Entries& entries, const InstallFileOps& ops,
                    const InstallOptions& options, Failure& failure) {
  SpaceNeed backup;
  SpaceNeed install;
  for (const ManifestEntry& entry : entries) {
    std::error_code unknown;
    if (entry.target_existed) {
      const std::uintmax_t size = fs::file_size(entry.target_path(), unknown);
      if (!unknown) backup.Add(size);
    }
    install.Add(entry.staged_size);
  }
  platform::VolumeSpace backup_volume;
  platform::VolumeSpace install_volume;
  if ((failure.cause = ops.volume_space(ExistingFolderOf(job.backup_dir), backup_volume)) ||
      (failure.cause = ops.volume_space(job.install_dir, install_volume))) {
    failure.sentence = "Cannot find the free disk space for the update.";
    return false;
  }
  if (backup_volume.volume == install_volume.volume) {
    install.bytes += backup.bytes;
    backup.bytes = 0;
  }
  for (const auto& [need, volume] : {std::pair{install, install_volume}, {backup, backup_volume}}) {
    if (need.bytes <= volume.available) continue;
    Report(options, "disk space: " + std::to_string(need.bytes) + " bytes needed, " +
                        std::to_string(volume.available) + " bytes free");
    failure.sentence = "There is not enough free disk space for the update.";
    return false;
  }
  return true;
}

// Keeps an existing target at its backup path; a new file needs none.
bool BackUpTarget(const ManifestEntry& entry, const InstallFileOps& ops, FolderSyncs& folders,
                  std::vector<fs::path>& copies, Failure& failure) {
  switch (QueryEntry(entry.target_path(), failure.cause)) {
    case EntryState::Missing:
      return true;
    case EntryState::Unknown:
      failure.sentence = "Cannot inspect " + entry.relative_path + ".";
      return false;
    case EntryState::Other:
      failure.sentence = "The installation has an unexpected file at " + entry.relative_path + ".";
      return false;
    case EntryState::RegularFile:
      break;
  }
  if ((failure.cause = folders.Create(entry.backup_path().parent_path(), ops))) {
    failure.sentence = "Cannot create the update backup folder.";
    return false;
  }
  if ((failure.cause = ops.back_up_file(entry.target_path(), entry.backup_path()))) {
    failure.sentence = "Cannot back up " + entry.relative_path + ".";
    return false;
  }
  copies.push_back(entry.backup_path());
  return true;
}

bool BackUpTargets(const UpdateJob& job, const Entries& entries, const InstallFileOps& ops,
                   Failure& failure) {
  std::vector<fs::path> copies;
  FolderSyncs folders;
  for (const ManifestEntry& entry : entries) {
    if (!BackUpTarget(entry, ops, folders, copies, failure)) return false;
  }
  // No target may be replaced while its only other copy could still be lost to a power cut.
  if (!copies.empty() && ((failure.cause = ops.sync_files(job.backup_dir, copies)) ||
                          (failure.cause = folders.Sync(ops)))) {
    failure.sentence = "The update backup could not be written to disk.";
    return false;
  }
  return true;
}

// Copies source to temporary and brings it to the disk, so that a move never publishes a name
// whose content is still only in memory.
std::error_code WriteTemporary(const fs::path& source, const fs::path& temporary,
                               const InstallFileOps& ops) {
  std::error_code cause = ops.copy_file(source, temporary);
  if (!cause) cause = ops.flush_file(temporary);
  if (cause) ops.remove_file(temporary);
  return cause;
}

// The caller's hook answers no code; its failure is told by the sentence alone.
bool ReplaceFileOr(const fs::path& source, const fs::path& destination,
                   const InstallOptions& options, const InstallFileOps& ops,
                   std::error_code& cause) {
  if (options.replace_file) return options.replace_file(source, destination);
  cause = ops.rename_file(source, destination);
  return !cause;
}

bool VerifyCopy(const ManifestEntry& entry, Failure& failure) {
  std::string ignored;
  const std::string staged = Sha256FileHex(entry.staged_path(), ignored);
  if (staged.empty()) {
    failure.sentence = "Cannot verify " + entry.relative_path + ".";
    return false;
  }
  if (Sha256FileHex(entry.target_path(), ignored) == staged) return true;
  failure.sentence = "The installed file does not match the update: " + entry.relative_path + ".";
  return false;
}

// Puts the entry's previous state back; false when it could not, with the platform's code
// where one exists.
bool UndoEntry(const ManifestEntry& entry, const std::string& temporary_prefix,
               const InstallFileOps& ops, std::error_code& cause) {
  if (!entry.target_existed) {
    // The removal must be on the disk before the journal that would redo it goes.
    if (QueryEntry(entry.target_path(), cause) == EntryState::Missing) return true;
    if (!cause) cause = ops.remove_file(entry.target_path());
    if (!cause) cause = ops.sync_folder(entry.target_path().parent_path());
    return !cause;
  }
  const fs::path temporary = FreeTemporaryName(entry.target_path().parent_path(), temporary_prefix);
  if (temporary.empty()) return false;
  if ((cause = WriteTemporary(entry.backup_path(), temporary, ops))) return false;
  if (!(cause = ops.move_file(temporary, entry.target_path()))) return true;
  ops.remove_file(temporary);
  return false;
}

// Undoes every replaced entry it can, the last replaced first; failure is kept when all were.
bool Rollback(Replaced replaced, const InstallOptions& options, const InstallFileOps& ops,
              Failure& failure) {
  Report(options, "rollback start");
  const std::string temporary_prefix =
      ".kov-update-rollback-" + std::to_string(CurrentProcessId()) + "-";
  bool restored = true;
  std::error_code first_cause;
  for (auto entry = replaced.rbegin(); entry != replaced.rend(); ++entry) {
    std::error_code cause;
    if (UndoEntry(*entry, temporary_prefix, ops, cause)) continue;
    if (restored) first_cause = cause;
    restored = false;
  }
  if (restored) {
    Report(options, "rollback complete");
    return true;
  }
  failure = {"The previous files could not be restored.", first_cause};
  ReportFailure(options, "rollback failed", first_cause);
  return false;
}

// At most so many temporaries, or so many bytes of them (a larger file alone), exist at once,
// so that the disk space an install takes beyond the update's own stays small.
constexpr std::size_t kBatchFiles = 256;
constexpr std::uintmax_t kBatchBytes = std::uintmax_t{64} << 20;

// The end of the batch that starts at first.
std::size_t BatchEnd(const Entries& entries, std::size_t first) {
  std::size_t end = first + 1;
  std::uintmax_t bytes = entries[first].staged_size;
  while (end < entries.size() && end - first < kBatchFiles &&
         bytes + entries[end].staged_size <= kBatchBytes) {
    bytes += entries[end++].staged_size;
  }
  return end;
}

void RemoveEach(std::span<const fs::path> files, const InstallFileOps& ops) {
  for (const fs::path& file : files) ops.remove_file(file);
}

// While the journal can bring every original back, a new file need not be on the disk before
// its move, only before the journal says the install is complete. So the temporaries of a batch
// are written, brought to the disk together, and renamed without waiting for the disk; every
// folder the renames touched is synced once at the end.
class Replacement {
 public:
  Replacement(const UpdateJob& job, const InstallOptions& options, const InstallFileOps& ops)
      : job_(job), options_(options), ops_(ops), process_id_(std::to_string(CurrentProcessId())) {}

  // Replaces and verifies the entries batch by batch; false with failure set at the first fault.
  bool Run(const Entries& entries, Failure& failure) {
    Report(options_, "replacing " + std::to_string(entries.size()) + " files");
    for (std::size_t first = 0; first < entries.size();) {
      const std::size_t end = BatchEnd(entries, first);
      if (!ReplaceBatch(entries, first, end, failure)) return false;
      first = end;
    }
    Report(options_, "replacement complete");
    Report(options_, "verification complete");
    return true;
  }

  Replaced replaced() const { return replaced_; }

  std::error_code SyncFolders() { return folders_.Sync(ops_); }

 private:
  bool ReplaceBatch(const Entries& entries, std::size_t first, std::size_t end, Failure& failure) {
    std::vector<fs::path> temporaries;
    for (std::size_t index = first; index < end; ++index) {
      fs::path temporary = WriteTemporaryFor(entries[index], index, failure);
      if (temporary.empty()) {
        RemoveEach(temporaries, ops_);
        return false;
      }
      temporaries.push_back(std::move(temporary));
    }
    if ((failure.cause = ops_.sync_files(job_.install_dir, temporaries))) {
      failure.sentence = "Cannot write the new files to disk.";
      RemoveEach(temporaries, ops_);
      return false;
    }
    for (std::size_t index = first; index < end; ++index) {
      const std::span<const fs::path> left = std::span(temporaries).subspan(index - first);
      if (!PutInPlace(entries[index], left.front(), failure)) {
        RemoveEach(left, ops_);
        return false;
      }
      replaced_ = Replaced(entries).first(index + 1);
      if (!VerifyCopy(entries[index], failure)) {
        RemoveEach(left.subspan(1), ops_);
        return false;
      }
    }
    return true;
  }

  // The entry's temporary beside its target, written but not yet on the disk; empty with
  // failure set when it could not be.
  fs::path WriteTemporaryFor(const ManifestEntry& entry, std::size_t index, Failure& failure) {
    const fs::path folder = entry.target_path().parent_path();
    if ((failure.cause = folders_.Create(folder, ops_))) {
      failure.sentence = "Cannot create the folder for " + entry.relative_path + ".";
      return {};
    }
    fs::path temporary =
        FreeTemporaryName(folder, ".kov-update-" + process_id_ + "-" + std::to_string(index) + "-");
    if (temporary.empty()) {
      failure.sentence = "Cannot find a free temporary name for " + entry.relative_path + ".";
      return {};
    }
    if ((failure.cause = ops_.copy_file(entry.staged_path(), temporary))) {
      ops_.remove_file(temporary);
      failure.sentence = "Cannot write " + entry.relative_path + ".";
      return {};
    }
    return temporary;
  }

  bool PutInPlace(const ManifestEntry& entry, const fs::path& temporary, Failure& failure) {
    if (!ReplaceFileOr(temporary, entry.target_path(), options_, ops_, failure.cause)) {
      failure.sentence = "Cannot replace " + entry.relative_path + ".";
      return false;
    }
    folders_.Touched(entry.target_path().parent_path());
    return true;
  }

  const UpdateJob& job_;
  const InstallOptions& options_;
  const InstallFileOps& ops_;
  const std::string process_id_;
  Replaced replaced_;
  FolderSyncs folders_;
};

// The backup copies are the only way back while the journal lives, so they go after it.
void CloseRun(const UpdateJob& job, const InstallFileOps& ops) {
  if (!RemoveJournal(job.install_dir, ops)) RemoveWorkFolders(job, ops);
}

// Undoes the replacement after a failure that failure already tells. When not every file
// could be restored the journal stays, so that the next run tries again.
InstallStatus UndoReplacement(const UpdateJob& job, Replaced replaced,
                              const InstallOptions& options, const InstallFileOps& ops,
                              Failure& failure, InstallStatus restored,
                              InstallStatus not_restored) {
  if (!Rollback(replaced, options, ops, failure)) return not_restored;
  CloseRun(job, ops);
  return restored;
}

Journal JournalOf(const UpdateJob& job, const Entries& entries, JournalState state) {
  Journal journal{state, job.backup_dir, {}};
  for (const ManifestEntry& entry : entries) {
    journal.entries.push_back({entry.relative_path, entry.target_existed});
  }
  return journal;
}

bool Record(const UpdateJob& job, const Entries& entries, JournalState state,
            const InstallFileOps& ops, Failure& failure) {
  if (!(failure.cause = WriteJournal(job.install_dir, JournalOf(job, entries, state), ops))) {
    return true;
  }
  failure.sentence = "Cannot record the update in the installation.";
  return false;
}

// Every folder that can hold a temporary of the interrupted run: those of its targets.
std::set<fs::path> FoldersOf(const fs::path& install_dir, const Entries& entries) {
  std::set<fs::path> folders{install_dir};
  for (const ManifestEntry& entry : entries) folders.insert(entry.target_path().parent_path());
  return folders;
}

bool IsLeftoverTemporary(const fs::directory_entry& item, const fs::path& install_dir) {
  std::error_code unreadable;
  return IsReservedFileName(item.path().filename()) && item.path() != JournalPath(install_dir) &&
         item.path() != LockPath(install_dir) &&
         QueryEntry(item.path(), unreadable) == EntryState::RegularFile;
}

// Nobody else works on the installation while the lock is held, so every temporary name of
// the helper in these folders is a leftover of a killed run.
std::error_code RemoveTemporaries(const fs::path& install_dir, const Entries& entries,
                                  const InstallFileOps& ops) {
  for (const fs::path& folder : FoldersOf(install_dir, entries)) {
    std::vector<fs::path> leftovers;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (IsLeftoverTemporary(*it, install_dir)) leftovers.push_back(it->path());
    }
    for (const fs::path& leftover : leftovers) {
      if (const std::error_code cause = ops.remove_file(leftover)) return cause;
    }
    if (!leftovers.empty()) {
      if (const std::error_code cause = ops.sync_folder(folder)) return cause;
    }
  }
  return {};
}

Entries EntriesOf(const fs::path& install_dir, const Journal& journal) {
  Entries entries;
  for (const JournalEntry& recorded : journal.entries) {
    const fs::path relative = PathFromUtf8(recorded.relative_path);
    entries.push_back({recorded.relative_path,
                       {},
                       (install_dir / relative).native(),
                       (journal.backup_dir / relative).native(),
                       recorded.existed,
                       0});
  }
  return entries;
}

// A run killed while it wrote its first journal leaves only the journal's temporary file.
bool RemoveUnpublishedJournal(const fs::path& install_dir, const InstallFileOps& ops,
                              Failure& failure) {
  const fs::path temporary = JournalTemporaryPath(install_dir);
  if (QueryEntry(temporary, failure.cause) == EntryState::Missing) return true;
  if (!failure.cause) failure.cause = ops.remove_file(temporary);
  failure.sentence = "Cannot clean up after the interrupted update.";
  return !failure.cause;
}

// Finishes the business of an interrupted run, if the installation has one: an unfinished
// replacement or rollback is undone from the backup copies, a finished install only cleaned up.
// The backup copies stay until the journal is gone.
bool Recover(const fs::path& install_dir, const InstallOptions& options, const InstallFileOps& ops,
             Failure& failure) {
  Journal journal;
  const JournalFound found = ReadJournal(install_dir, journal);
  if (found == JournalFound::None) return RemoveUnpublishedJournal(install_dir, ops, failure);
  Report(options, "recovery start");
  if (found == JournalFound::Damaged) {
    failure = {"The record of an interrupted update cannot be read.", {}};
    return false;
  }
  const Entries entries = EntriesOf(install_dir, journal);
  if (journal.state != JournalState::Complete && !Rollback(entries, options, ops, failure)) {
    return false;
  }
  if ((failure.cause = RemoveTemporaries(install_dir, entries, ops)) ||
      (failure.cause = RemoveJournal(install_dir, ops))) {
    failure.sentence = "Cannot clean up after the interrupted update.";
    return false;
  }
  ops.remove_tree(journal.backup_dir);
  Report(options, "recovery complete");
  return true;
}

// A helper that still holds the installation is given as long as the launcher is.
constexpr std::chrono::milliseconds kLockWait{120000};
constexpr std::chrono::milliseconds kLockPoll{50};

platform::InstallationLock LockInstallation(const fs::path& install_dir, Failure& failure) {
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  for (;;) {
    platform::InstallationLock lock =
        platform::TryLockInstallation(LockPath(install_dir), failure.cause);
    if (lock) return lock;
    if (failure.cause) {
      failure.sentence = "Cannot lock the installation for the update.";
      return nullptr;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      failure.sentence = "Another update of this installation did not finish in time.";
      return nullptr;
    }
    std::this_thread::sleep_for(kLockPoll);
  }
}

// Replaces and verifies every entry, then syncs every folder whose entries changed and records
// the install as complete, the point from which recovery finishes it instead of undoing it.
bool PutInPlaceDurably(const UpdateJob& job, const Entries& entries, Replacement& replacement,
                       const InstallFileOps& ops, Failure& failure) {
  if (!replacement.Run(entries, failure)) return false;
  if ((failure.cause = replacement.SyncFolders())) {
    failure.sentence = "Cannot write the new files to disk.";
    return false;
  }
  return Record(job, entries, JournalState::Complete, ops, failure);
}

// Under the installation's lock: recovery of an interrupted run; false with failure set.
bool LockAndRecover(const fs::path& install_dir, const InstallOptions& options,
                    const InstallFileOps& ops, platform::InstallationLock& lock,
                    InstallResult& result) {
  Failure failure;
  lock = LockInstallation(install_dir, failure);
  if (!lock) {
    ReportFailure(options, "lock failed: " + failure.sentence, failure.cause);
    result = {InstallStatus::Rejected, failure.sentence};
    return false;
  }
  if (Recover(install_dir, options, ops, failure)) return true;
  ReportFailure(options, "recovery failed: " + failure.sentence, failure.cause);
  result = {InstallStatus::RecoveryFailed, failure.sentence};
  return false;
}

bool Restart(const UpdateJob& job, const InstallOptions& options, std::string& error) {
  Report(options, "restart start");
  if (!LaunchApplication(job.restart, job.args, job.install_dir, error, true)) {
    Report(options, "restart failed: " + error);
    return false;
  }
  Report(options, "restart complete");
  return true;
}

}  // namespace

bool ValidateInstallJob(const UpdateJob& job, std::string& error) {
  error.clear();
  return CheckJob(job, InstallOptions(), error);
}

InstallResult InstallFilesWith(const UpdateJob& job, const InstallOptions& options, bool relaunch,
                               const InstallFileOps& system_ops) {
  const InstallFileOps ops = WithRetries(system_ops, job, options);
  InstallResult result;
  if (!CheckJob(job, options, result.error)) return result;
  platform::InstallationLock lock;
  if (!LockAndRecover(job.install_dir, options, ops, lock, result)) return result;
  Entries entries;
  if (!LoadManifest(job, options, entries, result.error)) return result;
  Report(options, "manifest entries: " + std::to_string(entries.size()));
  if (!FindRestartProgram(job, options, entries, result.error)) return result;
  if (!InspectTargets(entries, result.error)) return result;
  Failure failure;
  if (!CheckFreeSpace(job, entries, ops, options, failure)) {
    ReportFailure(options, "space check failed: " + failure.sentence, failure.cause);
    result.error = failure.sentence;
    return result;
  }

  Report(options, "backup start");
  if (!BackUpTargets(job, entries, ops, failure) ||
      !Record(job, entries, JournalState::Replacing, ops, failure)) {
    ReportFailure(options, "backup failed: " + failure.sentence, failure.cause);
    RemoveWorkFolders(job, ops);
    result.status = InstallStatus::BackupFailed;
    result.error = failure.sentence;
    return result;
  }
  Report(options, "backup complete");

  Replacement replacement(job, options, ops);
  if (!PutInPlaceDurably(job, entries, replacement, ops, failure)) {
    ReportFailure(options, "install failed: " + failure.sentence, failure.cause);
    result.status = UndoReplacement(job, replacement.replaced(), options, ops, failure,
                                    InstallStatus::RolledBack, InstallStatus::RollbackFailed);
    result.error = failure.sentence;
    return result;
  }
  if (relaunch && !Restart(job, options, failure.sentence)) {
    // Recovery must now undo rather than finish; should the record fail, the rollback still
    // runs, and only a kill in the middle of it would be finished instead.
    Failure unrecorded;
    Record(job, entries, JournalState::RollingBack, ops, unrecorded);
    result.status = UndoReplacement(job, replacement.replaced(), options, ops, failure,
                                    InstallStatus::RestartFailedRolledBack,
                                    InstallStatus::RestartFailedRollbackFailed);
    result.error = failure.sentence;
    return result;
  }
  CloseRun(job, ops);
  result.status = InstallStatus::Installed;
  return result;
}

bool IsInterruptedUpdatePending(const fs::path& install_dir) {
  std::error_code unreadable;
  return QueryEntry(JournalPath(install_dir), unreadable) != EntryState::Missing;
}

bool RecoverInterruptedUpdate(const fs::path& install_dir,
                              const std::function<void(std::string_view)>& log,
                              std::string& error) {
  InstallOptions options;
  options.log = log;
  const InstallFileOps ops = SystemInstallFileOps();
  platform::InstallationLock lock;
  InstallResult result;
  if (LockAndRecover(install_dir, options, ops, lock, result)) return true;
  error = result.error;
  return false;
}

// Eight calls in flight keep a disk's queue busy without many idle threads.
constexpr std::size_t kCallsAtOnce = 8;

std::error_code ForEachAtOnce(const std::vector<fs::path>& paths,
                              const std::function<std::error_code(const fs::path&)>& each) {
  std::atomic<std::size_t> next{0};
  std::vector<std::error_code> failed(kCallsAtOnce);
  const auto call_some = [&](std::error_code& first_failure) {
    for (std::size_t i = 0; !first_failure && (i = next++) < paths.size();) {
      first_failure = each(paths[i]);
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (std::size_t t = 1; t < failed.size() && t < paths.size(); ++t) {
      // Without a thread the calling one does its share.
      try {
        helpers.emplace_back(call_some, std::ref(failed[t]));
      } catch (const std::system_error&) {
        break;
      }
    }
    call_some(failed[0]);
  }
  for (const std::error_code& failure : failed) {
    if (failure) return failure;
  }
  return {};
}

// The files go at once, then the folders, each after what it held.
std::error_code RemoveTree(const fs::path& folder) {
  std::vector<fs::path> folders, rest;
  std::error_code cause = platform::ListTree(folder, folders, rest);
  if (!cause) cause = ForEachAtOnce(rest, platform::RemoveFile);
  for (auto it = folders.rbegin(); !cause && it != folders.rend(); ++it) {
    cause = platform::RemoveFolder(*it);
  }
  return cause;
}

// A dangling link counts as taken: a copy through it would land elsewhere.
fs::path FreeTemporaryName(const fs::path& folder, const std::string& prefix) {
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    fs::path candidate = folder / (prefix + std::to_string(attempt) + ".tmp");
    std::error_code unreadable;
    if (QueryEntry(candidate, unreadable) == EntryState::Missing) return candidate;
  }
  return {};
}

InstallFileOps SystemInstallFileOps() {
  return {platform::CopyFileOver,
          platform::FlushFile,
          platform::MoveFileDurably,
          platform::SyncFiles,
          platform::RemoveFile,
          platform::CreateFolders,
          RemoveTree,
          platform::IsTransientFileError,
          platform::WriteNewFile,
          platform::SyncFolder};
}

InstallResult InstallFiles(const UpdateJob& job, const InstallOptions& options, bool relaunch) {
  return InstallFilesWith(job, options, relaunch, SystemInstallFileOps());
}

}  // namespace kov::update
