#include "update/path_rules.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tests/test_util.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

// n bytes of acceptable 99-byte segments joined by '/', never ending in '/'.
std::string PathOfBytes(std::size_t n) {
  std::string path;
  for (std::size_t i = 0; i < n; ++i) path += (i % 100 == 99 && i + 1 < n) ? '/' : 'a';
  return path;
}

struct NormalizeCase {
  std::string path;
  std::string reason;      // empty when the path is accepted
  std::string normalized;  // on refusal: the segments accepted before the failing one
};

TEST(NormalizeRelativePath, FirstFailingRuleDecidesAndKeepsAcceptedPrefix) {
  const std::string k1024 = PathOfBytes(1024);
  const std::string k255 = std::string(255, 's');
  const std::string kUtf8 = "\303\274bung/stra\303\237e.txt\177";
  // clang-format off
  const std::vector<NormalizeCase> cases = {
      {"a\\b\\c", "", "a/b/c"}, {"a/b///\\\\", "", "a/b"}, {"./a/./b", "", "a/b"},
      {"Data/File.BIN", "", "Data/File.BIN"}, {"..a/.b/a.b", "", "..a/.b/a.b"},
      {"com0/lpt10/console/conx/com10/conin$", "", "com0/lpt10/console/conx/com10/conin$"},
      {"con .txt", "", "con .txt"}, {kUtf8, "", kUtf8}, {k1024, "", k1024},
      {k1024 + "//\\\\/", "", k1024}, {"x/" + k255, "", "x/" + k255},
      {"", "empty path", ""}, {"/a", "absolute path", ""}, {"\\a", "absolute path", ""},
      {"/../x", "absolute path", ""}, {"C:a", "drive-qualified path", ""},
      {"c:\\x", "drive-qualified path", ""}, {"1:", "drive-qualified path", ""},
      {":", "invalid character in path", ""}, {"ab:c", "invalid character in path", ""},
      {PathOfBytes(1025), "path too long", ""},
      {PathOfBytes(1000) + "/../" + PathOfBytes(996), "path too long", ""},
      {".", "empty path segment", ""}, {"./", "empty path segment", ""},
      {"a/./", "empty path segment", "a"}, {"a//..", "empty path segment", "a"},
      {"a/b/../c", "path traversal", "a/b"}, {"..", "path traversal", ""},
      {"ok/" + k255 + "s", "path segment too long", "ok"},
      {std::string(254, 's') + "|..", "path segment too long", ""},
      {"a|b/..", "invalid character in path", ""}, {"a|.", "invalid character in path", ""},
      {"x/a\nb", "invalid character in path", "x"},
      {std::string("a\0b", 3), "invalid character in path", ""},
      {"a\x1F\t", "invalid character in path", ""}, {"q\"", "invalid character in path", ""},
      {"*", "invalid character in path", ""}, {"<", "invalid character in path", ""},
      {">", "invalid character in path", ""}, {"a?", "invalid character in path", ""},
      {"a..", "invalid path segment ending", ""}, {"...", "invalid path segment ending", ""},
      {"a ", "invalid path segment ending", ""}, {"con.", "invalid path segment ending", ""},
      {"CON", "reserved path name", ""}, {"Aux.dll", "reserved path name", ""},
      {"com1.log", "reserved path name", ""}, {"LPT9", "reserved path name", ""},
      {"x/nul.tar.gz", "reserved path name", "x"}, {"prn/a", "reserved path name", ""},
  };
  // clang-format on
  for (const NormalizeCase& c : cases) {
    SCOPED_TRACE(c.path.size() > 80 ? c.path.substr(0, 80) + "..." : c.path);
    const bool accepted = c.reason.empty();
    std::string normalized = "stale";
    std::string reason = "earlier reason";
    EXPECT_EQ(NormalizeRelativePath(c.path, normalized, &reason), accepted);
    EXPECT_EQ(normalized, c.normalized);
    EXPECT_EQ(reason, accepted ? "earlier reason" : c.reason);
    EXPECT_EQ(NormalizeRelativePath(c.path, normalized, nullptr), accepted);
    std::string safe_reason;
    EXPECT_EQ(IsSafeRelativePath(c.path, &safe_reason), accepted);
    EXPECT_EQ(safe_reason, c.reason);
  }
}

TEST(IsProtectedRelativePath, MatchesWholeSegmentsAndLastExtensionInAnyCase) {
  for (const char* path :
       {"Saves/slot1.dat", "tools/game", "a/b/logs", "GAME/x.dll", "bin/cache/x.dll", "dlc",
        "user_data.migrating/x", "settings.toml", "config/settings.toml.bak", "7c30e5a2/file",
        "x/Default.XEX", "Data.Bin", "a/NXEART", "launcher.AppImage", "notes/.log",
        "dump/crash.DMP", "a.tar.gz", "b/x.7z", ".log"}) {
    EXPECT_TRUE(IsProtectedRelativePath(path)) << path;
  }
  for (const char* path :
       {"bin/savegame.dll", "games/x.dll", "mycache/x", "logs.d/readme", "settings.toml.old",
        "readme.txt", "a.gz.txt", "a/b", "", "bin\\logs\\x.dll", "x.gzip", "x.g"}) {
    EXPECT_FALSE(IsProtectedRelativePath(path)) << path;
  }
}

