#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
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
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::Matcher;
using ::testing::StartsWith;
using Lines = std::vector<std::string>;
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

// Each line without its LF; a last line without one is marked, so that it cannot pass.
Lines LinesOf(const fs::path& file) {
  const std::string text = test::ReadFile(file);
  Lines lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start) + "<no line end>");
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Started programs run on their own; what they record shows up a moment later.
std::string AwaitRecord(const fs::path& record) {
  for (int i = 0; i < 300; ++i) {
    const std::string text = test::ReadFile(record);
    if (!text.empty() && text.back() == '\n') return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return "";
}

unsigned long EndedProcessId() {
  test::ChildProcess child(test::BuiltProgram("sleep_ms"), {"0"});
  child.Reap();
  return child.pid();
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
        backup(dir / "backup"),
        jobs(dir / "jobs"),
        job_file(jobs / "job.txt"),
        log(jobs / "updater.log"),
        record(dir / "record.txt"),
        launcher_program(test::BuiltProgram("recording_launcher")),
        launcher_name(fs::path("launcher") += launcher_program.extension()) {
    std::error_code ec;
    fs::create_directories(install, ec);
    fs::create_directories(staging, ec);
    fs::create_directories(jobs, ec);
    fs::copy_file(launcher_program, install / launcher_name, ec);
    fs::copy_file(launcher_program, staging / launcher_name, ec);
    test::WriteFile(install / "version.txt", "1");
    test::WriteFile(staging / "version.txt", "2");
    test::WriteFile(staging / "data" / "new.txt", "new data");
    test::WriteFile(dir / "manifest.txt",
                    Utf8Path(launcher_name) + "\nversion.txt\ndata/new.txt\n");
    job.parent_pid = EndedProcessId();
    job.install_dir = install;
    job.staging_dir = staging;
    job.backup_dir = backup;
    job.manifest = dir / "manifest.txt";
    job.restart = install / launcher_name;
    job.log = log;
    job.args = {Utf8Path(record), "after update"};
  }

  void WriteJob() const {
    std::string error;
    ASSERT_TRUE(WriteUpdateJob(job_file, job, error)) << error;
  }

  int Run(Mode mode) const { return RunHelper(mode, {"--job", job_file}, jobs); }

  Lines IntakeLines() const {
    return {"kov-updater starting",
            "job: " + Utf8Path(job_file),
            "install root: " + Utf8Path(install),
            "staging root: " + Utf8Path(staging),
            "manifest: " + Utf8Path(job.manifest),
            "restart executable: " + Utf8Path(job.restart),
            "restart arguments: " + Utf8Path(record) + " after update",
            "waiting for parent pid " + std::to_string(job.parent_pid),
            "parent exited"};
  }

  bool HoldsPreviousVersion() const {
    return test::ReadFile(install / "version.txt") == "1" &&
           test::ReadFile(install / launcher_name) == test::ReadFile(launcher_program);
  }

  fs::path install, staging, backup, jobs, job_file, log, record;
  fs::path launcher_program, launcher_name;
  UpdateJob job;
};

class UpdaterRun : public ::testing::TestWithParam<Mode> {};

TEST_P(UpdaterRun, InstallsRestartsTheNewLauncherAndRemovesTheJob) {
  test::TempDir dir;
  Scene scene(dir);
  scene.WriteJob();

  ASSERT_EQ(scene.Run(GetParam()), 0);

  Lines expected = scene.IntakeLines();
  expected.insert(
      expected.end(),
      {"manifest entries: 3", "backup start", "backup complete", "replacing 3 files",
       "replacement complete", "verification complete", "restart start", "restart complete",
       "install result: success", "update installed and restarted", "exit code: 0"});
  EXPECT_THAT(LinesOf(scene.log), ElementsAreArray(expected));
  EXPECT_EQ(AwaitRecord(scene.record), "2|after update\n");
  EXPECT_EQ(test::ReadFile(scene.install / "data" / "new.txt"), "new data");
  EXPECT_FALSE(fs::exists(scene.job_file));
  EXPECT_FALSE(fs::exists(scene.staging));
  EXPECT_FALSE(fs::exists(scene.backup));
}

TEST_P(UpdaterRun, WaitsForALauncherThatIsStillRunning) {
  test::TempDir dir;
  Scene scene(dir);
  test::ChildProcess launcher(test::BuiltProgram("sleep_ms"), {"1500"});
  ASSERT_NE(launcher.pid(), 0u);
  scene.job.parent_pid = launcher.pid();
  scene.WriteJob();
  const auto started = std::chrono::steady_clock::now();

  ASSERT_EQ(scene.Run(GetParam()), 0);

  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400));
  const Lines lines = LinesOf(scene.log);
  ASSERT_GE(lines.size(), 9u);
  EXPECT_EQ(lines[7], "waiting for parent pid " + std::to_string(launcher.pid()));
  EXPECT_EQ(lines[8], "parent exited");
  EXPECT_EQ(AwaitRecord(scene.record), "2|after update\n");
}

