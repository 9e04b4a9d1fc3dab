#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
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

extern char** environ;
#endif

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::Not;

// What echo_args reported, by label ("argv", "split", "cwd", "env", "fd"); empty when it did
// not report within the bound.
using Echo = std::map<std::string, std::vector<std::string>>;

Echo AwaitEcho(const fs::path& folder, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  const std::string report = test::AwaitFile(folder / "echo-args.txt", bound);
  std::string_view text = report;
  Echo echo;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::size_t colon = text.find(':', space);
    const std::size_t size = std::stoul(std::string(text.substr(space + 1, colon - space - 1)));
    echo[std::string(text.substr(0, space))].emplace_back(text.substr(colon + 1, size));
    text.remove_prefix(colon + 1 + size + 1);
  }
  std::error_code ec;
  fs::remove(folder / "echo-args.txt", ec);
  return echo;
}

bool IsFolder(const std::vector<std::string>& reported_cwd, const fs::path& folder) {
  std::error_code ec;
  return reported_cwd.size() == 1 && fs::equivalent(PathFromUtf8(reported_cwd[0]), folder, ec);
}

// The environment in its order, as the platform hands it to a child that inherits it. Wine's
// start-up of every new process moves its own entries to the end, so they are left out there.
std::vector<std::string> Comparable(std::vector<std::string> entries) {
  std::erase_if(entries, [](const std::string& entry) {
    return test::RunningUnderWine() &&
           (entry.starts_with("WINE") || entry.starts_with("SystemDrive=") ||
            entry.starts_with("SystemRoot="));
  });
  return entries;
}

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> entries;
#ifdef _WIN32
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    entries.push_back(Utf8Path(fs::path(entry)));
  }
  FreeEnvironmentStringsW(block);
#else
  for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
#endif
  return entries;
}

class ScopedVariable {
 public:
  ScopedVariable(const std::string& name, const std::string& value) : name_(name) {
#ifdef _WIN32
    SetEnvironmentVariableW(PathFromUtf8(name).c_str(), PathFromUtf8(value).c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
  }
  ~ScopedVariable() {
#ifdef _WIN32
    SetEnvironmentVariableW(PathFromUtf8(name_).c_str(), nullptr);
#else
    unsetenv(name_.c_str());
#endif
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::string name_;
};

class LaunchTest : public ::testing::Test {
 protected:
  Echo Run(const std::vector<std::string>& arguments, bool strip) {
    std::string error = "untouched";
    EXPECT_TRUE(LaunchApplication(program_, arguments, dir_.path(), error, strip)) << error;
    EXPECT_EQ(error, "untouched");
    Echo echo = AwaitEcho(dir_.path());
    EXPECT_FALSE(echo.empty()) << "the child did not report";
    return echo;
  }

  // Runs start() from the given folder, so that relative paths are taken from there.
  static bool FromFolder(const fs::path& folder, const std::function<bool()>& start) {
    const fs::path caller_folder = fs::current_path();
    fs::current_path(folder);
    const bool started = start();
    fs::current_path(caller_folder);
    return started;
  }

  test::TempDir dir_;
  fs::path program_ = test::BuiltProgram("echo_args");
};

TEST_F(LaunchTest, ArgumentsReachTheChildUnchangedInItsFolder) {
#ifdef _WIN32
  const std::string not_utf8 = "bad \xEF\xBF\xBD byte";  // U+FFFD in place of the stray byte
#else
  const std::string not_utf8 = "bad \xFF byte";
#endif
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"plain", "two words", "tab\there", "line\nfeed", "vertical\vtab", "  "},
      {"a\"b", "a\\\"b", "\"", "\"\"", "\\\"", "say \"hi\" \\\\\"there\\\""},
      {"C:\\dir\\", "dir name\\", "a\\\\b c", "two at end\\\\", "\\", "\\\\server\\share\\"},
      {"", "between empty texts", ""},
      {"cr\ronly", "\r"},
      {"\xC3\x9C"
       "bung",
       "\xE6\x97\xA5\xE6\x9C\xAC \xE8\xAA\x9E", "pad \xF0\x9F\x8E\xAE"},
      {"bad \xFF byte"},
  };
  for (const auto& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const bool strip = arguments.size() != 1;  // both ways of handing over the environment
    Echo echo = Run(arguments, strip);
    const auto received = strip ? arguments : std::vector<std::string>{not_utf8};
    EXPECT_EQ(echo["argv"], received);
#ifdef _WIN32
    EXPECT_EQ(echo["split"], received);
#endif
    EXPECT_TRUE(IsFolder(echo["cwd"], dir_.path()));
  }
}

