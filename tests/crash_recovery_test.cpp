#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/install_fixture.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using test::Call;
using test::Snapshot;
using test::Tree;
using ::testing::ElementsAre;

// The process dies: thrown by an operation before it touches the disk, it unwinds through the
// installer without any further file operation, as a kill stops every later step. (Failing
// every later operation instead would let the run go on reading, hashing and deciding, which a
// dead process does not.)
struct Killed {};

// Counts the disk-changing operations, kills the run before operation kill_at, and keeps what a
// power cut would lose: the files whose content was written but not yet flushed, the backups
// not yet synced (a backup may be a second name of its original, so it is lost whole), and the
// renames whose folder was not synced since.
struct Crash {
  explicit Crash(int kill_at) : kill_at(kill_at) {}
  int kill_at;
  int count = 0;
  std::set<fs::path> unflushed, unsynced_backups;
  struct Rename {
    fs::path from, to;
    std::optional<std::string> replaced;  // what `to` held before
  };
  std::vector<Rename> unsynced;
  std::optional<std::string> replaced;  // by the rename under way

  InstallFileOps Wrap(const InstallFileOps& real) {
    test::Watcher watcher;
    watcher.before = [this](const Call& call) {
      if (count++ == kill_at) throw Killed{};
      const bool held = call.op == "rename" && fs::exists(call.paths[1]);
      replaced = held ? std::optional(test::ReadFile(call.paths[1])) : std::nullopt;
      return std::error_code();
    };
    watcher.succeeded = [this](const Call& call) {
      if (call.op == "copy" || call.op == "write") unflushed.insert(call.paths.back());
      const bool moved = call.op == "move" || call.op == "rename";
      if (moved && unflushed.erase(call.paths[0]) > 0) unflushed.insert(call.paths[1]);
      if (call.op == "flush" || call.op == "remove") unflushed.erase(call.paths[0]);
      if (call.op == "back up") unsynced_backups.insert(call.paths[1]);
      if (call.op == "sync") {
        for (const fs::path& file : call.paths) unflushed.erase(file), unsynced_backups.erase(file);
      }
      if (call.op == "rename") unsynced.push_back({call.paths[0], call.paths[1], replaced});
      // A durable move syncs its folder too.
      const fs::path synced = call.op == "move" ? call.paths[1].parent_path() : call.paths[0];
      if (call.op == "sync folder" || call.op == "move") {
        std::erase_if(unsynced, [&](const Rename& r) { return r.to.parent_path() == synced; });
      }
    };
    return test::Watched(real, watcher);
  }
  // What a power cut at the kill leaves: unflushed files empty, unsynced backups and renames
  // undone.
  void LoseUnflushed() const {
    for (const fs::path& backup : unsynced_backups) fs::remove(backup);
    for (const fs::path& file : unflushed) {
      if (fs::exists(file)) test::WriteFile(file, "");
    }
    for (auto r = unsynced.rbegin(); r != unsynced.rend(); ++r) {
      if (!fs::exists(r->to)) continue;  // the rename failed or was removed since
      test::WriteFile(r->from, test::ReadFile(r->to));
      if (r->replaced) test::WriteFile(r->to, *r->replaced);
      if (!r->replaced) fs::remove(r->to);
    }
  }
};

// Replaced files, the launcher among them, and a new file in a new folder.
struct Scene : test::InstallFixture {
  Tree original, updated;
  Scene() {
    for (const char* kept : {"bin/launcher.exe", "data/a.dat", "keep.txt"}) {
      Installed(kept, std::string("old ") + kept);
    }
    original = Snapshot(job.install_dir);
    Stage();
    updated = original;
    for (const std::string& path : kUpdate) updated[path] = "new " + path;
    updated["new"] = updated["new/deep"] = "<dir>";
  }
  void Stage() const { Update(kUpdate); }
  InstallResult RunWith(bool relaunch, const InstallFileOps& ops) {
    return InstallFilesWith(job, {}, relaunch, ops);
  }
  inline static const std::vector<std::string> kUpdate = {"bin/launcher.exe", "data/a.dat",
                                                          "new/deep/b.dat"};
};

// The system's operations, with the replacement of one target failing when one is given.
InstallFileOps OpsFailingMoveTo(const Scene& scene, const char* target) {
  InstallFileOps ops = SystemInstallFileOps();
  if (target == nullptr) return ops;
  test::Watcher watcher;
  watcher.before = [to = scene.job.install_dir / target](const Call& call) {
    const bool fails = call.op == "rename" && call.paths[1] == to;
    return fails ? std::make_error_code(std::errc::io_error) : std::error_code();
  };
  return test::Watched(ops, watcher);
}

