#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/log_lines.h"
#include "tests/test_util.h"
#include "update/installer.h"
#include "update/process.h"
#include "update/update_job.h"
#include "updater/driver.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using test::LinesOf;
using test::ReadFile;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Matcher;
using ::testing::StartsWith;
using ExpectedLines = std::vector<Matcher<std::string>>;

// The update helper runs in-process through its driver, or as the real program.
enum class Mode { kDriver, kProgram };

int RunHelper(Mode mode, const std::vector<fs::path>& args, const fs::path& working_dir) {
  if (mode == Mode::kDriver) {
    std::vector<fs::path::string_type> words{fs::path("kov-updater").native()};
    for (const fs::path& arg : args) words.push_back(arg.native());
    return RunUpdateHelper(words);
  }
  std::vector<std::string> texts;
  for (const fs::path& arg : args) texts.push_back(Utf8Path(arg));
  return test::ChildProcess(test::BuiltProgram("kov-updater"), texts, working_dir).Reap();
}

bool IsEmptyFolder(const fs::path& folder) {
  std::error_code ec;
  return fs::is_empty(folder, ec) && !ec;
}

// Version 1 of a launcher installed and version 2 staged: the launcher (a program that records
// each start with its version) is replaced, version.txt beside it too, and data/new.txt added.
// The job file and the log have a folder of their own.
struct Scene {
  explicit Scene(const test::TempDir& dir)
      : install(dir / "install"),
        staging(dir / "staging"),
        jobs(dir / "jobs"),
        job_file(jobs / "job.txt"),
        log(jobs / "updater.log"),
        record(dir / "record.txt"),
        launcher_name(fs::path("launcher") +=
                      test::BuiltProgram("recording_launcher").extension()) {
    std::error_code ec;
    fs::create_directories(jobs, ec);
    for (const fs::path& folder : {install, staging}) {
      fs::create_directories(folder, ec);
      fs::copy_file(test::BuiltProgram("recording_launcher"), folder / launcher_name, ec);
    }
    test::WriteFile(install / "version.txt", "1");
    test::WriteFile(staging / "version.txt", "2");
    test::WriteFile(staging / "data" / "new.txt", "new data");
    test::WriteFile(dir / "manifest.txt",
                    Utf8Path(launcher_name) + "\nversion.txt\ndata/new.txt\n");
    job = {test::EndedProcessId(),
           install,
           staging,
           dir / "backup",
           dir / "manifest.txt",
           install / launcher_name,
           log,
           {Utf8Path(record), "after update"}};
  }

  int Run(Mode mode) const {
    std::string error;
    EXPECT_TRUE(WriteUpdateJob(job_file, job, error)) << error;
    return RunHelper(mode, {"--job", job_file}, jobs);
  }

  // The lines before the install, then the given ones.
  ExpectedLines LogOf(const ExpectedLines& tail) const {
    ExpectedLines lines{"kov-updater starting",
                        "job: " + Utf8Path(job_file),
                        "install root: " + Utf8Path(install),
                        "staging root: " + Utf8Path(staging),
                        "manifest: " + Utf8Path(job.manifest),
                        "restart executable: " + Utf8Path(job.restart),
                        "restart arguments: " + Utf8Path(record) + " after update",
                        "waiting for parent pid " + std::to_string(job.parent_pid),
                        "parent exited"};
    lines.insert(lines.end(), tail.begin(), tail.end());
    return lines;
  }

  fs::path install, staging, jobs, job_file, log, record, launcher_name;
  UpdateJob job;
};

TEST(UpdaterRun, WaitsForTheLauncherInstallsRestartsTheNewOneAndRemovesTheJob) {
  test::TempDir dir;
  Scene scene(dir);
  test::ChildProcess launcher(test::BuiltProgram("sleep_ms"), {"1500"});
  ASSERT_NE(launcher.pid(), 0u);
  scene.job.parent_pid = launcher.pid();
  const auto started = std::chrono::steady_clock::now();

  ASSERT_EQ(scene.Run(Mode::kProgram), 0);

  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400));
  EXPECT_THAT(
      LinesOf(ReadFile(scene.log)),
      ElementsAreArray(scene.LogOf(
          {"manifest entries: 3", "backup start", "backup complete", "replacing 3 files",
           "replacement complete", "verification complete", "restart start", "restart complete",
           "install result: success", "update installed and restarted", "exit code: 0"})));
  EXPECT_EQ(test::AwaitFile(scene.record), "2|after update\n");
  EXPECT_EQ(ReadFile(scene.install / "data" / "new.txt"), "new data");
  EXPECT_FALSE(fs::exists(scene.job_file));
  EXPECT_FALSE(fs::exists(scene.staging));
  EXPECT_FALSE(fs::exists(scene.job.backup_dir));
}

