// Starting programs, and what a started program sees of itself.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/test_util.h"
#include "update/process.h"
#include "update/process_platform.h"
#include "update/update_job.h"
#include "update/utf8.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;
using Words = std::vector<std::string>;

// What echo_args reported, by label; empty when it did not report within the bound. The report
// is removed, so that the next child's can be awaited.
using Echo = std::map<std::string, Words>;

Echo AwaitEcho(const fs::path& folder, milliseconds bound = seconds(20)) {
  std::istringstream in(test::AwaitFile(folder / "echo-args.txt", bound));
  Echo echo;
  std::string label;
  for (std::size_t size; in >> label >> size && in.get() == ':'; in.get()) {
    std::string bytes(size, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    echo[label].push_back(bytes);
  }
  std::error_code ec;
  fs::remove(folder / "echo-args.txt", ec);
  return echo;
}

bool IsFolder(const Words& reported_cwd, const fs::path& folder) {
  std::error_code ec;
  return reported_cwd.size() == 1 && fs::equivalent(PathFromUtf8(reported_cwd[0]), folder, ec);
}

// The test variables in several letter cases, and near misses that stripping must keep.
constexpr std::tuple<const char*, const char*, bool> kVariables[] = {
    {"RX9_UPDATE_TEST", "1", true},
    {"rx9_update_test_current_version", "2", true},
    {"Rx9_Update_Test_Release_Json", "3", true},
    {"RX9_UPDATE_TEST_ASSET_SHA256", "4", true},
    {"RX9_UPDATE_TEST_ASSET_SHA2567", "longer name", false},
    {"RX9_UPDATE_TES", "shorter name", false},
    {"KOV_LAUNCH_VALUE", "RX9_UPDATE_TEST=only in the value", false}};

void ExpectEnvironment(const Words& environment, bool stripped) {
  for (const auto& [name, value, test_variable] : kVariables) {
    const std::string entry = std::string(name) + "=" + value;
    EXPECT_EQ(std::ranges::count(environment, entry), stripped && test_variable ? 0 : 1) << entry;
  }
}

// Sets the variables in this process's environment, or removes them.
void SetVariables(bool set) {
  for (const auto& [name, value, test_variable] : kVariables) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, set ? value : nullptr);
#else
    set ? setenv(name, value, 1) : unsetenv(name);
#endif
  }
}

class LaunchTest : public ::testing::Test {
 protected:
  LaunchTest() { SetVariables(true); }
  ~LaunchTest() override { SetVariables(false); }

  // Starts echo_args in dir_ and checks its folder and environment. A stripped start followed
  // by one that inherits also shows that stripping left this process's own environment alone.
  Echo Run(const Words& arguments, bool strip) {
    std::string error = "untouched";
    EXPECT_TRUE(LaunchApplication(program_, arguments, dir_.path(), error, strip)) << error;
    EXPECT_EQ(error, "untouched");
    Echo echo = AwaitEcho(dir_.path());
    EXPECT_TRUE(IsFolder(echo["cwd"], dir_.path()));
    ExpectEnvironment(echo["env"], strip);
    return echo;
  }

  test::TempDir dir_;
  fs::path program_ = test::BuiltProgram("echo_args");
};

TEST_F(LaunchTest, ArgumentsReachTheChildUnchanged) {
#ifdef _WIN32
  const std::string not_utf8 = "bad \xEF\xBF\xBD byte";  // U+FFFD in place of the stray byte
#else
  const std::string not_utf8 = "bad \xFF byte";
#endif
  const std::vector<Words> cases = {
      {},
      {"plain", "two words", "tab\there", "line\nfeed", "vertical\vtab", "  ", "cr\ronly", "\r"},
      {"a\"b", "a\\\"b", "\"", "\"\"", "\\\"", "say \"hi\" \\\\\"there\\\""},
      {"C:\\dir\\", "dir name\\", "a\\\\b c", "two at end\\\\", "\\", "\\\\server\\share\\"},
      {"", "between empty texts", "", "\xC3\x9C", "\xE6\x97\xA5 \xE8\xAA\x9E", "\xF0\x9F\x8E\xAE"},
      {"bad \xFF byte"},
  };
  for (const Words& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const bool strip = arguments.size() != 1;  // both ways of handing over the environment
    Echo echo = Run(arguments, strip);
    const Words received = strip ? arguments : Words{not_utf8};
    EXPECT_EQ(echo["argv"], received);
    EXPECT_EQ(echo["args"], received);  // on Windows as CommandLineToArgvW splits the line
  }
}

