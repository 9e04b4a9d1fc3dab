#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/install_fixture.h"
#include "tests/log_lines.h"
#include "update/path_rules.h"
#include "update/utf8.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using kov::test::InstallFixture;
using kov::test::IsSystemErrorLine;
using kov::test::Snapshot;
using ::testing::ElementsAre;

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif
constexpr const char* kNoShortNames = "POSIX file systems keep no short names";
constexpr const char* kNoLinks =
    "MinGW's filesystem library cannot make links, and Wine shows no reparse tags";

// The 8.3 name of an existing entry as UTF-8, or nothing when the volume keeps none for it.
std::string ShortName(const fs::path& path) {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  const fs::path short_path(std::wstring(buffer, length));
  if (short_path.filename() == path.filename()) return {};
  return TryUtf8Path(short_path.filename()).value_or("");
#else
  (void)path;
  return {};
#endif
}

TEST(ShortNames, ProtectedEntryNamedByItsShortNameIsRefusedBeforeAnythingChanges) {
  if (!kWindows) GTEST_SKIP() << kNoShortNames;
  struct Case {
    const char* name;
    std::string existing;  // a folder when below is set, else a file
    std::string below;
  };
  const std::vector<Case> cases = {
      {"protected folder", "user_data", "x.txt"},
      {"protected folder deeper", "screenshots", "sub/x.txt"},
      {"protected file name", "settings.toml", ""},
      {"protected extension", "launcher.appimage", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallFixture f;
    const fs::path existing = f.job.install_dir / c.existing;
    if (c.below.empty()) {
      kov::test::WriteFile(existing, "player's");
    } else {
      kov::test::WriteFile(existing / "keep.txt", "player's");
    }
    const std::string short_name = ShortName(existing);
    if (short_name.empty()) GTEST_SKIP() << "the volume keeps no 8.3 names";
    const std::string listed = c.below.empty() ? short_name : short_name + "/" + c.below;
    ASSERT_FALSE(IsProtectedRelativePath(listed)) << "the short name alone must pass the text";
    f.Update({"bin/launcher.exe", listed});
    const kov::test::Tree before = Snapshot(f.temp.path());

    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, "The update manifest contains a protected path: " + listed + ".");
    EXPECT_THAT(f.lines, ElementsAre());
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
}

TEST(ShortNames, RestartProgramMatchesItsEntryWhicheverNameEitherUses) {
  if (!kWindows) GTEST_SKIP() << kNoShortNames;
  for (const bool short_in_manifest : {false, true}) {
    SCOPED_TRACE(short_in_manifest ? "short name in the manifest" : "short name in the job");
    InstallFixture f;
    const fs::path folder = f.job.install_dir / "launcher_bin";
    kov::test::WriteFile(folder / "launcher.exe", "old launcher");
    const std::string short_name = ShortName(folder);
    if (short_name.empty()) GTEST_SKIP() << "the volume keeps no 8.3 names";
    const std::string listed = (short_in_manifest ? short_name : "launcher_bin") + "/launcher.exe";
    f.job.restart = f.job.install_dir /
                    *TryPathFromUtf8(short_in_manifest ? "launcher_bin" : short_name) /
                    "launcher.exe";
    f.Update({listed});

    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
    EXPECT_EQ(kov::test::ReadFile(folder / "launcher.exe"), "new " + listed);
  }
}

TEST(Aliases, ProtectedFolderReachedThroughALinkIsRefusedAsProtected) {
  if (kWindows) GTEST_SKIP() << kNoLinks;
  InstallFixture f;
  kov::test::WriteFile(f.job.install_dir / "saves" / "slot1.dat", "player's");
  fs::create_directory_symlink(f.job.install_dir / "saves", f.job.install_dir / "extras");
  f.Update({"bin/launcher.exe", "extras/slot1.dat"});
  const kov::test::Tree before = Snapshot(f.temp.path());

  const InstallResult result = f.Run();
  EXPECT_EQ(result.status, InstallStatus::Rejected);
  EXPECT_EQ(result.error, "The update manifest contains a protected path: extras/slot1.dat.");
  EXPECT_EQ(Snapshot(f.temp.path()), before);
}

// A link to itself cannot be resolved: the check says so with the system's code instead of
// calling the file missing or outside the installation.
TEST(Aliases, PathThatCannotBeResolvedIsReportedWithTheSystemCode) {
  if (kWindows) GTEST_SKIP() << kNoLinks;
  struct Case {
    const char* name;
    std::vector<std::string> manifest;
    fs::path restart;  // below the installation
    std::string sentence;
  };
  const std::vector<Case> cases = {
      {"target below the loop",
       {"bin/launcher.exe", "loop/x.txt"},
       "bin/launcher.exe",
       "Cannot inspect loop/x.txt."},
      {"restart program below the loop",
       {"bin/launcher.exe"},
       "loop/launcher.exe",
       "Cannot inspect the restart program."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallFixture f;
    fs::create_directory_symlink(f.job.install_dir / "loop", f.job.install_dir / "loop");
    f.Update(c.manifest);
    f.job.restart = f.job.install_dir / c.restart;
    const kov::test::Tree before = Snapshot(f.temp.path());

    const InstallResult result = f.Run();
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, c.sentence);
    EXPECT_THAT(f.lines, ElementsAre("check failed: " + c.sentence, IsSystemErrorLine()));
    EXPECT_EQ(Snapshot(f.temp.path()), before);
  }
}

}  // namespace
}  // namespace kov::update
