#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "updater/driver.h"

namespace kov::update {
namespace {

struct LocalFreeDeleter {
  void operator()(LPWSTR* words) const { LocalFree(words); }
};

// The words by the platform's standard splitting; the array is released before the run starts.
std::optional<std::vector<std::wstring>> SplitCommandLine() {
  int count = 0;
  const std::unique_ptr<LPWSTR[], LocalFreeDeleter> split(
      CommandLineToArgvW(GetCommandLineW(), &count));
  if (!split) return std::nullopt;
  return std::vector<std::wstring>(split.get(), split.get() + count);
}

}  // namespace
}  // namespace kov::update

// Windowless: the log file and the exit code are all this program tells.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const auto words = kov::update::SplitCommandLine();
  if (!words) return kov::update::kExitNoUsableJob;
  return kov::update::RunUpdateHelper(*words);
}
