#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

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

std::optional<std::wstring> SystemFolderFile(std::wstring_view name) {
  std::wstring folder(MAX_PATH, L'\0');
  UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
  if (length >= folder.size()) {  // too small: the answer is the size needed
    folder.resize(length);
    length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
  }
  if (length == 0 || length >= folder.size()) return std::nullopt;
  folder.resize(length);
  return folder + L'\\' + std::wstring(name);
}

std::optional<std::wstring> FullPath(const std::filesystem::path& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::nullopt;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return std::nullopt;
  full.resize(length);
  return full;
}

struct Command {
  std::wstring application;
  std::wstring line;
};

// Windows would run a batch file through cmd.exe with a command line quoted for programs, which
// cmd.exe splits and interprets by its own rules. So cmd.exe is started here, from the system
// folder (the environment could name another one), with the script's full path, so that neither
// cmd.exe's folder nor its search path can pick another script. A script that is missing fails
// here, as the program itself would, instead of inside cmd.exe.
std::variant<Command, StartOutcome> BatchCommand(const std::filesystem::path& program,
                                                 const std::vector<std::string>& arguments) {
  const std::optional<std::wstring> interpreter = SystemFolderFile(L"cmd.exe");
  const std::optional<std::wstring> script = FullPath(program);
  if (!interpreter || !script || GetFileAttributesW(script->c_str()) == INVALID_FILE_ATTRIBUTES) {
    return StartOutcome{.code = static_cast<unsigned long>(LastError().value())};
  }
  std::optional<std::wstring> line = BuildBatchCommandLine(*interpreter, *script, arguments);
  if (!line) return StartOutcome{.batch_unsafe = true};
  return Command{*interpreter, std::move(*line)};
}

}  // namespace

StartOutcome StartProgram(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& working_dir, bool strip_test_environment) {
  Command command{program.native(), BuildCommandLine(program.native(), arguments)};
  if (IsBatchFileName(program.native())) {
    std::variant<Command, StartOutcome> batch = BatchCommand(program, arguments);
    if (const auto* refused = std::get_if<StartOutcome>(&batch)) return *refused;
    command = std::get<Command>(std::move(batch));
  }
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
  if (!CreateProcessW(command.application.c_str(), command.line.data(), nullptr, nullptr, FALSE,
                      flags, environment ? environment->data() : nullptr, working_dir.c_str(),
                      &startup, &process)) {
    return {.code = GetLastError()};
  }
  const UniqueHandle started(process.hProcess);
  const UniqueHandle thread(process.hThread);  // released first
  return {.started = true};
}

}  // namespace kov::update::platform
