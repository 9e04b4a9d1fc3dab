#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
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
using ::testing::EndsWith;
using ::testing::Not;

// What echo_args reported, by label ("argv", "split", "line", "cwd", "env", "fd").
using Echo = std::map<std::string, std::vector<std::string>>;

Echo ParseEcho(std::string_view text) {
  Echo echo;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::size_t colon = text.find(':', space);
    const std::size_t size = std::stoul(std::string(text.substr(space + 1, colon - space - 1)));
    echo[std::string(text.substr(0, space))].emplace_back(text.substr(colon + 1, size));
    text.remove_prefix(colon + 1 + size + 1);
  }
  return echo;
}

// The launcher does not hand out the child, so its report is awaited, within a bound.
std::optional<Echo> WaitForEcho(const fs::path& folder, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  do {
    std::error_code ec;
    if (fs::exists(folder / "echo-args.txt", ec)) {
      return ParseEcho(test::ReadFile(folder / "echo-args.txt"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}
constexpr std::chrono::seconds kChildStarts{20};
constexpr std::chrono::seconds kNothingStarts{1};

// The environment in its order, as the platform hands it to a child that inherits it.
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

std::vector<std::string> Without(std::vector<std::string> entries,
                                 const std::vector<std::string>& removed) {
  std::erase_if(entries, [&](const std::string& entry) {
    return std::find(removed.begin(), removed.end(), entry) != removed.end();
  });
  return entries;
}

// Wine's start-up of every new process moves its own entries to the end of the block.
std::vector<std::string> WithoutWineOwnEntries(std::vector<std::string> entries) {
  if (test::RunningUnderWine()) {
    std::erase_if(entries, [](const std::string& entry) {
      return entry.starts_with("WINE") || entry.starts_with("SystemDrive=") ||
             entry.starts_with("SystemRoot=");
    });
  }
  return entries;
}

class LaunchTest : public ::testing::Test {
 protected:
  Echo Run(const std::vector<std::string>& arguments, bool strip) {
    std::string error = "untouched";
    EXPECT_TRUE(LaunchApplication(program_, arguments, dir_.path(), error, strip)) << error;
    EXPECT_EQ(error, "untouched");
    const std::optional<Echo> echo = WaitForEcho(dir_.path(), kChildStarts);
    EXPECT_TRUE(echo.has_value()) << "the child did not report";
    std::error_code ec;
    fs::remove(dir_ / "echo-args.txt", ec);
    return echo.value_or(Echo{});
  }

  test::TempDir dir_;
  fs::path program_ = test::BuiltProgram("echo_args");
};

TEST_F(LaunchTest, ArgumentsReachTheChildUnchangedInItsFolder) {
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
  };
  for (const auto& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    Echo echo = Run(arguments, true);
    EXPECT_EQ(echo["argv"], arguments);
#ifdef _WIN32
    EXPECT_EQ(echo["split"], arguments);
#endif
    ASSERT_EQ(echo["cwd"].size(), 1u);
    std::error_code ec;
    EXPECT_TRUE(fs::equivalent(PathFromUtf8(echo["cwd"][0]), dir_.path(), ec));
  }
}

TEST_F(LaunchTest, BytesThatAreNotUtf8AreNoError) {
  Echo echo = Run({"bad \xFF byte"}, false);
#ifdef _WIN32
  const std::vector<std::string> received = {"bad \xEF\xBF\xBD byte"};  // U+FFFD in its place
#else
  const std::vector<std::string> received = {"bad \xFF byte"};
#endif
  EXPECT_EQ(echo["argv"], received);
}

TEST_F(LaunchTest, RelativeProgramIsFoundFromTheCallersFolder) {
  const fs::path caller_folder = fs::current_path();
  fs::current_path(program_.parent_path());
  std::string error;
  const bool started =
      LaunchApplication(program_.filename(), {"relative"}, dir_.path(), error, true);
  fs::current_path(caller_folder);
  ASSERT_TRUE(started) << error;
  const std::optional<Echo> echo = WaitForEcho(dir_.path(), kChildStarts);
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ(echo->at("argv"), std::vector<std::string>{"relative"});
}

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
  const Utf16String line = BuildCommandLine(*Utf16FromUtf8("my program"), arguments);
  EXPECT_EQ(Utf8FromUtf16(line), written);
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
  const std::vector<std::string> test_entries = {
      "RX9_UPDATE_TEST=1", "rx9_update_test_current_version=2", "Rx9_Update_Test_Release_Json=3",
      "RX9_UPDATE_TEST_ASSET_SHA256=4"};
  for (const std::string& entry : test_entries) ASSERT_THAT(before, Contains(entry));
#ifdef _WIN32
  ASSERT_THAT(before, Contains("=K:=K:\\per-drive folder entry"));
#endif

  EXPECT_THAT(WithoutWineOwnEntries(Run({}, true)["env"]),
              ElementsAreArray(WithoutWineOwnEntries(Without(before, test_entries))));
  EXPECT_THAT(WithoutWineOwnEntries(Run({}, false)["env"]),
              ElementsAreArray(WithoutWineOwnEntries(before)));
  EXPECT_EQ(CurrentEnvironment(), before) << "the caller's own environment must not change";
}

TEST_F(LaunchTest, FailedStartsNameTheCode) {
#ifdef _WIN32
  const std::string missing_folder_code = "267";  // ERROR_DIRECTORY
#else
  const std::string missing_folder_code = "2";               // ENOENT
#endif
  const struct {
    const char* name;
    fs::path program;
    fs::path folder;
    std::string error;
  } cases[] = {
      {"missing program", dir_ / "missing-program", dir_.path(),
       "Could not start the program (2)."},
      {"missing folder", program_, dir_ / "missing",
       "Could not start the program (" + missing_folder_code + ")."},
  };
  for (const auto& c : cases) {
    for (const bool strip : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (strip ? ", stripped" : ", inherited"));
      std::string error;
      EXPECT_FALSE(LaunchApplication(c.program, {"x"}, c.folder, error, strip));
      EXPECT_EQ(error, c.error);
    }
  }
  EXPECT_FALSE(WaitForEcho(dir_.path(), kNothingStarts).has_value());
}

TEST_F(LaunchTest, UpdateHelperStartsInTheJobFolderWithItsEnvironment) {
  const fs::path job = dir_ / "job folder" / "update job.txt";
  test::WriteFile(job, "format=1\n");
  const ScopedVariable test_variable("RX9_UPDATE_TEST", "kept for the helper");

  const struct {
    const char* name;
    fs::path helper;
    fs::path job;
  } missing[] = {
      {"missing job", program_, dir_ / "job folder" / "other.txt"},
      {"missing helper", dir_ / "missing-helper", job},
      {"folder as job", program_, dir_ / "job folder"},
  };
  for (const auto& c : missing) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_FALSE(LaunchUpdateHelper(c.helper, c.job, error));
    EXPECT_EQ(error, "The update helper is missing from this installation.");
  }
  EXPECT_FALSE(WaitForEcho(dir_ / "job folder", kNothingStarts).has_value());

  // A relative job path must still name the job once the helper runs in the job's folder.
  std::error_code ec;
  const fs::path caller_folder = fs::current_path();
  fs::current_path(dir_.path());
  std::string error;
  const bool started = LaunchUpdateHelper(program_, fs::relative(job, dir_.path()), error);
  fs::current_path(caller_folder);
  ASSERT_TRUE(started) << error;
  std::optional<Echo> echo = WaitForEcho(dir_ / "job folder", kChildStarts);
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ((*echo)["argv"], (std::vector<std::string>{"--job", Utf8Path(fs::absolute(job))}));
  ASSERT_EQ((*echo)["cwd"].size(), 1u);
  EXPECT_TRUE(fs::equivalent(PathFromUtf8((*echo)["cwd"][0]), dir_ / "job folder", ec));
  EXPECT_THAT((*echo)["env"], Contains("RX9_UPDATE_TEST=kept for the helper"));

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

}  // namespace
}  // namespace kov::update
