// Reports what this process was started with into echo-args.txt in its working folder, one
// record per line as "<label> <byte count>:<bytes>", so that any byte survives: "argv" for the
// C runtime's split, on Windows also "line" for the raw command line and "split" for
// CommandLineToArgvW's; "cwd"; "env" for each environment entry in order; "fd" for each
// open descriptor above the standard three (POSIX).

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "update/update_job.h"

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs windows.h before it.
#include <shellapi.h>

extern "C" {
struct WideStartupInfo {
  int new_mode;
};
// The C runtime's own split of the wide command line, as a wmain program would receive it.
__declspec(dllimport) int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob,
                                         WideStartupInfo* info);
}
#else
#include <fcntl.h>
#include <unistd.h>

extern char** environ;
#endif

namespace {

void Add(std::string& report, std::string_view label, std::string_view bytes) {
  report.append(label).append(" ").append(std::to_string(bytes.size())).append(":");
  report.append(bytes).append("\n");
}

#ifdef _WIN32
std::string Utf8(const wchar_t* text) { return kov::update::Utf8Path(std::filesystem::path(text)); }

void Describe(std::string& report, int, char**) {
  Add(report, "line", Utf8(GetCommandLineW()));
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; i < count; ++i) Add(report, "split", Utf8(words[i]));
  LocalFree(words);
  wchar_t** argv = nullptr;
  wchar_t** env = nullptr;
  WideStartupInfo info{0};
  __wgetmainargs(&count, &argv, &env, 0, &info);
  for (int i = 1; i < count; ++i) Add(report, "argv", Utf8(argv[i]));
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    Add(report, "env", Utf8(entry));
  }
  FreeEnvironmentStringsW(block);
}
#else
void Describe(std::string& report, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) Add(report, "argv", argv[i]);
  for (char** entry = environ; *entry != nullptr; ++entry) Add(report, "env", *entry);
  for (int fd = 3; fd < 256; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) Add(report, "fd", std::to_string(fd));
  }
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::string report;
  Add(report, "cwd", kov::update::Utf8Path(std::filesystem::current_path()));
  Describe(report, argc, argv);
  // Written aside and renamed, so that a waiting test never reads half a report.
  {
    std::ofstream out("echo-args.tmp", std::ios::binary | std::ios::trunc);
    out.write(report.data(), static_cast<std::streamsize>(report.size()));
  }
  std::error_code ec;
  std::filesystem::rename("echo-args.tmp", "echo-args.txt", ec);
  return ec ? 1 : 0;
}
