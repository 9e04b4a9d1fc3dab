#include "update/installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/install_fixture.h"
#include "tests/log_lines.h"
#include "tests/test_util.h"
#include "update/installer_platform.h"
#include "update/process.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using test::Snapshot;
using test::Tree;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Matcher;
using ReplaceFile = decltype(InstallOptions::replace_file);

std::string Pid() { return std::to_string(CurrentProcessId()); }

// One call of the disk-changing operations, as seen through the seam.
struct Call {
  std::string op;
  fs::path first;
  fs::path second;
};

// The system's disk-changing operations with every call recorded in order; fail() picks the
// calls to refuse. The only place that knows the shape of InstallFileOps.
struct Recorder {
  std::vector<Call> calls;
  std::function<bool(const Call&)> fail = [](const Call&) { return false; };

  InstallFileOps Ops() {
    InstallFileOps ops = SystemInstallFileOps();
    ops.copy_file = Watched("copy", ops.copy_file);
    ops.flush_file = Watched("flush", ops.flush_file);
    ops.move_file = Watched("move", ops.move_file);
    ops.sync_backups = Watched("sync", ops.sync_backups);
    return ops;
  }
  // A refused call answers EIO, which the log then shows as "system error: 5".
  template <typename... Args>
  std::function<std::error_code(Args...)> Watched(const char* op,
                                                  std::function<std::error_code(Args...)> system) {
    return [this, op, system](Args... args) {
      calls.push_back(CallOf(op, args...));
      return fail(calls.back()) ? std::make_error_code(std::errc::io_error) : system(args...);
    };
  }
  static Call CallOf(const char* op, const fs::path& a) { return {op, a, {}}; }
  static Call CallOf(const char* op, const fs::path& a, const fs::path& b) { return {op, a, b}; }
  static Call CallOf(const char* op, const fs::path& a, const std::vector<fs::path>&) {
    return {op, a, {}};
  }

  std::vector<std::string> RollbackMoves(const fs::path& root) const {
    std::vector<std::string> targets;
    for (const Call& call : calls) {
      if (call.op == "move" &&
          call.first.filename().string().starts_with(".kov-update-rollback-")) {
        targets.push_back(call.second.lexically_relative(root).generic_string());
      }
    }
    return targets;
  }
  // Every moved file was flushed after its last copy, and the backup was synced after the last
  // backup copy and before the first move.
  void ExpectDurableOrder(const fs::path& backup_dir) const {
    std::map<fs::path, std::string> state;  // last operation on each temporary file
    std::size_t last_backup_copy = 0, sync = calls.size(), first_move = calls.size();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      const Call& call = calls[i];
      if (call.op == "copy") state[call.second] = "copied";
      if (call.op == "copy" && call.second.string().starts_with(backup_dir.string())) {
        last_backup_copy = i;
      }
      if (call.op == "flush") state[call.first] = "flushed";
      if (call.op == "sync") sync = i;
      if (call.op == "move") {
        EXPECT_EQ(state[call.first], "flushed") << call.first;
        first_move = std::min(first_move, i);
      }
    }
    EXPECT_GT(sync, last_backup_copy);
    EXPECT_LT(sync, first_move);
  }
};

// A job over fresh folders; the backup folder does not exist until the run makes it.
struct Fixture : test::InstallFixture {
  Recorder recorder;
  InstallResult Run(bool relaunch = false) { return InstallFixture::Run(relaunch, recorder.Ops()); }
};

