// A tiny game launcher that updates itself through kov-updater, to show the whole hand-over.
//
//   demo_launcher setup <scratch>    lays out version 1.0.0 of a game installation and a staged
//                                    update to 2.0.0 in the empty or missing folder <scratch>,
//                                    writes the update job, starts kov-updater (found beside this
//                                    program) and exits, as a launcher does before an update
//   demo_launcher report <scratch> [words...]
//                                    what the restarted launcher runs: tells its version and its
//                                    words in <scratch>/result.txt and on standard output

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "update/process.h"
#include "update/update_job.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kOldVersion = "1.0.0";
constexpr std::string_view kNewVersion = "2.0.0";

struct Layout {
  fs::path scratch;
  fs::path install;
  fs::path staging;
  fs::path backup;
  fs::path update;  // the launcher's own folder for the job, the manifest and the log
  fs::path result;
};

Layout LayoutIn(const fs::path& scratch) {
  return {scratch,
          scratch / "game-launcher",
          scratch / "staged-update",
          scratch / "backup",
          scratch / "update",
          scratch / "result.txt"};
}

fs::path VersionFileBeside(const fs::path& program) {
  return program.parent_path() / "version.txt";
}

bool WriteText(const fs::path& file, std::string_view text) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) std::cerr << "demo_launcher: cannot write " << Utf8Path(file) << "\n";
  return static_cast<bool>(out);
}

bool CopyProgram(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (fs::copy_file(from, to, ec)) return true;
  std::cerr << "demo_launcher: cannot copy " << Utf8Path(from) << " (" << ec.message() << ")\n";
  return false;
}

std::string ReadVersion(const fs::path& program) {
  std::ifstream in(VersionFileBeside(program), std::ios::binary);
  std::string version;
  std::getline(in, version);
  return version.empty() ? "unknown" : version;
}

// Version 1.0.0 as a player has it: the launcher, its update helper, game data, and a save that
// no update may touch.
bool LayOutInstallation(const Layout& at, const fs::path& self, const fs::path& helper) {
  return CopyProgram(self, at.install / self.filename()) &&
         CopyProgram(helper, at.install / helper.filename()) &&
         WriteText(VersionFileBeside(at.install / self.filename()), std::string(kOldVersion)) &&
         WriteText(at.install / "data" / "readme.txt", "Welcome to version 1.0.0.\n") &&
         WriteText(at.install / "data" / "credits.txt", "Made by the demo team.\n") &&
         WriteText(at.install / "saves" / "slot1.sav", "player progress: level 7\n");
}

// Version 2.0.0 as the launcher would have downloaded and unpacked it: a new launcher, a replaced
// file, and new files in new folders. The manifest lists them in install order.
bool StageUpdate(const Layout& at, const fs::path& self, const fs::path& manifest) {
  const std::string launcher = Utf8Path(self.filename());
  return CopyProgram(self, at.staging / self.filename()) &&
         WriteText(at.staging / "version.txt", std::string(kNewVersion)) &&
         WriteText(at.staging / "data" / "readme.txt", "Welcome to version 2.0.0.\n") &&
         WriteText(at.staging / "data" / "levels" / "level2.txt", "A new level.\n") &&
         WriteText(at.staging / "data" / "music" / "theme.txt", "A new tune.\n") &&
         WriteText(manifest, launcher +
                                 "\nversion.txt\ndata/readme.txt\ndata/levels/level2.txt\n"
                                 "data/music/theme.txt\n");
}

bool IsEmptyOrMissing(const fs::path& folder) {
  std::error_code ec;
  return !fs::exists(folder, ec) || fs::is_empty(folder, ec);
}

int Setup(const fs::path& scratch_arg) {
  std::error_code ec;
  const fs::path scratch = fs::absolute(scratch_arg, ec);
  if (ec || !IsEmptyOrMissing(scratch)) {
    std::cerr << "demo_launcher: the scratch folder must be empty or missing\n";
    return 1;
  }
  const Layout at = LayoutIn(scratch);
  const fs::path self = CurrentExecutablePath();
  const fs::path helper = self.parent_path() / ("kov-updater" + self.extension().string());
  UpdateJob job;
  job.parent_pid = CurrentProcessId();
  job.install_dir = at.install;
  job.staging_dir = at.staging;
  job.backup_dir = at.backup;
  job.manifest = at.update / "manifest.txt";
  job.restart = at.install / self.filename();
  job.log = at.update / "updater.log";
  job.args = {"report", Utf8Path(scratch), "after the update"};
  if (!LayOutInstallation(at, self, helper) || !StageUpdate(at, self, job.manifest)) return 1;

  const fs::path job_file = at.update / "job.txt";
  std::string error;
  if (!WriteUpdateJob(job_file, job, error) ||
      !LaunchUpdateHelper(at.install / helper.filename(), job_file, error)) {
    std::cerr << "demo_launcher: " << error << "\n";
    return 1;
  }
  std::cout << "demo launcher " << kOldVersion << ": update to " << kNewVersion
            << " staged, kov-updater started, exiting" << std::endl;
  // A launcher takes a moment to shut down; the helper waits for it.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return 0;
}

int Report(const fs::path& scratch, const std::vector<std::string>& words) {
  std::string line = "demo launcher " + ReadVersion(CurrentExecutablePath()) + " started with:";
  for (const std::string& word : words) line += " [" + word + "]";
  std::cout << line << std::endl;
  return WriteText(LayoutIn(scratch).result, line + "\n") ? 0 : 1;
}

int Run(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "setup") return Setup(PathFromUtf8(args[1]));
  if (args.size() >= 2 && args[0] == "report") {
    return Report(PathFromUtf8(args[1]), {args.begin() + 2, args.end()});
  }
  std::cerr << "usage: demo_launcher setup <scratch> | demo_launcher report <scratch> [words...]\n";
  return 2;
}

}  // namespace
}  // namespace kov::update

int main() { return kov::update::Run(kov::update::CurrentProcessArguments()); }