// Each failed install: its exit code, its lines after "parent exited", the previous launcher
// started again from a restored installation, and the job file kept for another attempt.
struct FailedInstall {
  const char* name;
  std::function<void(const Scene&)> provoke;
  int exit_code;
  ExpectedLines lines;
  bool keeps_staging;
};

const FailedInstall kFailedInstalls[] = {
    {"RefusedJob",
     [](const Scene& s) {
       test::WriteFile(s.job.manifest, Utf8Path(s.launcher_name) + "\ndata/missing.txt\n");
     },
     4,
     {"install result: The update is missing data/missing.txt.", "previous launcher restarted",
      "exit code: 4"},
     true},
    {"BackupFailure",
     [](const Scene& s) {
       std::error_code ec;
       fs::create_directories(s.install / "data" / "new.txt", ec);
     },
     5,
     {"manifest entries: 3", "backup start",
      "backup failed: The installation has an unexpected file at data/new.txt.",
      "install result: The installation has an unexpected file at data/new.txt.",
      "previous launcher restarted", "exit code: 5"},
     false},
    {"FolderInTheWayRolledBack",
     [](const Scene& s) { test::WriteFile(s.install / "data", "a file where a folder must go"); },
     6,
     {"manifest entries: 3", "backup start", "backup complete", "replacing 3 files",
      "install failed: Cannot create the folder for data/new.txt.", test::IsSystemErrorLine(),
      "rollback start", "rollback complete",
      "install result: Cannot create the folder for data/new.txt.", "previous launcher restarted",
      "exit code: 6"},
     false},
    {"NewLauncherNotAProgramRolledBack",
     [](const Scene& s) { test::WriteFile(s.staging / s.launcher_name, "not a program"); },
     7,
     {"manifest entries: 3", "backup start", "backup complete", "replacing 3 files",
      "replacement complete", "verification complete", "restart start",
      StartsWith("restart failed: Could not start the program ("), "rollback start",
      "rollback complete", StartsWith("install result: Could not start the program ("),
      "previous launcher restarted", "exit code: 7"},
     false},
};

void PrintTo(const FailedInstall& failure, std::ostream* out) { *out << failure.name; }
void PrintTo(Mode mode, std::ostream* out) {
  *out << (mode == Mode::kDriver ? "driver" : "program");
}

class FailedUpdaterRun : public ::testing::TestWithParam<std::tuple<FailedInstall, Mode>> {};

TEST_P(FailedUpdaterRun, RestartsThePreviousLauncherAndKeepsTheJob) {
  const auto& [failure, mode] = GetParam();
  test::TempDir dir;
  Scene scene(dir);
  scene.WriteJob();
  failure.provoke(scene);

  EXPECT_EQ(scene.Run(mode), failure.exit_code);

  ExpectedLines expected;
  for (const std::string& line : scene.IntakeLines()) expected.push_back(line);
  expected.insert(expected.end(), failure.lines.begin(), failure.lines.end());
  EXPECT_THAT(LinesOf(scene.log), ElementsAreArray(expected));
  EXPECT_EQ(AwaitRecord(scene.record), "1|after update\n");
  EXPECT_TRUE(scene.HoldsPreviousVersion());
  EXPECT_TRUE(fs::exists(scene.job_file));
  EXPECT_EQ(fs::exists(scene.staging), failure.keeps_staging);
  EXPECT_EQ(fs::exists(scene.backup), false);
}

std::string ModeName(Mode mode) { return mode == Mode::kDriver ? "Driver" : "Program"; }

// "<case><mode>" for the suites that run each case in both modes.
constexpr auto CaseAndModeName = [](const auto& info) {
  return std::string(std::get<0>(info.param).name) + ModeName(std::get<1>(info.param));
};

INSTANTIATE_TEST_SUITE_P(Modes, UpdaterRun, ::testing::Values(Mode::kDriver, Mode::kProgram),
                         [](const auto& info) { return ModeName(info.param); });
INSTANTIATE_TEST_SUITE_P(Outcomes, FailedUpdaterRun,
                         ::testing::Combine(::testing::ValuesIn(kFailedInstalls),
                                            ::testing::Values(Mode::kDriver, Mode::kProgram)),
                         CaseAndModeName);

