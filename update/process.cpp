#include "update/process.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <system_error>

#include "update/path_rules.h"
#include "update/process_platform.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

constexpr std::string_view kWaitCannotOpen = "The launcher process could not be opened.";
constexpr std::string_view kWaitTimedOut = "The launcher did not exit in time.";
constexpr std::string_view kWaitFailed = "Waiting for the launcher failed.";
constexpr std::string_view kBatchUnsafe =
    "The program is a batch file, and its path or an argument holds a character that cannot be "
    "passed to it safely.";

Utf16String Ascii(std::string_view text) { return Utf16String(text.begin(), text.end()); }

// Backslashes only escape when a quote follows them, so only those before a quote are doubled.
Utf16String Quoted(Utf16View word) {
  Utf16String quoted(1, '"');
  std::size_t backslashes = 0;
  for (const Utf16Char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, '\\');
  quoted += '"';
  return quoted;
}

// cmd.exe expands %names% and ends its command at a line break even inside quotes, a quote
// would end the quoting that keeps & | < > ^ ( ) inert, and NUL ends the text: nothing carries
// these through. "!" is passed: /v:OFF turns off the delayed expansion that would act on it.
bool CmdKeepsAsWritten(Utf16View text) {
  constexpr Utf16Char kActedOn[] = {'"', '%', '\r', '\n', '\0'};
  return text.find_first_of(Utf16View(kActedOn, std::size(kActedOn))) == Utf16View::npos;
}

// Letters, digits and these marks mean nothing to cmd.exe; every other character (its word
// separators , ; = among them) makes the word quoted. A trailing backslash does too, written
// doubled, so that a script forwarding %* or "%~1" to a program hands over the word itself.
bool IsBareBatchWord(Utf16View word) {
  constexpr Utf16Char kInertMarks[] = {'#', '$', '*', '+', '-', '.', '/', ':', '?', '@', '\\', '_'};
  const auto inert = [&](Utf16Char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::ranges::find(kInertMarks, c) != std::end(kInertMarks);
  };
  return !word.empty() && word.back() != '\\' && std::ranges::all_of(word, inert);
}

bool EqualsAsciiIgnoringCase(Utf16View text, std::string_view lower) {
  return std::ranges::equal(text, lower, [](Utf16Char c, char l) {
    return (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) == static_cast<unsigned char>(l);
  });
}

}  // namespace

Utf16String QuoteArgument(Utf16View word) {
  constexpr Utf16Char kNeedsQuotes[] = {' ', '\t', '\n', '\v', '"', 0};
  if (word.find_first_of(kNeedsQuotes) == Utf16View::npos) return Utf16String(word);
  return Quoted(word);
}

Utf16String BuildCommandLine(Utf16View program, const std::vector<std::string>& arguments) {
  Utf16String line = QuoteArgument(program);
  for (const std::string& argument : arguments) {
    // Bytes that are not UTF-8 are no error: substitution characters take their place.
    const Utf16String word = Utf16FromUtf8Lossy(argument);
    line += ' ';
    line += word.empty() ? Utf16String(2, '"') : QuoteArgument(word);
  }
  return line;
}

bool IsBatchFileName(Utf16View program) {
  constexpr Utf16Char kDroppedAtEnd[] = {'.', ' ', 0};
  const Utf16View name = program.substr(0, program.find_last_not_of(kDroppedAtEnd) + 1);
  if (name.size() < 4) return false;
  const Utf16View extension = name.substr(name.size() - 4);
  return EqualsAsciiIgnoringCase(extension, ".bat") || EqualsAsciiIgnoringCase(extension, ".cmd");
}

std::optional<Utf16String> BuildBatchCommandLine(Utf16View interpreter, Utf16View script,
                                                 const std::vector<std::string>& arguments) {
  if (!CmdKeepsAsWritten(script)) return std::nullopt;
  // /d skips the AutoRun commands from the registry, /e:ON keeps %~1 working, /v:OFF keeps "!"
  // literal whatever the registry says. /c drops the first and the last quote of the rest, so
  // one extra pair around the whole command keeps the script's and the words' own quotes.
  Utf16String line = QuoteArgument(interpreter) + Ascii(" /d /e:ON /v:OFF /c \"") + Quoted(script);
  for (const std::string& argument : arguments) {
    const Utf16String word = Utf16FromUtf8Lossy(argument);
    if (!CmdKeepsAsWritten(word)) return std::nullopt;
    line += ' ';
    line += IsBareBatchWord(word) ? word : Quoted(word);
  }
  line += '"';
  return line;
}

unsigned long CurrentProcessId() { return platform::CurrentProcessId(); }

std::vector<std::string> CurrentProcessArguments() { return platform::CurrentProcessArguments(); }

std::filesystem::path CurrentExecutablePath() { return platform::CurrentExecutablePath(); }

bool WaitForProcess(unsigned long pid, int timeout_ms, std::string& error) {
  switch (platform::WaitForExit(pid, timeout_ms)) {
    case platform::WaitOutcome::kExited:
      return true;
    case platform::WaitOutcome::kTimedOut:
      error = kWaitTimedOut;
      return false;
    case platform::WaitOutcome::kCannotOpen:
      error = kWaitCannotOpen;
      return false;
    case platform::WaitOutcome::kFailed:
      break;
  }
  error = kWaitFailed;
  return false;
}

bool LaunchApplication(const std::filesystem::path& program,
                       const std::vector<std::string>& arguments,
                       const std::filesystem::path& working_dir, std::string& error,
                       bool stripTestEnvironment) {
  const platform::StartOutcome outcome =
      platform::StartProgram(program, arguments, working_dir, stripTestEnvironment);
  if (outcome.started) return true;
  if (outcome.batch_unsafe) {
    error = kBatchUnsafe;
  } else if (outcome.environment_unavailable) {
    error = "Could not prepare the program environment.";
  } else {
    error = "Could not start the program (" + std::to_string(outcome.code) + ").";
  }
  return false;
}

bool LaunchUpdateHelper(const std::filesystem::path& helper, const std::filesystem::path& job_file,
                        std::string& error) {
  if (!IsRegularFile(helper) || !IsRegularFile(job_file)) {
    error = "The update helper is missing from this installation.";
    return false;
  }
  // The helper runs in the job's folder, so a relative job path would point below that folder
  // a second time; hand it over whole.
  std::error_code ec;
  std::filesystem::path job = std::filesystem::absolute(job_file, ec);
  if (ec) job = job_file;
  const auto job_text = TryUtf8Path(job);
  if (!job_text) {
    error = "The update job file's path has no UTF-8 form.";
    return false;
  }
  return LaunchApplication(helper, {"--job", *job_text}, job.parent_path(), error, false);
}

}  // namespace kov::update
