#pragma once

// A small installation job over fresh folders, and a view of the disk-changing operations, for
// the tests that run whole installs.

#include <filesystem>
#include <functional>
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

// One call of a disk-changing operation: its name and its paths (for sync_files the folder,
// then the files).
struct Call {
  std::string op;
  std::vector<std::filesystem::path> paths;
};

// Sees each disk-changing call before it happens and may refuse it with a code (or throw to stop
// the run dead), and sees each call that succeeded.
struct Watcher {
  std::function<std::error_code(const Call&)> before = [](const Call&) {
    return std::error_code();
  };
  std::function<void(const Call&)> succeeded = [](const Call&) {};
};

namespace detail {
inline void AddPaths(std::vector<std::filesystem::path>& to, const std::filesystem::path& path) {
  to.push_back(path);
}
inline void AddPaths(std::vector<std::filesystem::path>& to,
                     const std::vector<std::filesystem::path>& paths) {
  to.insert(to.end(), paths.begin(), paths.end());
}
inline void AddPaths(std::vector<std::filesystem::path>&, std::string_view) {}

template <typename... Args>
void Watch(const char* name, std::function<std::error_code(Args...)>& op, const Watcher& watcher) {
  op = [name, real = op, watcher](Args... args) {
    Call call{name, {}};
    (AddPaths(call.paths, args), ...);
    if (const std::error_code refused = watcher.before(call)) return refused;
    const std::error_code failed = real(args...);
    if (!failed) watcher.succeeded(call);
    return failed;
  };
}
}  // namespace detail

// The operations with every disk-changing one shown to the watcher.
inline update::InstallFileOps Watched(update::InstallFileOps ops, const Watcher& watcher) {
  detail::Watch("copy", ops.copy_file, watcher);
  detail::Watch("back up", ops.back_up_file, watcher);
  detail::Watch("write", ops.write_file, watcher);
  detail::Watch("flush", ops.flush_file, watcher);
  detail::Watch("sync", ops.sync_files, watcher);
  detail::Watch("move", ops.move_file, watcher);
  detail::Watch("rename", ops.rename_file, watcher);
  detail::Watch("remove", ops.remove_file, watcher);
  detail::Watch("folders", ops.create_folders, watcher);
  detail::Watch("tree", ops.remove_tree, watcher);
  detail::Watch("sync folder", ops.sync_folder, watcher);
  return ops;
}

}  // namespace kov::test
