// Files that a player's machine makes hard to replace: held open for a moment or for good by
// another program, read-only, hidden or system.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/install_fixture.h"
#include "tests/log_lines.h"
#include "tests/test_util.h"
#include "update/installer.h"
#include "update/update_job.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using test::Snapshot;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::StartsWith;

constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write;

void MakeReadOnly(const fs::path& file) {
  fs::permissions(file, kWrite | fs::perms::others_write, fs::perm_options::remove);
}

bool IsReadOnly(const fs::path& file) {
  return (fs::status(file).permissions() & fs::perms::owner_write) == fs::perms::none;
}

// An installation with a launcher and a data file, and an update that replaces both and adds
// data/new.txt; the staged files' text tells the update's version.
struct Update : test::InstallFixture {
  Update() {
    Installed("bin/launcher.exe", "launcher 1");
    Installed("data/a.txt", "a 1");
    Stage("2", false);
  }
  // Windows removes no read-only file, so the scratch folder is made writable again first.
  ~Update() {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(temp.path(), ec), end; !ec && it != end;
         it.increment(ec)) {
      fs::permissions(it->path(), kWrite, fs::perm_options::add, ec);
    }
  }
  void Stage(const std::string& version, bool read_only) const {
    for (const char* file : {"bin/launcher.exe", "data/a.txt", "data/new.txt"}) {
      test::WriteFile(job.staging_dir / file, std::string(file) + " " + version);
      if (read_only && file != std::string_view("data/a.txt")) {
        MakeReadOnly(job.staging_dir / file);
      }
    }
    Manifest("bin/launcher.exe\ndata/a.txt\ndata/new.txt\n");
  }
};

// Another program holds a file for a while, from before the update starts.
class Holder {
 public:
  Holder(const fs::path& file, int milliseconds, bool exclusive, const fs::path& marker)
      : child_(test::BuiltProgram("hold_file"),
               {Utf8Path(file), std::to_string(milliseconds), Utf8Path(marker),
                exclusive ? "exclusive" : "shared"}),
        held_(!test::AwaitFile(marker, std::chrono::seconds(10)).empty()) {}
  bool held() const { return held_; }

 private:
  test::ChildProcess child_;
  bool held_;
};

struct HeldCase {
  const char* name;
  const char* file;  // relative to its root
  bool staged;       // held in the staging folder rather than the installation
  const char* failure;
};

// A scanner opens a fresh file for a moment; a running game keeps its executable open.
TEST(HeldFiles, ShortHoldsAreWaitedOutAndLongOnesFailCleanly) {
#ifndef _WIN32
  GTEST_SKIP() << "POSIX moves and removes a file that another program holds open";
#endif
  const HeldCase cases[] = {
      {"target shared for reading", "bin/launcher.exe", false, "Cannot replace bin/launcher.exe."},
      {"staged file held alone", "data/new.txt", true, "Cannot write data/new.txt."},
  };
  for (const HeldCase& c : cases) {
    for (const int hold_ms : {300, 30000}) {
      SCOPED_TRACE(std::string(c.name) + ", held " + std::to_string(hold_ms) + " ms");
      Update update;
      const test::Tree before = Snapshot(update.job.install_dir);
      const fs::path root = c.staged ? update.job.staging_dir : update.job.install_dir;
      const Holder holder(root / c.file, hold_ms, c.staged, update.temp / "held");
      ASSERT_TRUE(holder.held());
      const auto started = std::chrono::steady_clock::now();
      const InstallResult result = update.Run();
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
      if (hold_ms < 1000) {
        EXPECT_EQ(result.status, InstallStatus::Installed) << result.error;
        EXPECT_THAT(update.lines, Contains(StartsWith(std::string("retried: ") + c.file + " (")));
        EXPECT_EQ(test::ReadFile(update.job.install_dir / "data/new.txt"), "data/new.txt 2");
        continue;
      }
      EXPECT_EQ(result.status, InstallStatus::RolledBack);
      EXPECT_EQ(result.error, c.failure);
      const auto failed = std::find(update.lines.begin(), update.lines.end(),
                                    std::string("install failed: ") + c.failure);
      ASSERT_NE(failed, update.lines.end());
      ASSERT_NE(failed + 1, update.lines.end());
      EXPECT_THAT(failed[1], test::IsSystemErrorLine());
      EXPECT_EQ(Snapshot(update.job.install_dir), before);
    }
  }
}

// Windows refuses to replace or remove a read-only file; an installed file keeps the staged
// file's attributes, so the next update meets them again.
TEST(ReadOnlyFiles, ReplacedTwiceInARowAndRolledBackWithoutLeftovers) {
  Update update;
  MakeReadOnly(update.job.install_dir / "bin/launcher.exe");
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
    EXPECT_TRUE(IsReadOnly(update.job.restart));
    EXPECT_FALSE(update.WorkFoldersExist());
  }

  // The last file fails, after the read-only ones are in place: all must go back.
  fs::permissions(update.job.install_dir / "data/new.txt", kWrite, fs::perm_options::add);
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
  EXPECT_THAT(update.lines, Not(Contains(StartsWith("rollback failed"))));
  EXPECT_EQ(Snapshot(update.job.install_dir), before);
  EXPECT_FALSE(update.WorkFoldersExist());
}

}  // namespace
}  // namespace kov::update
