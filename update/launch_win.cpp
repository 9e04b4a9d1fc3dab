#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "update/platform_win.h"
#include "update/process_platform.h"

namespace kov::update::platform {
namespace {

bool SameVariableName(std::wstring_view name, std::string_view test_name) {
  const std::wstring wide_test_name(test_name.begin(), test_name.end());  // the names are ASCII
  return CompareStringOrdinal(name.data(), static_cast<int>(name.size()), wide_test_name.data(),
                              static_cast<int>(wide_test_name.size()), TRUE) == CSTR_EQUAL;
}

// The caller's environment block without the update test variables, in its order; nothing
// when the platform gives no copy of it.
std::optional<std::wstring> EnvironmentWithoutTestVariables() {
  const UniqueEnvironmentBlock block(GetEnvironmentStringsW());
  if (!block.valid()) return std::nullopt;
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

StartOutcome StartProgram(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& working_dir, bool strip_test_environment) {
  std::wstring command_line = BuildCommandLine(program.native(), arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::optional<std::wstring> environment;
  DWORD flags = 0;
  if (strip_test_environment) {
    environment = EnvironmentWithoutTestVariables();
    if (!environment) return {.environment_unavailable = true};
    flags = CREATE_UNICODE_ENVIRONMENT;
  }
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, flags,
                      environment ? environment->data() : nullptr, working_dir.c_str(), &startup,
                      &process)) {
    return {.code = GetLastError()};
  }
  const UniqueHandle started(process.hProcess);
  const UniqueHandle thread(process.hThread);  // released first
  return {.started = true};
}

}  // namespace kov::update::platform
