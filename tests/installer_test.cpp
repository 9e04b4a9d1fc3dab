#include "update/installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/log_lines.h"
#include "tests/test_util.h"
#include "update/installer_platform.h"
#include "update/process.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Matcher;
using ::testing::StartsWith;
using Tree = std::map<std::string, std::string>;
using ReplaceFile = decltype(InstallOptions::replace_file);

// Every file (with its bytes) and folder ("<dir>") below root, by generic relative path.
Tree Snapshot(const fs::path& root) {
  Tree tree;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().lexically_relative(root).generic_string();
    tree[name] = it->is_directory() ? "<dir>" : kov::test::ReadFile(it->path());
  }
  return tree;
}

std::string Pid() { return std::to_string(CurrentProcessId()); }

// A job over fresh folders; the backup folder does not exist until the run makes it.
struct Fixture {
  kov::test::TempDir temp;
  UpdateJob job;
  std::vector<std::string> lines;

  Fixture() {
    job.parent_pid = 4242;
    job.install_dir = temp / "install";
    job.staging_dir = temp / "staging";
    job.backup_dir = temp / "backup";
    job.manifest = temp / "manifest.txt";
    job.restart = job.install_dir / "bin" / "launcher.exe";
    job.log = temp / "updater.log";
    fs::create_directories(job.install_dir);
    fs::create_directories(job.staging_dir);
  }
  void Installed(const std::string& relative, std::string_view bytes) const {
    kov::test::WriteFile(job.install_dir / relative, bytes);
  }
  void Staged(const std::string& relative, std::string_view bytes) const {
    kov::test::WriteFile(job.staging_dir / relative, bytes);
  }
  void Manifest(std::string_view text) const { kov::test::WriteFile(job.manifest, text); }
  // Stages each path with "new " + path and lists it, in order.
  void Update(const std::vector<std::string>& paths) const {
    std::string text;
    for (const auto& path : paths) {
      Staged(path, "new " + path);
      text += path + "\n";
    }
    Manifest(text);
  }
  InstallResult Run(bool relaunch = false, ReplaceFile replace = {},
                    const InstallFileOps& ops = SystemInstallFileOps()) {
    InstallOptions options;
    options.replace_file = std::move(replace);
    options.log = [this](std::string_view line) { lines.emplace_back(line); };
    return InstallFilesWith(job, options, relaunch, ops);
  }
  bool WorkFoldersExist() const {
    return fs::exists(job.backup_dir) || fs::exists(job.staging_dir);
  }
};