TEST(InstallerValidation, RefusesEachFaultyJobWithItsMessageAndTouchesNothing) {
  const std::string relative = "The update job contains a relative path.";
  const std::string missing = "The update job names a missing folder.";
  const std::string apart =
      "The update staging and backup folders must be separate from the installation and each "
      "other.";
  const std::string inside =
      "The update job must not write into the installation before replacement.";
  using Spoil = std::function<void(UpdateJob&, const fs::path& temp)>;
  // clang-format off
  const std::pair<Spoil, std::string> cases[] = {
      {[](UpdateJob& j, auto&) { j.parent_pid = 0, j.install_dir = "install"; },
       "The update job has no launcher process."},  // before the relative path
      {[](UpdateJob& j, auto&) { j.log.clear(); }, relative},
      {[](UpdateJob& j, auto&) { j.log = "updater.log"; }, relative},
      {[](UpdateJob& j, auto&) { j.staging_dir = "staging"; }, relative},
#ifdef _WIN32
      {[](UpdateJob& j, auto&) { j.log = "C:update"; }, relative},
      {[](UpdateJob& j, auto&) { j.log = "\\update"; }, relative},
#endif
      {[](UpdateJob& j, auto&) { fs::remove(j.install_dir); }, missing},
      {[](UpdateJob& j, auto&) { j.install_dir = j.manifest; }, missing},
      {[](UpdateJob& j, auto& t) { j.staging_dir = t / "none"; }, missing},
      {[](UpdateJob& j, auto&) { j.staging_dir = j.install_dir; }, apart},
      {[](UpdateJob& j, auto&) { fs::create_directory(j.staging_dir = j.install_dir / "s"); }, apart},
      {[](UpdateJob& j, auto&) { j.backup_dir = j.staging_dir / "b"; }, apart},
      {[](UpdateJob& j, auto& t) { j.backup_dir = t; }, apart},
      {[](UpdateJob& j, auto&) { j.manifest = j.install_dir / "m.txt"; }, inside},
      {[](UpdateJob& j, auto&) { j.log = j.install_dir / "u.log"; }, inside},
      {[](UpdateJob& j, auto& t) { fs::create_directory(j.manifest = t / "mdir"); },
       "The update manifest is missing."},
      {[](UpdateJob& j, auto& t) { j.restart = t / "launcher.exe"; },
       "The restart program is outside the installation."}};
  // clang-format on
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    Fixture f;
    f.Update({"bin/launcher.exe"});
    std::string error = "stale";
    ASSERT_TRUE(ValidateInstallJob(f.job, error));
    EXPECT_EQ(error, "");
    cases[i].first(f.job, f.temp.path());
    const Tree before = Snapshot(f.temp.path());
    EXPECT_FALSE(ValidateInstallJob(f.job, error));
    EXPECT_EQ(error, cases[i].second);
    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, cases[i].second);
    EXPECT_THAT(f.lines, ElementsAre());
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
}

TEST(InstallerValidation, JobPathsAreAbsoluteOnlyWithADriveAndRootOrANetworkPrefix) {
  // clang-format off
  const std::pair<const char*, bool> cases[] = {
#ifdef _WIN32
      {"C:\\Games\\x", true}, {"c:/games", true}, {"\\\\server\\share\\x", true},
      {"//server/share/x", true}, {"C:", false}, {"C:Games", false}, {"\\Games\\x", false},
      {"Games\\x", false}, {"\\\\", false}, {"\\\\\\x", false},
#else
      {"/games/x", true}, {"games/x", false},
#endif
      {"", false}};
  // clang-format on
  for (const auto& [text, absolute] : cases) {
    EXPECT_EQ(platform::IsAbsoluteJobPath(PathFromUtf8(text)), absolute) << text;
  }
}