TEST_F(LaunchTest, FailedStartsNameTheCode) {
#ifdef _WIN32
  const std::string missing_folder = "267";  // ERROR_DIRECTORY
#else
  const std::string missing_folder = "2";                    // ENOENT
#endif
  const std::tuple<fs::path, fs::path, std::string> cases[] = {
      {dir_ / "missing-program", dir_.path(), "2"}, {program_, dir_ / "missing", missing_folder}};
  for (const bool strip : {false, true}) {
    for (const auto& [program, folder, code] : cases) {
      std::string error;
      EXPECT_FALSE(LaunchApplication(program, {"x"}, folder, error, strip));
      EXPECT_EQ(error, "Could not start the program (" + code + ").") << program << strip;
    }
  }
}

TEST_F(LaunchTest, UpdateHelperStartsInTheJobFolderWithAnAbsoluteJobPath) {
  const fs::path job = dir_ / "job folder" / "update job.txt";
  test::WriteFile(job, "format=1\n");
  const std::pair<fs::path, fs::path> missing[] = {{program_, job.parent_path() / "other.txt"},
                                                   {dir_ / "missing-helper", job},
                                                   {program_, job.parent_path()}};
  for (const auto& [helper, job_file] : missing) {
    std::string error;
    EXPECT_FALSE(LaunchUpdateHelper(helper, job_file, error)) << helper << " " << job_file;
    EXPECT_EQ(error, "The update helper is missing from this installation.");
  }

  // Relative paths are the caller's: the helper is found from here, and the job path it gets
  // must still name the job once it runs in the job's folder.
  fs::copy_file(program_, dir_ / program_.filename());
  const fs::path caller_folder = fs::current_path();
  fs::current_path(dir_.path());
  std::string error;
  const bool started = LaunchUpdateHelper(program_.filename(), fs::relative(job), error);
  fs::current_path(caller_folder);
  ASSERT_TRUE(started) << error;
  Echo echo = AwaitEcho(job.parent_path());
  EXPECT_EQ(echo["argv"], (Words{"--job", Utf8Path(job)}));
  EXPECT_TRUE(IsFolder(echo["cwd"], job.parent_path()));
  ExpectEnvironment(echo["env"], false);
#ifndef _WIN32
  test::WriteFile(dir_ / "job\xFF.txt", "format=1\n");
  EXPECT_FALSE(LaunchUpdateHelper(program_, dir_ / "job\xFF.txt", error));
  EXPECT_EQ(error, "The update job file's path has no UTF-8 form.");
#endif
}

TEST_F(LaunchTest, LeavesNoChildAndNoDescriptorBehind) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows closes the handles and inherits none by its own flags";
#else
  const int inheritable = open(program_.c_str(), O_RDONLY);  // no O_CLOEXEC
  ASSERT_GE(inheritable, 0);
  EXPECT_THAT(Run({}, false)["fd"],
              ::testing::Not(::testing::Contains(std::to_string(inheritable))));
  close(inheritable);
  // A program that goes on running is neither waited for nor left as our child.
  const auto start = Clock::now();
  std::string error;
  ASSERT_TRUE(LaunchApplication("/bin/sleep", {"3"}, dir_.path(), error, false)) << error;
  EXPECT_LT(Clock::now() - start, seconds(2));
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a started program is still our child";
#endif
}

