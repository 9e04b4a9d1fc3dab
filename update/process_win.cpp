#include <windows.h>
// shellapi.h needs the types of windows.h.
#include <shellapi.h>

#include <memory>

#include "update/process.h"
#include "update/process_wait_messages.h"

namespace kov::update {
namespace {

struct ArgumentArrayRelease {
  void operator()(LPWSTR* argv) const { LocalFree(argv); }
};

// An argument the platform cannot convert becomes an empty text, so later ones keep their place.
std::string ArgumentToUtf8(const wchar_t* argument) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, argument, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, argument, -1, text.data(), size, nullptr, nullptr) != size) {
    return {};
  }
  text.resize(static_cast<std::size_t>(size) - 1);
  return text;
}

}  // namespace

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

std::vector<std::string> CurrentProcessArguments() {
  int count = 0;
  const std::unique_ptr<LPWSTR, ArgumentArrayRelease> argv(
      CommandLineToArgvW(GetCommandLineW(), &count));
  if (argv == nullptr) return {};
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(ArgumentToUtf8(argv.get()[i]));
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

bool WaitForProcess(unsigned long pid, int timeout_ms, std::string& error) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    if (GetLastError() == ERROR_INVALID_PARAMETER) return true;  // no such process any more
    error = kWaitCannotOpen;
    return false;
  }
  const DWORD result = WaitForSingleObject(process, static_cast<DWORD>(timeout_ms));
  CloseHandle(process);
  switch (result) {
    case WAIT_OBJECT_0:
      return true;
    case WAIT_TIMEOUT:
      error = kWaitTimedOut;
      return false;
    default:
      error = kWaitFailed;
      return false;
  }
}

}  // namespace kov::update