TEST_F(LaunchTest, RelativeProgramIsFoundFromTheCallersFolder) {
  std::string error;
  ASSERT_TRUE(FromFolder(program_.parent_path(), [&] {
    return LaunchApplication(program_.filename(), {"relative"}, dir_.path(), error, true);
  })) << error;
  EXPECT_EQ(AwaitEcho(dir_.path())["argv"], std::vector<std::string>{"relative"});
}

TEST_F(LaunchTest, StrippingRemovesExactlyTheTestVariables) {
  const std::vector<std::pair<std::string, std::string>> variables = {
      {"RX9_UPDATE_TEST", "1"},
      {"rx9_update_test_current_version", "2"},
      {"Rx9_Update_Test_Release_Json", "3"},
      {"RX9_UPDATE_TEST_ASSET_SHA256", "4"},
      {"RX9_UPDATE_TEST_ASSET_SHA2567", "longer name"},
      {"RX9_UPDATE_TES", "shorter name"},
      {"KOV_LAUNCH_VALUE", "RX9_UPDATE_TEST=only in the value"},
#ifdef _WIN32
      {"=K:", "K:\\per-drive folder entry"},
#endif
  };
  std::vector<std::unique_ptr<ScopedVariable>> set;
  for (const auto& [name, value] : variables) {
    set.push_back(std::make_unique<ScopedVariable>(name, value));
  }
  const std::vector<std::string> before = CurrentEnvironment();
  std::vector<std::string> stripped = before;
  std::erase_if(stripped, [&](const std::string& entry) {
    for (std::size_t i = 0; i < 4; ++i) {
      if (entry == variables[i].first + "=" + variables[i].second) return true;
    }
    return false;
  });
  ASSERT_EQ(stripped.size() + 4, before.size());
#ifdef _WIN32
  ASSERT_THAT(before, Contains("=K:=K:\\per-drive folder entry"));
#endif

  EXPECT_THAT(Comparable(Run({}, true)["env"]), ElementsAreArray(Comparable(stripped)));
  EXPECT_THAT(Comparable(Run({}, false)["env"]), ElementsAreArray(Comparable(before)));
  EXPECT_EQ(CurrentEnvironment(), before) << "the caller's own environment must not change";
}

TEST_F(LaunchTest, FailedStartsNameTheCode) {
#ifdef _WIN32
  const std::string missing_folder_code = "267";  // ERROR_DIRECTORY
#else
  const std::string missing_folder_code = "2";               // ENOENT
#endif
  const struct {
    fs::path program;
    fs::path folder;
    std::string error;
  } cases[] = {
      {dir_ / "missing-program", dir_.path(), "Could not start the program (2)."},
      {program_, dir_ / "missing", "Could not start the program (" + missing_folder_code + ")."},
  };
  for (const auto& c : cases) {
    for (const bool strip : {false, true}) {
      SCOPED_TRACE(c.error + (strip ? " stripped" : " inherited"));
      std::string error;
      EXPECT_FALSE(LaunchApplication(c.program, {"x"}, c.folder, error, strip));
      EXPECT_EQ(error, c.error);
    }
  }
  EXPECT_TRUE(AwaitEcho(dir_.path(), std::chrono::seconds(1)).empty());
}

