#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>

#include "update/platform_posix.h"
#include "update/process_platform.h"

extern char** environ;

namespace kov::update::platform {
namespace {

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameVariableName(std::string_view name, std::string_view test_name) {
  return std::equal(name.begin(), name.end(), test_name.begin(), test_name.end(),
                    [](char a, char b) { return AsciiUpper(a) == AsciiUpper(b); });
}

// Everything the started program needs, built before forking: a forked copy of a process
// that may have other threads must not allocate.
struct StartPlan {
  std::string program;
  std::string folder;
  std::vector<char*> argv;
  std::vector<char*> environment;  // empty: the caller's own environment
};

std::vector<char*> EnvironmentWithoutTestVariables() {
  std::vector<char*> kept;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (!SetsUpdateTestVariable(std::string_view(*entry), SameVariableName)) kept.push_back(*entry);
  }
  kept.push_back(nullptr);
  return kept;
}

StartPlan PlanStart(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const std::filesystem::path& working_dir, bool stripTestEnvironment) {
  StartPlan plan;
  // Resolved against the caller's folder, as on Windows, not against the child's new one.
  std::error_code ec;
  plan.program = std::filesystem::absolute(program, ec).native();
  if (ec) plan.program = program.native();
  plan.folder = working_dir.native();
  plan.argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments)
    plan.argv.push_back(const_cast<char*>(argument.c_str()));
  plan.argv.push_back(nullptr);
  if (stripTestEnvironment) plan.environment = EnvironmentWithoutTestVariables();
  return plan;
}

// Tells the starter why this process could not go on, then ends it.
[[noreturn]] void FailStart(int report_fd) {
  const int code = errno;
  [[maybe_unused]] const ssize_t sent = write(report_fd, &code, sizeof code);
  _exit(127);
}

[[noreturn]] void RunProgram(const StartPlan& plan, int report_fd) {
  // Like a Windows child without inherited handles, it gets only the standard streams (where
  // the kernel supports this; an older one lets the descriptors through).
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  if (chdir(plan.folder.c_str()) != 0) FailStart(report_fd);
  if (plan.environment.empty()) {
    execv(plan.program.c_str(), plan.argv.data());
  } else {
    execve(plan.program.c_str(), plan.argv.data(), plan.environment.data());
  }
  FailStart(report_fd);
}

// The middle process starts the program and ends at once, so the program is adopted by init
// and never lingers as a zombie of a long-running caller.
[[noreturn]] void RunMiddle(const StartPlan& plan, int report_fd) {
  const pid_t program = fork();
  if (program == 0) RunProgram(plan, report_fd);
  if (program < 0) FailStart(report_fd);
  _exit(0);
}

void Reap(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// The errno that a failed start reported, or 0 once the program runs (the pipe closed on exec).
int ReadStartFailure(int report_fd) {
  int code = 0;
  ssize_t got;
  while ((got = read(report_fd, &code, sizeof code)) < 0 && errno == EINTR) {
  }
  return got == static_cast<ssize_t>(sizeof code) ? code : 0;
}

}  // namespace

StartOutcome StartProgram(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& working_dir, bool strip_test_environment) {
  const StartPlan plan = PlanStart(program, arguments, working_dir, strip_test_environment);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return {.code = static_cast<unsigned long>(errno)};
  const UniqueFd report_read(report[0]);
  UniqueFd report_write(report[1]);
  const pid_t middle = fork();
  if (middle == 0) RunMiddle(plan, report_write.get());
  const int fork_error = errno;
  report_write.Close();  // the pipe must end with the children's copies
  if (middle < 0) return {.code = static_cast<unsigned long>(fork_error)};
  Reap(middle);
  const int failure = ReadStartFailure(report_read.get());
  if (failure != 0) return {.code = static_cast<unsigned long>(failure)};
  return {.started = true};
}

}  // namespace kov::update::platform