TEST(InstallerValidation, RefusesEachFaultyJobWithItsMessageAndTouchesNothing) {
  struct Case {
    const char* name;
    std::function<void(Fixture&)> spoil;
    std::string message;
  };
  const std::string relative = "The update job contains a relative path.";
  const std::string missing = "The update job names a missing folder.";
  const std::string apart =
      "The update staging and backup folders must be separate from the installation and each "
      "other.";
  const std::string inside =
      "The update job must not write into the installation before replacement.";
  const std::vector<Case> cases = {
      {"no pid beats relative paths",
       [](Fixture& f) { f.job.parent_pid = 0, f.job.install_dir = "install"; },
       "The update job has no launcher process."},
      {"empty log", [](Fixture& f) { f.job.log.clear(); }, relative},
      {"bare log name", [](Fixture& f) { f.job.log = "updater.log"; }, relative},
      {"relative staging", [](Fixture& f) { f.job.staging_dir = "staging"; }, relative},
#ifdef _WIN32
      {"drive without root", [](Fixture& f) { f.job.log = "C:update"; }, relative},
      {"root without drive", [](Fixture& f) { f.job.log = "\\update"; }, relative},
#endif
      {"install missing", [](Fixture& f) { fs::remove(f.job.install_dir); }, missing},
      {"install is a file", [](Fixture& f) { f.job.install_dir = f.job.manifest; }, missing},
      {"staging missing", [](Fixture& f) { f.job.staging_dir = f.temp / "none"; }, missing},
      {"staging is install", [](Fixture& f) { f.job.staging_dir = f.job.install_dir; }, apart},
      {"staging inside install",
       [](Fixture& f) {
         f.job.staging_dir = f.job.install_dir / "s";
         fs::create_directory(f.job.staging_dir);
       },
       apart},
      {"backup inside staging", [](Fixture& f) { f.job.backup_dir = f.job.staging_dir / "b"; },
       apart},
      {"install inside backup", [](Fixture& f) { f.job.backup_dir = f.temp.path(); }, apart},
      {"manifest inside install", [](Fixture& f) { f.job.manifest = f.job.install_dir / "m.txt"; },
       inside},
      {"log inside install", [](Fixture& f) { f.job.log = f.job.install_dir / "u.log"; }, inside},
      {"manifest is a folder",
       [](Fixture& f) {
         f.job.manifest = f.temp / "mdir";
         fs::create_directory(f.job.manifest);
       },
       "The update manifest is missing."},
      {"restart outside", [](Fixture& f) { f.job.restart = f.temp / "launcher.exe"; },
       "The restart program is outside the installation."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.Update({"bin/launcher.exe"});
    std::string error = "stale";
    ASSERT_TRUE(ValidateInstallJob(f.job, error));
    EXPECT_EQ(error, "");
    c.spoil(f);
    const Tree before = Snapshot(f.temp.path());
    EXPECT_FALSE(ValidateInstallJob(f.job, error));
    EXPECT_EQ(error, c.message);
    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, c.message);
    EXPECT_THAT(f.lines, ElementsAre());
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
}

TEST(InstallerValidation, JobPathsAreAbsoluteOnlyWithADriveAndRootOrANetworkPrefix) {
  const std::pair<const char*, bool> cases[] = {
#ifdef _WIN32
      {"C:\\Games\\x", true},
      {"c:/games", true},
      {"\\\\server\\share\\x", true},
      {"//server/share/x", true},
      {"C:", false},
      {"C:Games", false},
      {"\\Games\\x", false},
      {"Games\\x", false},
      {"\\\\", false},
      {"\\\\\\x", false},
#else
      {"/games/x", true},
      {"games/x", false},
#endif
      {"", false},
  };
  for (const auto& [text, absolute] : cases) {
    EXPECT_EQ(platform::IsAbsoluteJobPath(PathFromUtf8(text)), absolute) << text;
  }
}

TEST(InstallerManifest, ReadsLinesAndRefusesBadOnesBeforeTouchingAnything) {
  struct Case {
    const char* name;
    std::string manifest;
    std::string message;  // empty: the run installs
    std::vector<std::string> lines;
  };
  const std::string entries2 = "manifest entries: 2";
  const std::vector<Case> cases = {
      {"crlf and empty lines", "\r\n\nbin/launcher.exe\r\n\r\n\ndata/a.txt", "", {entries2}},
      {"repeats in several spellings",
       "bin/launcher.exe\ndata/a.txt\nbin/./launcher.exe\nbin\\launcher.exe/\n",
       "",
       {entries2}},
      {"byte order mark is part of the path",
       "\xEF\xBB\xBF"
       "bin/launcher.exe\n",
       "The update is missing \xEF\xBB\xBF"
       "bin/launcher.exe.",
       {}},
      {"two carriage returns keep one",
       "bin/launcher.exe\r\r\n",
       "The update manifest contains an unsafe path (invalid character in path).",
       {}},
      {"traversal",
       "bin/launcher.exe\n../x\n",
       "The update manifest contains an unsafe path (path traversal).",
       {}},
      {"protected before missing",
       "saves/x.sav\n",
       "The update manifest contains a protected path: saves/x.sav.",
       {}},
      {"absent staged file",
       "bin/launcher.exe\ndata/absent.txt\n",
       "The update is missing data/absent.txt.",
       {}},
      {"staged folder", "data\n", "The update is missing data.", {}},
      {"not utf-8",
       "bin/launcher.exe\ndata/\xFF.txt\n",
       "The update manifest contains a path that is not valid UTF-8.",
       {}},
      {"empty", "", "The update manifest is empty.", {}},
      {"only line ends", "\r\n\n\r\n", "The update manifest is empty.", {}},
      {"no launcher",
       "data/a.txt\n",
       "The update does not contain the launcher program.",
       {"manifest entries: 1"}},
      {"launcher in other case",
       "Bin/Launcher.exe\n",
       "The update does not contain the launcher program.",
       {"manifest entries: 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.Staged("bin/launcher.exe", "new launcher");
    f.Staged("Bin/Launcher.exe", "new launcher");
    f.Staged("data/a.txt", "new a");
    fs::create_directories(f.job.staging_dir / "data" / "sub");
    f.Manifest(c.manifest);
    const Tree before = Snapshot(f.temp.path());
    const InstallResult result = f.Run();
    if (c.message.empty()) {
      EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
      EXPECT_EQ(kov::test::ReadFile(f.job.install_dir / "data/a.txt"), "new a");
      ASSERT_FALSE(f.lines.empty());
      EXPECT_EQ(f.lines.front(), c.lines.front());
      continue;
    }
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, c.message);
    EXPECT_THAT(f.lines, ElementsAreArray(c.lines));
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
}

TEST(InstallerManifest, RestartProgramMustBeLexicallyInsideTheInstallation) {
  Fixture f;
  f.Update({"bin/launcher.exe"});
  f.job.restart = f.job.install_dir / ".." / "install" / "bin" / "launcher.exe";
  const InstallResult result = f.Run();
  EXPECT_EQ(result.status, InstallStatus::Rejected);
  EXPECT_EQ(result.error, "The restart program is not inside the installation.");
  EXPECT_THAT(f.lines, ElementsAre("manifest entries: 1"));
}

TEST(InstallerManifest, AcceptsTenThousandFilesAndStopsAtTheNextOne) {
  Fixture f;
  std::string listed;
  for (int i = 0; i <= 10000; ++i) {
    const std::string path = "f" + std::to_string(i / 100) + "/" + std::to_string(i) + ".txt";
    f.Staged(path, "x");
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

TEST(InstallerManifest, RefusesLinksOnTheWayIntoTheInstallation) {
#ifdef _WIN32
  GTEST_SKIP() << "links need real reparse tags, which Wine does not report";
#endif
  const std::string through = "The installation contains a link that the update will not follow.";
  struct Case {
    const char* name;
    std::function<void(Fixture&)> link;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"linked folder staying inside",
       [](Fixture& f) {
         fs::rename(f.job.install_dir / "data", f.job.install_dir / "real");
         fs::create_directory_symlink(f.job.install_dir / "real", f.job.install_dir / "data");
       },
       through},
      {"linked installation",
       [](Fixture& f) {
         fs::rename(f.job.install_dir, f.temp / "real");
         fs::create_directory_symlink(f.temp / "real", f.job.install_dir);
       },
       through},
      {"target links out",
       [](Fixture& f) {
         fs::create_symlink(f.temp / "elsewhere" / "a.txt", f.job.install_dir / "data" / "a.txt");
       },
       "The update manifest points outside the installation."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    kov::test::WriteFile(f.temp / "elsewhere" / "a.txt", "outside");
    f.Installed("bin/launcher.exe", "old");
    fs::create_directories(f.job.install_dir / "data");
    f.Update({"bin/launcher.exe", "data/a.txt"});
    c.link(f);
    EXPECT_EQ(f.Run().error, c.message);
    EXPECT_EQ(kov::test::ReadFile(f.temp / "elsewhere" / "a.txt"), "outside");
  }
}

TEST(InstallerRun, InstallsNewAndReplacedFilesAndRemovesTheWorkFolders) {
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
}

TEST(InstallerRun, BackupFailureLeavesTheInstallationAndRemovesTheWorkFolders) {
  Fixture f;
  f.Installed("bin/launcher.exe", "old launcher");
  f.Installed("plugins/inside.txt", "a folder where the update has a file");
  f.Update({"bin/launcher.exe", "plugins"});
  const Tree before = Snapshot(f.job.install_dir);
  const InstallResult result = f.Run();
  const std::string message = "The installation has an unexpected file at plugins.";
  EXPECT_EQ(result.status, InstallStatus::BackupFailed);
  EXPECT_EQ(result.error, message);
  EXPECT_EQ(Snapshot(f.job.install_dir), before);
  EXPECT_FALSE(f.WorkFoldersExist());
  EXPECT_THAT(f.lines,
              ElementsAre("manifest entries: 2", "backup start", "backup failed: " + message));
}

// One call of the disk-changing operations, as seen through the seam.
struct Call {
  std::string op;
  fs::path first;
  fs::path second;
};

// The system's operations, with every call recorded in order; fail() picks calls to refuse.
struct Recorder {
  std::vector<Call> calls;
  std::function<bool(const Call&)> fail = [](const Call&) { return false; };

  InstallFileOps Ops() {
    const InstallFileOps system = SystemInstallFileOps();
    auto pass = [this](Call call) {
      calls.push_back(std::move(call));
      return fail(calls.back()) ? std::make_error_code(std::errc::io_error) : std::error_code();
    };
    auto first = [](std::error_code a, auto then) { return a ? a : then(); };
    return {[=](const fs::path& s, const fs::path& d) {
              return first(pass({"copy", s, d}), [&] { return system.copy_file(s, d); });
            },
            [=](const fs::path& p) {
              return first(pass({"flush", p, {}}), [&] { return system.flush_file(p); });
            },
            [=](const fs::path& s, const fs::path& d) {
              return first(pass({"move", s, d}), [&] { return system.move_file(s, d); });
            },
            [=](const fs::path& b, const std::vector<fs::path>& copies) {
              return first(pass({"sync", b, {}}), [&] { return system.sync_backups(b, copies); });
            },
            system.remove_file,
            system.create_folders,
            system.remove_tree,
            system.is_transient};
  }
  std::vector<std::string> RollbackMoves(const fs::path& root) const {
    std::vector<std::string> targets;
    for (const Call& call : calls) {
      if (call.op == "move" &&
          call.first.filename().string().rfind(".kov-update-rollback-", 0) == 0) {
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
      if (call.op == "copy" &&
          call.second.parent_path().string().rfind(backup_dir.string(), 0) == 0) {
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

bool IsTemporaryOfEntry3(const fs::path& file) {
  return file.filename().string().rfind(".kov-update-" + Pid() + "-3-", 0) == 0;
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

TEST(InstallerRun, ReplacementFailureRestoresEveryReplacedFileLastFirst) {
  struct Case {
    const char* name;
    std::string last;  // the fourth entry, which fails
    std::function<void(Fixture&, Recorder&, ReplaceFile&)> arrange;
    std::string message;
    std::vector<Matcher<std::string>> cause = {};  // the line with the platform's code, if any
  };
  const std::vector<Matcher<std::string>> injected = {"system error: 5"};
  const std::vector<Case> cases = {
      {"file where its folder must go",
       "lib/sub/c.txt",
       [](Fixture& f, Recorder&, ReplaceFile&) { f.Installed("lib/sub", "a file"); },
       "Cannot create the folder for lib/sub/c.txt.",
       {kov::test::IsSystemErrorLine()}},
      {"temporary names taken", "docs/guide.txt",
       [](Fixture& f, Recorder&, ReplaceFile&) {
         for (int i = 0; i < 100; ++i) {
           f.Installed("docs/.kov-update-" + Pid() + "-3-" + std::to_string(i) + ".tmp", "left");
         }
       },
       "Cannot find a free temporary name for docs/guide.txt."},
      {"copy fails", "docs/guide.txt",
       [](Fixture&, Recorder& r, ReplaceFile&) {
         r.fail = [](const Call& c) { return c.op == "copy" && IsTemporaryOfEntry3(c.second); };
       },
       "Cannot write docs/guide.txt.", injected},
      {"flush fails", "docs/guide.txt",
       [](Fixture&, Recorder& r, ReplaceFile&) {
         r.fail = [](const Call& c) { return c.op == "flush" && IsTemporaryOfEntry3(c.first); };
       },
       "Cannot write docs/guide.txt.", injected},
      {"move fails", "docs/guide.txt",
       [](Fixture&, Recorder&, ReplaceFile& replace) {
         replace = ReplaceExceptCall(4, [](const fs::path&, const fs::path&) { return false; });
       },
       "Cannot replace docs/guide.txt."},
      {"installed bytes differ", "docs/guide.txt",
       [](Fixture&, Recorder&, ReplaceFile& replace) {
         replace = ReplaceExceptCall(4, [](const fs::path& s, const fs::path& d) {
           kov::test::WriteFile(d, "tampered");
           return fs::remove(s);
         });
       },
       "The installed file does not match the update: docs/guide.txt."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    Recorder recorder;
    ReplaceFile replace;
    f.Installed("bin/launcher.exe", "old launcher");
    f.Installed("docs/readme.txt", "old readme");
    f.Installed("docs/guide.txt", "old guide");
    f.Update({"bin/launcher.exe", "extra/new.txt", "docs/readme.txt", c.last});
    c.arrange(f, recorder, replace);
    Tree expected = Snapshot(f.job.install_dir);
    expected["extra"] = "<dir>";  // folders made for added files stay

    const InstallResult result = f.Run(false, replace, recorder.Ops());
    EXPECT_EQ(result.status, InstallStatus::RolledBack);
    EXPECT_EQ(result.error, c.message);
    EXPECT_EQ(Snapshot(f.job.install_dir), expected);
    EXPECT_FALSE(f.WorkFoldersExist());
    std::vector<Matcher<std::string>> lines = {"manifest entries: 4", "backup start",
                                               "backup complete", "replacing 4 files",
                                               "install failed: " + c.message};
    lines.insert(lines.end(), c.cause.begin(), c.cause.end());
    lines.insert(lines.end(), {"rollback start", "rollback complete"});
    EXPECT_THAT(f.lines, ElementsAreArray(lines));
    std::vector<std::string> restored = {"docs/readme.txt", "bin/launcher.exe"};
    if (c.message.find("does not match") != std::string::npos) {
      restored.insert(restored.begin(), c.last);
    }
    EXPECT_EQ(recorder.RollbackMoves(f.job.install_dir), restored);
    recorder.ExpectDurableOrder(f.job.backup_dir);
  }
}

TEST(InstallerRun, IncompleteRollbackKeepsBothFoldersAndRestoresTheRest) {
  Fixture f;
  f.Installed("bin/launcher.exe", "old launcher");
  f.Installed("docs/readme.txt", "old readme");
  f.Installed("docs/guide.txt", "old guide");
  f.Update({"bin/launcher.exe", "extra/new.txt", "docs/readme.txt", "docs/guide.txt"});
  const fs::path lost = f.job.backup_dir / "docs" / "readme.txt";
  const InstallResult result =
      f.Run(false, ReplaceExceptCall(4, [&](const fs::path&, const fs::path&) {
              fs::remove(lost);
              return false;
            }));
  EXPECT_EQ(result.status, InstallStatus::RollbackFailed);
  EXPECT_EQ(result.error, "The previous files could not be restored.");
  EXPECT_TRUE(fs::exists(f.job.backup_dir / "bin" / "launcher.exe"));
  EXPECT_TRUE(fs::exists(f.job.staging_dir / "docs" / "guide.txt"));
  Tree installed = Snapshot(f.job.install_dir);
  EXPECT_EQ(installed.erase(".kov-update-journal"), 1u);  // kept for the next run's recovery
  EXPECT_EQ(installed, (Tree{{"bin", "<dir>"},
                             {"bin/launcher.exe", "old launcher"},
                             {"docs", "<dir>"},
                             {"docs/guide.txt", "old guide"},
                             {"docs/readme.txt", "new docs/readme.txt"},
                             {"extra", "<dir>"}}));
  EXPECT_THAT(f.lines,
              ElementsAre("manifest entries: 4", "backup start", "backup complete",
                          "replacing 4 files", "install failed: Cannot replace docs/guide.txt.",
                          "rollback start", "rollback failed", kov::test::IsSystemErrorLine()));
}

TEST(InstallerRestart, StartsTheNewLauncherInTheInstallationFolder) {
  Fixture f;
  f.Installed("bin/launcher.exe", "old launcher");
  fs::create_directories(f.job.staging_dir / "bin");
  fs::copy_file(kov::test::BuiltProgram("echo_args"), f.job.staging_dir / "bin" / "launcher.exe");
  f.Manifest("bin/launcher.exe\n");
  f.job.args = {"--hello", "two words"};
  const InstallResult result = f.Run(true);
  EXPECT_EQ(result.status, InstallStatus::Installed);
  EXPECT_EQ(result.error, "");
  EXPECT_FALSE(f.WorkFoldersExist());
  EXPECT_THAT(f.lines, ElementsAre("manifest entries: 1", "backup start", "backup complete",
                                   "replacing 1 files", "replacement complete",
                                   "verification complete", "restart start", "restart complete"));
  const fs::path report = f.job.install_dir / "echo-args.txt";
  for (int waited = 0; waited < 600 && !fs::exists(report); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string echoed = kov::test::ReadFile(report);
  EXPECT_THAT(echoed, HasSubstr("argv 7:--hello\n"));
  EXPECT_THAT(echoed, HasSubstr("argv 9:two words\n"));
}

TEST(InstallerRestart, LauncherThatCannotStartIsRolledBack) {
  Fixture f;
  f.Installed("bin/launcher.exe", "old launcher");
  f.Installed("data/a.txt", "old a");
  f.Update({"data/a.txt", "bin/launcher.exe"});  // staged text, which no system can start
  const Tree before = Snapshot(f.job.install_dir);
  const InstallResult result = f.Run(true);
  EXPECT_EQ(result.status, InstallStatus::RestartFailedRolledBack);
  EXPECT_THAT(result.error, StartsWith("Could not start the program ("));
  EXPECT_EQ(Snapshot(f.job.install_dir), before);
  EXPECT_FALSE(f.WorkFoldersExist());
  EXPECT_THAT(
      f.lines,
      ElementsAre("manifest entries: 2", "backup start", "backup complete", "replacing 2 files",
                  "replacement complete", "verification complete", "restart start",
                  "restart failed: " + result.error, "rollback start", "rollback complete"));
}

}  // namespace
}  // namespace kov::update