// What the platform's standard splitting reads back is checked above through a real child;
// this pins the text itself, on every platform.
TEST(CommandLine, QuotesOnlyWhatNeedsItAndWritesEmptyArgumentsAsTwoQuotes) {
  const Words words = {"abc",        "C:\\dir\\", "a b",          "t\tb",   "l\nf",
                       "v\vt",       "cr\ronly",  "a\"b",         "a\\\"b", "a\\\\b c",
                       "dir name\\", "",          "bad \xFF byte"};
  EXPECT_EQ(Utf8FromUtf16(BuildCommandLine(*Utf16FromUtf8("my program"), words)),
            "\"my program\" abc C:\\dir\\ \"a b\" \"t\tb\" \"l\nf\" \"v\vt\" cr\ronly \"a\\\"b\" "
            "\"a\\\\\\\"b\" \"a\\\\b c\" \"dir name\\\\\" \"\" \"bad \xEF\xBF\xBD byte\"");
}

std::optional<std::string> BatchLine(const std::string& script, const Words& arguments) {
  const std::optional<Utf16String> line = BuildBatchCommandLine(
      *Utf16FromUtf8("C:\\Windows\\system32\\cmd.exe"), *Utf16FromUtf8(script), arguments);
  if (!line) return std::nullopt;
  return Utf8FromUtf16(*line);
}

TEST(BatchCommandLine, QuotesEveryWordCmdWouldActOnAndRefusesWhatQuotesCannotCarry) {
  // A trailing backslash is doubled, so that a script forwarding "%~1" hands over C:\dir\ .
  Words arguments = {"AZaz09",   "C:/x.y-1_2@#$*+?:\\z", "two words", "tab\there", "", "\xC3\x9C",
                     "C:\\dir\\"};
  std::string written =
      "C:\\Windows\\system32\\cmd.exe /d /e:ON /v:OFF /c \"\"C:\\my games\\run.bat\" AZaz09 "
      "C:/x.y-1_2@#$*+?:\\z \"two words\" \"tab\there\" \"\" \"\xC3\x9C\" \"C:\\dir\\\\\"";
  for (const char special : std::string_view("&|<>^(),;=!'`~[]{}")) {
    arguments.push_back(std::string("a") + special + "b");
    written += std::string(" \"a") + special + "b\"";
  }
  EXPECT_EQ(BatchLine("C:\\my games\\run.bat", arguments), written + "\"");
  for (const std::string word : {"%PATH%", "50%", "say \"hi\"", "cr\ronly", "line\nfeed"}) {
    EXPECT_EQ(BatchLine("C:\\run.bat", {"plain", word}), std::nullopt) << word;
  }
  EXPECT_EQ(BatchLine("C:\\run.bat", {std::string("nul\0inside", 10)}), std::nullopt);
  EXPECT_EQ(BatchLine("C:\\100%\\run.bat", {}), std::nullopt);
}

TEST(BatchCommandLine, BatchFilesAreKnownByTheirExtensionAsWindowsReadsIt) {
  const std::pair<const char*, bool> names[] = {
      {"C:\\a\\run.bat", true}, {"run.CMD", true},
      {"run.Bat", true},        {"run.bat. . ", true},
      {".bat", true},           {"C:\\a.bat\\run.exe", false},
      {"run.bat.exe", false},   {"run.batch", false},
      {"bat", false},           {"", false}};
  for (const auto& [name, batch] : names) {
    EXPECT_EQ(IsBatchFileName(*Utf16FromUtf8(name)), batch) << name;
  }
}

