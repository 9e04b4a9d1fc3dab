// A tiny game launcher that updates itself through kov-updater, to show the whole hand-over.
//
//   demo_launcher setup <scratch>    lays out version 1.0.0 of a game installation and a staged
//                                    update to 2.0.0 in the empty or missing folder <scratch>,
//                                    writes the update job, starts kov-updater (found beside this
//                                    program) and exits, as a launcher does before an update
//   demo_launcher report <scratch> [words...]
//                                    what the restarted launcher runs: tells its version and its
//                                    words in <scratch>/result.txt and on standard output
//
// The Linux AppImage form needs no helper, since a running AppImage file can be replaced:
//   demo_launcher appimage-setup <scratch>
//                                    lays out <scratch>/Demo.AppImage, a stand-in for version
//                                    1.0.0 as one AppImage file, and the 2.0.0 download with its
//                                    published SHA-256 in <scratch>/download/
//   demo_launcher appimage-update <scratch>
//                                    what Demo.AppImage runs as, with APPIMAGE naming it: checks
//                                    the download's digest, replaces its own file with it, starts
//                                    it with "report" and exits

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "update/process.h"
#include "update/sha256.h"
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

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An AppImage is one file, so the stand-in carries its version at its end.
constexpr std::string_view kVersionMark = "\nkov-demo-version=";

std::string ReadVersion(const fs::path& program) {
  fs::path appimage;
  std::string version;
  if (HasOriginalAppImage(appimage)) {
    const std::string bytes = ReadBytes(appimage);
    const std::size_t mark = bytes.rfind(kVersionMark);
    if (mark != std::string::npos) version = bytes.substr(mark + kVersionMark.size());
  } else {
    version = ReadBytes(VersionFileBeside(program));
  }
  version = version.substr(0, version.find('\n'));
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

// The absolute form of a scratch folder that is empty or missing, or an empty path.
fs::path ScratchFolder(const fs::path& given) {
  std::error_code ec;
  const fs::path scratch = fs::absolute(given, ec);
  if (!ec && IsEmptyOrMissing(scratch)) return scratch;
  std::cerr << "demo_launcher: the scratch folder must be empty or missing\n";
  return {};
}

int Setup(const fs::path& scratch_arg) {
  const fs::path scratch = ScratchFolder(scratch_arg);
  if (scratch.empty()) return 1;
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

fs::path AppImageDownload(const fs::path& scratch) {
  return scratch / "download" / "Demo.AppImage";
}

fs::path PublishedDigest(const fs::path& scratch) { return scratch / "download" / "Demo.sha256"; }

// This program with the AppImage type-2 mark at bytes 8 to 10, which the kernel ignores.
bool WriteAppImage(const fs::path& file, std::string_view version) {
  std::string bytes = ReadBytes(CurrentExecutablePath());
  if (bytes.size() < 11) return false;
  bytes.replace(8, 3, "AI\x02", 3);
  if (!WriteText(file, bytes + std::string(kVersionMark) + std::string(version) + "\n")) {
    return false;
  }
  std::error_code ec;
  fs::permissions(file, fs::perms::owner_exec, fs::perm_options::add, ec);
  return !ec;
}

int SetupAppImage(const fs::path& scratch_arg) {
  const fs::path scratch = ScratchFolder(scratch_arg);
  std::string error;
  const bool ready =
      !scratch.empty() && WriteAppImage(scratch / "Demo.AppImage", kOldVersion) &&
      WriteAppImage(AppImageDownload(scratch), kNewVersion) &&
      WriteText(PublishedDigest(scratch), Sha256FileHex(AppImageDownload(scratch), error) + "\n");
  return ready ? 0 : 1;
}

int UpdateAppImage(const fs::path& scratch) {
  fs::path appimage;
  if (!HasOriginalAppImage(appimage)) {
    std::cerr << "demo_launcher: not started from an AppImage\n";
    return 1;
  }
  const std::string version = ReadVersion(appimage);  // before the file changes
  // A real launcher downloads the release's AppImage and its published digest at this point.
  const fs::path download = AppImageDownload(scratch);
  const std::string published = ReadBytes(PublishedDigest(scratch)).substr(0, 64);
  std::string error;
  if (!IsValidSha256(published) || Sha256FileHex(download, error) != NormalizeSha256(published)) {
    std::cerr << "demo_launcher: the download does not match its published digest\n";
    return 1;
  }
  if (!ApplyAppImageUpdate(download, appimage, {"report", Utf8Path(scratch), "after the update"},
                           error)) {
    std::cerr << "demo_launcher: " << error << "\n";
    return 1;
  }
  std::cout << "demo launcher " << version << ": AppImage replaced by " << kNewVersion
            << " and started, exiting" << std::endl;
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
  if (args.size() == 2 && args[0] == "appimage-setup") return SetupAppImage(PathFromUtf8(args[1]));
  if (args.size() == 2 && args[0] == "appimage-update") {
    return UpdateAppImage(PathFromUtf8(args[1]));
  }
  std::cerr << "usage: demo_launcher setup|appimage-setup|appimage-update <scratch> | "
               "demo_launcher report <scratch> [words...]\n";
  return 2;
}

}  // namespace
}  // namespace kov::update

int main() { return kov::update::Run(kov::update::CurrentProcessArguments()); }
