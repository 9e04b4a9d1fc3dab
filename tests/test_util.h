#pragma once

// Shared by the tests: private scratch folders, whole-file reads and writes, and the
// paths of the helper programs built beside the test binaries.

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#endif

#include "update/process.h"

namespace kov::test {

// A fresh folder of its own for one test, removed with everything in it afterwards.
// ctest runs tests as parallel processes, so the name carries the pid and a random part.
class TempDir {
 public:
  TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("kov-test-" + std::to_string(update::CurrentProcessId()) + "-" +
                      std::to_string(counter++) + "-" + std::to_string(random() % 1000000));
      std::error_code ec;
      if (std::filesystem::create_directory(path_, ec)) break;
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

 private:
  std::filesystem::path path_;
};

// Writes bytes exactly (binary), creating missing parent folders.
inline void WriteFile(const std::filesystem::path& file, std::string_view bytes) {
  std::error_code ec;
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The whole file's bytes, or an empty text when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A program from tests/helpers/ or the updater, built into the same folder as the test.
inline std::filesystem::path BuiltProgram(std::string_view name) {
  std::filesystem::path program = update::CurrentExecutablePath().parent_path() / std::string(name);
#ifdef _WIN32
  program += ".exe";
#endif
  return program;
}

// Wine reports links without reparse tags, among other gaps; tests of such details skip there.
inline bool RunningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace kov::test
