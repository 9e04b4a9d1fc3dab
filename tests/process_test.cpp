#include "update/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "tests/test_util.h"
#include "update/update_job.h"

namespace kov::update {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

#ifndef _WIN32
// A copy of a helper program whose full path is longer than 1023 characters.
std::filesystem::path DeepCopyOf(const std::filesystem::path& program,
                                 const std::filesystem::path& base) {
  auto folder = base;
  while (folder.native().size() < 1100) folder /= std::string(100, 'd');
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const auto copy = folder / program.filename();
  std::filesystem::copy_file(program, copy, ec);
  return ec ? std::filesystem::path() : copy;
}
#endif

TEST(ProcessIdentity, AChildSeesItsOwnIdExecutableAndArguments) {
  test::TempDir dir;
  const auto report = dir / "report.txt";
  // "Übung €" spelled in UTF-8 bytes.
  const std::vector<std::string> arguments{
      Utf8Path(report), "two words",     "",       "\xC3\x9C\x62ung \xE2\x82\xAC",
      "tab\there",      "quote\"inside", "ends\\", "\\\"x",
      "--job"};
  std::vector<std::filesystem::path> programs{test::BuiltProgram("report_self")};
  // Windows starts no program from beyond MAX_PATH (and Wine crashes trying), so the grown
  // buffer is seen on POSIX only.
#ifndef _WIN32
  programs.push_back(DeepCopyOf(programs.front(), dir.path()));
#endif
  for (const auto& program : programs) {
    SCOPED_TRACE(program.native().size());
    ASSERT_FALSE(program.empty()) << "the helper program could not be copied";
    std::error_code ec;
    std::filesystem::remove(report, ec);
    test::ChildProcess child(program, arguments);
    ASSERT_NE(child.pid(), 0u);
    child.Reap();
    const auto lines = Lines(test::ReadFile(report));
    ASSERT_EQ(lines.size(), arguments.size() + 2);
    EXPECT_EQ(lines[0], std::to_string(child.pid()));
    EXPECT_EQ(PathFromUtf8(lines[1]), program);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), arguments);
  }
}

constexpr const char* kUntouched = "untouched";

TEST(WaitForProcess, AProcessThatIsGoneCountsAsEnded) {
  test::ChildProcess ended(test::BuiltProgram("sleep_ms"), {"0"});
  ASSERT_NE(ended.pid(), 0u);
  ended.Reap();
  // 0 is no single process on either platform; the largest id names none either.
  for (const unsigned long pid : {ended.pid(), 0ul, 4294967295ul}) {
    SCOPED_TRACE(pid);
    std::string error = kUntouched;
    const auto start = Clock::now();
    EXPECT_TRUE(WaitForProcess(pid, 60000, error));
    EXPECT_LT(Clock::now() - start, milliseconds(5000));
    EXPECT_EQ(error, kUntouched);
  }
}

TEST(WaitForProcess, ReturnsOnceTheProcessEnds) {
  for (const int timeout : {-1, 60000}) {
    SCOPED_TRACE(timeout);
    test::ChildProcess child(test::BuiltProgram("sleep_ms"), {"1500"});
    ASSERT_NE(child.pid(), 0u);
    std::string error;
    ASSERT_FALSE(WaitForProcess(child.pid(), 0, error)) << "the child ended too early";
    // Its parent reaps it as it ends, as the launcher's parent would.
    std::thread reaper([&child] { child.Reap(); });
    error = kUntouched;
    EXPECT_TRUE(WaitForProcess(child.pid(), timeout, error));
    EXPECT_EQ(error, kUntouched);
    reaper.join();
  }
}

TEST(WaitForProcess, GivesUpAfterTheTimeOut) {
  test::ChildProcess child(test::BuiltProgram("sleep_ms"), {"60000"});
  ASSERT_NE(child.pid(), 0u);
  for (const int timeout : {0, 300}) {
    SCOPED_TRACE(timeout);
    std::string error;
    const auto start = Clock::now();
    EXPECT_FALSE(WaitForProcess(child.pid(), timeout, error));
    const auto waited = Clock::now() - start;
    EXPECT_EQ(error, "The launcher did not exit in time.");
    EXPECT_GE(waited, milliseconds(timeout * 9 / 10));  // timer granularity
    EXPECT_LT(waited, milliseconds(timeout + 5000));    // the child runs for a minute
  }
}

}  // namespace
}  // namespace kov::update