constexpr std::string_view kSystemError = "system error: N";

// A log line, or only its start when it ends in "(" (an error code of the platform follows);
// kSystemError stands for the line with the platform's own code.
Matcher<std::string> Line(const std::string& text) {
  if (text == kSystemError) return test::IsSystemErrorLine();
  if (text.ends_with("(")) return StartsWith(text);
  return text;
}

// Each failed install: its exit code, its lines after "parent exited", the previous launcher
// started again from a restored installation, and the job file kept for another attempt.
struct FailedInstall {
  const char* name;
  Mode mode;
  std::function<void(const Scene&)> provoke;
  int exit_code;
  std::vector<std::string> lines;  // up to the outcome's message, which ends them
  bool restarted = true;           // the previous launcher
};

const std::string kMissing = "The update is missing data/missing.txt.";
const std::string kUnexpected = "The installation has an unexpected file at data/new.txt.";
const std::string kNoFolder = "Cannot create the folder for data/new.txt.";
const std::string kNoStart = "Could not start the program (";
const std::vector<std::string> kBackedUp = {"manifest entries: 3", "backup start",
                                            "backup complete", "replacing 3 files"};

// clang-format off
const FailedInstall kFailedInstalls[] = {
    {"RefusedJob", Mode::kDriver, [](const Scene& s) {
       test::WriteFile(s.job.manifest, Utf8Path(s.launcher_name) + "\ndata/missing.txt\n");
     }, 4, {kMissing}},
    {"PreviousLauncherCannotStart", Mode::kDriver, [](const Scene& s) {
       test::WriteFile(s.job.manifest, "data/missing.txt\n");
       fs::remove(s.job.restart);
     }, 4, {kMissing}, false},
    {"BackupFailure", Mode::kDriver,
     [](const Scene& s) { fs::create_directories(s.install / "data" / "new.txt"); }, 5,
     {"manifest entries: 3", "backup start", "backup failed: " + kUnexpected, kUnexpected}},
    {"FolderInTheWayRolledBack", Mode::kProgram,
     [](const Scene& s) { test::WriteFile(s.install / "data", "a file where a folder must go"); },
     6, {kBackedUp[0], kBackedUp[1], kBackedUp[2], kBackedUp[3], "install failed: " + kNoFolder,
         std::string(kSystemError), "rollback start", "rollback complete", kNoFolder}},
    {"NewLauncherNotAProgramRolledBack", Mode::kDriver,
     [](const Scene& s) { test::WriteFile(s.staging / s.launcher_name, "not a program"); }, 7,
     {kBackedUp[0], kBackedUp[1], kBackedUp[2], kBackedUp[3], "replacement complete",
      "verification complete", "restart start", "restart failed: " + kNoStart, "rollback start",
      "rollback complete", kNoStart}},
};
// clang-format on

void PrintTo(const FailedInstall& failure, std::ostream* out) { *out << failure.name; }

class FailedUpdaterRun : public ::testing::TestWithParam<FailedInstall> {};

TEST_P(FailedUpdaterRun, RestartsThePreviousLauncherAndKeepsTheJob) {
  const FailedInstall& failure = GetParam();
  test::TempDir dir;
  Scene scene(dir);
  failure.provoke(scene);

  EXPECT_EQ(scene.Run(failure.mode), failure.exit_code);

  ExpectedLines tail;
  for (std::size_t i = 0; i + 1 < failure.lines.size(); ++i) tail.push_back(Line(failure.lines[i]));
  tail.push_back(Line("install result: " + failure.lines.back()));
  tail.push_back(failure.restarted ? Line("previous launcher restarted")
                                   : Line("could not restart the previous launcher: " + kNoStart));
  tail.push_back(Line("exit code: " + std::to_string(failure.exit_code)));
  EXPECT_THAT(LinesOf(ReadFile(scene.log)), ElementsAreArray(scene.LogOf(tail)));
  EXPECT_EQ(failure.restarted ? test::AwaitFile(scene.record) : ReadFile(scene.record),
            failure.restarted ? "1|after update\n" : "");
  EXPECT_EQ(ReadFile(scene.install / "version.txt"), "1");
  EXPECT_NE(ReadFile(scene.install / "data" / "new.txt"), "new data");
  EXPECT_TRUE(fs::exists(scene.job_file));
  EXPECT_EQ(fs::exists(scene.staging), failure.exit_code == 4);  // only a refusal keeps it
  EXPECT_FALSE(fs::exists(scene.job.backup_dir));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, FailedUpdaterRun, ::testing::ValuesIn(kFailedInstalls),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UpdaterIntake, RunsWithoutAJobPathExitWithTwoAndCreateNoFile) {
  const struct {
    Mode mode;
    std::vector<fs::path> args;
  } cases[] = {
      // clang-format off
      {Mode::kProgram, {}}, {Mode::kProgram, {"job.txt", "--job"}}, {Mode::kDriver, {"--job", ""}},
      {Mode::kDriver, {"--job=job.txt"}}, {Mode::kDriver, {"--JOB", "job.txt"}},
      {Mode::kProgram, {"--job", "missing/job.txt"}},  // no folder for the log
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "" : Utf8Path(c.args.front()) + " ...");
    test::TempDir dir;
    EXPECT_EQ(RunHelper(c.mode, c.args, dir.path()), kExitNoUsableJob);
    EXPECT_TRUE(IsEmptyFolder(dir.path()));
  }
}

