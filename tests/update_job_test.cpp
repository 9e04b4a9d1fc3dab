#include "update/update_job.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>

#include "tests/test_util.h"

namespace kov::update {
namespace {

using std::filesystem::path;

// --- path text conversions -------------------------------------------------------------

struct WellFormed {
  const char* utf8;
  std::u16string utf16;  // the native text a wide path must hold
};

TEST(PathText, WellFormedTextKeepsItsCharactersBothWays) {
  const WellFormed cases[] = {
      {"", u""},
      {"D:\\\xC3\x9C\x62ung\\a.txt", u"D:\\\u00DCbung\\a.txt"},
      {"a/b=c", u"a/b=c"},
      {"\x7F\xC2\x80\xDF\xBF", u"\u007F\u0080\u07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", u"\u0800\uD7FF\uE000\uFFFF"},
      {"\xF0\x90\x80\x80", u"\U00010000"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    const path converted = PathFromUtf8(c.utf8);
    if constexpr (sizeof(path::value_type) == 1) {
      EXPECT_EQ(converted.native(), c.utf8);
    } else {
      EXPECT_EQ(converted.native(), path::string_type(c.utf16.begin(), c.utf16.end()));
    }
    EXPECT_EQ(Utf8Path(converted), c.utf8);
  }
}

TEST(PathText, MalformedUtf8IsRefusedWholly) {
  const char* const cases[] = {
      "\x80",
      "a\xBF"
      "b",
      "\xFF",
      "\xFE",  // stray and unused bytes
      "\xC0\xAF",
      "\xC1\xBF",
      "\xE0\x9F\xBF",
      "\xF0\x8F\xBF\xBF",  // overlong forms
      "\xED\xA0\x80",
      "\xED\xBF\xBF",  // encoded surrogates
      "\xF4\x90\x80\x80",
      "\xF5\x80\x80\x80",
      "\xF8\x88\x80\x80\x80",  // above U+10FFFF
      "\xC3",
      "a\xE2\x82",
      "\xF0\x9F\x98",
      "\xE2\x82"
      "a",  // cut short
  };
  for (const char* text : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    EXPECT_THROW(PathFromUtf8(text), std::runtime_error);
    if constexpr (sizeof(path::value_type) == 1) {
      EXPECT_THROW(Utf8Path(path(text)), std::runtime_error);
    }
  }
}

#ifdef _WIN32
TEST(PathText, UnpairedSurrogatesHaveNoUtf8Form) {
  const wchar_t* const cases[] = {L"\xD800", L"a\xDC00",
                                  L"\xD800"
                                  L"a",
                                  L"\xDBFF\xDBFF", L"\xDC00\xD800"};
  for (const wchar_t* text : cases) EXPECT_THROW(Utf8Path(path(text)), std::runtime_error);
}
#endif

// A path that cannot be carried as UTF-8 on this platform.
path PathWithoutUtf8Form() {
  if constexpr (sizeof(path::value_type) == 1) {
    return path("/x\xFF");
  } else {
    return path(std::wstring(1, static_cast<wchar_t>(0xD800)));
  }
}

// --- writer ----------------------------------------------------------------------------

const std::string kBase =
    "format=1\nparent_pid=42\ninstall_dir=/i\nstaging_dir=/s\nbackup_dir=/b\nmanifest=/m\n"
    "restart=/r\nlog=/l\n";

UpdateJob BaseJob() {
  UpdateJob job;
  job.parent_pid = 42;
  job.install_dir = "/i";
  job.staging_dir = "/s";
  job.backup_dir = "/b";
  job.manifest = "/m";
  job.restart = "/r";
  job.log = "/l";
  return job;
}

// Every member, so that a mismatch names the member.
auto Members(const UpdateJob& job) {
  return std::tie(job.parent_pid, job.install_dir, job.staging_dir, job.backup_dir, job.manifest,
                  job.restart, job.log, job.args);
}

UpdateJob SampleJob() {
  UpdateJob job = BaseJob();
  job.parent_pid = 4321;
  job.install_dir = PathFromUtf8("D:\\\xC3\x9C\x62ung");
  job.staging_dir = "/s=t";
  job.args = {"--a", ""};
  return job;
}

TEST(UpdateJobWriter, WritesTheFixedLinesAndReadsBackEqual) {
  test::TempDir dir;
  std::string error = "stale";
  ASSERT_TRUE(WriteUpdateJob(dir / "job.txt", SampleJob(), error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(test::ReadFile(dir / "job.txt"),
            "format=1\nparent_pid=4321\ninstall_dir=D:\\\xC3\x9C\x62ung\nstaging_dir=/s=t\n"
            "backup_dir=/b\nmanifest=/m\nrestart=/r\nlog=/l\narg=--a\narg=\n");
  const auto read = ReadUpdateJob(dir / "job.txt", error);
  ASSERT_TRUE(read.has_value()) << error;
  EXPECT_EQ(Members(*read), Members(SampleJob()));
}

TEST(UpdateJobWriter, RefusesWhatTheFileCannotCarryAndLeavesTheFileAlone) {
  const struct {
    const char* name;
    std::function<void(UpdateJob&)> change;
    const char* error;
  } cases[] = {
      {"empty install_dir", [](UpdateJob& j) { j.install_dir.clear(); }, "path"},
      {"empty log", [](UpdateJob& j) { j.log.clear(); }, "path"},
      {"CR in staging_dir", [](UpdateJob& j) { j.staging_dir = "/s\r"; }, "path"},
      {"LF in restart", [](UpdateJob& j) { j.restart = "/r\nx"; }, "path"},
      {"no UTF-8 form", [](UpdateJob& j) { j.manifest = PathWithoutUtf8Form(); }, "path"},
      {"LF in an argument", [](UpdateJob& j) { j.args.push_back("a\nb"); }, "argument"},
      {"CR in an argument", [](UpdateJob& j) { j.args.insert(j.args.begin(), "\r"); }, "argument"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    test::WriteFile(dir / "job.txt", "keep");
    UpdateJob job = SampleJob();
    c.change(job);
    std::string error;
    EXPECT_FALSE(WriteUpdateJob(dir / "job.txt", job, error));
    EXPECT_EQ(error, std::string("The update job contains an invalid ") + c.error + ".");
    EXPECT_EQ(test::ReadFile(dir / "job.txt"), "keep");
  }
}

TEST(UpdateJobWriter, ReportsAFileThatCannotBeWritten) {
  test::TempDir dir;
  std::vector<path> targets{dir / "missing" / "job.txt", dir.path()};
  std::error_code ec;
  if (std::filesystem::exists("/dev/full", ec)) targets.push_back("/dev/full");  // full disk
  for (const auto& target : targets) {
    SCOPED_TRACE(target.string());
    std::string error;
    EXPECT_FALSE(WriteUpdateJob(target, SampleJob(), error));
    EXPECT_EQ(error, "Cannot write the update job.");
  }
}

// --- reader ----------------------------------------------------------------------------

// The base text without the line of one key.
std::string BaseWithout(const std::string& key) {
  const auto start = kBase.find(key + "=");
  return kBase.substr(0, start) + kBase.substr(kBase.find('\n', start) + 1);
}

std::optional<UpdateJob> ReadText(const std::string& text, std::string& error) {
  test::TempDir dir;
  test::WriteFile(dir / "job.txt", text);
  return ReadUpdateJob(dir / "job.txt", error);
}

TEST(UpdateJobReader, AcceptsWhatTheWriterNeverProduces) {
  const struct {
    const char* name;
    std::string text;
    std::function<void(UpdateJob&)> expect;
  } cases[] = {
      {"CR LF ends, CR-only and blank lines", "\r\n\r\n" + kBase + "\r\n", [](UpdateJob&) {}},
      {"CR LF ends everywhere",
       "format=1\r\nparent_pid=42\r\ninstall_dir=/i\r\nstaging_dir=/s\r\n"
       "backup_dir=/b\r\nmanifest=/m\r\nrestart=/r\r\nlog=/l\r\n",
       [](UpdateJob&) {}},
      {"last line without LF", kBase + "arg=x", [](UpdateJob& j) { j.args = {"x"}; }},
      {"unknown, empty and differently cased keys",
       kBase + "=x\nFormat=2\ninstall_dir =/z\nLog=/z\n", [](UpdateJob&) {}},
      {"second equals sign kept", kBase + "install_dir=D:\\a=b",
       [](UpdateJob& j) { j.install_dir = "D:\\a=b"; }},
      {"only one CR removed", kBase + "restart=/r\r\r\n", [](UpdateJob& j) { j.restart = "/r\r"; }},
      {"leading zeros", kBase + "parent_pid=007\n", [](UpdateJob& j) { j.parent_pid = 7; }},
      {"largest id", kBase + "parent_pid=4294967295\n",
       [](UpdateJob& j) { j.parent_pid = 4294967295UL; }},
      {"empty log", kBase + "log=\n", [](UpdateJob& j) { j.log.clear(); }},
      {"last value wins", kBase + "manifest=/m2\nformat=1\n",
       [](UpdateJob& j) { j.manifest = "/m2"; }},
      {"arguments accumulate in order", "arg=1\n" + kBase + "arg=\narg=a=b\n",
       [](UpdateJob& j) {
         j.args = {"1", "", "a=b"};
       }},
      {"any key order",
       "log=/l\nrestart=/r\nmanifest=/m\nbackup_dir=/b\nstaging_dir=/s\n"
       "install_dir=/i\nparent_pid=42\nformat=1",
       [](UpdateJob&) {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error = "stale";
    const auto job = ReadText(c.text, error);
    ASSERT_TRUE(job.has_value()) << error;
    EXPECT_EQ(error, "");
    UpdateJob expected = BaseJob();
    c.expect(expected);
    EXPECT_EQ(Members(*job), Members(expected));
  }
}

TEST(UpdateJobReader, TheFirstLineItCannotAcceptDecides) {
  const std::string damaged = "The update job is damaged.";
  const std::string format = "The update job format is not supported.";
  const std::string pid = "The update job has an invalid process id.";
  const std::string incomplete = "The update job is incomplete.";
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", incomplete},
      {"\n\r\n\n", incomplete},
      {BaseWithout("format"), incomplete},
      {"\xEF\xBB\xBF" + kBase, incomplete},  // a byte-order mark hides the key
      {BaseWithout("install_dir") + "install_dir = /x\n", incomplete},
      {kBase + "no equals sign", damaged},
      {kBase + "\r\r\n", damaged},
      {kBase + "manifest=\xC3\n", damaged},  // a path value that is not UTF-8
      {kBase + "format=2\n", format},
      {kBase + "format=01\n", format},
      {kBase + "format=\n", format},
      {kBase + "format=1 \n", format},
      {"format=2\nparent_pid=0\nbroken\n", format},
      {"parent_pid=0\nformat=2\n", pid},
      {"broken\nformat=2\n", damaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    std::string error;
    EXPECT_FALSE(ReadText(c.text, error).has_value());
    EXPECT_EQ(error, c.error);
  }
  for (const char* value :
       {"0", "000", "", "+7", "-1", "7 ", " 7", "0x7", "4294967296", "99999999999999999999999"}) {
    SCOPED_TRACE(value);
    std::string error;
    EXPECT_FALSE(ReadText(kBase + "parent_pid=" + value + "\n", error).has_value());
    EXPECT_EQ(error, pid);
  }
}

TEST(UpdateJobReader, ReportsAMissingFile) {
  test::TempDir dir;
  std::string error;
  EXPECT_FALSE(ReadUpdateJob(dir / "none.txt", error).has_value());
  EXPECT_EQ(error, "Cannot read the update job.");
}

}  // namespace
}  // namespace kov::update