// Wine has a cmd.exe of its own, so the whole start runs there. The script records its first
// four arguments, each inside quotes so that it acts on none of them, and names the record only
// once it is whole.
TEST(BatchRestart, ArgumentsReachTheScriptAsWrittenOrNothingStarts) {
#ifndef _WIN32
  GTEST_SKIP() << "only Windows starts .bat and .cmd files through cmd.exe";
#endif
  const test::TempDir dir;
  const std::string refused =
      "The program is a batch file, and its path or an argument holds a character that cannot "
      "be passed to it safely.";
  const std::tuple<std::string, Words, std::string> cases[] = {
      // the script, its arguments, and its record when it starts, else the sentence
      {"batch folder/Record Args.CMD",
       {"two words", "a&echo x>FILE", "", "x|y<z^w!(1),;="},
       "\"two words\" \"a&echo x>FILE\" \"\" \"x|y<z^w!(1),;=\"\r\n"},
      {"record.bat", {"plain", "%PATH%"}, refused},
      {"record.bat", {"\"&echo>FILE"}, refused},
      {"missing.bat", {"plain"}, "Could not start the program (2)."},
  };
  for (const auto& [script, arguments, record_or_error] : cases) {
    SCOPED_TRACE(script);
    if (script != "missing.bat") {
      test::WriteFile(dir / script,
                      "@echo off\r\necho \"%~1\" \"%~2\" \"%~3\" \"%~4\">args.tmp\r\n"
                      "ren args.tmp args.txt\r\n");
    }
    std::string error;
    const bool started = LaunchApplication(dir / script, arguments, dir.path(), error, true);
    const std::string record = test::AwaitFile(dir / "args.txt", seconds(started ? 20 : 1));
    EXPECT_EQ(started ? record : error, record_or_error);
    EXPECT_EQ(!record.empty(), started) << "a refused start ran the script";
    std::error_code ec;
    EXPECT_FALSE(fs::exists(dir / "FILE", ec)) << "an argument ran a command";
    fs::remove(dir / "args.txt", ec);
  }
}

// echo_args reports the id, executable and arguments as the library reads them in the child.
TEST(ProcessIdentity, AChildSeesItsOwnIdExecutableAndArguments) {
  const test::TempDir dir;
  const Words arguments{"two words", "", "--job"};  // LaunchTest passes many more forms
  fs::path program = test::BuiltProgram("echo_args");
  // Windows starts no program from beyond MAX_PATH (and Wine crashes trying), so the grown
  // buffer for a path longer than 1023 characters is seen on POSIX only.
#ifndef _WIN32
  const fs::path deep = dir / std::string(250, 'd') / std::string(250, 'e') /
                        std::string(250, 'f') / std::string(250, 'g') / std::string(100, 'h');
  fs::create_directories(deep);
  fs::copy_file(program, deep / "echo_args");
  program = deep / "echo_args";
#endif
  const test::ChildProcess child(program, arguments, dir.path());
  Echo echo = AwaitEcho(dir.path());
  EXPECT_EQ(echo["pid"], Words{std::to_string(child.pid())});
  EXPECT_EQ(echo["exe"], Words{Utf8Path(program)});
  EXPECT_EQ(echo["args"], arguments);
}

// Each child is first waited for too briefly, then until it ends; once it is reaped, its id,
// 0 (no single process on either platform) and the largest id all count as ended.
TEST(WaitForProcess, ReturnsOnceTheProcessEndsOrGivesUpAfterTheTimeOut) {
  for (const int timeout : {-1, 60000}) {
    SCOPED_TRACE(timeout);
    test::ChildProcess child(test::BuiltProgram("sleep_ms"), {"1500"});
    for (const int too_short : {0, 300}) {
      std::string error;
      const auto start = Clock::now();
      EXPECT_FALSE(WaitForProcess(child.pid(), too_short, error)) << too_short;
      EXPECT_GE(Clock::now() - start, milliseconds(too_short * 9 / 10));  // timer granularity
      EXPECT_EQ(error, "The launcher did not exit in time.");
    }
    // Its parent reaps it as it ends, as the launcher's parent would.
    std::thread reaper([&child] { child.Reap(); });
    std::string error = "untouched";
    EXPECT_TRUE(WaitForProcess(child.pid(), timeout, error));
    reaper.join();
    for (const unsigned long gone : {child.pid(), 0ul, 4294967295ul}) {
      EXPECT_TRUE(WaitForProcess(gone, 60000, error)) << gone;
    }
    EXPECT_EQ(error, "untouched");
  }
}

}  // namespace
}  // namespace kov::update