// Jobs that cannot be read or named are told in the log beside the last named job, appended.
TEST(UpdaterIntake, UnreadableJobsAreAppendedToTheLogBesideTheLastNamedJob) {
  test::TempDir dir;
  fs::create_directories(dir / "a");
  test::WriteFile(dir / "updater.log", "earlier run\n");
  // A name that has no UTF-8 form: an unpaired surrogate on Windows, a stray byte elsewhere.
#ifdef _WIN32
  const fs::path unnamed = dir / std::wstring{L'j', static_cast<wchar_t>(0xD800), L'b'};
#else
  const fs::path unnamed = dir / "j\xff";
#endif
  const fs::path damaged = dir / "damaged.txt";
  test::WriteFile(damaged, "format=1\nparent_pid=1\ninstall_dir=C:\\\xff\n");

  EXPECT_EQ(RunHelper(Mode::kProgram, {"--job", "job.txt"}, dir.path()), 2);
  EXPECT_EQ(RunHelper(Mode::kProgram, {"first", "--job", "a/job.txt", "x", "--job", "job.txt"},
                      dir.path()),
            2);
  EXPECT_EQ(RunHelper(Mode::kDriver, {"--job", unnamed}, dir.path()), 2);
  EXPECT_EQ(RunHelper(Mode::kDriver, {"--job", damaged}, dir.path()), 2);

  const std::string unreadable = "job read failed: Cannot read the update job.";
  EXPECT_THAT(LinesOf(ReadFile(dir / "updater.log")),
              ElementsAre("earlier run", "kov-updater starting", "job: job.txt", unreadable,
                          "exit code: 2", "kov-updater starting", "job: job.txt", unreadable,
                          "exit code: 2", "kov-updater starting",
                          "job read failed: The update job path cannot be written as UTF-8 text.",
                          "exit code: 2", "kov-updater starting", "job: " + Utf8Path(damaged),
                          "job read failed: The update job is damaged.", "exit code: 2"));
  EXPECT_TRUE(IsEmptyFolder(dir / "a"));
}

TEST(UpdaterIntake, SwitchesToTheJobsLogAfterTheFirstTwoLines) {
  test::TempDir dir;
  Scene scene(dir);
  scene.job.log = dir / "elsewhere.log";
  test::WriteFile(scene.job.manifest, "");

  EXPECT_EQ(scene.Run(Mode::kDriver), 4);

  ExpectedLines all = scene.LogOf({"install result: The update manifest is empty.",
                                   "previous launcher restarted", "exit code: 4"});
  EXPECT_THAT(LinesOf(ReadFile(scene.log)), ElementsAreArray(all.begin(), all.begin() + 2));
  EXPECT_THAT(LinesOf(ReadFile(dir / "elsewhere.log")),
              ElementsAreArray(all.begin() + 2, all.end()));
}

TEST(UpdaterIntake, JobWithoutLogKeepsTheFirstLog) {
  test::TempDir dir;
  Scene scene(dir);
  scene.job.args = {"", "x", "", "y"};
  std::string error;
  ASSERT_TRUE(WriteUpdateJob(scene.job_file, scene.job, error)) << error;
  std::string text = ReadFile(scene.job_file);
  const std::size_t log = text.find("\nlog=") + 5;
  test::WriteFile(scene.job_file, text.erase(log, text.find('\n', log) - log));

  EXPECT_EQ(RunHelper(Mode::kDriver, {"--job", scene.job_file}, scene.jobs), 4);

  const std::vector<std::string> lines = LinesOf(ReadFile(scene.log));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[6], "restart arguments: x  y");  // a leading empty one adds no space
  EXPECT_EQ(lines[9], "install result: The update job contains a relative path.");
}

}  // namespace
}  // namespace kov::update
