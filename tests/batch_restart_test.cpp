#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "update/process.h"
#include "update/process_platform.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRefused =
    "The program is a batch file, and its path or an argument holds a character that cannot be "
    "passed to it safely.";

std::optional<std::string> BatchLine(const std::string& script,
                                     const std::vector<std::string>& arguments) {
  const std::optional<Utf16String> line = BuildBatchCommandLine(
      *Utf16FromUtf8("C:\\Windows\\system32\\cmd.exe"), *Utf16FromUtf8(script), arguments);
  if (!line) return std::nullopt;
  return Utf8FromUtf16(*line);
}

TEST(BatchCommandLine, QuotesEveryWordCmdWouldActOnAndRefusesWhatQuotesCannotCarry) {
  std::vector<std::pair<std::string, std::string>> words = {
      {"plain", "plain"},
      {"C:/x.y-1_2@#$*+?:\\z", "C:/x.y-1_2@#$*+?:\\z"},
      {"two words", "\"two words\""},
      {"tab\there", "\"tab\there\""},
      {"a&echo x>FILE", "\"a&echo x>FILE\""},
      {"", "\"\""},
      {"C:\\dir\\", "\"C:\\dir\\\\\""},  // doubled: a script forwarding "%~1" hands over C:\dir\ .
      {"\xC3\x9C"
       "bung",
       "\"\xC3\x9C"
       "bung\""},
  };
  for (const char special : std::string_view("&|<>^(),;=!'`~[]{}")) {
    words.push_back({std::string("a") + special + "b", std::string("\"a") + special + "b\""});
  }
  std::vector<std::string> arguments;
  std::string written =
      "C:\\Windows\\system32\\cmd.exe /d /e:ON /v:OFF /c \"\"C:\\my games\\run.bat\"";
  for (const auto& [word, quoted] : words) {
    arguments.push_back(word);
    written += " " + quoted;
  }
  EXPECT_EQ(BatchLine("C:\\my games\\run.bat", arguments), written + "\"");

  const std::string refused[] = {"%PATH%",   "50%",        "say \"hi\"",
                                 "cr\ronly", "line\nfeed", std::string("nul\0inside", 10)};
  for (const std::string& word : refused) {
    SCOPED_TRACE(::testing::PrintToString(word));
    EXPECT_EQ(BatchLine("C:\\run.bat", {"plain", word}), std::nullopt);
  }
  EXPECT_EQ(BatchLine("C:\\100%\\run.bat", {}), std::nullopt);
}

TEST(BatchCommandLine, BatchFilesAreKnownByTheirExtensionAsWindowsReadsIt) {
  const std::pair<const char*, bool> names[] = {
      {"C:\\a\\run.bat", true},
      {"run.CMD", true},
      {"run.Bat", true},
      {"run.bat. . ", true},
      {"C:\\a.bat\\run.exe", false},
      {"run.bat.exe", false},
      {"run.batch", false},
      {"bat", false},
      {"", false},
  };
  for (const auto& [name, batch] : names) {
    EXPECT_EQ(IsBatchFileName(*Utf16FromUtf8(name)), batch) << name;
  }
}

// Records its first four arguments, each inside quotes so that the script itself acts on none
// of them, and gives the record its name only once it is whole.
constexpr std::string_view kRecordingScript =
    "@echo off\r\n"
    "echo \"%~1\">>args.tmp\r\n"
    "echo \"%~2\">>args.tmp\r\n"
    "echo \"%~3\">>args.tmp\r\n"
    "echo \"%~4\">>args.tmp\r\n"
    "ren args.tmp args.txt\r\n";

// Wine has a cmd.exe of its own, so the whole start runs there.
TEST(BatchRestart, ArgumentsReachTheScriptAsWrittenOrNothingStarts) {
#ifndef _WIN32
  GTEST_SKIP() << "only Windows starts .bat and .cmd files through cmd.exe";
#endif
  const test::TempDir dir;
  const struct {
    const char* script;
    std::vector<std::string> arguments;
    std::string record_or_error;  // the script's record when it starts, else the sentence
  } cases[] = {
      {"batch folder/record args.bat",
       {"two words", "a&echo x>FILE", "a&echo>FILE", "x|y<z^w!(1),;="},
       "\"two words\"\r\n\"a&echo x>FILE\"\r\n\"a&echo>FILE\"\r\n\"x|y<z^w!(1),;=\"\r\n"},
      {"batch folder/RECORD.CMD",
       {"", "a | b", "tab\there", "x"},
       "\"\"\r\n\"a | b\"\r\n\"tab\there\"\r\n\"x\"\r\n"},
      {"record.bat", {"plain", "%PATH%"}, std::string(kRefused)},
      {"record.bat", {"\"&echo>FILE"}, std::string(kRefused)},
      {"100%/record.bat", {"plain"}, std::string(kRefused)},
      {"missing.bat", {"plain"}, "Could not start the program (2)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    if (!std::string_view(c.script).starts_with("missing")) {
      test::WriteFile(dir / c.script, kRecordingScript);
    }
    std::string error;
    const bool started = LaunchApplication(dir / c.script, c.arguments, dir.path(), error, true);
    const auto bound = started ? std::chrono::seconds(20) : std::chrono::seconds(1);
    const std::string record = test::AwaitFile(dir / "args.txt", bound);
    EXPECT_EQ(started ? record : error, c.record_or_error);
    EXPECT_EQ(!record.empty(), started) << "a refused start ran the script";
    std::error_code ec;
    EXPECT_FALSE(fs::exists(dir / "FILE", ec)) << "an argument ran a command";
    fs::remove(dir / "args.txt", ec);
  }
}

}  // namespace
}  // namespace kov::update
