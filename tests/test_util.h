#pragma once

// Shared by the tests: private scratch folders, whole-file reads and writes, waiting for what
// started programs write, and the paths of the helper programs built beside the test binaries.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
extern char** environ;
#endif

#include "update/process.h"
#include "update/process_platform.h"

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
  std::filesystem::path operator/(const std::filesystem::path& child) const {
    return path_ / child;
  }

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
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return "";
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Started programs run on their own: the file's bytes once it ends in a line end, or an empty
// text when that does not happen within the bound.
inline std::string AwaitFile(const std::filesystem::path& file,
                             std::chrono::milliseconds bound = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    std::string text = ReadFile(file);
    if (!text.empty() && text.back() == '\n') return text;
    if (std::chrono::steady_clock::now() >= deadline) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Each line without its LF; a last line without one is marked, so that it cannot pass.
inline std::vector<std::string> LinesOf(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      lines.push_back(std::string(text) + "<no line end>");
      break;
    }
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
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

// A program started by a test as a real child process, for tests that need its pid. A child
// still running when this object dies is killed and released.
class ChildProcess {
 public:
  // args are UTF-8, without the program name; an empty working_dir keeps the test's own.
  // pid() is 0 when the start failed.
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& working_dir = {}) {
#ifdef _WIN32
    std::wstring command = update::BuildCommandLine(program.native(), args);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        working_dir.empty() ? nullptr : working_dir.c_str(), &startup, &info)) {
      return;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
#else
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!working_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
      pid_ = static_cast<unsigned long>(pid);
      running_ = true;
    }
    posix_spawn_file_actions_destroy(&actions);
#endif
  }
  ~ChildProcess() {
#ifdef _WIN32
    if (process_ != nullptr) TerminateProcess(process_, 1);
#else
    if (running_) kill(static_cast<pid_t>(pid_), SIGKILL);
#endif
    Reap();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  unsigned long pid() const { return pid_; }

  // Waits for the child's end and releases it: afterwards its pid names no process.
  // Gives its exit code, or -1 when it never started or did not exit normally.
  int Reap() {
#ifdef _WIN32
    if (process_ == nullptr) return exit_code_;
    DWORD code = 0;
    if (WaitForSingleObject(process_, INFINITE) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process_, &code)) {
      exit_code_ = static_cast<int>(code);
    }
    CloseHandle(process_);
    process_ = nullptr;
#else
    if (!running_) return exit_code_;
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(static_cast<pid_t>(pid_), &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped > 0 && WIFEXITED(status)) exit_code_ = WEXITSTATUS(status);
    running_ = false;
#endif
    return exit_code_;
  }

 private:
#ifdef _WIN32
  HANDLE process_ = nullptr;
#else
  bool running_ = false;  // started and not yet reaped
#endif
  unsigned long pid_ = 0;
  int exit_code_ = -1;
};

// The id of a process that has ended and been reaped: it names no running process.
inline unsigned long EndedProcessId() {
  ChildProcess child(BuiltProgram("sleep_ms"), {"0"});
  child.Reap();
  return child.pid();
}

}  // namespace kov::test
