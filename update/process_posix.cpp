#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <thread>

#include "update/platform_posix.h"
#include "update/process_platform.h"

namespace kov::update::platform {
namespace {

using Clock = std::chrono::steady_clock;

// The time-out is read as the unsigned millisecond count that the Windows wait receives, so
// both platforms agree on every value: 0 only looks, -1 waits without limit.
std::optional<Clock::time_point> DeadlineAfter(int timeout_ms) {
  const auto milliseconds = static_cast<std::uint32_t>(timeout_ms);
  if (milliseconds == UINT32_MAX) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

bool Expired(const std::optional<Clock::time_point>& deadline) {
  return deadline && Clock::now() >= *deadline;
}

// Milliseconds left, rounded up so that a wait never ends just before the deadline; -1 is
// no limit. Long time-outs are served in slices that fit poll's int.
int MillisecondsLeft(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
}

WaitOutcome PollUntilExited(int pid_fd, const std::optional<Clock::time_point>& deadline) {
  for (;;) {
    pollfd watched{pid_fd, POLLIN, 0};
    const int ready = poll(&watched, 1, MillisecondsLeft(deadline));
    if (ready > 0) return (watched.revents & POLLIN) ? WaitOutcome::kExited : WaitOutcome::kFailed;
    if (ready == 0) {
      if (Expired(deadline)) return WaitOutcome::kTimedOut;
    } else if (errno != EINTR) {
      return WaitOutcome::kFailed;
    }
  }
}

// For kernels without process descriptors. A process that has ended but has not been reaped
// by its parent still looks alive here.
WaitOutcome CheckUntilExited(pid_t pid, const std::optional<Clock::time_point>& deadline) {
  constexpr auto kInterval = std::chrono::milliseconds(10);
  for (;;) {
    if (kill(pid, 0) != 0) {
      if (errno == ESRCH) return WaitOutcome::kExited;
      if (errno != EPERM) return WaitOutcome::kFailed;  // EPERM: alive, owned by someone else
    }
    if (Expired(deadline)) return WaitOutcome::kTimedOut;
    const auto pause = deadline ? std::min<Clock::duration>(kInterval, *deadline - Clock::now())
                                : Clock::duration(kInterval);
    std::this_thread::sleep_for(pause);
  }
}

// pid 0 and anything that is not a positive pid_t would make kill address a process group,
// and no single process can carry such an id: it is treated as gone.
std::optional<pid_t> SingleProcessId(unsigned long pid) {
  if (pid == 0 || pid > static_cast<unsigned long>(std::numeric_limits<pid_t>::max())) {
    return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

}  // namespace

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }

std::vector<std::string> CurrentProcessArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>{});
  // Every argument ends with a NUL; the first is the program name.
  std::vector<std::string> arguments;
  std::size_t start = all.find('\0');
  if (start == std::string::npos) return arguments;
  for (++start; start < all.size();) {
    auto end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    arguments.emplace_back(all, start, end - start);
    start = end + 1;
  }
  return arguments;
}

std::filesystem::path CurrentExecutablePath() {
  for (std::size_t size = 1024;; size *= 2) {
    std::string buffer(size, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0) return {};
    if (static_cast<std::size_t>(length) < size) {
      buffer.resize(static_cast<std::size_t>(length));
      return buffer;
    }
  }
}

WaitOutcome WaitForExit(unsigned long pid, int timeout_ms) {
  const auto process = SingleProcessId(pid);
  if (!process) return WaitOutcome::kExited;
  const auto deadline = DeadlineAfter(timeout_ms);
  const UniqueFd pid_fd(static_cast<int>(syscall(SYS_pidfd_open, *process, 0)));
  if (pid_fd.valid()) return PollUntilExited(pid_fd.get(), deadline);
  if (errno == ESRCH) return WaitOutcome::kExited;
  // ENOSYS: an older kernel; EPERM: a sandbox that filters the call out.
  if (errno == ENOSYS || errno == EPERM) return CheckUntilExited(*process, deadline);
  return WaitOutcome::kCannotOpen;
}

}  // namespace kov::update::platform
