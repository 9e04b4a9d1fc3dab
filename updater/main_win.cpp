#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>

#include <optional>
#include <string>
#include <vector>

#include "update/platform_win.h"
#include "updater/driver.h"

namespace kov::update {
namespace {

// The words by the platform's standard splitting; the array is released before the run starts.
std::optional<std::vector<std::wstring>> SplitCommandLine() {
  int count = 0;
  const platform::UniqueLocalMemory<LPWSTR*> split(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!split.valid()) return std::nullopt;
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
