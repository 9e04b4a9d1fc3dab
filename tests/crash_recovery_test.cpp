#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "tests/tree_snapshot.h"
#include "update/installer.h"
#include "update/installer_platform.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using kov::test::Snapshot;
using kov::test::Tree;
using ::testing::ElementsAre;

// The process dies: thrown by an operation before it touches the disk, it unwinds through the
// installer without any further file operation, as a kill stops every later step. (Failing
// every later operation instead would let the run go on reading, hashing and deciding, which a
// dead process does not.)
struct Killed {};

// Counts the disk-changing operations, kills the run before operation kill_at, and keeps the
// files whose content was written but not yet flushed: the content a power cut would lose.
class CrashingOps {
 public:
  explicit CrashingOps(int kill_at) : kill_at_(kill_at) {}

  InstallFileOps Wrap(const InstallFileOps& real) {
    InstallFileOps ops = real;
    ops.copy_file = [this, real](const fs::path& source, const fs::path& destination) {
      Step();
      return Written(destination, real.copy_file(source, destination));
    };
    ops.write_file = [this, real](const fs::path& file, std::string_view bytes) {
      Step();
      return Written(file, real.write_file(file, bytes));
    };
    ops.flush_file = [this, real](const fs::path& file) {
      Step();
      const std::error_code failed = real.flush_file(file);
      if (!failed) unflushed_.erase(file);
      return failed;
    };
    ops.sync_backups = [this, real](const fs::path& folder, const std::vector<fs::path>& copies) {
      Step();
      const std::error_code failed = real.sync_backups(folder, copies);
      for (const fs::path& copy : copies) {
        if (!failed) unflushed_.erase(copy);
      }
      return failed;
    };
    ops.move_file = [this, real](const fs::path& source, const fs::path& destination) {
      Step();
      const std::error_code failed = real.move_file(source, destination);
      if (!failed && unflushed_.erase(source) > 0) unflushed_.insert(destination);
      return failed;
    };
    ops.remove_file = [this, real](const fs::path& file) {
      Step();
      unflushed_.erase(file);
      return real.remove_file(file);
    };
    ops.create_folders = Counted(real.create_folders);
    ops.remove_tree = Counted(real.remove_tree);
    ops.sync_folder = Counted(real.sync_folder);
    return ops;
  }

  int count() const { return count_; }

  // What a power cut at the kill leaves of the unflushed files: an empty file.
  void LoseUnflushed() const {
    for (const fs::path& file : unflushed_) {
      if (fs::exists(file)) kov::test::WriteFile(file, "");
    }
  }

 private:
  void Step() {
    if (count_++ == kill_at_) throw Killed{};
  }
  std::error_code Written(const fs::path& file, std::error_code failed) {
    if (!failed) unflushed_.insert(file);
    return failed;
  }
  InstallFileOps::OnePath Counted(InstallFileOps::OnePath real) {
    return [this, real](const fs::path& path) {
      Step();
      return real(path);
    };
  }

  int kill_at_;
  int count_ = 0;
  std::set<fs::path> unflushed_;
};

// Replaced files, the launcher among them, and a new file in a new folder.
struct Scene {
  kov::test::TempDir temp;
  UpdateJob job;
  Tree original;
  Tree updated;

  Scene() {
    job.parent_pid = 4242;
    job.install_dir = temp / "install";
    job.staging_dir = temp / "staging";
    job.backup_dir = temp / "backup";
    job.manifest = temp / "manifest.txt";
    job.restart = job.install_dir / "bin" / "launcher.exe";
    job.log = temp / "updater.log";
    for (const char* kept : {"bin/launcher.exe", "data/a.dat", "keep.txt"}) {
      kov::test::WriteFile(job.install_dir / kept, std::string("old ") + kept);
    }
    original = Snapshot(job.install_dir);
    Stage();
    updated = original;
    for (const char* path : kUpdate) updated[path] = std::string("new ") + path;
    updated["new"] = updated["new/deep"] = "<dir>";
  }

