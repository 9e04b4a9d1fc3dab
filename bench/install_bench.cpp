// Times whole installs on the disk for one update shape, beside the same work done plainly file
// by file (in C++ and by a careful Python script), and shows where InstallFiles spends its time.
//   install_bench <work folder> <small|large> [path/to/install_baseline.py [rounds]]
// small: 10,000 files of 4 KiB in 100 folders; large: one file of 1 GiB. Every target exists
// beforehand, so every file is backed up. The work folder must lie on the disk, not on tmpfs.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "bench/install_shape.h"
#include "update/sha256.h"

namespace {

using namespace kov::bench;
using kov::update::InstallFileOps;
using kov::update::UpdateJob;

// The floor: the same install with nothing brought to the disk.
InstallFileOps WithoutFlushes() {
  InstallFileOps ops = kov::update::SystemInstallFileOps();
  ops.flush_file = [](const fs::path&) { return std::error_code(); };
  ops.sync_files = [](const fs::path&, const std::vector<fs::path>&) { return std::error_code(); };
  ops.sync_folder = [](const fs::path&) { return std::error_code(); };
  return ops;
}

long PeakKilobytes() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

UpdateJob PrepareSynced(const fs::path& work, const Shape& shape) {
  const UpdateJob job = Prepare(work, shape);
  ::sync();
  return job;
}

bool Fsync(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  return fd >= 0 && ::close(fd) == 0 && synced;
}

bool SameDigest(const fs::path& a, const fs::path& b) {
  std::string error;
  const std::string digest = kov::update::Sha256FileHex(a, error);
  return !digest.empty() && digest == kov::update::Sha256FileHex(b, error);
}

// The same work as an install, written plainly: each target copied to the backup and flushed,
// then each staged file copied beside its target, flushed, renamed over it with its folder
// flushed, and both hashed; finally the work folders removed.
double TimePlain(const fs::path& work, const Shape& shape) {
  const UpdateJob job = PrepareSynced(work, shape);
  const auto start = Clock::now();
  std::error_code ec;
  for (int i = 0; i < shape.files; ++i) {
    const fs::path copy = job.backup_dir / RelativePath(shape, i);
    fs::create_directories(copy.parent_path(), ec);
    if (!fs::copy_file(job.install_dir / RelativePath(shape, i), copy, ec) || !Fsync(copy)) {
      return -1;
    }
  }
  for (int i = 0; i < shape.files; ++i) {
    const fs::path target = job.install_dir / RelativePath(shape, i);
    const fs::path staged = job.staging_dir / RelativePath(shape, i);
    const fs::path temporary = target.parent_path() / ".plain.tmp";
    if (!fs::copy_file(staged, temporary, ec) || !Fsync(temporary)) return -1;
    fs::rename(temporary, target, ec);
    if (ec || !Fsync(target.parent_path()) || !SameDigest(staged, target)) return -1;
  }
  fs::remove_all(job.backup_dir, ec);
  fs::remove_all(job.staging_dir, ec);
  return Seconds(Clock::now() - start);
}

// The script prints its own elapsed time, which leaves out the interpreter's start.
double TimeBaseline(const fs::path& work, const Shape& shape, const std::string& script,
                    bool flush) {
  const UpdateJob job = PrepareSynced(work, shape);
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
  const Shape shape = ShapeNamed(name);
  const std::string script = argc > 3 ? argv[3] : "";
  const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  fs::create_directories(work);

  OpTimes best_times;
  std::vector<double> best_marks;
  long growth = 0;
  double best_ours = 1e30;
  // Seconds of one install with the given operations; the largest rise of the peak memory seen
  // during an install is kept in growth.
  const auto install = [&](const InstallFileOps& ops, std::vector<double>& marks) {
    const UpdateJob job = PrepareSynced(work, shape);
    const long peak_before = PeakKilobytes();
    const double seconds = TimeInstall(job, ops, marks);
    growth = std::max(growth, PeakKilobytes() - peak_before);
    return seconds;
  };
  std::vector<Variant> variants = {
      {"InstallFiles",
       [&] {
         OpTimes times;
         std::vector<double> marks;
         const double t = install(TimedOps(times), marks);
         if (t >= 0 && t < best_ours) best_ours = t, best_times = times, best_marks = marks;
         return t;
       }},
      {"InstallFiles, no flush at all",
       [&] {
         std::vector<double> marks;
         return install(WithoutFlushes(), marks);
       }},
      {"plain copy, hash and flush per file", [&] { return TimePlain(work, shape); }},
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
  std::printf("  best InstallFiles run:\n");
  PrintProfile(best_times, best_marks, best_ours);
  std::printf("  peak memory growth during an install: %ld KiB\n", growth);
  const auto ratio = [&](std::size_t reference, std::size_t ours) {
    return Best(variants[reference].times) / Best(variants[ours].times);
  };
  std::printf("  speed (reference time / ours, best of each; above 1 is faster):\n");
  std::printf("    against the plain C++ copy, hash and flush: %.2fx\n", ratio(2, 0));
  if (!script.empty()) {
    std::printf("    against Python with fsync: %.2fx; unflushed against unflushed: %.2fx\n",
                ratio(3, 0), ratio(4, 1));
  }
  for (const char* folder : {"install", "staging", "backup"}) fs::remove_all(work / folder);
  return 0;
}
