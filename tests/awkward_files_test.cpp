// Files and paths that a player's machine makes hard to handle: beyond the classic length
// limit, reached by another name (an 8.3 short name or a link), held open for a moment or for
// good by another program, read-only, hidden or system.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/install_fixture.h"
#include "tests/log_lines.h"
#include "update/long_path.h"
#include "update/utf8.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using test::Snapshot;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StartsWith;

TEST(ExtendedLengthPath, WidensOnlyAbsolutePathsFromTheShortestWin32Limit) {
  // 244 + "C:\" + "a" = 248 characters: the first length that CreateDirectoryW refuses.
  const std::string at_limit = std::string(244, 'a');
  const std::string below_limit = std::string(243, 'a');
  const std::string deep = std::string(300, 'd');
  const std::string rest = "\\" + deep + "\\f.txt";
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\" + below_limit + "b", "C:\\" + below_limit + "b"},
      // drive letters at the ends of their ranges
      {"Z:\\" + at_limit + "b", "\\\\?\\Z:\\" + at_limit + "b"},
      {"a:/" + deep + "/f.txt", "\\\\?\\a:" + rest},
      {"A:\\" + deep + "\\.\\g\\..\\f.txt\\", "\\\\?\\A:" + rest},
      {"z:\\..\\..\\" + deep + "\\\\f.txt", "\\\\?\\z:" + rest},
      {"C:\\" + deep + "\\..", "\\\\?\\C:\\"},
      {"\\\\server\\share\\" + deep + "\\..\\..", "\\\\?\\UNC\\server\\share"},
      {"//server/share/../../" + deep + "/f.txt", "\\\\?\\UNC\\server\\share" + rest},
      {"\\\\?\\C:\\" + deep + "\\.\\f.txt", "\\\\?\\C:\\" + deep + "\\.\\f.txt"},
      {"\\\\.\\C:\\" + deep, "\\\\.\\C:\\" + deep},
      {"ab\\" + deep, "ab\\" + deep},
      {"C:" + deep, "C:" + deep},
      {"\\" + deep, "\\" + deep},
      {"\\\\\\" + deep, "\\\\\\" + deep},
  };
  for (const auto& [path, widened] : cases) {
    EXPECT_EQ(Utf8FromUtf16(ExtendedLengthPath(*Utf16FromUtf8(path))), widened) << path;
  }
}

// Wine's GetFinalPathNameByHandleW answers ERROR_MORE_DATA for every path beyond MAX_PATH,
// whatever the buffer, so no folder that deep can be resolved there: under Wine the run shows
// instead that the refusal names the check that failed and the system's code, and changes
// nothing. Natively the whole install goes through.
TEST(LongPaths, InstallsIntoAFolderDeeperThanTheClassicLimit) {
  fs::path deep = "install";
  for (char letter = 'a'; letter < 'g'; ++letter) deep /= std::string(50, letter);
  test::InstallFixture f(deep);
  f.Installed("data/a.txt", "old a");
  f.Update({"bin/launcher.exe", "data/a.txt"});
  const test::Tree before = Snapshot(f.temp.path());
  const InstallResult result = f.Run();
  if (test::RunningUnderWine()) {
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, "Cannot inspect the restart program.");
    EXPECT_THAT(f.lines, ElementsAre("check failed: " + result.error, test::IsSystemErrorLine()));
    EXPECT_EQ(Snapshot(f.temp.path()), before);
    return;
  }
  EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
  EXPECT_EQ(test::ReadFile(f.job.install_dir / "data/a.txt"), "new data/a.txt");
  EXPECT_EQ(test::ReadFile(f.job.restart), "new bin/launcher.exe");
}

// Another name of an existing entry as UTF-8, or nothing when there is none: on Windows its
// 8.3 short name, elsewhere a link made beside it.
std::string OtherName(const fs::path& path) {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  const fs::path name = fs::path(std::wstring(buffer, length)).filename();
  return name == path.filename() ? "" : TryUtf8Path(name).value_or("");
#else
  fs::create_symlink(path, path.parent_path() / "alias");
  return "alias";
#endif
}

