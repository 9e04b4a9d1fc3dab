// Times whole installs on the disk for one update shape, beside a Python script that does the
// same work file by file, and shows where InstallFiles spends its time.
//   install_bench <work folder> <small|large> [path/to/install_baseline.py] [--no-baseline]
// small: 10,000 files of 4 KiB in 100 folders; large: one file of 1 GiB. Every target exists
// beforehand, so every file is backed up. The work folder must lie on the disk, not on tmpfs.

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "update/installer.h"
#include "update/installer_platform.h"
#include "update/update_job.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kov::update::InstallFileOps;

struct Shape {
  int files;
  int folders;
  std::uintmax_t size;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string RelativePath(const Shape& shape, int i) {
  if (shape.files == 1) return "big.bin";
  std::string path = "d";  // appended piece by piece: g++ 12 warns wrongly on the + chain
  path += std::to_string(i % shape.folders);
  path += "/f";
  path += std::to_string(i);
  path += ".bin";
  return path;
}

void WriteBytes(const fs::path& file, std::uintmax_t size, std::mt19937_64& random) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  std::vector<std::uint64_t> chunk(std::min<std::uintmax_t>(size, 1 << 20) / 8);
  for (std::uintmax_t written = 0; written < size; written += chunk.size() * 8) {
    for (auto& word : chunk) word = random();
    out.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(chunk.size() * 8));
  }
}

// Fresh installation, staging folder and manifest, written through to the disk so that the
// timed run does not pay for the preparation's writes.
kov::update::UpdateJob Prepare(const fs::path& work, const Shape& shape) {
  kov::update::UpdateJob job;
  job.parent_pid = 1;
  job.install_dir = work / "install";
  job.staging_dir = work / "staging";
  job.backup_dir = work / "backup";
  job.manifest = work / "manifest.txt";
  job.log = work / "updater.log";
  job.restart = job.install_dir / RelativePath(shape, 0);
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
  manifest.close();
  ::sync();
  return job;
}

// The system's operations, each timed.
struct TimedOps {
  double copy = 0, flush = 0, move = 0, sync = 0;

  InstallFileOps Wrap(const InstallFileOps& real) {
    auto timed = [](double& total, auto call) {
      const auto start = Clock::now();
      const bool ok = call();
      total += Seconds(Clock::now() - start);
      return ok;
    };
    return {
        [=, this](const fs::path& s, const fs::path& d) {
          return timed(copy, [&] { return real.copy_file(s, d); });
        },
        [=, this](const fs::path& f) { return timed(flush, [&] { return real.flush_file(f); }); },
        [=, this](const fs::path& s, const fs::path& d) {
          return timed(move, [&] { return real.move_file(s, d); });
        },
        [=, this](const fs::path& b, const std::vector<fs::path>& c) {
          return timed(sync, [&] { return real.sync_backups(b, c); });
        }};
  }
};

// The system's copy, and a plain rename in place of every flush and durable move.
InstallFileOps WithoutFlushes() {
  InstallFileOps ops = kov::update::SystemInstallFileOps();
  ops.flush_file = [](const fs::path&) { return true; };
  ops.move_file = [](const fs::path& s, const fs::path& d) {
    return ::rename(s.c_str(), d.c_str()) == 0;
  };
  ops.sync_backups = [](const fs::path&, const std::vector<fs::path>&) { return true; };
  return ops;
}

long PeakKilobytes() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Seconds of one install, or -1; growth receives how far the install raised the peak memory.
double TimeInstall(const fs::path& work, const Shape& shape, const InstallFileOps& ops,
                   long& growth) {
  const kov::update::UpdateJob job = Prepare(work, shape);
  const long peak_before = PeakKilobytes();
  const auto start = Clock::now();
  const kov::update::InstallResult result = kov::update::InstallFilesWith(job, {}, false, ops);
  const double seconds = Seconds(Clock::now() - start);
  growth = PeakKilobytes() - peak_before;
  if (result.status != kov::update::InstallStatus::Installed) {
    std::fprintf(stderr, "install failed: %s\n", result.error.c_str());
    return -1;
  }
  return seconds;
}

// The script prints its own elapsed time, which leaves out the interpreter's start.
double TimeBaseline(const fs::path& work, const Shape& shape, const std::string& script,
                    bool flush) {
  const kov::update::UpdateJob job = Prepare(work, shape);
  const std::string command = "python3 '" + script + "' '" + job.install_dir.string() + "' '" +
                              job.staging_dir.string() + "' '" + job.backup_dir.string() + "' '" +
                              job.manifest.string() + "'" + (flush ? "" : " --no-fsync");
  FILE* pipe = ::popen(command.c_str(), "r");
  double seconds = -1;
  if (pipe == nullptr) return seconds;
  if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = -1;
  return ::pclose(pipe) == 0 ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: install_bench <work folder> <small|large> [baseline.py]\n");
    return 2;
  }
  const fs::path work = fs::absolute(argv[1]);
  const std::string name = argv[2];
  const Shape shape =
      name == "large" ? Shape{1, 1, std::uintmax_t{1} << 30} : Shape{10000, 100, 4096};
  const std::string script = argc > 3 ? argv[3] : "";
  fs::create_directories(work);

  TimedOps timed;
  long growth = 0, unflushed_growth = 0;
  const double ours =
      TimeInstall(work, shape, timed.Wrap(kov::update::SystemInstallFileOps()), growth);
  const double ours_unflushed = TimeInstall(work, shape, WithoutFlushes(), unflushed_growth);
  std::printf("shape %s: %d file(s) of %ju bytes\n", name.c_str(), shape.files, shape.size);
  std::printf("  InstallFiles, flushes on    %8.3f s\n", ours);
  std::printf(
      "    copies %.3f s, content flushes %.3f s, moves with folder sync %.3f s,"
      " backup sync %.3f s, everything else (checks, hashing, clean-up) %.3f s\n",
      timed.copy, timed.flush, timed.move, timed.sync,
      ours - timed.copy - timed.flush - timed.move - timed.sync);
  std::printf("  InstallFiles, flushes off   %8.3f s\n", ours_unflushed);
  std::printf("  peak memory growth during the install: %ld KiB (peak of the process %ld KiB)\n",
              growth, PeakKilobytes());
  if (!script.empty()) {
    const double baseline = TimeBaseline(work, shape, script, true);
    const double baseline_unflushed = TimeBaseline(work, shape, script, false);
    std::printf("  Python baseline, fsync on   %8.3f s\n", baseline);
    std::printf("  Python baseline, fsync off  %8.3f s\n", baseline_unflushed);
    std::printf("  ratio baseline / InstallFiles, flushes on: %.2fx (above 1 is faster)\n",
                baseline / ours);
    std::printf("  ratio baseline / InstallFiles, flushes off: %.2fx\n",
                baseline_unflushed / ours_unflushed);
  }
  for (const char* folder : {"install", "staging", "backup"}) fs::remove_all(work / folder);
  return ours < 0 ? 1 : 0;
}
