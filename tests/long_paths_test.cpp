#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/install_fixture.h"
#include "tests/log_lines.h"
#include "update/long_path.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using kov::test::IsSystemErrorLine;
using ::testing::ElementsAre;

std::string Widened(const std::string& path) {
  return *Utf8FromUtf16(ExtendedLengthPath(*Utf16FromUtf8(path)));
}

TEST(ExtendedLengthPath, WidensOnlyAbsolutePathsFromTheShortestWin32Limit) {
  // 244 + "C:\" + "a" = 248 characters: the first length that CreateDirectoryW refuses.
  const std::string at_limit = std::string(244, 'a');
  const std::string below_limit = std::string(243, 'a');
  const std::string deep = std::string(300, 'd');
  const std::string rest = "\\" + deep + "\\f.txt";
  struct Case {
    std::string path;
    std::string widened;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"C:\\" + below_limit + "b", "C:\\" + below_limit + "b"},
      {"C:\\" + at_limit + "b", "\\\\?\\C:\\" + at_limit + "b"},
      {"c:/" + deep + "/f.txt", "\\\\?\\c:" + rest},
      {"C:\\" + deep + "\\.\\g\\..\\f.txt\\", "\\\\?\\C:" + rest},
      {"C:\\..\\..\\" + deep + "\\\\f.txt", "\\\\?\\C:" + rest},
      {"C:\\" + deep + "\\..\\..\\..\\" + deep + "\\f.txt", "\\\\?\\C:" + rest},
      {"C:\\" + deep + "\\..", "\\\\?\\C:\\"},
      {"\\\\server\\share\\" + deep + "\\..\\..", "\\\\?\\UNC\\server\\share"},
      {"\\\\server\\share\\" + deep + "\\f.txt", "\\\\?\\UNC\\server\\share" + rest},
      {"//server/share/../../" + deep + "/f.txt", "\\\\?\\UNC\\server\\share" + rest},
      {"\\\\?\\C:\\" + deep + "\\.\\f.txt", "\\\\?\\C:\\" + deep + "\\.\\f.txt"},
      {"\\\\.\\C:\\" + deep, "\\\\.\\C:\\" + deep},
      {"\\\\?\\UNC\\server\\share\\" + deep, "\\\\?\\UNC\\server\\share\\" + deep},
      {deep + "\\f.txt", deep + "\\f.txt"},
      {"C:" + deep, "C:" + deep},
      {"\\" + deep, "\\" + deep},
      {"\\\\\\" + deep, "\\\\\\" + deep},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(Widened(c.path), c.widened) << c.path;
}

// Wine's GetFinalPathNameByHandleW answers ERROR_MORE_DATA for every path beyond MAX_PATH,
// whatever the buffer, so no folder that deep can be resolved there: under Wine the run shows
// instead that the refusal names the check that failed and the system's code, and changes
// nothing. Natively the whole install goes through.
TEST(LongPaths, InstallsIntoAFolderDeeperThanTheClassicLimit) {
  fs::path deep = "install";
  for (char letter = 'a'; letter < 'g'; ++letter) deep /= std::string(50, letter);
  kov::test::InstallFixture f(deep);
  ASSERT_GT(f.job.install_dir.native().size(), 260u);
  kov::test::WriteFile(f.job.install_dir / "data" / "a.txt", "old a");
  f.Update({"bin/launcher.exe", "data/a.txt"});
  const kov::test::Tree before = kov::test::Snapshot(f.temp.path());

  const InstallResult result = f.Run();
  if (kov::test::RunningUnderWine()) {
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, "Cannot inspect the restart program.");
    EXPECT_THAT(f.lines, ElementsAre("check failed: Cannot inspect the restart program.",
                                     IsSystemErrorLine()));
    EXPECT_EQ(kov::test::Snapshot(f.temp.path()), before);
    return;
  }
  EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
  EXPECT_EQ(kov::test::ReadFile(f.job.install_dir / "data" / "a.txt"), "new data/a.txt");
  EXPECT_EQ(kov::test::ReadFile(f.job.restart), "new bin/launcher.exe");
}

}  // namespace
}  // namespace kov::update
