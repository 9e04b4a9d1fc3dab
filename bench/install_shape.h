#pragma once

// The update shapes of the install benchmarks, laid out on the disk, and one timed install.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "update/installer.h"
#include "update/installer_platform.h"
#include "update/update_job.h"

namespace kov::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Shape {
  int files;
  int folders;
  std::uintmax_t size;
};

// small: 10,000 files of 4 KiB in 100 folders; large: one file of 1 GiB.
inline Shape ShapeNamed(std::string_view name) {
  return name == "large" ? Shape{1, 1, std::uintmax_t{1} << 30} : Shape{10000, 100, 4096};
}

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline std::string RelativePath(const Shape& shape, int i) {
  if (shape.files == 1) return "big.bin";
  std::string path = "d";  // appended piece by piece: g++ 12 warns wrongly on the + chain
  path += std::to_string(i % shape.folders);
  path += "/f";
  path += std::to_string(i);
  path += ".bin";
  return path;
}

inline update::UpdateJob JobIn(const fs::path& work, const Shape& shape) {
  update::UpdateJob job;
  job.parent_pid = 1;
  job.install_dir = work / "install";
  job.staging_dir = work / "staging";
  job.backup_dir = work / "backup";
  job.manifest = work / "manifest.txt";
  job.log = work / "updater.log";
  job.restart = job.install_dir / RelativePath(shape, 0);
  return job;
}

inline void WriteBytes(const fs::path& file, std::uintmax_t size, std::mt19937_64& random) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  std::vector<std::uint64_t> chunk(std::min<std::uintmax_t>(size, 1 << 20) / 8);
  for (std::uintmax_t written = 0; written < size; written += chunk.size() * 8) {
    for (auto& word : chunk) word = random();
    out.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(chunk.size() * 8));
  }
}

// A fresh installation, staging folder and manifest, every target existing beforehand so that
// every file is backed up. The caller syncs the disk afterwards, so that the timed run does not
// pay for the preparation's writes.
inline update::UpdateJob Prepare(const fs::path& work, const Shape& shape) {
  const update::UpdateJob job = JobIn(work, shape);
  for (const fs::path& folder : {job.install_dir, job.staging_dir, job.backup_dir}) {
    fs::remove_all(folder);
  }
  std::mt19937_64 random(7);
  std::ofstream manifest(job.manifest, std::ios::binary | std::ios::trunc);
  for (int i = 0; i < shape.files; ++i) {
    const std::string relative = RelativePath(shape, i);
    WriteBytes(job.install_dir / relative, shape.size, random);
    WriteBytes(job.staging_dir / relative, shape.size, random);
    manifest << relative << '\n';
  }
  return job;
}

// Seconds of one install of a prepared job, or -1; marks receives the time of each progress
// line from the start.
inline double TimeInstall(const update::UpdateJob& job, const update::InstallFileOps& ops,
                          std::vector<double>& marks) {
  const auto start = Clock::now();
  update::InstallOptions options;
  options.log = [&](std::string_view) { marks.push_back(Seconds(Clock::now() - start)); };
  const update::InstallResult result = update::InstallFilesWith(job, options, false, ops);
  const double seconds = Seconds(Clock::now() - start);
  if (result.status == update::InstallStatus::Installed) return seconds;
  std::fprintf(stderr, "install failed: %s\n", result.error.c_str());
  return -1;
}

// Seconds spent in each kind of disk operation.
struct OpTimes {
  double copy = 0, flush = 0, sync = 0, move = 0, rename = 0, folder_sync = 0, remove = 0;
};

template <class... Args>
inline void Timed(std::function<std::error_code(Args...)>& op, double& total) {
  op = [real = op, &total](Args... args) {
    const auto start = Clock::now();
    const std::error_code failed = real(args...);
    total += Seconds(Clock::now() - start);
    return failed;
  };
}

inline update::InstallFileOps TimedOps(OpTimes& times) {
  update::InstallFileOps ops = update::SystemInstallFileOps();
  Timed(ops.copy_file, times.copy);
  Timed(ops.flush_file, times.flush);
  Timed(ops.sync_files, times.sync);
  Timed(ops.move_file, times.move);
  Timed(ops.rename_file, times.rename);
  Timed(ops.remove_tree, times.remove);
  Timed(ops.sync_folder, times.folder_sync);
  return ops;
}

// The phases of an install from its progress lines (manifest entries, backup start, backup
// complete, replacing, replacement complete, verification complete), or nothing.
inline void PrintProfile(const OpTimes& t, const std::vector<double>& m, double seconds) {
  if (m.size() == 6) {
    std::printf(
        "  phases: job and manifest checks %.3f, backup %.3f, replacement with verification "
        "%.3f, completion and clean-up %.3f\n",
        m[1], m[2] - m[1], m[4] - m[2], seconds - m[5]);
  }
  std::printf(
      "  operations: copies %.3f, single flushes %.3f, batch syncs %.3f, durable moves %.3f, "
      "renames %.3f, folder syncs %.3f, work folder removal %.3f, the rest (checks, hashing) "
      "%.3f\n",
      t.copy, t.flush, t.sync, t.move, t.rename, t.folder_sync, t.remove,
      seconds - t.copy - t.flush - t.sync - t.move - t.rename - t.folder_sync - t.remove);
}

}  // namespace kov::bench
