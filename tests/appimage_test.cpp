#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"
#include "tests/tree_snapshot.h"
#include "update/process.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
TEST(AppImageUpdate, IsNotAvailableOnWindows) {
  fs::path program = CurrentExecutablePath();
  SetEnvironmentVariableW(L"APPIMAGE", program.c_str());
  EXPECT_FALSE(HasOriginalAppImage(program));
  EXPECT_EQ(program, CurrentExecutablePath());
  std::string error;
  EXPECT_FALSE(ApplyAppImageUpdate(program, program, {}, error));
  EXPECT_EQ(error, "Automatic updates are only available in the Linux AppImage build.");
}
#else
// Found through a real path or a link: see AppImageUpdate below.
TEST(AppImageOriginal, IsNotFoundThroughAnUnsetEmptyRelativeMissingOrFolderVariable) {
  const std::string relative = fs::relative(test::BuiltProgram("echo_args")).native();
  unsetenv("APPIMAGE");
  for (const char* variable : {"(unset)", "", relative.c_str(), "/kov-missing.AppImage", "/"}) {
    SCOPED_TRACE(variable);
    if (variable != std::string("(unset)")) setenv("APPIMAGE", variable, 1);
    fs::path found = "untouched";
    EXPECT_FALSE(HasOriginalAppImage(found));
    EXPECT_EQ(found, "untouched");
  }
}

// echo_args with the AppImage type-2 mark, which the kernel ignores, and a tail that tells
// copies apart; run, it reports its words, folder and environment into echo-args.txt there.
std::string StandIn(const std::string& tail) {
  return test::ReadFile(test::BuiltProgram("echo_args")).replace(8, 3, "AI\x02", 3) + tail;
}

// Beside app/Game.AppImage lie a link to it, game, and the download with a link to it.
TEST(AppImageUpdate, ReplacesTheRealFileWithAVerifiedType2AppImageAndStartsIt) {
  const std::string old_bytes = StandIn("1.0"), new_bytes = StandIn("2.0");
  const std::vector<std::string> arguments{"--after-update", "two words", ""};
  setenv("RX9_UPDATE_TEST", "1", 1);
  struct Case {
    std::string name, download_bytes, download, appimage, error;  // error empty: updated
  };
  const std::string downloaded = "download/Game.AppImage", real = "app/Game.AppImage";
  const std::vector<Case> cases = {
      {"replaced", new_bytes, downloaded, real, ""},
      {"through a link", new_bytes, downloaded, "game", ""},
      {"no mark", test::ReadFile(test::BuiltProgram("echo_args")), downloaded, real,
       "The downloaded AppImage is not an AppImage of type 2."},
      {"no ELF", std::string("no ELF: AI\x02 ", 12), downloaded, real,
       "The downloaded AppImage is not an AppImage of type 2."},
      {"empty", "", downloaded, real, "The downloaded AppImage is empty."},
      {"folder", new_bytes, "download", real, "The downloaded AppImage is not a regular file."},
      {"link", new_bytes, "link", real, "The downloaded AppImage is not a regular file."},
      {"itself", new_bytes, real, "game", "The downloaded AppImage is the AppImage to replace."},
      {"read-only folder", new_bytes, downloaded, real,
       "The AppImage's folder cannot be written (13)."},
      {"not startable", StandIn("").substr(0, 16) + std::string(48, '\0'), downloaded, real,
       "Could not start the program (8)."}};
  if (geteuid() == 0) std::cout << "[ SKIPPED  ] read-only folder: root writes there anyway\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool read_only = c.name == "read-only folder";
    if (read_only && geteuid() == 0) continue;
    test::TempDir dir;
    const fs::path app = dir / "app";
    test::WriteFile(app / "Game.AppImage", old_bytes);
    test::WriteFile(app / "game.cfg", "the player's");
    fs::permissions(app / "Game.AppImage", fs::perms(0750));
    fs::create_symlink(app / "Game.AppImage", dir / "game");
    test::WriteFile(dir / downloaded, c.download_bytes);
    fs::create_symlink(dir / downloaded, dir / "link");
    if (c.error.empty()) {  // what a killed run left: a partial copy, a second name of the file
      test::WriteFile(app / ".kov-update-appimage-0.tmp", "partial");
      fs::create_hard_link(app / "Game.AppImage", app / ".kov-update-appimage-backup-0.tmp");
    }
    if (read_only) fs::permissions(app, fs::perms(0555));
    const test::Tree before = test::Snapshot(dir.path());
    setenv("APPIMAGE", (dir / c.appimage).c_str(), 1);
    fs::path current;
    ASSERT_TRUE(HasOriginalAppImage(current));
    EXPECT_EQ(current, fs::canonical(app / "Game.AppImage"));
    std::string error = "untouched";
    const bool updated = ApplyAppImageUpdate(dir / c.download, dir / c.appimage, arguments, error);
    fs::permissions(app, fs::perms::owner_all, fs::perm_options::add);
    if (!c.error.empty()) {
      EXPECT_FALSE(updated);
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(test::Snapshot(dir.path()), before);
      continue;
    }
    ASSERT_TRUE(updated) << error;
    EXPECT_EQ(error, "untouched");
    const std::string report = test::AwaitFile(app / "echo-args.txt");
    const std::string folder = fs::canonical(app).native();
    EXPECT_TRUE(report.starts_with("cwd " + std::to_string(folder.size()) + ":" + folder + "\n"))
        << report;
    EXPECT_NE(report.find("\nargv 14:--after-update\nargv 9:two words\nargv 0:\nenv "),
              std::string::npos)
        << report;
    EXPECT_EQ(report.find("RX9_UPDATE_TEST"), std::string::npos);
    EXPECT_EQ(test::ReadFile(dir / "game"), new_bytes);
    EXPECT_EQ(test::Snapshot(app, false), (test::Tree{{"Game.AppImage", new_bytes},
                                                      {"echo-args.txt", report},
                                                      {"game.cfg", "the player's"}}));
    EXPECT_EQ(fs::status(app / "Game.AppImage").permissions(), fs::perms(0751));
  }
}
#endif

}  // namespace
}  // namespace kov::update
