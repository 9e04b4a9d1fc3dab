// Times whole installs on the disk for one update shape, beside a Python script that does the
// same work file by file, and shows where InstallFiles spends its time.
//   install_bench <work folder> <small|large> [path/to/install_baseline.py [rounds]]
// small: 10,000 files of 4 KiB in 100 folders; large: one file of 1 GiB. Every target exists
// beforehand, so every file is backed up. The work folder must lie on the disk, not on tmpfs.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
  std::vector<double> marks;  // when each progress line came, from the start

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

// The system's operations with a plain rename in place of the move that syncs its folder, and
// optionally without the content flushes and the backup sync as well.
InstallFileOps WithoutFolderSync(bool flush_content) {
  InstallFileOps ops = kov::update::SystemInstallFileOps();
  ops.move_file = [](const fs::path& s, const fs::path& d) {
    return ::rename(s.c_str(), d.c_str()) == 0;
  };
  if (!flush_content) {
    ops.flush_file = [](const fs::path&) { return true; };
    ops.sync_backups = [](const fs::path&, const std::vector<fs::path>&) { return true; };
  }
  return ops;
}

long PeakKilobytes() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Seconds of one install, or -1. growth keeps the largest rise of the peak memory seen during
// an install; marks receives the time of each progress line.
double TimeInstall(const fs::path& work, const Shape& shape, const InstallFileOps& ops,
                   long& growth, std::vector<double>& marks) {
  const kov::update::UpdateJob job = Prepare(work, shape);
  const long peak_before = PeakKilobytes();
  const auto start = Clock::now();
  kov::update::InstallOptions options;
  options.log = [&](std::string_view) { marks.push_back(Seconds(Clock::now() - start)); };
  const kov::update::InstallResult result = kov::update::InstallFilesWith(job, options, false, ops);
  const double seconds = Seconds(Clock::now() - start);
  growth = std::max(growth, PeakKilobytes() - peak_before);
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

struct Variant {
  const char* label;
  std::function<double()> run;
  std::vector<double> times = {};
};

double Best(const std::vector<double>& times) {
  return *std::min_element(times.begin(), times.end());
}

double Median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

// The machine may be shared: the variants take turns, round after round, and the best and the
// median of each are shown.
int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: install_bench <work folder> <small|large> [baseline.py] [rounds]\n");
    return 2;
  }
  const fs::path work = fs::absolute(argv[1]);
  const std::string name = argv[2];
  const Shape shape =
      name == "large" ? Shape{1, 1, std::uintmax_t{1} << 30} : Shape{10000, 100, 4096};
  const std::string script = argc > 3 ? argv[3] : "";
  const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  fs::create_directories(work);

  TimedOps timed, best_timed;
  long growth = 0;
  std::vector<double> ignored_marks;
  double best_ours = 1e30;
  std::vector<Variant> variants = {
      {"InstallFiles, every flush on",
       [&] {
         timed = {};
         const double t = TimeInstall(work, shape, timed.Wrap(kov::update::SystemInstallFileOps()),
                                      growth, timed.marks);
         if (t >= 0 && t < best_ours) best_ours = t, best_timed = timed;
         return t;
       }},
      {"InstallFiles, no folder sync after the move",
       [&] { return TimeInstall(work, shape, WithoutFolderSync(true), growth, ignored_marks); }},
      {"InstallFiles, no flush at all",
       [&] { return TimeInstall(work, shape, WithoutFolderSync(false), growth, ignored_marks); }},
  };
  if (!script.empty()) {
    variants.push_back(
        {"Python baseline, fsync on", [&] { return TimeBaseline(work, shape, script, true); }});
    variants.push_back(
        {"Python baseline, fsync off", [&] { return TimeBaseline(work, shape, script, false); }});
  }
  for (int round = 0; round < rounds; ++round) {
    for (Variant& variant : variants) {
      const double t = variant.run();
      if (t < 0) return 1;
      variant.times.push_back(t);
    }
  }

  std::printf("shape %s: %d file(s) of %ju bytes, %d round(s), seconds best / median\n",
              name.c_str(), shape.files, shape.size, rounds);
  for (const Variant& variant : variants) {
    std::printf("  %-46s %8.3f %8.3f\n", variant.label, Best(variant.times), Median(variant.times));
  }
  std::printf(
      "  best run with every flush: copies %.3f, content flushes %.3f, moves with folder sync "
      "%.3f, backup sync %.3f, the rest (checks, hashing, clean-up) %.3f\n",
      best_timed.copy, best_timed.flush, best_timed.move, best_timed.sync,
      best_ours - best_timed.copy - best_timed.flush - best_timed.move - best_timed.sync);
  // Lines: manifest entries, backup start, backup complete, replacing, replacement complete,
  // verification complete.
  const std::vector<double>& m = best_timed.marks;
  if (m.size() == 6) {
    std::printf(
        "  its phases: job and manifest checks %.3f, backup %.3f, replacement with verification "
        "%.3f, clean-up %.3f\n",
        m[1], m[2] - m[1], m[4] - m[2], best_ours - m[5]);
  }
  std::printf("  peak memory growth during an install: %ld KiB\n", growth);
  if (!script.empty()) {
    const auto ratio = [&](std::size_t baseline, std::size_t ours) {
      return Best(variants[baseline].times) / Best(variants[ours].times);
    };
    std::printf(
        "  speed against the baseline (its time / ours, best of each; above 1 is faster):\n");
    std::printf("    flushes on: %.2fx; ours without folder sync: %.2fx; flushes off: %.2fx\n",
                ratio(3, 0), ratio(3, 1), ratio(4, 2));
  }
  for (const char* folder : {"install", "staging", "backup"}) fs::remove_all(work / folder);
  return 0;
}