  void Stage() const {
    std::string manifest;
    for (const char* path : kUpdate) {
      kov::test::WriteFile(job.staging_dir / path, std::string("new ") + path);
      manifest += std::string(path) + "\n";
    }
    kov::test::WriteFile(job.manifest, manifest);
  }

  static constexpr const char* kUpdate[] = {"bin/launcher.exe", "data/a.dat", "new/deep/b.dat"};
};

struct Outcome {
  InstallStatus status;
  bool relaunch;
  const char* failing_move;  // a target whose replacement fails, or null
};

InstallFileOps FailingMoveTo(const fs::path& target) {
  InstallFileOps ops = SystemInstallFileOps();
  const auto move = ops.move_file;
  ops.move_file = [move, target](const fs::path& source, const fs::path& destination) {
    if (destination == target) return std::make_error_code(std::errc::io_error);
    return move(source, destination);
  };
  return ops;
}

InstallFileOps OpsFor(const Scene& scene, const Outcome& outcome) {
  if (outcome.failing_move == nullptr) return SystemInstallFileOps();
  return FailingMoveTo(scene.job.install_dir / outcome.failing_move);
}

// Stops a run dead after every prefix of its disk operations, of the install and of its
// rollback, with and without the loss of unflushed content, and recovers each.
TEST(CrashRecovery, EveryCrashPointRecoversToOneWholeVersion) {
  const struct {
    const char* name;
    Outcome outcome;
  } cases[] = {
      {"installs", {InstallStatus::Installed, false, nullptr}},
      {"replacement fails", {InstallStatus::RolledBack, false, "new/deep/b.dat"}},
      // The staged launcher is no program, so its start fails after every file is in place.
      {"restart fails", {InstallStatus::RestartFailedRolledBack, true, nullptr}},
  };
  for (const auto& c : cases) {
    int operations = 0;
    {
      Scene scene;
      CrashingOps counting(-1);
      const InstallResult result = InstallFilesWith(scene.job, {}, c.outcome.relaunch,
                                                    counting.Wrap(OpsFor(scene, c.outcome)));
      ASSERT_EQ(result.status, c.outcome.status) << c.name << ": " << result.error;
      operations = counting.count();
    }
    bool reached_new = false;
    for (int kill_at = 0; kill_at < operations; ++kill_at) {
      for (const bool lose_unflushed : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + ", killed before operation " + std::to_string(kill_at) +
                     " of " + std::to_string(operations) + (lose_unflushed ? ", power cut" : ""));
        Scene scene;
        CrashingOps crashing(kill_at);
        EXPECT_THROW(InstallFilesWith(scene.job, {}, c.outcome.relaunch,
                                      crashing.Wrap(OpsFor(scene, c.outcome))),
                     Killed);
        if (lose_unflushed) crashing.LoseUnflushed();
        if (IsInterruptedUpdatePending(scene.job.install_dir)) {
          for (const char* kept : {"bin/launcher.exe", "data/a.dat"}) {
            EXPECT_EQ(kov::test::ReadFile(scene.job.backup_dir / kept), scene.original.at(kept));
          }
        }

        std::string error;
        ASSERT_TRUE(RecoverInterruptedUpdate(scene.job.install_dir, {}, error)) << error;
        EXPECT_FALSE(IsInterruptedUpdatePending(scene.job.install_dir));
        Tree recovered = Snapshot(scene.job.install_dir);
        // Folders that a rolled-back run created stay, as after any rollback.
        if (recovered != scene.updated) recovered.erase("new"), recovered.erase("new/deep");
        const bool is_new = recovered == scene.updated;
        EXPECT_TRUE(is_new || recovered == scene.original);
        // A failed run ends new only when killed before its decision to undo was recorded.
        if (c.outcome.status == InstallStatus::Installed) {
          EXPECT_TRUE(is_new || !reached_new) << "an earlier crash point already ended new";
          reached_new = reached_new || is_new;
        }

        scene.Stage();
        EXPECT_EQ(InstallFilesWith(scene.job, {}, false, SystemInstallFileOps()).status,
                  InstallStatus::Installed);
        EXPECT_EQ(Snapshot(scene.job.install_dir), scene.updated);
      }
    }
  }
}

