#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "update/launch_platform.h"
#include "update/process.h"

namespace kov::update {
namespace {

// Writes a word so that CommandLineToArgvW and the C runtime's split both give it back.
std::wstring QuoteArgument(std::wstring_view word) {
  if (word.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) return std::wstring(word);
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes only escape when a quote follows them.
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted += L'"';
  return quoted;
}

// Invalid bytes become the platform's substitution characters rather than an error.
std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  const int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  wide.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return wide;
}

std::wstring CommandLine(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments) {
  std::wstring line = QuoteArgument(program.native());
  for (const std::string& argument : arguments) {
    const std::wstring word = WideFromUtf8(argument);
    line += L' ';
    line += word.empty() ? std::wstring(L"\"\"") : QuoteArgument(word);
  }
  return line;
}

bool SameVariableName(std::wstring_view name, std::string_view test_name) {
  const std::wstring wide_test_name(test_name.begin(), test_name.end());  // the names are ASCII
  return CompareStringOrdinal(name.data(), static_cast<int>(name.size()), wide_test_name.data(),
                              static_cast<int>(wide_test_name.size()), TRUE) == CSTR_EQUAL;
}

struct EnvironmentStringsRelease {
  void operator()(wchar_t* block) const { FreeEnvironmentStringsW(block); }
};

// The caller's environment block without the update test variables, in its order; nothing
// when the platform gives no copy of it.
std::optional<std::wstring> EnvironmentWithoutTestVariables() {
  const std::unique_ptr<wchar_t, EnvironmentStringsRelease> block(GetEnvironmentStringsW());
  if (!block) return std::nullopt;
  std::wstring kept;
  for (const wchar_t* entry = block.get(); *entry != L'\0';) {
    const std::wstring_view text(entry);
    if (!SetsUpdateTestVariable(text, SameVariableName)) {
      kept.append(text);
      kept += L'\0';
    }
    entry += text.size() + 1;
  }
  kept += L'\0';
  if (kept.size() == 1) kept += L'\0';  // an empty block still needs its two NULs
  return kept;
}

}  // namespace

bool LaunchApplication(const std::filesystem::path& program,
                       const std::vector<std::string>& arguments,
                       const std::filesystem::path& working_dir, std::string& error,
                       bool stripTestEnvironment) {
  std::wstring command_line = CommandLine(program, arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::optional<std::wstring> environment;
  DWORD flags = 0;
  if (stripTestEnvironment) {
    environment = EnvironmentWithoutTestVariables();
    if (!environment) {
      error = "Could not prepare the program environment.";
      return false;
    }
    flags = CREATE_UNICODE_ENVIRONMENT;
  }
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, flags,
                      environment ? environment->data() : nullptr, working_dir.c_str(), &startup,
                      &process)) {
    const DWORD code = GetLastError();
    error = "Could not start the program (" + std::to_string(code) + ").";
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace kov::update