TEST(InstallerManifest, ReadsLinesAndRefusesBadOnesBeforeTouchingAnything) {
  const std::string unsafe = "The update manifest contains an unsafe path (";
  const std::string no_launcher = "The update does not contain the launcher program.";
  // clang-format off
  const struct {
    std::string manifest;
    std::string message;  // empty: the run installs
    bool counted = false;  // whether the manifest was read whole
    fs::path restart = {};  // below the installation; empty: the launcher
  } cases[] = {
      {"\r\n\nbin/launcher.exe\r\n\r\n\ndata/a.txt", ""},
      {"bin/launcher.exe\ndata/a.txt\nbin/./launcher.exe\nbin\\launcher.exe/\n", ""},  // repeats
      {"\xEF\xBB\xBF" "bin/launcher.exe\n", "The update is missing \xEF\xBB\xBF" "bin/launcher.exe."},
      {"bin/launcher.exe\r\r\n", unsafe + "invalid character in path)."},  // one CR is kept
      {"bin/launcher.exe\n../x\n", unsafe + "path traversal)."},
      {"saves/x.sav\n", "The update manifest contains a protected path: saves/x.sav."},
      {"bin/launcher.exe\ndata/absent.txt\n", "The update is missing data/absent.txt."},
      {"data\n", "The update is missing data."},
      {"bin/launcher.exe\ndata/\xFF.txt\n", "The update manifest contains a path that is not valid UTF-8."},
      {"", "The update manifest is empty."},
      {"\r\n\n\r\n", "The update manifest is empty."},
      {"data/a.txt\n", no_launcher, true},
      {"Bin/Launcher.exe\n", no_launcher, true},
      {"bin/launcher.exe\n", "The restart program is not inside the installation.", true,
       fs::path("..") / "install" / "bin" / "launcher.exe"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.manifest));
    Fixture f;
    f.Update({"bin/launcher.exe", "Bin/Launcher.exe", "data/a.txt"});
    fs::create_directories(f.job.staging_dir / "data" / "sub");
    f.Manifest(c.manifest);
    if (!c.restart.empty()) f.job.restart = f.job.install_dir / c.restart;
    const Tree before = Snapshot(f.temp.path());
    const InstallResult result = f.Run();
    if (c.message.empty()) {
      EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
      EXPECT_EQ(test::ReadFile(f.job.install_dir / "data/a.txt"), "new data/a.txt");
      ASSERT_FALSE(f.lines.empty());
      EXPECT_EQ(f.lines.front(), "manifest entries: 2");
      continue;
    }
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, c.message);
    EXPECT_EQ(f.lines, c.counted ? std::vector<std::string>{"manifest entries: 1"}
                                 : std::vector<std::string>{});
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
}

TEST(InstallerManifest, AcceptsTenThousandFilesAndStopsAtTheNextOne) {
  Fixture f;
  std::string listed;
  for (int i = 0; i <= 10000; ++i) {
    const std::string path = "f" + std::to_string(i / 100) + "/" + std::to_string(i) + ".txt";
    test::WriteFile(f.job.staging_dir / path, "x");
    if (i < 10000) listed += path + "\n";
  }
  f.Manifest(listed);  // the launcher is not listed, so the run stops before the disk work
  EXPECT_EQ(f.Run().error, "The update does not contain the launcher program.");
  EXPECT_THAT(f.lines, ElementsAre("manifest entries: 10000"));
  f.lines.clear();
  f.Manifest(listed + "f100/10000.txt\nf0/0.txt\n");
  EXPECT_EQ(f.Run().error, "The update manifest holds too many files.");
  EXPECT_THAT(f.lines, ElementsAre());
}

