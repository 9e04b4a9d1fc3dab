#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/mount.h>
#endif

#include "tests/test_util.h"
#include "tests/tree_snapshot.h"
#include "update/installer.h"
#include "update/installer_platform.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;
using kov::test::Snapshot;
using kov::test::Tree;
using ::testing::Contains;

// The launcher replaced (10000 bytes before, 20000 after) and a new file of 5000 bytes.
struct Scene {
  kov::test::TempDir temp;
  UpdateJob job;
  std::vector<std::string> lines;

  explicit Scene(const fs::path& install) {
    job.parent_pid = 4242;
    job.install_dir = install;
    job.staging_dir = temp / "staging";
    job.backup_dir = temp / "backup";
    job.manifest = temp / "manifest.txt";
    job.restart = job.install_dir / "launcher.exe";
    job.log = temp / "updater.log";
    kov::test::WriteFile(job.install_dir / "launcher.exe", std::string(10000, 'o'));
    kov::test::WriteFile(job.staging_dir / "launcher.exe", std::string(20000, 'n'));
    kov::test::WriteFile(job.staging_dir / "data" / "new.dat", std::string(5000, 'n'));
    kov::test::WriteFile(job.manifest, "launcher.exe\ndata/new.dat\n");
  }

  InstallResult Run(const InstallFileOps& ops) {
    InstallOptions options;
    options.log = [this](std::string_view line) { lines.emplace_back(line); };
    return InstallFilesWith(job, options, false, ops);
  }
};

// Sizes rounded up to 4096-byte blocks, one block more per file, and 1 MiB to spare per volume.
constexpr std::uintmax_t kBackupNeed = (1 << 20) + 12288 + 4096;
constexpr std::uintmax_t kInstallNeed = (1 << 20) + 20480 + 4096 + 8192 + 4096;

TEST(DiskSpace, RefusedBeforeAnyChangeWhenAVolumeIsShort) {
  const struct {
    const char* name;
    std::uintmax_t install_free;
    std::uintmax_t backup_free;
    bool one_volume;
    const char* space_line;  // null: installed
  } cases[] = {
      {"installation short", kInstallNeed - 1, kBackupNeed, false,
       "disk space: 1085440 bytes needed, 1085439 bytes free"},
      {"backup short", kInstallNeed, kBackupNeed - 1, false,
       "disk space: 1064960 bytes needed, 1064959 bytes free"},
      {"each has enough", kInstallNeed, kBackupNeed, false, nullptr},
      {"one volume short of both", kInstallNeed + kBackupNeed - 1, kInstallNeed + kBackupNeed - 1,
       true, "disk space: 2150400 bytes needed, 2150399 bytes free"},
      {"one volume with both", kInstallNeed + kBackupNeed, kInstallNeed + kBackupNeed, true,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kov::test::TempDir dir;
    Scene scene(dir / "install");
    InstallFileOps ops = SystemInstallFileOps();
    ops.volume_space = [&](const fs::path& folder, platform::VolumeSpace& space) {
      const bool install = folder == scene.job.install_dir;
      space = {install ? c.install_free : c.backup_free, c.one_volume || install ? 1u : 2u};
      return std::error_code();
    };
    const Tree before = Snapshot(scene.temp.path());
    const InstallResult result = scene.Run(ops);
    if (c.space_line == nullptr) {
      EXPECT_EQ(result.status, InstallStatus::Installed);
      continue;
    }
    EXPECT_EQ(result.status, InstallStatus::Rejected);
    EXPECT_EQ(result.error, "There is not enough free disk space for the update.");
    EXPECT_THAT(scene.lines, Contains(c.space_line));
    EXPECT_EQ(scene.lines.back(),
              "space check failed: There is not enough free disk space for the update.");
    EXPECT_EQ(Snapshot(scene.temp.path()), before);
  }
}

#ifndef _WIN32
// A small file system of its own for the installation; needs the right to mount.
class SmallVolume {
 public:
  explicit SmallVolume(const fs::path& folder) : folder_(folder) {
    fs::create_directories(folder_);
    mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=512k") == 0;
  }
  ~SmallVolume() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallVolume(const SmallVolume&) = delete;
  SmallVolume& operator=(const SmallVolume&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path folder_;
  bool mounted_ = false;
};
#endif

TEST(DiskSpace, RealSmallVolumeIsRefusedOrRolledBackWhenItFillsDuringTheRun) {
#ifdef _WIN32
  GTEST_SKIP() << "no small file system can be made for a test on Windows";
#else
  const struct {
    const char* name;
    bool preflight_misled;  // another program is taken to free space, so the disk fills mid-run
  } cases[] = {{"refused by the real free space", false}, {"fills up during the run", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kov::test::TempDir dir;
    SmallVolume volume(dir / "install");
    if (!volume.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root";
    Scene scene(dir / "install");
    platform::VolumeSpace space;
    ASSERT_FALSE(platform::QueryVolumeSpace(scene.job.install_dir, space));
    // Leaves two blocks: room for the journal, none for the new launcher.
    kov::test::WriteFile(scene.job.install_dir / "filler",
                         std::string(space.available - 8192, 'f'));
    const Tree before = Snapshot(scene.job.install_dir);
    InstallFileOps ops = SystemInstallFileOps();
    if (c.preflight_misled) {
      ops.volume_space = [](const fs::path&, platform::VolumeSpace& space) {
        space = {std::uintmax_t{1} << 40, 1};
        return std::error_code();
      };
    }
    const InstallResult result = scene.Run(ops);
    EXPECT_EQ(Snapshot(scene.job.install_dir), before);
    if (!c.preflight_misled) {
      EXPECT_EQ(result.status, InstallStatus::Rejected);
      EXPECT_EQ(result.error, "There is not enough free disk space for the update.");
      continue;
    }
    EXPECT_EQ(result.status, InstallStatus::RolledBack);
    EXPECT_THAT(scene.lines, Contains("system error: 28"));
  }
#endif
}

}  // namespace
}  // namespace kov::update