// Windows file systems ignore case; POSIX ones do not, so there elements must match exactly.
#ifdef _WIN32
constexpr bool kElementsFoldCase = true;
#else
constexpr bool kElementsFoldCase = false;
#endif

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool MakeLink(const fs::path& target, const fs::path& link, bool folder) {
#ifdef _WIN32
  const DWORD flags =
      SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), flags)) return false;
  const DWORD attributes = GetFileAttributesW(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
  std::error_code ec;
  folder ? fs::create_directory_symlink(target, link, ec) : fs::create_symlink(target, link, ec);
  return !ec;
#endif
}

// An installation folder X with bin/a.dll and real/f, a folder Outside beside it, and links
// where the system makes them: X/out leads outside, X/in stays inside, LinkedX stands for X,
// X/file-link is a file link out, X/dangling leads nowhere.
TEST(ResolvedPaths, ChecksFollowLinksAndCompareWholeElements) {
  test::TempDir temp;
  const fs::path x = temp / "X", linked = temp / "LinkedX", missing = temp / "Missing" / "Dir";
  test::WriteFile(x / "bin" / "a.dll", "dll");
  test::WriteFile(x / "real" / "f", "inside");
  test::WriteFile(temp / "Outside" / "f", "outside");
  const bool links = MakeLink(temp / "Outside", x / "out", true) &&
                     MakeLink(x / "real", x / "in", true) && MakeLink(x, linked, true) &&
                     MakeLink(temp / "Outside" / "f", x / "file-link", false) &&
                     MakeLink(temp / "gone", x / "dangling", false);
  enum Check { kWithin, kLinkOnTheWay, kRegularFile };
  const bool L = true;  // the row needs links
  const struct {
    Check check;
    fs::path path, root;
    bool expected;
    bool needs_links = false;
  } cases[] = {
      // clang-format off
      {kWithin, x, x, true}, {kWithin, x / "bin" / "a.dll", x, true},
      {kWithin, x / "new" / "deeper" / "file", x, true}, {kWithin, x / "bin" / ".." / "new", x, true},
      {kWithin, x / "new" / "file", fs::path(x) += "/new/", true},
      {kWithin, fs::path(x) += "2", x, false}, {kWithin, fs::path(x) += "2/a.dll", x, false},
      {kWithin, temp.path(), x, false}, {kWithin, x / ".." / "Outside" / "f", x, false},
      {kWithin, fs::path(), x, false}, {kWithin, x, fs::path(), false},
      {kWithin, UpperCase((x / "bin" / "a.dll").string()), x, kElementsFoldCase},
      {kWithin, UpperCase((missing / "f").string()), missing, kElementsFoldCase},
      {kWithin, x / "out" / "f", x, false, L}, {kWithin, x / "out" / "new" / "f", x, false, L},
      {kWithin, x / "file-link", x, false, L}, {kWithin, x / "in" / "f", x, true, L},
      {kWithin, linked / "bin" / "a.dll", x, true, L}, {kWithin, x / "bin" / "a.dll", linked, true, L},
      {kLinkOnTheWay, x, x, false}, {kLinkOnTheWay, x / "a.dll", x, false},
      {kLinkOnTheWay, x / "new" / "deeper" / "f", x, false},
      {kLinkOnTheWay, temp / "Outside" / "f", x, true}, {kLinkOnTheWay, fs::path(x) += "2/f", x, true},
      {kLinkOnTheWay, "relative/f", x, true}, {kLinkOnTheWay, "Q:\\f", x, true},
      {kLinkOnTheWay, x / "out" / "new" / "deeper" / "f", x, true, L},
      {kLinkOnTheWay, x / "in" / "f", x, true, L}, {kLinkOnTheWay, linked / "bin" / "a.dll", linked, true, L},
      {kLinkOnTheWay, linked, linked, true, L}, {kLinkOnTheWay, x / "real" / "f", x, false, L},
      {kLinkOnTheWay, x / "out", x, false, L},
      {kRegularFile, x / "bin" / "a.dll", {}, true}, {kRegularFile, x / "bin", {}, false},
      {kRegularFile, x / "bin" / "missing.dll", {}, false}, {kRegularFile, x / "missing" / "a.dll", {}, false},
      {kRegularFile, x / "file-link", {}, false, L}, {kRegularFile, x / "dangling", {}, false, L},
      {kRegularFile, x / "in", {}, false, L},
      // clang-format on
  };
  for (const auto& c : cases) {
    if (c.needs_links && !links) continue;
    const bool answer = c.check == kWithin         ? PathIsWithin(c.path, c.root)
                        : c.check == kLinkOnTheWay ? HasReparseAncestor(c.path, c.root)
                                                   : IsRegularFile(c.path);
    EXPECT_EQ(answer, c.expected) << c.check << " " << c.path.string() << " in " << c.root.string();
  }
  // Wine's CreateSymbolicLinkW reports success and creates nothing; Windows needs developer mode.
  if (!links) GTEST_SKIP() << "the rows with links need symbolic links, which this system lacks";
}

}  // namespace
}  // namespace kov::update
