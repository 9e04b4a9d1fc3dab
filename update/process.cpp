#include "update/process.h"

#include <system_error>

#include "update/path_rules.h"
#include "update/process_platform.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

constexpr std::string_view kWaitCannotOpen = "The launcher process could not be opened.";
constexpr std::string_view kWaitTimedOut = "The launcher did not exit in time.";
constexpr std::string_view kWaitFailed = "Waiting for the launcher failed.";

}  // namespace

Utf16String QuoteArgument(Utf16View word) {
  constexpr Utf16Char kNeedsQuotes[] = {' ', '\t', '\n', '\v', '"', 0};
  if (word.find_first_of(kNeedsQuotes) == Utf16View::npos) return Utf16String(word);
  Utf16String quoted(1, '"');
  std::size_t backslashes = 0;
  for (const Utf16Char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes only escape when a quote follows them.
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, '\\');
  quoted += '"';
  return quoted;
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
  error = outcome.environment_unavailable
              ? "Could not prepare the program environment."
              : "Could not start the program (" + std::to_string(outcome.code) + ").";
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

bool ApplyAppImageUpdate(const std::filesystem::path&, const std::filesystem::path&,
                         const std::vector<std::string>&, std::string& error) {
  error = "Automatic updates are only available in the Linux AppImage build.";
  return false;
}

bool HasOriginalAppImage(std::filesystem::path&) { return false; }

}  // namespace kov::update