TEST(Aliases, ProtectedEntryNamedAnotherWayIsRefusedBeforeAnythingChanges) {
  // The protected entry, and for a folder the listed file below it.
  const std::pair<std::string, std::string> cases[] = {
      {"user_data", "x.txt"}, {"settings.toml", ""}, {"launcher.appimage", ""}};
  for (const auto& [existing, below] : cases) {
    SCOPED_TRACE(existing);
    test::InstallFixture f;
    f.Installed(below.empty() ? existing : existing + "/keep.txt", "player's");
    const std::string name = OtherName(f.job.install_dir / existing);
    if (name.empty()) GTEST_SKIP() << "the volume keeps no 8.3 names";
    const std::string listed = below.empty() ? name : name + "/" + below;
    f.Update({"bin/launcher.exe", listed});
    const test::Tree before = Snapshot(f.temp.path());
    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, "The update manifest contains a protected path: " + listed + ".");
    EXPECT_THAT(f.lines, ElementsAre());
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
}

// POSIX refuses a manifest path through a link, so there only the job names the other way.
TEST(Aliases, RestartProgramMatchesItsEntryWhicheverNameEitherUses) {
#ifdef _WIN32
  const bool names[] = {false, true};
#else
  const bool names[] = {false};
#endif
  for (const bool short_in_manifest : names) {
    SCOPED_TRACE(short_in_manifest ? "other name in the manifest" : "other name in the job");
    test::InstallFixture f;
    f.Installed("launcher_bin/launcher.exe", "old launcher");
    const std::string short_name = OtherName(f.job.install_dir / "launcher_bin");
    if (short_name.empty()) GTEST_SKIP() << "the volume keeps no 8.3 names";
    const std::string listed = (short_in_manifest ? short_name : "launcher_bin") + "/launcher.exe";
    f.job.restart = f.job.install_dir /
                    *TryPathFromUtf8(short_in_manifest ? "launcher_bin" : short_name) /
                    "launcher.exe";
    f.Update({listed});
    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
    EXPECT_EQ(test::ReadFile(f.job.install_dir / "launcher_bin/launcher.exe"), "new " + listed);
  }
}

// A link to itself cannot be resolved: the check says so with the system's code instead of
// calling the file missing or outside the installation.
TEST(Aliases, PathThatCannotBeResolvedIsReportedWithTheSystemCode) {
#ifdef _WIN32
  GTEST_SKIP() << "MinGW's filesystem library cannot make links, and Wine shows no reparse tags";
#endif
  const std::tuple<std::vector<std::string>, fs::path, std::string> cases[] = {
      // the manifest, the restart program below the installation, the sentence
      {{"bin/launcher.exe", "loop/x.txt"}, "bin/launcher.exe", "Cannot inspect loop/x.txt."},
      {{"bin/launcher.exe"}, "loop/launcher.exe", "Cannot inspect the restart program."},
  };
  for (const auto& [manifest, restart, sentence] : cases) {
    SCOPED_TRACE(sentence);
    test::InstallFixture f;
    fs::create_directory_symlink(f.job.install_dir / "loop", f.job.install_dir / "loop");
    f.Update(manifest);
    f.job.restart = f.job.install_dir / restart;
    const test::Tree before = Snapshot(f.temp.path());
    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, sentence);
    EXPECT_THAT(f.lines, ElementsAre("check failed: " + sentence, test::IsSystemErrorLine()));
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
}

// Windows reads only the owner's write permission, as the read-only attribute.
void SetWritable(const fs::path& file, bool writable) {
  fs::permissions(file, fs::perms::owner_write,
                  writable ? fs::perm_options::add : fs::perm_options::remove);
}

// An installation with a launcher and a data file, and an update that replaces both and adds
// data/new.txt; the staged files' text tells the update's version.
struct Update : test::InstallFixture {
  Update() {
    Installed("bin/launcher.exe", "launcher 1");
    Installed("data/a.txt", "a 1");
    Stage("2", false);
  }
  void Stage(const std::string& version, bool read_only) const {
    for (const std::string file : {"bin/launcher.exe", "data/a.txt", "data/new.txt"}) {
      test::WriteFile(job.staging_dir / file, file + " " + version);
      if (read_only && file != "data/a.txt") SetWritable(job.staging_dir / file, false);
    }
    Manifest("bin/launcher.exe\ndata/a.txt\ndata/new.txt\n");
  }
};