TEST(InstallerManifest, RefusesLinksOnTheWayInOrOut) {
#ifdef _WIN32
  GTEST_SKIP() << "links need real reparse tags, which Wine does not report";
#endif
  const std::string through = "The installation contains a link that the update will not follow.";
  // Moves a folder away to "real" beside it and leaves a link to it in its place.
  const auto relink = [](const fs::path& folder, const fs::path& real) {
    fs::rename(folder, real);
    fs::create_directory_symlink(real, folder);
  };
  const struct {
    const char* name;
    std::function<void(Fixture&)> link;
    std::string message;
  } cases[] = {
      {"linked folder staying inside",
       [&](Fixture& f) { relink(f.job.install_dir / "data", f.job.install_dir / "real"); },
       through},
      {"linked installation", [&](Fixture& f) { relink(f.job.install_dir, f.temp / "real"); },
       through},
      {"target links out",
       [](Fixture& f) {
         fs::create_symlink(f.temp / "elsewhere" / "a.txt", f.job.install_dir / "data" / "a.txt");
       },
       "The update manifest points outside the installation."},
      {"staged file reached through a link out of the staging folder",
       [&](Fixture& f) { relink(f.job.staging_dir / "data", f.temp / "staged-elsewhere"); },
       "The update is missing data/a.txt."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    test::WriteFile(f.temp / "elsewhere" / "a.txt", "outside");
    f.Installed("bin/launcher.exe", "old");
    fs::create_directories(f.job.install_dir / "data");
    f.Update({"bin/launcher.exe", "data/a.txt"});
    c.link(f);
    EXPECT_EQ(f.Run().error, c.message);
    EXPECT_EQ(test::ReadFile(f.temp / "elsewhere" / "a.txt"), "outside");
    EXPECT_EQ(test::ReadFile(f.job.install_dir / "bin" / "launcher.exe"), "old");
  }
}

TEST(InstallerRun, InstallsNewAndReplacedFilesDurablyAndRemovesTheWorkFolders) {
  Fixture f;
  f.Installed("bin/launcher.exe", "old launcher");
  f.Installed("data/a.txt", "old a");
  f.Installed("keep.txt", "untouched");
  f.Update({"bin/launcher.exe", "new/deep/b.txt", "data/a.txt"});
  const InstallResult result = f.Run();
  EXPECT_EQ(result.status, InstallStatus::Installed);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(Snapshot(f.job.install_dir), (Tree{{"bin", "<dir>"},
                                               {"bin/launcher.exe", "new bin/launcher.exe"},
                                               {"data", "<dir>"},
                                               {"data/a.txt", "new data/a.txt"},
                                               {"keep.txt", "untouched"},
                                               {"new", "<dir>"},
                                               {"new/deep", "<dir>"},
                                               {"new/deep/b.txt", "new new/deep/b.txt"}}));
  EXPECT_FALSE(f.WorkFoldersExist());
  EXPECT_THAT(f.lines,
              ElementsAre("manifest entries: 3", "backup start", "backup complete",
                          "replacing 3 files", "replacement complete", "verification complete"));
  f.recorder.ExpectDurableOrder(f.job.backup_dir);
}

TEST(InstallerRun, BackupFailureLeavesTheInstallationAndRemovesTheWorkFolders) {
  const std::pair<std::string, std::string> cases[] = {
      {"copy", "Cannot back up docs/readme.txt."},
      {"sync", "The update backup could not be written to disk."}};
  for (const auto& [op, message] : cases) {
    Fixture f;
    f.Installed("bin/launcher.exe", "old launcher");
    f.Installed("docs/readme.txt", "old readme");
    f.Update({"bin/launcher.exe", "docs/readme.txt"});
    f.recorder.fail = [op = op](const Call& call) {
      return call.op == op && (op == "sync" || call.first.filename() == "readme.txt");
    };
    const Tree before = Snapshot(f.job.install_dir);
    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::BackupFailed);
    EXPECT_EQ(result.error, message);
    EXPECT_EQ(Snapshot(f.job.install_dir), before);
    EXPECT_FALSE(f.WorkFoldersExist());
    EXPECT_THAT(f.lines, ElementsAre("manifest entries: 2", "backup start",
                                     "backup failed: " + message, "system error: 5"));
  }
}

// Refuses the given operation on the temporary file of the fourth entry.
std::function<bool(const Call&)> FailOnEntry3(const std::string& op) {
  return [op](const Call& call) {
    const fs::path& file = op == "copy" ? call.second : call.first;
    return call.op == op && file.filename().string().starts_with(".kov-update-" + Pid() + "-3-");
  };
}

// A replace_file that moves like the system but lets the n-th call (from 1) act differently.
ReplaceFile ReplaceExceptCall(int n, std::function<bool(const fs::path&, const fs::path&)> odd) {
  auto count = std::make_shared<int>(0);
  return [=](const fs::path& s, const fs::path& d) {
    if (++*count == n) return odd(s, d);
    std::error_code ec;
    fs::rename(s, d, ec);
    return !ec;
  };
}

