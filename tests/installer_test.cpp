#include "update/installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/install_fixture.h"
#include "tests/log_lines.h"
#include "tests/test_util.h"
#include "update/installer_platform.h"
#include "update/process.h"

#ifndef _WIN32
#include <sys/mount.h>
#endif

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using test::Call;
using test::Snapshot;
using test::Tree;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Matcher;
using ReplaceFile = decltype(InstallOptions::replace_file);

std::string Pid() { return std::to_string(CurrentProcessId()); }

// The system's operations with every disk-changing call recorded in order; fail() picks the
// calls to refuse, which then answer EIO (the log shows "system error: 5").
struct Recorder {
  std::vector<Call> calls;
  std::function<bool(const Call&)> fail = [](const Call&) { return false; };

  InstallFileOps Ops() {
    test::Watcher watcher;
    watcher.before = [this](const Call& call) {
      calls.push_back(call);
      return fail(call) ? std::make_error_code(std::errc::io_error) : std::error_code();
    };
    return test::Watched(SystemInstallFileOps(), watcher);
  }
  std::vector<std::string> RollbackMoves(const fs::path& root) const {
    std::vector<std::string> targets;
    for (const Call& call : calls) {
      if (call.op == "move" &&
          call.paths[0].filename().string().starts_with(".kov-update-rollback-")) {
        targets.push_back(call.paths[1].lexically_relative(root).generic_string());
      }
    }
    return targets;
  }
  // Every moved file was flushed after it was last written, the backup was synced after the
  // last backup copy and before the first move, and every folder a rename touched was synced
  // after it.
  void ExpectDurableOrder() const {
    std::map<fs::path, std::string> state;  // last operation on each temporary file
    std::set<fs::path> unsynced_folders;
    std::size_t last_backup_copy = 0, sync = calls.size(), first_move = calls.size();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      const Call& call = calls[i];
      if (call.op == "copy" || call.op == "write") state[call.paths.back()] = "written";
      if (call.op == "back up") last_backup_copy = i;
      if (call.op == "flush" || call.op == "sync") {
        for (const fs::path& file : call.paths) state[file] = "flushed";
      }
      if (call.op == "sync") sync = std::min(sync, i);
      if (call.op == "move" || call.op == "rename") {
        EXPECT_EQ(state[call.paths[0]], "flushed") << call.paths[0];
        first_move = std::min(first_move, i);
      }
      if (call.op == "rename") unsynced_folders.insert(call.paths[1].parent_path());
      if (call.op == "sync folder") unsynced_folders.erase(call.paths[0]);
    }
    EXPECT_GT(sync, last_backup_copy);
    EXPECT_LT(sync, first_move);
    EXPECT_THAT(unsynced_folders, IsEmpty());
  }
};

struct Fixture : test::InstallFixture {
  Recorder recorder;
  InstallResult Run(bool relaunch = false) { return InstallFixture::Run(relaunch, recorder.Ops()); }
};

// Moves a folder away to real and leaves a link to it in its place.
void Relink(const fs::path& folder, const fs::path& real) {
  fs::rename(folder, real);
  fs::create_directory_symlink(real, folder);
}