// A scanner opens a fresh file for a moment; a running game keeps its executable open. Share
// modes bind the installer's opens alike whether another program or this one holds the file.
TEST(HeldFiles, ShortHoldsAreWaitedOutAndLongOnesFailCleanly) {
#ifndef _WIN32
  GTEST_SKIP() << "POSIX moves and removes a file that another program holds open";
#else
  const std::tuple<std::string, bool, std::string> cases[] = {
      // the held file, whether it is staged (held alone) or a target (shared for reading)
      {"bin/launcher.exe", false, "Cannot replace bin/launcher.exe."},
      {"data/new.txt", true, "Cannot write data/new.txt."},
  };
  for (const auto& [file, staged, failure] : cases) {
    for (const bool briefly : {true, false}) {
      SCOPED_TRACE(file + (briefly ? " held briefly" : " held throughout"));
      Update update;
      const test::Tree before = Snapshot(update.job.install_dir);
      const fs::path held = (staged ? update.job.staging_dir : update.job.install_dir) / file;
      const HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ, staged ? 0 : FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
      std::thread release([holder, briefly] {  // lets go of a brief hold while the update runs
        if (!briefly) return;
        Sleep(300);
        CloseHandle(holder);
      });
      const auto started = std::chrono::steady_clock::now();
      const InstallResult result = update.Run();
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
      release.join();
      if (briefly) {
        EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
        EXPECT_THAT(update.lines, Contains(StartsWith("retried: " + file + " (")));
        EXPECT_EQ(test::ReadFile(update.job.install_dir / "data/new.txt"), "data/new.txt 2");
        continue;
      }
      CloseHandle(holder);
      EXPECT_EQ(result.status, InstallStatus::RolledBack);
      EXPECT_EQ(result.error, failure);
      const auto failed = std::ranges::find(update.lines, "install failed: " + failure);
      ASSERT_LT(failed - update.lines.begin() + 1, std::ssize(update.lines));
      EXPECT_THAT(failed[1], test::IsSystemErrorLine());
      EXPECT_EQ(Snapshot(update.job.install_dir), before);
    }
  }
#endif
}

// Windows refuses to replace or remove a read-only file; an installed file keeps the staged
// file's attributes, so the next update meets them again.
TEST(ReadOnlyFiles, ReplacedTwiceInARowAndRolledBackWithoutLeftovers) {
  Update update;
  SetWritable(update.job.install_dir / "bin/launcher.exe", false);
#ifdef _WIN32
  const fs::path hidden = update.job.install_dir / "data/a.txt";
  ASSERT_TRUE(SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
#endif
  for (const std::string version : {"2", "3"}) {
    SCOPED_TRACE("update to " + version);
    update.Stage(version, true);
    const InstallResult result = update.Run();
    EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
    EXPECT_EQ(test::ReadFile(update.job.restart), "bin/launcher.exe " + version);
    EXPECT_EQ(fs::status(update.job.restart).permissions() & fs::perms::owner_write,
              fs::perms::none);
    EXPECT_FALSE(update.WorkFoldersExist());
  }

  // The last file fails, after the read-only ones are in place: all must go back.
  SetWritable(update.job.install_dir / "data/new.txt", true);
  fs::remove(update.job.install_dir / "data/new.txt");
  const test::Tree before = Snapshot(update.job.install_dir);
  update.Stage("4", true);
  int moves = 0;
  update.replace = [&moves](const fs::path& from, const fs::path& to) {
    if (++moves == 3) return false;
    std::error_code ec;
    fs::rename(from, to, ec);
    return !ec;
  };
  const InstallResult result = update.Run();
  EXPECT_EQ(result.status, InstallStatus::RolledBack) << result.error;
  EXPECT_THAT(update.lines, ::testing::Not(Contains(StartsWith("rollback failed"))));
  EXPECT_EQ(Snapshot(update.job.install_dir), before);
  EXPECT_FALSE(update.WorkFoldersExist());
  // Windows removes no read-only file: the scratch folder could not go otherwise.
  SetWritable(update.job.restart, true);
}

}  // namespace
}  // namespace kov::update