// Three files replaced, then the fourth fails in its own way; the last is restored first.
TEST(InstallerRun, FailureAfterReplacingRestoresWhatItCanLastFirst) {
  const std::string guide = "docs/guide.txt";
  // clang-format off
  const struct {
    std::string last;  // the fourth entry, which fails
    std::function<void(Fixture&)> arrange;
    std::string message;
    bool coded;  // a file operation failed, so the platform's code follows in the log
    bool restored = true;
  } cases[] = {
      {"lib/sub/c.txt", [](Fixture& f) { f.Installed("lib/sub", "a file"); },
       "Cannot create the folder for lib/sub/c.txt.", true},
      {guide, [](Fixture& f) {
         for (int i = 0; i < 100; ++i) {
           f.Installed("docs/.kov-update-" + Pid() + "-3-" + std::to_string(i) + ".tmp", "left");
         }
       }, "Cannot find a free temporary name for docs/guide.txt.", false},
      {guide, [](Fixture& f) { f.recorder.fail = FailOnEntry3("copy"); }, "Cannot write docs/guide.txt.", true},
      {guide, [](Fixture& f) { f.recorder.fail = FailOnEntry3("flush"); }, "Cannot write docs/guide.txt.", true},
      {guide, [](Fixture& f) { f.replace = ReplaceExceptCall(4, [](auto&, auto&) { return false; }); },
       "Cannot replace docs/guide.txt.", false},
      {guide, [](Fixture& f) {
         f.replace = ReplaceExceptCall(4, [](const fs::path& s, const fs::path& d) {
           test::WriteFile(d, "tampered");
           return fs::remove(s);
         });
       }, "The installed file does not match the update: docs/guide.txt.", false},
      {guide, [](Fixture& f) {  // and a backup is lost, so the restore is incomplete
         f.replace = ReplaceExceptCall(4, [&f](auto&, auto&) {
           return !fs::remove(f.job.backup_dir / "docs" / "readme.txt");
         });
       }, "Cannot replace docs/guide.txt.", false, false}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Fixture f;
    f.Installed("bin/launcher.exe", "old launcher");
    f.Installed("docs/readme.txt", "old readme");
    f.Installed("docs/guide.txt", "old guide");
    f.Update({"bin/launcher.exe", "extra/new.txt", "docs/readme.txt", c.last});
    c.arrange(f);
    Tree expected = Snapshot(f.job.install_dir);
    expected["extra"] = "<dir>";  // folders made for added files stay
    const bool restored = c.restored;
    if (!restored) expected["docs/readme.txt"] = "new docs/readme.txt";

    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, restored ? InstallStatus::RolledBack : InstallStatus::RollbackFailed);
    EXPECT_EQ(result.error, restored ? c.message : "The previous files could not be restored.");
    Tree installed = Snapshot(f.job.install_dir);
    // An incomplete restore keeps the install's record for the next run's recovery.
    EXPECT_EQ(installed.erase(".kov-update-journal"), restored ? 0u : 1u);
    EXPECT_EQ(installed, expected);
    // An incomplete restore keeps both folders for another attempt.
    EXPECT_EQ(fs::exists(f.job.backup_dir / "bin" / "launcher.exe"), !restored);
    EXPECT_EQ(fs::exists(f.job.staging_dir / "docs" / "guide.txt"), !restored);
    std::vector<Matcher<std::string>> lines = {"manifest entries: 4", "backup start",
                                               "backup complete", "replacing 4 files",
                                               "install failed: " + c.message};
    if (c.coded) lines.push_back(test::IsSystemErrorLine());
    lines.push_back("rollback start");
    lines.push_back(restored ? "rollback complete" : "rollback failed");
    if (!restored) lines.push_back(test::IsSystemErrorLine());
    EXPECT_THAT(f.lines, ElementsAreArray(lines));
    std::vector<std::string> moved_back = {"docs/readme.txt", "bin/launcher.exe"};
    if (c.message.find("does not match") != std::string::npos) {
      moved_back.insert(moved_back.begin(), c.last);
    }
    if (!restored) moved_back.erase(moved_back.begin());
    EXPECT_EQ(f.recorder.RollbackMoves(f.job.install_dir), moved_back);
    f.recorder.ExpectDurableOrder(f.job.backup_dir);
  }
}

TEST(InstallerRestart, StartsTheNewLauncherInTheInstallationFolder) {
  Fixture f;
  f.Installed("bin/launcher.exe", "old launcher");
  fs::create_directories(f.job.staging_dir / "bin");
  fs::copy_file(test::BuiltProgram("echo_args"), f.job.staging_dir / "bin" / "launcher.exe");
  f.Manifest("bin/launcher.exe\n");
  f.job.args = {"--hello", "two words"};
  const InstallResult result = f.Run(true);
  EXPECT_EQ(result.status, InstallStatus::Installed);
  EXPECT_EQ(result.error, "");
  EXPECT_FALSE(f.WorkFoldersExist());
  EXPECT_THAT(f.lines, ElementsAre("manifest entries: 1", "backup start", "backup complete",
                                   "replacing 1 files", "replacement complete",
                                   "verification complete", "restart start", "restart complete"));
  const std::string echoed = test::AwaitFile(f.job.install_dir / "echo-args.txt");
  EXPECT_THAT(echoed, HasSubstr("argv 7:--hello\nargv 9:two words\n"));
}

}  // namespace
}  // namespace kov::update