TEST_F(LaunchTest, UpdateHelperStartsInTheJobFolderWithItsEnvironment) {
  const fs::path folder = dir_ / "job folder";
  const fs::path job = folder / "update job.txt";
  test::WriteFile(job, "format=1\n");
  const ScopedVariable test_variable("RX9_UPDATE_TEST", "kept for the helper");
  const std::pair<fs::path, fs::path> missing[] = {
      {program_, folder / "other.txt"}, {dir_ / "missing-helper", job}, {program_, folder}};
  for (const auto& [helper, job_file] : missing) {
    std::string error;
    EXPECT_FALSE(LaunchUpdateHelper(helper, job_file, error)) << helper << " " << job_file;
    EXPECT_EQ(error, "The update helper is missing from this installation.");
  }
  EXPECT_TRUE(AwaitEcho(folder, std::chrono::seconds(1)).empty());

  // A relative job path must still name the job once the helper runs in the job's folder.
  std::string error;
  ASSERT_TRUE(FromFolder(dir_.path(), [&] {
    return LaunchUpdateHelper(program_, fs::relative(job, dir_.path()), error);
  })) << error;
  Echo echo = AwaitEcho(folder);
  EXPECT_EQ(echo["argv"], (std::vector<std::string>{"--job", Utf8Path(fs::absolute(job))}));
  EXPECT_TRUE(IsFolder(echo["cwd"], folder));
  EXPECT_THAT(echo["env"], Contains("RX9_UPDATE_TEST=kept for the helper"));

#ifndef _WIN32
  // A job path without a UTF-8 form cannot be written on the helper's command line.
  const fs::path unnamed_job = dir_ / "job\xFF.txt";
  test::WriteFile(unnamed_job, "format=1\n");
  EXPECT_FALSE(LaunchUpdateHelper(program_, unnamed_job, error));
  EXPECT_EQ(error, "The update job file's path has no UTF-8 form.");
#endif
}

TEST_F(LaunchTest, LeavesNoChildAndNoDescriptorBehind) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows closes the handles and inherits none by its own flags";
#else
  const int inheritable = open(program_.c_str(), O_RDONLY);  // no O_CLOEXEC
  ASSERT_GE(inheritable, 0);
  Echo echo = Run({}, false);
  close(inheritable);
  EXPECT_THAT(echo["fd"], Not(Contains(std::to_string(inheritable))));

  // A program that goes on running is neither waited for nor left as our child.
  const auto start = std::chrono::steady_clock::now();
  std::string error;
  ASSERT_TRUE(LaunchApplication("/bin/sleep", {"3"}, dir_.path(), error, false)) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a started program is still our child";
  EXPECT_EQ(errno, ECHILD);
#endif
}

// The words as the platform's standard splitting reads them back are checked above through a
// real child; this pins the text itself, on every platform.
TEST(CommandLine, QuotesOnlyWhatNeedsItAndWritesEmptyArgumentsAsTwoQuotes) {
  const std::vector<std::pair<std::string, std::string>> words = {
      {"abc", "abc"},
      {"C:\\dir\\", "C:\\dir\\"},
      {"a b", "\"a b\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},
      {"a\\\\b c", "\"a\\\\b c\""},
      {"dir name\\", "\"dir name\\\\\""},
      {"", "\"\""},
      {"cr\ronly", "cr\ronly"},
      {"v\vt", "\"v\vt\""},
      {"bad \xFF byte", "\"bad \xEF\xBF\xBD byte\""},
  };
  std::vector<std::string> arguments;
  std::string written = "\"my program\"";
  for (const auto& [word, quoted] : words) {
    arguments.push_back(word);
    written += " " + quoted;
  }
  EXPECT_EQ(Utf8FromUtf16(BuildCommandLine(*Utf16FromUtf8("my program"), arguments)), written);
}

}  // namespace
}  // namespace kov::update
