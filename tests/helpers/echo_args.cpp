// Reports what this process was started with into echo-args.txt in its working folder, one
// record per line as "<label> <byte count>:<bytes>", so that any byte survives: "cwd"; "pid",
// "exe" and "args" as the library reads them (on Windows, CommandLineToArgvW's split); "argv"
// for the C runtime's split; "env" for each environment entry in order; "fd" for each open
// descriptor above the standard three (POSIX).

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "update/process.h"
#include "update/update_job.h"

#ifdef _WIN32
// The C runtime's own split of the wide command line, as a wmain program would receive it.
extern "C" __declspec(dllimport) int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                                    int glob, int* new_mode);
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
  int count = 0;
  int new_mode = 0;
  wchar_t** argv = nullptr;
  wchar_t** env = nullptr;
  __wgetmainargs(&count, &argv, &env, 0, &new_mode);
  for (int i = 1; i < count; ++i) Add(report, "argv", Utf8(argv[i]));
  for (; *env != nullptr; ++env) Add(report, "env", Utf8(*env));
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
  Add(report, "pid", std::to_string(kov::update::CurrentProcessId()));
  Add(report, "exe", kov::update::Utf8Path(kov::update::CurrentExecutablePath()));
  for (const std::string& argument : kov::update::CurrentProcessArguments()) {
    Add(report, "args", argument);
  }
  Describe(report, argc, argv);
  // Written aside and renamed, so that a waiting test never reads half a report.
  std::ofstream("echo-args.tmp", std::ios::binary) << report;
  std::error_code ec;
  std::filesystem::rename("echo-args.tmp", "echo-args.txt", ec);
  return ec ? 1 : 0;
}