// Stops a run dead after every prefix of its disk operations, of the install and of its
// rollback, with and without the loss of unflushed content, and recovers each.
TEST(CrashRecovery, EveryCrashPointRecoversToOneWholeVersion) {
  const struct {
    const char* name;
    InstallStatus status;
    bool relaunch;
    const char* failing_move;  // a target whose replacement fails, or null
  } cases[] = {
      {"installs", InstallStatus::Installed, false, nullptr},
      {"replacement fails", InstallStatus::RolledBack, false, "new/deep/b.dat"},
      // The staged launcher is no program, so its start fails after every file is in place.
      {"restart fails", InstallStatus::RestartFailedRolledBack, true, nullptr},
  };
  for (const auto& c : cases) {
    int operations = 0;
    {
      Scene scene;
      Crash counting(-1);
      const InstallResult result =
          scene.RunWith(c.relaunch, counting.Wrap(OpsFailingMoveTo(scene, c.failing_move)));
      ASSERT_EQ(result.status, c.status) << c.name << ": " << result.error;
      operations = counting.count;
    }
    bool reached_new = false;
    for (int kill_at = 0; kill_at < operations; ++kill_at) {
      for (const bool lose_unflushed : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + ", killed before operation " + std::to_string(kill_at) +
                     " of " + std::to_string(operations) + (lose_unflushed ? ", power cut" : ""));
        Scene scene;
        Crash crash(kill_at);
        EXPECT_THROW(scene.RunWith(c.relaunch, crash.Wrap(OpsFailingMoveTo(scene, c.failing_move))),
                     Killed);
        if (lose_unflushed) crash.LoseUnflushed();
        if (IsInterruptedUpdatePending(scene.job.install_dir)) {
          for (const char* kept : {"bin/launcher.exe", "data/a.dat"}) {
            EXPECT_EQ(test::ReadFile(scene.job.backup_dir / kept), scene.original.at(kept));
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
        if (c.status == InstallStatus::Installed) {
          EXPECT_TRUE(is_new || !reached_new) << "an earlier crash point already ended new";
          reached_new = reached_new || is_new;
        }

        scene.Stage();
        EXPECT_EQ(scene.RunWith(false, SystemInstallFileOps()).status, InstallStatus::Installed);
        EXPECT_EQ(Snapshot(scene.job.install_dir), scene.updated);
      }
    }
  }
}

TEST(CrashRecovery, RecoveryLogsItsStepsAndAFailedOneStopsTheRunBeforeAnyChange) {
  Scene scene;
  Crash crash(20);
  EXPECT_THROW(scene.RunWith(false, crash.Wrap(SystemInstallFileOps())), Killed);
  ASSERT_TRUE(IsInterruptedUpdatePending(scene.job.install_dir));
  const fs::path copy = scene.job.backup_dir / "data" / "a.dat";
  const std::string saved = test::ReadFile(copy);
  fs::remove(copy);

  const InstallResult failed = scene.Run();
  EXPECT_EQ(failed.status, InstallStatus::RecoveryFailed);
  EXPECT_EQ(failed.error, "The previous files could not be restored.");
  EXPECT_EQ(scene.lines.front(), "recovery start");
  EXPECT_EQ(scene.lines.back(), "system error: 2");
  EXPECT_TRUE(IsInterruptedUpdatePending(scene.job.install_dir));
  EXPECT_TRUE(fs::exists(scene.job.backup_dir / "bin" / "launcher.exe"));
  EXPECT_TRUE(fs::exists(scene.job.staging_dir / "data" / "a.dat"));

  test::WriteFile(copy, saved);
  EXPECT_EQ(scene.Run().status, InstallStatus::Installed);
  EXPECT_THAT(
      std::vector<std::string>(scene.lines.begin(), scene.lines.begin() + 4),
      ElementsAre("recovery start", "rollback start", "rollback complete", "recovery complete"));
  EXPECT_EQ(Snapshot(scene.job.install_dir), scene.updated);
}

TEST(CrashRecovery, DamagedRecordStopsTheRunBeforeAnyChange) {
  for (const char* journal :
       {"format=1\nstate=replacing\n", "format=1\nstate=replacing\nbackup=/b\nadded=../x\nend\n"}) {
    SCOPED_TRACE(journal);
    Scene scene;
    test::WriteFile(scene.job.install_dir / ".kov-update-journal", journal);
    const Tree before = Snapshot(scene.temp.path());
    const InstallResult result = scene.Run();
    EXPECT_EQ(result.status, InstallStatus::RecoveryFailed);
    EXPECT_EQ(result.error, "The record of an interrupted update cannot be read.");
    EXPECT_EQ(Snapshot(scene.temp.path()), before);
  }
}

}  // namespace
}  // namespace kov::update