TEST(UpdaterOutcome, PreviousLauncherThatCannotStartLeavesTheExitCodeAlone) {
  test::TempDir dir;
  Scene scene(dir);
  scene.WriteJob();
  test::WriteFile(scene.job.manifest, "data/missing.txt\n");
  std::error_code ec;
  fs::remove(scene.job.restart, ec);

  EXPECT_EQ(scene.Run(Mode::kDriver), 4);

  const Lines lines = LinesOf(scene.log);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_THAT(lines[10], StartsWith("could not restart the previous launcher: Could not start "
                                    "the program ("));
  EXPECT_EQ(lines[11], "exit code: 4");
  EXPECT_TRUE(fs::exists(scene.job_file));
}

// Runs that end before any log could tell about them: no file may appear.
struct SilentExit {
  const char* name;
  std::vector<fs::path> args;
};

void PrintTo(const SilentExit& run, std::ostream* out) { *out << run.name; }

class SilentUpdaterRun : public ::testing::TestWithParam<std::tuple<SilentExit, Mode>> {};

TEST_P(SilentUpdaterRun, ExitsWithTwoAndCreatesNoFile) {
  const auto& [run, mode] = GetParam();
  test::TempDir dir;

  EXPECT_EQ(RunHelper(mode, run.args, dir.path()), kExitNoUsableJob);

  EXPECT_TRUE(IsEmptyFolder(dir.path()));
}

const SilentExit kSilentExits[] = {
    {"NoWords", {}},
    {"OnlyJobFlag", {"--job"}},
    {"EmptyJobPath", {"--job", ""}},
    {"JoinedForm", {"--job=job.txt"}},
    {"FlagInLastPlace", {"job.txt", "--job"}},
    {"FlagInOtherCase", {"--JOB", "job.txt"}},
};

INSTANTIATE_TEST_SUITE_P(Words, SilentUpdaterRun,
                         ::testing::Combine(::testing::ValuesIn(kSilentExits),
                                            ::testing::Values(Mode::kDriver, Mode::kProgram)),
                         CaseAndModeName);

Lines ReadFailureLines(const std::string& shown_job_path) {
  return {"kov-updater starting", "job: " + shown_job_path,
          "job read failed: Cannot read the update job.", "exit code: 2"};
}

TEST(UpdaterJobPath, BareNameLogsIntoTheWorkingFolder) {
  test::TempDir dir;

  EXPECT_EQ(RunHelper(Mode::kProgram, {"--job", "job.txt"}, dir.path()), 2);

  EXPECT_THAT(LinesOf(dir / "updater.log"), ElementsAreArray(ReadFailureLines("job.txt")));
}

TEST(UpdaterJobPath, LastJobFlagWinsAndOtherWordsAreIgnored) {
  test::TempDir dir;
  std::error_code ec;
  fs::create_directories(dir / "a", ec);
  fs::create_directories(dir / "b", ec);
  const fs::path job_b = dir / "b" / "job.txt";

  EXPECT_EQ(RunHelper(Mode::kProgram,
                      {"first", "--job", dir / "a" / "job.txt", "between", "--job", job_b, "after"},
                      dir.path()),
            2);

  EXPECT_THAT(LinesOf(dir / "b" / "updater.log"),
              ElementsAreArray(ReadFailureLines(Utf8Path(job_b))));
  EXPECT_TRUE(IsEmptyFolder(dir / "a"));
}

TEST(UpdaterJobPath, JobInAMissingFolderLeavesNoTrace) {
  test::TempDir dir;

  EXPECT_EQ(RunHelper(Mode::kDriver, {"--job", dir / "missing" / "job.txt"}, dir.path()), 2);

  EXPECT_TRUE(IsEmptyFolder(dir.path()));
}

TEST(UpdaterJobPath, EachRunAppendsToTheLog) {
  test::TempDir dir;
  const fs::path job = dir / "job.txt";
  test::WriteFile(dir / "updater.log", "earlier run\n");

  RunHelper(Mode::kDriver, {"--job", job}, dir.path());
  RunHelper(Mode::kDriver, {"--job", job}, dir.path());

  Lines expected{"earlier run"};
  for (int run = 0; run < 2; ++run) {
    for (const std::string& line : ReadFailureLines(Utf8Path(job))) expected.push_back(line);
  }
  EXPECT_THAT(LinesOf(dir / "updater.log"), ElementsAreArray(expected));
}

// A name that has no UTF-8 form: an unpaired surrogate on Windows, a stray byte elsewhere.
fs::path NameWithoutUtf8Form() {
#ifdef _WIN32
  return fs::path(std::wstring{L'j', static_cast<wchar_t>(0xD800), L'b'});
#else
  return fs::path(
      "j\xff"
      "b");
#endif
}

