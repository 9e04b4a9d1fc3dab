// The real update helper, killed, raced and left without its log: the installation always ends
// as one whole version.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"
#include "tests/tree_snapshot.h"
#include "update/update_job.h"
#include "updater/driver.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using kov::test::Snapshot;
using kov::test::Tree;

// An installation of version 1 with `files` data files, and an update to `version` that
// replaces them all, adds as many in a new folder, and replaces the launcher.
struct Installation {
  test::TempDir dir;
  fs::path install = dir / "install";
  fs::path launcher_name = fs::path("launcher") += test::BuiltProgram("x").extension();
  Tree original;

  explicit Installation(int files) : files_(files) {
    Fill(install, "1", false);
    original = Snapshot(install, false);
  }

  // A job of its own (staging, backup, manifest, log) for the given version; a launcher that is
  // no program makes the restart fail, so the install is rolled back.
  fs::path Job(const std::string& version, bool good_launcher = true,
               std::optional<fs::path> log = std::nullopt) const {
    const fs::path jobs = dir / ("job-" + version);
    Fill(jobs / "staging", version, true);
    if (!good_launcher) test::WriteFile(jobs / "staging" / launcher_name, "not a program");
    std::string manifest = Utf8Path(launcher_name) + "\nversion.txt\n";
    for (int i = 0; i < files_; ++i) manifest += Name("data", i) + "\n" + Name("added", i) + "\n";
    test::WriteFile(jobs / "manifest.txt", manifest);
    UpdateJob job;
    job.parent_pid = test::EndedProcessId();
    job.install_dir = install;
    job.staging_dir = jobs / "staging";
    job.backup_dir = jobs / "backup";
    job.manifest = jobs / "manifest.txt";
    job.restart = install / launcher_name;
    job.log = log.value_or(jobs / "job.log");
    job.args = {Utf8Path(dir / "record.txt")};
    std::string error;
    EXPECT_TRUE(WriteUpdateJob(jobs / "job.txt", job, error)) << error;
    return jobs / "job.txt";
  }

  // The files of a version as staged: read before a successful run removes the staging.
  Tree Staged(const std::string& version) const {
    return Snapshot(dir / ("job-" + version) / "staging", false);
  }

 private:
  static std::string Name(const char* folder, int i) {
    return std::string(folder) + "/f" + std::to_string(i) + ".dat";
  }
  void Fill(const fs::path& root, const std::string& version, bool with_added) const {
    std::error_code ec;
    fs::create_directories(root, ec);
    fs::copy_file(test::BuiltProgram("recording_launcher"), root / launcher_name, ec);
    test::WriteFile(root / "version.txt", version);
    for (int i = 0; i < files_; ++i) {
      const std::string bytes(16384, static_cast<char>('a' + i % 26));
      test::WriteFile(root / Name("data", i), version + bytes);
      if (with_added) test::WriteFile(root / Name("added", i), version + bytes);
    }
  }

  int files_;
};

std::vector<std::string> Args(const fs::path& job) { return {"--job", Utf8Path(job)}; }

// Kills the helper as soon as its log shows the line, plus a moment; the log as it was then.
std::string KillAt(const fs::path& job, const fs::path& log, const std::string& line,
                   std::chrono::milliseconds later) {
  auto helper = std::make_unique<test::ChildProcess>(test::BuiltProgram("kov-updater"), Args(job));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (test::ReadFile(log).find(line + "\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(later);
  helper.reset();  // killed outright: TerminateProcess or SIGKILL
  return test::ReadFile(log);
}

TEST(KilledHelper, RerunEndsWhollyNewOrWhollyOriginalWithAFailureExit) {
  using std::chrono::milliseconds;
  const struct {
    const char* name;
    bool good_launcher;
    const char* line;  // null: the replacing line
    milliseconds later;
  } cases[] = {
      {"during the backup", true, "backup start", milliseconds(0)},
      {"early in the replacement", true, nullptr, milliseconds(0)},
      {"late in the replacement", true, nullptr, milliseconds(20)},
      {"before the restart", true, "verification complete", milliseconds(0)},
      {"early in the rollback", false, "rollback start", milliseconds(0)},
      {"late in the rollback", false, "rollback start", milliseconds(100)},
  };
  // Enough files that each phase lasts long enough to be hit; Wine runs each step slower.
  const int files = test::RunningUnderWine() ? 60 : 150;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Installation installation(files);
    const fs::path job = installation.Job("2", c.good_launcher);
    const Tree updated = installation.Staged("2");
    const std::string line =
        c.line != nullptr ? c.line : "replacing " + std::to_string(2 * files + 2) + " files";
    const std::string at_kill = KillAt(job, job.parent_path() / "job.log", line, c.later);
    const int exit_code = test::ChildProcess(test::BuiltProgram("kov-updater"), Args(job)).Reap();
    // Folders are left out: those a rolled-back run made stay.
    const Tree after = Snapshot(installation.install, false);
    // Trees of this size are not printed: only which version the installation holds counts.
    if (at_kill.find("restart complete\n") != std::string::npos) {
      // Killed in the clean-up: the rerun may find the staging partly removed and refuse.
      EXPECT_TRUE(after == updated) << "exit code " << exit_code;
      EXPECT_THAT(exit_code, testing::AnyOf(0, 4));
    } else {
      EXPECT_TRUE(exit_code == 0 ? after == updated : after == installation.original)
          << "exit code " << exit_code;
      EXPECT_EQ(exit_code, c.good_launcher ? 0 : 7);
    }
    const std::vector<std::string> lines = test::LinesOf(at_kill);
    std::cout << c.name << ": killed after \"" << (lines.empty() ? "" : lines.back())
              << "\", rerun " << exit_code << "\n";
  }
}

TEST(RacingHelpers, TwoHelpersOnOneInstallationEndWhollyOneVersion) {
  Installation installation(100);
  const fs::path job2 = installation.Job("2");
  const fs::path job3 = installation.Job("3");
  const Tree version2 = installation.Staged("2");
  const Tree version3 = installation.Staged("3");
  test::ChildProcess first(test::BuiltProgram("kov-updater"), Args(job2));
  test::ChildProcess second(test::BuiltProgram("kov-updater"), Args(job3));
  EXPECT_EQ(first.Reap(), 0);
  EXPECT_EQ(second.Reap(), 0);
  const Tree after = Snapshot(installation.install, false);
  EXPECT_TRUE(after == version2 || after == version3);
}

TEST(UpdaterLog, LinesGoOnInTheFirstLogWhenTheJobsLogCannotBeOpened) {
  Installation installation(1);
  const fs::path missing = installation.dir / "no such folder" / "job.log";
  const fs::path job = installation.Job("2", true, missing);
  std::vector<fs::path::string_type> words{fs::path("kov-updater").native(),
                                           fs::path("--job").native(), job.native()};
  EXPECT_EQ(RunUpdateHelper(words), 0);
  const std::string first = test::ReadFile(job.parent_path() / "updater.log");
  EXPECT_NE(first.find("\nlog switch failed: Cannot open the job's log file " + Utf8Path(missing) +
                       ".\ninstall root: "),
            std::string::npos)
      << first;
  EXPECT_NE(first.find("\nexit code: 0\n"), std::string::npos);
}

}  // namespace
}  // namespace kov::update
