#include "update/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/test_util.h"
#include "update/update_job.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(ProcessIdentity, AChildSeesItsOwnIdExecutableAndArguments) {
  test::TempDir dir;
  const auto report = dir / "report.txt";
  // "Übung €" spelled in UTF-8 bytes.
  const std::vector<std::string> arguments{
      Utf8Path(report), "two words",     "",       "\xC3\x9C\x62ung \xE2\x82\xAC",
      "tab\there",      "quote\"inside", "ends\\", "\\\"x",
      "--job"};
  std::vector<fs::path> programs{test::BuiltProgram("report_self")};
  // Windows starts no program from beyond MAX_PATH (and Wine crashes trying), so the grown
  // buffer for a path longer than 1023 characters is seen on POSIX only.
#ifndef _WIN32
  fs::path deep = dir.path();
  while (deep.native().size() < 1100) deep /= std::string(100, 'd');
  fs::create_directories(deep);
  fs::copy_file(programs.front(), deep / "report_self");
  programs.push_back(deep / "report_self");
#endif
  for (const auto& program : programs) {
    SCOPED_TRACE(program.native().size());
    std::error_code ec;
    fs::remove(report, ec);
    test::ChildProcess child(program, arguments);
    ASSERT_NE(child.pid(), 0u);
    child.Reap();
    std::vector<std::string> expected{std::to_string(child.pid()), Utf8Path(program)};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(test::LinesOf(test::ReadFile(report)), expected);
  }
}

TEST(WaitForProcess, AProcessThatIsGoneCountsAsEnded) {
  test::ChildProcess ended(test::BuiltProgram("sleep_ms"), {"0"});
  ASSERT_NE(ended.pid(), 0u);
  ended.Reap();
  // 0 is no single process on either platform; the largest id names none either.
  for (const unsigned long pid : {ended.pid(), 0ul, 4294967295ul}) {
    SCOPED_TRACE(pid);
    std::string error = "untouched";
    const auto start = Clock::now();
    EXPECT_TRUE(WaitForProcess(pid, 60000, error));
    EXPECT_LT(Clock::now() - start, milliseconds(5000));
    EXPECT_EQ(error, "untouched");
  }
}

TEST(WaitForProcess, ReturnsOnceTheProcessEndsOrGivesUpAfterTheTimeOut) {
  for (const int timeout : {-1, 60000}) {
    SCOPED_TRACE(timeout);
    test::ChildProcess child(test::BuiltProgram("sleep_ms"), {"1500"});
    ASSERT_NE(child.pid(), 0u);
    std::string error;
    ASSERT_FALSE(WaitForProcess(child.pid(), 0, error)) << "the child ended too early";
    // Its parent reaps it as it ends, as the launcher's parent would.
    std::thread reaper([&child] { child.Reap(); });
    error = "untouched";
    EXPECT_TRUE(WaitForProcess(child.pid(), timeout, error));
    EXPECT_EQ(error, "untouched");
    reaper.join();
  }
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
