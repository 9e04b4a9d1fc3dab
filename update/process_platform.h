#pragma once

// The operating-system half of the process family. The portable code in process.cpp turns
// these answers into the library's results and sentences.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/utf8.h"

namespace kov::update::platform {

unsigned long CurrentProcessId();
// The arguments after the program name, in UTF-8.
std::vector<std::string> CurrentProcessArguments();
std::filesystem::path CurrentExecutablePath();

enum class WaitOutcome { kExited, kTimedOut, kCannotOpen, kFailed };
// A process that is gone, or whose id names no single process, has exited.
WaitOutcome WaitForExit(unsigned long pid, int timeout_ms);

struct StartOutcome {
  bool started = false;
  bool environment_unavailable = false;  // nothing was tried
  bool batch_unsafe = false;             // nothing was tried
  unsigned long code = 0;                // the platform's reason when the start was refused
};
// Starts a program that runs on its own, never waited for.
StartOutcome StartProgram(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& working_dir, bool strip_test_environment);

}  // namespace kov::update::platform

namespace kov::update {

// They steer the launcher's own update tests; a program started after an update must not
// inherit them, or it would test instead of running.
inline constexpr std::string_view kUpdateTestVariables[] = {
    "RX9_UPDATE_TEST", "RX9_UPDATE_TEST_CURRENT_VERSION", "RX9_UPDATE_TEST_RELEASE_JSON",
    "RX9_UPDATE_TEST_ASSET_SHA256"};

// True when an environment entry "name=value" sets one of the test variables, as judged by
// same_name(entry's name, test variable's name). Entries without "=" name nothing; entries
// beginning with "=" (per-drive folders on Windows) have an empty name, which never matches.
template <class Char, class SameName>
bool SetsUpdateTestVariable(std::basic_string_view<Char> entry, SameName same_name) {
  const auto equals = entry.find(Char('='));
  if (equals == entry.npos) return false;
  const auto name = entry.substr(0, equals);
  for (std::string_view test_name : kUpdateTestVariables) {
    if (same_name(name, test_name)) return true;
  }
  return false;
}

// One word of a Windows command line, written so that CommandLineToArgvW and the C runtime's
// split both give it back unchanged.
Utf16String QuoteArgument(Utf16View word);
// The program's text and each UTF-8 argument as such words, separated by single spaces.
Utf16String BuildCommandLine(Utf16View program, const std::vector<std::string>& arguments);

// True when Windows would run the program through cmd.exe: a .bat or .cmd name in any letter
// case, also behind the trailing dots and spaces that Windows drops from a name.
bool IsBatchFileName(Utf16View program);
// The command line that makes the interpreter (cmd.exe) run the batch file with each argument
// reaching it as written; nothing when the script's path or an argument holds a character that
// cmd.exe would act on even inside quotes.
std::optional<Utf16String> BuildBatchCommandLine(Utf16View interpreter, Utf16View script,
                                                 const std::vector<std::string>& arguments);

}  // namespace kov::update