TEST(CrashRecovery, RecoveryLogsItsStepsAndAFailedOneStopsTheRunBeforeAnyChange) {
  Scene scene;
  CrashingOps crashing(20);
  EXPECT_THROW(InstallFilesWith(scene.job, {}, false, crashing.Wrap(SystemInstallFileOps())),
               Killed);
  ASSERT_TRUE(IsInterruptedUpdatePending(scene.job.install_dir));
  const fs::path copy = scene.job.backup_dir / "data" / "a.dat";
  const std::string saved = kov::test::ReadFile(copy);
  fs::remove(copy);

  std::vector<std::string> lines;
  InstallOptions options;
  options.log = [&lines](std::string_view line) { lines.emplace_back(line); };
  const InstallResult failed = InstallFiles(scene.job, options, false);
  EXPECT_EQ(failed.status, InstallStatus::RecoveryFailed);
  EXPECT_EQ(failed.error, "The previous files could not be restored.");
  EXPECT_EQ(lines.front(), "recovery start");
  EXPECT_EQ(lines.back(), "system error: 2");
  EXPECT_TRUE(IsInterruptedUpdatePending(scene.job.install_dir));
  EXPECT_TRUE(fs::exists(scene.job.backup_dir / "bin" / "launcher.exe"));
  EXPECT_TRUE(fs::exists(scene.job.staging_dir / "data" / "a.dat"));

  kov::test::WriteFile(copy, saved);
  lines.clear();
  EXPECT_EQ(InstallFiles(scene.job, options, false).status, InstallStatus::Installed);
  EXPECT_THAT(
      std::vector<std::string>(lines.begin(), lines.begin() + 4),
      ElementsAre("recovery start", "rollback start", "rollback complete", "recovery complete"));
  EXPECT_EQ(Snapshot(scene.job.install_dir), scene.updated);
}

TEST(CrashRecovery, DamagedRecordStopsTheRunAndManifestCannotNameReservedNames) {
  const struct {
    const char* name;
    const char* journal;
    const char* manifest_line;
    InstallStatus status;
    const char* error;
  } cases[] = {
      {"truncated record", "format=1\nstate=replacing\n", nullptr, InstallStatus::RecoveryFailed,
       "The record of an interrupted update cannot be read."},
      {"record leading outside", "format=1\nstate=replacing\nbackup=/b\nadded=../x\nend\n", nullptr,
       InstallStatus::RecoveryFailed, "The record of an interrupted update cannot be read."},
      {"journal name", nullptr, ".kov-update-journal", InstallStatus::Rejected,
       "The update manifest contains a name reserved for the update helper: "
       ".kov-update-journal."},
      {"temporary name in any case", nullptr, "data/.KOV-Update-lock", InstallStatus::Rejected,
       "The update manifest contains a name reserved for the update helper: "
       "data/.KOV-Update-lock."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scene scene;
    if (c.journal) kov::test::WriteFile(scene.job.install_dir / ".kov-update-journal", c.journal);
    if (c.manifest_line) {
      kov::test::WriteFile(scene.job.staging_dir / c.manifest_line, "x");
      kov::test::WriteFile(scene.job.manifest,
                           std::string(c.manifest_line) + "\nbin/launcher.exe\n");
    }
    const Tree before = Snapshot(scene.temp.path());
    const InstallResult result = InstallFiles(scene.job, {}, false);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(Snapshot(scene.temp.path()), before);
  }
}

}  // namespace
}  // namespace kov::update
