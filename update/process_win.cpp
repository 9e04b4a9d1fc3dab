#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>

#include "update/platform_win.h"
#include "update/process_platform.h"
#include "update/utf8.h"

namespace kov::update::platform {

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

std::vector<std::string> CurrentProcessArguments() {
  int count = 0;
  const UniqueLocalMemory<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!argv.valid()) return {};
  std::vector<std::string> arguments;
  // An argument without a UTF-8 form becomes an empty text, so later ones keep their place.
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8FromUtf16(argv.get()[i]).value_or(""));
  return arguments;
}

std::filesystem::path CurrentExecutablePath() {
  for (DWORD size = 1024;; size *= 2) {
    std::wstring buffer(size, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
  }
}

WaitOutcome WaitForExit(unsigned long pid, int timeout_ms) {
  const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process.valid()) {
    // The platform answers so for an id that names no process any more, and for 0.
    return GetLastError() == ERROR_INVALID_PARAMETER ? WaitOutcome::kExited
                                                     : WaitOutcome::kCannotOpen;
  }
  switch (WaitForSingleObject(process.get(), static_cast<DWORD>(timeout_ms))) {
    case WAIT_OBJECT_0:
      return WaitOutcome::kExited;
    case WAIT_TIMEOUT:
      return WaitOutcome::kTimedOut;
    default:
      return WaitOutcome::kFailed;
  }
}

}  // namespace kov::update::platform
