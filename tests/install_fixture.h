#pragma once

// A small installation job over fresh folders, for the tests that run whole installs.

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tests/test_util.h"
#include "tests/tree_snapshot.h"
#include "update/installer.h"
#include "update/installer_platform.h"

namespace kov::test {

// The installation lies at install_below inside the scratch folder; the backup folder does not
// exist until the run makes it.
struct InstallFixture {
  TempDir temp;
  update::UpdateJob job;
  std::vector<std::string> lines;
  decltype(update::InstallOptions::replace_file) replace;  // none: the system move

  explicit InstallFixture(const std::filesystem::path& install_below = "install") {
    job.parent_pid = 4242;
    job.install_dir = temp / install_below;
    job.staging_dir = temp / "staging";
    job.backup_dir = temp / "backup";
    job.manifest = temp / "manifest.txt";
    job.restart = job.install_dir / "bin" / "launcher.exe";
    job.log = temp / "updater.log";
    std::filesystem::create_directories(job.install_dir);
    std::filesystem::create_directories(job.staging_dir);
  }
  void Installed(const std::string& relative, std::string_view bytes) const {
    WriteFile(job.install_dir / relative, bytes);
  }
  void Manifest(std::string_view text) const { WriteFile(job.manifest, text); }
  // Stages each path with "new " + path and lists it, in order.
  void Update(const std::vector<std::string>& paths) const {
    std::string text;
    for (const auto& path : paths) {
      WriteFile(job.staging_dir / path, "new " + path);
      text += path + "\n";
    }
    Manifest(text);
  }
  update::InstallResult Run(bool relaunch = false,
                            const update::InstallFileOps& ops = update::SystemInstallFileOps()) {
    lines.clear();
    update::InstallOptions options{replace,
                                   [this](std::string_view line) { lines.emplace_back(line); }};
    return update::InstallFilesWith(job, options, relaunch, ops);
  }
  bool WorkFoldersExist() const {
    return std::filesystem::exists(job.backup_dir) || std::filesystem::exists(job.staging_dir);
  }
};

}  // namespace kov::test