// Every refusal before the first change: the outcome's sentence, at most the count of the
// manifest's entries in the log, and not a byte changed in the scratch folder.
TEST(InstallerChecks, RefuseEachFaultyJobOrManifestBeforeAnyChange) {
  const std::string relative = "The update job contains a relative path.";
  const std::string missing = "The update job names a missing folder.";
  const std::string apart =
      "The update staging and backup folders must be separate from the installation and each "
      "other.";
  const std::string inside =
      "The update job must not write into the installation before replacement.";
  const std::string unsafe = "The update manifest contains an unsafe path (";
  const std::string no_launcher = "The update does not contain the launcher program.";
  const std::string reserved =
      "The update manifest contains a name reserved for the update helper: ";
  const std::string through = "The installation contains a link that the update will not follow.";
  using Arrange = std::function<void(Fixture&)>;
  const auto listing = [](std::string text) -> Arrange {
    return [text](Fixture& f) { f.Manifest(text); };
  };
  const auto staged = [](std::string path) -> Arrange {
    return [path](Fixture& f) { f.Update({path, "bin/launcher.exe"}); };
  };
  const struct {
    Arrange arrange;
    std::string error;
    bool counted = false;  // the manifest was read whole, so its entries are counted
    bool links = false;    // needs real links: POSIX only
  } cases[] = {
      // clang-format off
      {[](Fixture& f) { f.job.parent_pid = 0, f.job.install_dir = "install"; },
       "The update job has no launcher process."},  // before the relative path
      {[](Fixture& f) { f.job.log.clear(); }, relative},
      {[](Fixture& f) { f.job.log = "updater.log"; }, relative},
      {[](Fixture& f) { f.job.staging_dir = "staging"; }, relative},
#ifdef _WIN32
      {[](Fixture& f) { f.job.log = "C:update"; }, relative},
      {[](Fixture& f) { f.job.log = "\\update"; }, relative},
#endif
      {[](Fixture& f) { f.job.install_dir = f.temp / "none"; }, missing},
      {[](Fixture& f) { f.job.install_dir = f.job.manifest; }, missing},
      {[](Fixture& f) { f.job.staging_dir = f.temp / "none"; }, missing},
      {[](Fixture& f) { f.job.staging_dir = f.job.install_dir; }, apart},
      {[](Fixture& f) { fs::create_directory(f.job.staging_dir = f.job.install_dir / "s"); }, apart},
      {[](Fixture& f) { f.job.backup_dir = f.job.staging_dir / "b"; }, apart},
      {[](Fixture& f) { f.job.backup_dir = f.temp.path(); }, apart},
      {[](Fixture& f) { f.job.manifest = f.job.install_dir / "m.txt"; }, inside},
      {[](Fixture& f) { f.job.log = f.job.install_dir / "u.log"; }, inside},
      {[](Fixture& f) { fs::create_directory(f.job.manifest = f.temp / "mdir"); },
       "The update manifest is missing."},
      {[](Fixture& f) { f.job.restart = f.temp / "launcher.exe"; },
       "The restart program is outside the installation."},
      {listing("\xEF\xBB\xBF" "bin/launcher.exe\n"), "The update is missing \xEF\xBB\xBF" "bin/launcher.exe."},
      {listing("bin/launcher.exe\r\r\n"), unsafe + "invalid character in path)."},  // one CR is kept
      {listing("bin/launcher.exe\n../x\n"), unsafe + "path traversal)."},
      {listing("saves/x.sav\n"), "The update manifest contains a protected path: saves/x.sav."},
      {listing("bin/launcher.exe\ndata/absent.txt\n"), "The update is missing data/absent.txt."},
      {listing("data\n"), "The update is missing data."},
      {listing("bin/launcher.exe\ndata/\xFF.txt\n"), "The update manifest contains a path that is not valid UTF-8."},
      {listing(""), "The update manifest is empty."},
      {listing("\r\n\n\r\n"), "The update manifest is empty."},
      {staged(".kov-update-journal"), reserved + ".kov-update-journal."},
      {staged("data/.KOV-Update-lock"), reserved + "data/.KOV-Update-lock."},
      {listing("data/a.txt\n"), no_launcher, true},
      {[](Fixture& f) {  // a launcher not yet installed is matched by its exact name
         fs::remove_all(f.job.install_dir / "bin");
         f.Manifest("Bin/Launcher.exe\n");
       }, no_launcher, true},
      {[](Fixture& f) { f.job.restart = f.job.install_dir / ".." / "install" / "bin" / "launcher.exe"; },
       "The restart program is not inside the installation.", true},
      {[](Fixture& f) { Relink(f.job.install_dir / "data", f.job.install_dir / "real"); }, through, false, true},
      {[](Fixture& f) { Relink(f.job.install_dir, f.temp / "real"); }, through, false, true},
      {[](Fixture& f) { fs::create_symlink(f.temp / "elsewhere", f.job.install_dir / "data" / "a.txt"); },
       "The update manifest points outside the installation.", false, true},
      {[](Fixture& f) { Relink(f.job.staging_dir / "data", f.temp / "staged-elsewhere"); },
       "The update is missing data/a.txt.", false, true},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    if (c.links && test::RunningUnderWine()) continue;  // Wine shows links without reparse tags
    Fixture f;
    f.Installed("bin/launcher.exe", "old");
    test::WriteFile(f.temp / "elsewhere", "outside");
    f.Update({"bin/launcher.exe", "Bin/Launcher.exe", "data/a.txt"});
    fs::create_directories(f.job.staging_dir / "data" / "sub");
    fs::create_directories(f.job.install_dir / "data");
    f.Manifest(c.links ? "bin/launcher.exe\ndata/a.txt\n" : "bin/launcher.exe\n");
    c.arrange(f);
    const Tree before = Snapshot(f.temp.path());
    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, c.error);
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

TEST(InstallerRun, InstallsNewAndReplacedFilesDurablyAndRemovesTheWorkFolders) {
  Fixture f;
  f.Installed("bin/launcher.exe", "old launcher");
  f.Installed("data/a.txt", "old a");
  f.Installed("keep.txt", "untouched");
  f.Update({"bin/launcher.exe", "new/deep/b.txt", "data/a.txt"});
  // Blank lines and either line end are skipped; spellings of one entry count once.
  f.Manifest(
      "\r\n\nbin/launcher.exe\r\n\r\nnew/deep/b.txt\ndata/a.txt\nbin/./launcher.exe\n"
      "bin\\launcher.exe/\ndata/a.txt");
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
  f.recorder.ExpectDurableOrder();
}

TEST(InstallerRun, WorkFoldersGoWithTheirLinksButNotWhatTheLinksLeadTo) {
  Fixture f;
  f.Installed("bin/launcher.exe", "old");
  f.Update({"bin/launcher.exe"});
  test::WriteFile(f.temp / "shared" / "kept.txt", "kept");
  std::error_code ec;
  fs::create_directory_symlink(f.temp / "shared", f.job.staging_dir / "linked", ec);
  if (ec) GTEST_SKIP() << "no folder links here: " << ec.message();
  EXPECT_EQ(f.Run().status, InstallStatus::Installed);
  EXPECT_FALSE(f.WorkFoldersExist());
  EXPECT_EQ(test::ReadFile(f.temp / "shared" / "kept.txt"), "kept");
}

TEST(InstallerRun, BackupOnAnotherVolumeServesTheRollback) {
  Fixture f;
  const fs::path other = "/dev/shm";
  platform::VolumeSpace here, there;
  if (platform::QueryVolumeSpace(f.temp.path(), here) || platform::QueryVolumeSpace(other, there) ||
      here.volume == there.volume) {
    GTEST_SKIP() << "no second volume at " << other;
  }
  f.job.backup_dir = other / f.temp.path().filename();
  f.Installed("bin/launcher.exe", "old launcher");
  f.Installed("data/a.txt", "old a");
  f.Update({"bin/launcher.exe", "data/a.txt"});
  const Tree before = Snapshot(f.job.install_dir);
  f.recorder.fail = [](const Call& call) {
    return call.op == "rename" && call.paths[1].filename() == "a.txt";
  };
  EXPECT_EQ(f.Run().status, InstallStatus::RolledBack);
  EXPECT_EQ(Snapshot(f.job.install_dir), before);
  EXPECT_FALSE(fs::exists(f.job.backup_dir));
}

TEST(InstallerRun, BackupFailureLeavesTheInstallationAndRemovesTheWorkFolders) {
  const std::pair<std::string, std::string> cases[] = {
      {"back up", "Cannot back up docs/readme.txt."},
      {"folders", "Cannot create the update backup folder."},
      {"sync", "The update backup could not be written to disk."},
      {"write", "Cannot record the update in the installation."}};  // the journal
  for (const auto& [op, message] : cases) {
    Fixture f;
    f.Installed("bin/launcher.exe", "old launcher");
    f.Installed("docs/readme.txt", "old readme");
    f.Update({"bin/launcher.exe", "docs/readme.txt"});
    f.recorder.fail = [op = op](const Call& call) {
      return call.op == op && (op != "back up" || call.paths[0].filename() == "readme.txt");
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
    return call.op == op &&
           call.paths.back().filename().string().starts_with(".kov-update-" + Pid() + "-3-");
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

// The fourth of four files fails in its own way; whatever was replaced is restored, the last first.
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
      {guide, [](Fixture& f) { f.recorder.fail = FailOnEntry3("sync"); }, "Cannot write the new files to disk.", true},
      {guide, [](Fixture& f) { f.replace = ReplaceExceptCall(4, [](auto&, auto&) { return false; }); },
       "Cannot replace docs/guide.txt.", false},
      {guide, [](Fixture& f) {
         f.replace = ReplaceExceptCall(4, [](const fs::path& s, const fs::path& d) {
           test::WriteFile(s, "tampered");
           std::error_code ec;
           fs::rename(s, d, ec);
           return !ec;
         });
       }, "The installed file does not match the update: docs/guide.txt.", false},
      {guide, [](Fixture& f) {  // and a backup is lost, so the restore is incomplete
         f.replace = ReplaceExceptCall(4, [&f](auto&, auto&) {
           return !fs::remove(f.job.backup_dir / "docs" / "readme.txt");
         });
       }, "Cannot replace docs/guide.txt.", false, false},
      {guide, [](Fixture& f) {  // and a backup cannot be moved back
         f.replace = ReplaceExceptCall(4, [](auto&, auto&) { return false; });
         f.recorder.fail = [](const Call& call) {
           return call.op == "move" && call.paths[1].filename() == "readme.txt";
         };
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
    // All four are one batch: a failure before its moves leaves nothing to move back.
    const bool mismatch = c.message.find("does not match") != std::string::npos;
    std::vector<std::string> moved_back;
    if (mismatch || c.message.starts_with("Cannot replace")) {
      moved_back = {"docs/readme.txt", "bin/launcher.exe"};
    }
    if (mismatch) moved_back.insert(moved_back.begin(), c.last);
    if (!restored && !fs::exists(f.job.backup_dir / "docs" / "readme.txt")) {
      moved_back.erase(moved_back.begin());  // the lost backup is never moved back
    }
    EXPECT_EQ(f.recorder.RollbackMoves(f.job.install_dir), moved_back);
    f.recorder.ExpectDurableOrder();
  }
}

// The launcher replaced (10000 bytes before, 20000 after) and a new file of 5000 bytes.
void StageSizedUpdate(const test::InstallFixture& f) {
  f.Installed("bin/launcher.exe", std::string(10000, 'o'));
  test::WriteFile(f.job.staging_dir / "bin/launcher.exe", std::string(20000, 'n'));
  test::WriteFile(f.job.staging_dir / "data/new.dat", std::string(5000, 'n'));
  f.Manifest("bin/launcher.exe\ndata/new.dat\n");
}

// Sizes rounded up to 4096-byte blocks, one block more per file, and 1 MiB to spare per volume.
constexpr std::uintmax_t kBackupNeed = (1 << 20) + 12288 + 4096;
constexpr std::uintmax_t kInstallNeed = (1 << 20) + 20480 + 4096 + 8192 + 4096;

TEST(DiskSpace, RefusedBeforeAnyChangeWhenAVolumeIsShort) {
  const struct {
    std::uintmax_t install_free, backup_free;
    bool one_volume;
    const char* space_line;  // null: installed
  } cases[] = {
      {kInstallNeed - 1, kBackupNeed, false,
       "disk space: 1085440 bytes needed, 1085439 bytes free"},
      {kInstallNeed, kBackupNeed - 1, false,
       "disk space: 1064960 bytes needed, 1064959 bytes free"},
      {kInstallNeed, kBackupNeed, false, nullptr},
      {kInstallNeed + kBackupNeed - 1, kInstallNeed + kBackupNeed - 1, true,
       "disk space: 2150400 bytes needed, 2150399 bytes free"},
      {kInstallNeed + kBackupNeed, kInstallNeed + kBackupNeed, true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.space_line ? c.space_line : "enough");
    test::InstallFixture f;
    StageSizedUpdate(f);
    InstallFileOps ops = SystemInstallFileOps();
    ops.volume_space = [&](const fs::path& folder, platform::VolumeSpace& space) {
      const bool install = folder == f.job.install_dir;
      space = {install ? c.install_free : c.backup_free, c.one_volume || install ? 1u : 2u};
      return std::error_code();
    };
    const Tree before = Snapshot(f.temp.path());
    const InstallResult result = f.Run(false, ops);
    if (c.space_line == nullptr) {
      EXPECT_EQ(result.status, InstallStatus::Installed);
      continue;
    }
    EXPECT_EQ(result.error, "There is not enough free disk space for the update.");
    EXPECT_THAT(f.lines, ElementsAre("manifest entries: 2", c.space_line,
                                     "space check failed: " + result.error));
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
  // A volume that cannot be asked refuses the run too, with the system's code.
  test::InstallFixture f;
  StageSizedUpdate(f);
  InstallFileOps ops = SystemInstallFileOps();
  ops.volume_space = [](const fs::path&, platform::VolumeSpace&) {
    return std::make_error_code(std::errc::io_error);
  };
  const Tree before = Snapshot(f.temp.path());
  const std::string sentence = "Cannot find the free disk space for the update.";
  EXPECT_EQ(f.Run(false, ops).error, sentence);
  EXPECT_THAT(f.lines, ElementsAre("manifest entries: 2", "space check failed: " + sentence,
                                   test::IsSystemErrorLine()));
  EXPECT_EQ(Snapshot(f.temp.path()), before);
}

#ifndef _WIN32
// A small file system of its own for the installation; needs the right to mount.
struct SmallVolume {
  explicit SmallVolume(const fs::path& folder) : folder(folder) {}
  ~SmallVolume() {
    if (mounted) ::umount2(folder.c_str(), MNT_DETACH);
  }
  fs::path folder;
  bool mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=512k") == 0;
};
#endif

TEST(DiskSpace, RealSmallVolumeIsRefusedOrRolledBackWhenItFillsDuringTheRun) {
#ifdef _WIN32
  GTEST_SKIP() << "no small file system can be made for a test on Windows";
#else
  for (const bool preflight_misled : {false, true}) {  // misled: the disk fills during the run
    SCOPED_TRACE(preflight_misled ? "fills up during the run" : "refused by the free space");
    test::InstallFixture f;
    const SmallVolume volume(f.job.install_dir);
    if (!volume.mounted) GTEST_SKIP() << "mounting a small tmpfs needs root";
    StageSizedUpdate(f);
    platform::VolumeSpace space;
    ASSERT_FALSE(platform::QueryVolumeSpace(f.job.install_dir, space));
    // Leaves two blocks: room for the journal, none for the new launcher.
    f.Installed("filler", std::string(space.available - 8192, 'f'));
    const Tree before = Snapshot(f.job.install_dir);
    InstallFileOps ops = SystemInstallFileOps();
    if (preflight_misled) {
      ops.volume_space = [](const fs::path&, platform::VolumeSpace& space) {
        space = {std::uintmax_t{1} << 40, 1};
        return std::error_code();
      };
    }
    const InstallResult result = f.Run(false, ops);
    EXPECT_EQ(Snapshot(f.job.install_dir), before);
    EXPECT_EQ(result.status,
              preflight_misled ? InstallStatus::RolledBack : InstallStatus::Rejected);
    if (preflight_misled) {
      EXPECT_THAT(f.lines, Contains("system error: 28"));
    }
  }
#endif
}

}  // namespace
}  // namespace kov::update
