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

struct PathPairCase {
  fs::path path;
  fs::path root;
  bool expected;
};

// An installation folder "X" with one file in "bin", inside a scratch folder.
class RealPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(root_ / "bin" / "a.dll", "dll");
    test::WriteFile(temp_ / "Outside" / "f", "outside");
  }

  void ExpectAll(bool (*predicate)(const fs::path&, const fs::path&),
                 const std::vector<PathPairCase>& cases) {
    for (const PathPairCase& c : cases) {
      EXPECT_EQ(predicate(c.path, c.root), c.expected)
          << "path " << c.path.string() << " root " << c.root.string();
    }
  }

  test::TempDir temp_;
  const fs::path root_ = temp_ / "X";
};

TEST_F(RealPathTest, PathIsWithinComparesWholeResolvedElements) {
  const fs::path missing_root = temp_ / "Missing" / "Dir";
  // clang-format off
  ExpectAll(PathIsWithin, {
      {root_, root_, true}, {root_ / "bin" / "a.dll", root_, true},
      {root_ / "new" / "deeper" / "file", root_, true}, {root_ / "bin" / ".." / "new", root_, true},
      {root_ / "new" / "file", fs::path(root_) += "/new/", true},
      {fs::path(root_) += "2", root_, false}, {fs::path(root_) += "2/a.dll", root_, false},
      {temp_.path(), root_, false}, {root_ / ".." / "Outside" / "f", root_, false},
      {fs::path(), root_, false}, {root_, fs::path(), false},
      {UpperCase((root_ / "bin" / "a.dll").string()), root_, kElementsFoldCase},
      {UpperCase((missing_root / "f").string()), missing_root, kElementsFoldCase}});
  // clang-format on
}

TEST_F(RealPathTest, IsRegularFileOnlyForExistingOrdinaryFiles) {
  EXPECT_TRUE(IsRegularFile(root_ / "bin" / "a.dll"));
  EXPECT_FALSE(IsRegularFile(root_ / "bin"));
  EXPECT_FALSE(IsRegularFile(root_ / "bin" / "missing.dll"));
  EXPECT_FALSE(IsRegularFile(root_ / "missing" / "a.dll"));
}

TEST_F(RealPathTest, HasReparseAncestorWithoutLinks) {
  // clang-format off
  ExpectAll(HasReparseAncestor, {
      {root_, root_, false}, {root_ / "a.dll", root_, false},
      {root_ / "bin" / "a.dll", root_, false}, {root_ / "new" / "deeper" / "f", root_, false},
      {temp_ / "Outside" / "f", root_, true}, {fs::path(root_) += "2/f", root_, true},
      {"relative/f", root_, true}, {"Q:\\f", root_, true}});
  // clang-format on
}

// Links made on disk: "out" leads outside X, "in" stays inside, "LinkedX" stands for X.
class LinkTest : public RealPathTest {
 protected:
  void SetUp() override {
    RealPathTest::SetUp();
    test::WriteFile(root_ / "real" / "f", "inside");
    if (!MakeLink(temp_ / "Outside", root_ / "out", true) ||
        !MakeLink(root_ / "real", root_ / "in", true) || !MakeLink(root_, linked_root_, true) ||
        !MakeLink(temp_ / "Outside" / "f", root_ / "file-link", false) ||
        !MakeLink(temp_ / "gone", root_ / "dangling", false)) {
      GTEST_SKIP() << "this system does not create symbolic links here (Wine's "
                      "CreateSymbolicLinkW reports success and creates nothing; Windows needs "
                      "developer mode)";
    }
  }

  static bool MakeLink(const fs::path& target, const fs::path& link, bool folder) {
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

  const fs::path linked_root_ = temp_ / "LinkedX";
};

TEST_F(LinkTest, PathIsWithinFollowsLinksBeforeComparing) {
  // clang-format off
  ExpectAll(PathIsWithin, {
      {root_ / "out" / "f", root_, false}, {root_ / "out" / "new" / "f", root_, false},
      {root_ / "file-link", root_, false}, {root_ / "in" / "f", root_, true},
      {linked_root_ / "bin" / "a.dll", root_, true},
      {root_ / "bin" / "a.dll", linked_root_, true}});
  // clang-format on
}

TEST_F(LinkTest, HasReparseAncestorFindsEveryLinkedFolderOnTheWay) {
  // clang-format off
  ExpectAll(HasReparseAncestor, {
      {root_ / "out" / "f", root_, true}, {root_ / "out" / "new" / "deeper" / "f", root_, true},
      {root_ / "in" / "f", root_, true}, {linked_root_ / "bin" / "a.dll", linked_root_, true},
      {linked_root_, linked_root_, true}, {root_ / "real" / "f", root_, false},
      {root_ / "out", root_, false}});
  // clang-format on
}

TEST_F(LinkTest, IsRegularFileRefusesEveryLink) {
  EXPECT_TRUE(IsRegularFile(temp_ / "Outside" / "f"));
  EXPECT_FALSE(IsRegularFile(root_ / "file-link"));
  EXPECT_FALSE(IsRegularFile(root_ / "dangling"));
  EXPECT_FALSE(IsRegularFile(root_ / "in"));
}

}  // namespace
}  // namespace kov::update