TEST(UpdaterJobPath, PathWithoutUtf8FormIsExplainedNotThrown) {
  test::TempDir dir;

  EXPECT_EQ(RunHelper(Mode::kDriver, {"--job", dir / NameWithoutUtf8Form()}, dir.path()), 2);

  EXPECT_THAT(LinesOf(dir / "updater.log"),
              ElementsAre("kov-updater starting",
                          "job read failed: The update job path cannot be written as UTF-8 text.",
                          "exit code: 2"));
}

TEST(UpdaterJobPath, JobHoldingMalformedUtf8IsExplainedNotThrown) {
  test::TempDir dir;
  const fs::path job = dir / "job.txt";
  test::WriteFile(job, "format=1\nparent_pid=1\ninstall_dir=C:\\\xff\n");

  EXPECT_EQ(RunHelper(Mode::kDriver, {"--job", job}, dir.path()), 2);

  EXPECT_THAT(LinesOf(dir / "updater.log"),
              ElementsAre("kov-updater starting", "job: " + Utf8Path(job),
                          AllOf(StartsWith("job read failed: "), EndsWith(".")), "exit code: 2"));
}

TEST(UpdaterLog, SwitchesToTheJobsLogAfterTheFirstTwoLines) {
  test::TempDir dir;
  Scene scene(dir);
  scene.job.log = dir / "elsewhere.log";
  scene.WriteJob();
  test::WriteFile(scene.job.manifest, "");

  EXPECT_EQ(scene.Run(Mode::kDriver), 4);

  const Lines intake = scene.IntakeLines();
  EXPECT_THAT(LinesOf(scene.log), ElementsAre(intake[0], intake[1]));
  const Lines switched = LinesOf(dir / "elsewhere.log");
  ASSERT_EQ(switched.size(), 10u);
  EXPECT_EQ(switched[0], intake[2]);
  EXPECT_EQ(switched[7], "install result: The update manifest is empty.");
  EXPECT_EQ(switched[9], "exit code: 4");
}

TEST(UpdaterLog, JobWithoutLogKeepsTheFirstLog) {
  test::TempDir dir;
  Scene scene(dir);
  test::WriteFile(scene.job_file, "format=1\nparent_pid=" + std::to_string(scene.job.parent_pid) +
                                      "\ninstall_dir=" + Utf8Path(scene.install) +
                                      "\nstaging_dir=" + Utf8Path(scene.staging) +
                                      "\nbackup_dir=" + Utf8Path(scene.backup) +
                                      "\nmanifest=" + Utf8Path(scene.job.manifest) +
                                      "\nrestart=" + Utf8Path(scene.job.restart) + "\nlog=\n");

  EXPECT_EQ(scene.Run(Mode::kDriver), 4);

  const Lines lines = LinesOf(scene.log);
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[2], "install root: " + Utf8Path(scene.install));
  EXPECT_EQ(lines[6], "restart arguments: ");
  EXPECT_EQ(lines[9], "install result: The update job contains a relative path.");
  EXPECT_EQ(lines[11], "exit code: 4");
}

TEST(UpdaterLog, RestartArgumentsAreJoinedWithSingleSpacesUnquoted) {
  const struct {
    std::vector<std::string> args;
    std::string joined;
  } cases[] = {
      {{}, ""},
      {{"a", "b"}, "a b"},
      {{"a", "", "b"}, "a  b"},
      {{"", "x"}, "x"},
      {{"two words", "\"quoted\""}, "two words \"quoted\""},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    UpdateJob job;
    job.parent_pid = EndedProcessId();
    job.install_dir = job.staging_dir = job.backup_dir = dir / "missing";
    job.manifest = job.restart = dir / "missing" / "x";
    job.log = dir / "updater.log";
    job.args = c.args;
    std::string error;
    ASSERT_TRUE(WriteUpdateJob(dir / "job.txt", job, error)) << error;

    RunHelper(Mode::kDriver, {"--job", dir / "job.txt"}, dir.path());

    const Lines lines = LinesOf(dir / "updater.log");
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[6], "restart arguments: " + c.joined);
  }
}

TEST(UpdaterExitCode, FollowsTheOutcomeNotTheStatusOrder) {
  const struct {
    int status;
    int exit_code;
  } cases[] = {{0, 0}, {1, 4}, {2, 5}, {3, 6}, {4, 8}, {5, 7}, {6, 9}, {7, 10}, {8, 4}, {-1, 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(ExitCodeForInstallStatus(static_cast<InstallStatus>(c.status)), c.exit_code)
        << "status " << c.status;
  }
}

}  // namespace
}  // namespace kov::update
