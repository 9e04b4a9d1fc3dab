#include "update/update_job.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>

#include "tests/test_util.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

using std::filesystem::path;
constexpr bool kNarrowPaths = sizeof(path::value_type) == 1;

// The strict conversions refuse malformed text wholly; the path forms are built on them.
TEST(PathText, WellFormedTextKeepsItsCharactersAndMalformedIsRefusedWholly) {
  // clang-format off
  const std::pair<const char*, std::u16string> well_formed[] = {
      {"", u""}, {"D:\\\xC3\x9C\x62ung\\a.txt", u"D:\\\u00DCbung\\a.txt"},
      {"\x7F\xC2\x80\xDF\xBF", u"\u007F\u0080\u07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF", u"\u0800\uD7FF\uE000\uFFFF"},
      {"\xF0\x90\x80\x80", u"\U00010000"}, {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"}};
  const char* const malformed[] = {
      "\x80", "a\xBF" "b", "\xFF", "\xFE",                              // stray and unused bytes
      "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",       // overlong forms
      "\xED\xA0\x80", "\xED\xBF\xBF",                                   // encoded surrogates
      "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80",   // above U+10FFFF
      "\xC3", "a\xE2\x82", "\xF0\x9F\x98", "\xE2\x82" "a"};             // cut short
  const std::u16string unpaired[] = {u"\xD800", u"a\xDC00", u"\xD800" u"a", u"\xDBFF\xDBFF",
                                     u"\xDC00\xD800"};
  // clang-format on
  for (const auto& [utf8, utf16] : well_formed) {
    SCOPED_TRACE(utf8);
    const Utf16String wide(utf16.begin(), utf16.end());
    EXPECT_EQ(Utf16FromUtf8(utf8), wide);
    EXPECT_EQ(Utf8FromUtf16(wide), utf8);
    EXPECT_EQ(Utf8Path(PathFromUtf8(utf8)), utf8);
  }
  for (const char* text : malformed) {
    SCOPED_TRACE(::testing::PrintToString(std::string(text)));
    EXPECT_FALSE(IsValidUtf8(text));
    EXPECT_EQ(Utf16FromUtf8(text), std::nullopt);
    EXPECT_THROW(PathFromUtf8(text), std::runtime_error);
  }
  for (const std::u16string& text : unpaired) {
    EXPECT_EQ(Utf8FromUtf16(Utf16String(text.begin(), text.end())), std::nullopt);
  }
  // A view that ends inside a pair is unpaired, whatever follows it in memory.
  const Utf16String pair = {static_cast<Utf16Char>(0xD800), static_cast<Utf16Char>(0xDC00)};
  EXPECT_EQ(Utf8FromUtf16(Utf16View(pair.data(), 1)), std::nullopt);
}

const std::string kBase =
    "format=1\nparent_pid=42\ninstall_dir=/i\nstaging_dir=/s\nbackup_dir=/b\nmanifest=/m\n"
    "restart=/r\nlog=/l\n";
const UpdateJob kBaseJob{42, "/i", "/s", "/b", "/m", "/r", "/l", {}};

// Every member, so that a mismatch names the member.
auto Members(const UpdateJob& job) {
  return std::tie(job.parent_pid, job.install_dir, job.staging_dir, job.backup_dir, job.manifest,
                  job.restart, job.log, job.args);
}

UpdateJob SampleJob() {
  UpdateJob job = kBaseJob;
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
  const path no_utf8_form = kNarrowPaths ? path("/x\xFF") : path(std::wstring(1, wchar_t(0xD800)));
  // clang-format off
  const std::pair<std::function<void(UpdateJob&)>, const char*> cases[] = {
      {[](UpdateJob& j) { j.install_dir.clear(); }, "path"},
      {[](UpdateJob& j) { j.log.clear(); }, "path"},
      {[](UpdateJob& j) { j.staging_dir = "/s\r"; }, "path"},
      {[](UpdateJob& j) { j.restart = "/r\nx"; }, "path"},
      {[&](UpdateJob& j) { j.manifest = no_utf8_form; }, "path"},
      {[](UpdateJob& j) { j.args.push_back("a\nb"); }, "argument"},
      {[](UpdateJob& j) { j.args.insert(j.args.begin(), "\r"); }, "argument"}};
  // clang-format on
  for (const auto& [change, what] : cases) {
    test::TempDir dir;
    test::WriteFile(dir / "job.txt", "keep");
    UpdateJob job = SampleJob();
    change(job);
    std::string error;
    EXPECT_FALSE(WriteUpdateJob(dir / "job.txt", job, error));
    EXPECT_EQ(error, std::string("The update job contains an invalid ") + what + ".");
    EXPECT_EQ(test::ReadFile(dir / "job.txt"), "keep");
  }
  test::TempDir dir;
  std::vector<path> unwritable{dir / "missing" / "job.txt", dir.path()};
  std::error_code ec;
  if (std::filesystem::exists("/dev/full", ec)) unwritable.push_back("/dev/full");  // full disk
  for (const auto& target : unwritable) {
    std::string error;
    EXPECT_FALSE(WriteUpdateJob(target, SampleJob(), error)) << target;
    EXPECT_EQ(error, "Cannot write the update job.") << target;
  }
}

std::optional<UpdateJob> ReadText(const std::string& text, std::string& error) {
  test::TempDir dir;
  test::WriteFile(dir / "job.txt", text);
  return ReadUpdateJob(dir / "job.txt", error);
}

TEST(UpdateJobReader, AcceptsWhatTheWriterNeverProduces) {
  using Change = std::function<void(UpdateJob&)>;
  const Change same = [](UpdateJob&) {};
  // clang-format off
  const std::pair<std::string, Change> cases[] = {
      {"\r\n\r\n" + kBase + "\r\n", same},  // CR LF ends, blank lines
      {"format=1\r\nparent_pid=42\r\ninstall_dir=/i\r\nstaging_dir=/s\r\nbackup_dir=/b\r\n"
       "manifest=/m\r\nrestart=/r\r\nlog=/l\r\n", same},
      {kBase + "arg=x", [](UpdateJob& j) { j.args = {"x"}; }},  // last line without LF
      {kBase + "=x\nFormat=2\ninstall_dir =/z\nLog=/z\n", same},  // unknown keys are ignored
      {kBase + "install_dir=D:\\a=b", [](UpdateJob& j) { j.install_dir = "D:\\a=b"; }},
      {kBase + "restart=/r\r\r\n", [](UpdateJob& j) { j.restart = "/r\r"; }},
      {kBase + "parent_pid=007\n", [](UpdateJob& j) { j.parent_pid = 7; }},
      {kBase + "parent_pid=4294967295\n", [](UpdateJob& j) { j.parent_pid = 4294967295UL; }},
      {kBase + "log=\n", [](UpdateJob& j) { j.log.clear(); }},
      {kBase + "manifest=/m2\nformat=1\n", [](UpdateJob& j) { j.manifest = "/m2"; }},
      {"arg=1\n" + kBase + "arg=\narg=a=b\n", [](UpdateJob& j) { j.args = {"1", "", "a=b"}; }},
      {"log=/l\nrestart=/r\nmanifest=/m\nbackup_dir=/b\nstaging_dir=/s\ninstall_dir=/i\n"
       "parent_pid=42\nformat=1", same}};
  // clang-format on
  for (const auto& [text, change] : cases) {
    SCOPED_TRACE(::testing::PrintToString(text));
    std::string error = "stale";
    const auto job = ReadText(text, error);
    ASSERT_TRUE(job.has_value()) << error;
    EXPECT_EQ(error, "");
    UpdateJob expected = kBaseJob;
    change(expected);
    EXPECT_EQ(Members(*job), Members(expected));
  }
}

// The base text without the line of one key.
std::string BaseWithout(const std::string& key) {
  const auto start = kBase.find(key + "=");
  return kBase.substr(0, start) + kBase.substr(kBase.find('\n', start) + 1);
}

TEST(UpdateJobReader, TheFirstLineItCannotAcceptDecides) {
  const std::string damaged = "The update job is damaged.";
  const std::string format = "The update job format is not supported.";
  const std::string pid = "The update job has an invalid process id.";
  const std::string incomplete = "The update job is incomplete.";
  // clang-format off
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", incomplete}, {"\n\r\n\n", incomplete}, {BaseWithout("format"), incomplete},
      {BaseWithout("parent_pid"), incomplete},
      {"\xEF\xBB\xBF" + kBase, incomplete},  // a byte-order mark hides the key
      {BaseWithout("install_dir") + "install_dir = /x\n", incomplete},
      {kBase + "no equals sign", damaged}, {kBase + "\r\r\n", damaged},
      {kBase + "manifest=\xC3\n", damaged},  // a path value that is not UTF-8
      {kBase + "format=2\n", format}, {kBase + "format=01\n", format},
      {kBase + "format=\n", format}, {kBase + "format=1 \n", format},
      {"format=2\nparent_pid=0\nbroken\n", format}, {"parent_pid=0\nformat=2\n", pid},
      {"broken\nformat=2\n", damaged}};
  for (const char* value :
       {"0", "000", "", "+7", "-1", "7 ", " 7", "0x7", "4294967296", "99999999999999999999999"}) {
    cases.emplace_back(kBase + "parent_pid=" + value + "\n", pid);
  }
  // clang-format on
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(text));
    std::string error;
    EXPECT_FALSE(ReadText(text, error).has_value());
    EXPECT_EQ(error, expected);
  }
  test::TempDir dir;
  std::string error;
  EXPECT_FALSE(ReadUpdateJob(dir / "none.txt", error).has_value());
  EXPECT_EQ(error, "Cannot read the update job.");
}

}  // namespace
}  // namespace kov::update
