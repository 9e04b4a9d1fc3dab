#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "update/install_journal.h"
#include "update/installer_platform.h"
#include "update/platform_posix.h"
#include "update/process.h"
#include "update/sha256.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

// Every name the update places beside the AppImage starts so.
constexpr std::string_view kNamePrefix = ".kov-update-appimage-";
constexpr std::string_view kElfMagic = "\177ELF";
// Where the kernel reads nothing: ELF identification bytes 8 to 10.
constexpr std::size_t kMarkOffset = 8;
constexpr std::string_view kType2Mark("AI\x02", 3);

// The sentence is given without its full stop, so that the system's code can go before it.
bool Fail(std::string& error, std::string_view sentence, std::error_code cause = {}) {
  error = sentence;
  if (cause) error += " (" + std::to_string(cause.value()) + ")";
  error += '.';
  return false;
}

bool IsType2AppImage(int fd, std::error_code& cause) {
  char ident[kMarkOffset + kType2Mark.size()];
  const ssize_t got = ::pread(fd, ident, sizeof ident, 0);
  if (got < 0) cause = platform::LastError();
  if (got != static_cast<ssize_t>(sizeof ident)) return false;
  const std::string_view head(ident, sizeof ident);
  return head.starts_with(kElfMagic) && head.substr(kMarkOffset) == kType2Mark;
}

// Not through a link: the launcher checked the digest of the file it downloaded, not of
// whatever a link there leads to.
bool CheckDownloaded(const fs::path& file, struct stat& info, std::string& error) {
  if (::lstat(file.c_str(), &info) != 0) {
    return Fail(error, "Cannot read the downloaded AppImage", platform::LastError());
  }
  if (!S_ISREG(info.st_mode)) return Fail(error, "The downloaded AppImage is not a regular file");
  if (info.st_size == 0) return Fail(error, "The downloaded AppImage is empty");
  const platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  std::error_code cause = fd.valid() ? std::error_code() : platform::LastError();
  if (!cause && IsType2AppImage(fd.get(), cause)) return true;
  if (cause) return Fail(error, "Cannot read the downloaded AppImage", cause);
  return Fail(error, "The downloaded AppImage is not an AppImage of type 2");
}

// A link is followed to the real file, so that the link goes on leading to the AppImage.
bool CheckCurrent(const fs::path& given, fs::path& file, struct stat& info, std::string& error) {
  std::error_code cause;
  file = fs::canonical(given, cause);
  if (cause) return Fail(error, "Cannot find the AppImage to replace", cause);
  if (::stat(file.c_str(), &info) != 0) {
    return Fail(error, "Cannot find the AppImage to replace", platform::LastError());
  }
  if (!S_ISREG(info.st_mode)) return Fail(error, "The AppImage to replace is not a regular file");
  if (::faccessat(AT_FDCWD, file.parent_path().c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return Fail(error, "The AppImage's folder cannot be written", platform::LastError());
  }
  return true;
}

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Under the folder's lock nobody else updates there, so every name of the update is what a
// killed call left: a partial copy, or a second name of an earlier AppImage, which is only
// ever removed, never written through. What cannot be removed stays; the names taken next step
// around it.
void RemoveLeftovers(const fs::path& current) {
  std::vector<fs::path> leftovers;
  std::error_code unreadable;
  for (fs::directory_iterator it(current.parent_path(), unreadable), end; !unreadable && it != end;
       it.increment(unreadable)) {
    const fs::path& name = it->path();
    if (name.filename().native().starts_with(kNamePrefix) && name != current) {
      leftovers.push_back(name);
    }
  }
  for (const fs::path& leftover : leftovers) platform::RemoveFile(leftover);
}

bool SameContent(const fs::path& file, const fs::path& copy) {
  std::string unread;
  const std::string digest = Sha256FileHex(file, unread);
  return !digest.empty() && Sha256FileHex(copy, unread) == digest;
}

// The copy runs like the file it replaces, with its permission bits and runnable by everyone
// they name; it reaches the disk before it can be moved in.
bool WriteCopy(const fs::path& source, const fs::path& copy, mode_t replaced_mode,
               std::string& error) {
  std::error_code cause = platform::CopyFileOver(source, copy);
  if (!cause) fs::permissions(copy, static_cast<fs::perms>((replaced_mode & 0777) | 0111), cause);
  if (!cause) cause = platform::FlushFile(copy);
  if (!cause && SameContent(source, copy)) return true;
  platform::RemoveFile(copy);
  if (cause) {
    return Fail(error, "Cannot copy the downloaded AppImage beside the one to replace", cause);
  }
  return Fail(error, "The copy of the downloaded AppImage does not match it");
}

std::error_code KeepBackup(const fs::path& current, const fs::path& backup) {
  const std::error_code cause = platform::BackUpFile(current, backup);
  if (cause) platform::RemoveFile(backup);
  return cause;
}

// From the copy on, every failure removes it; the current file changes only by the move.
bool Replace(const fs::path& downloaded, const fs::path& current, mode_t current_mode,
             const std::vector<std::string>& arguments, std::string& error) {
  const fs::path folder = current.parent_path();
  const fs::path copy = FreeTemporaryName(folder, std::string(kNamePrefix));
  const fs::path backup = FreeTemporaryName(folder, std::string(kNamePrefix) + "backup-");
  if (copy.empty() || backup.empty()) {
    return Fail(error, "Cannot find a free temporary name beside the AppImage");
  }
  if (!WriteCopy(downloaded, copy, current_mode, error)) return false;
  if (const std::error_code cause = KeepBackup(current, backup)) {
    platform::RemoveFile(copy);
    return Fail(error, "Cannot keep the AppImage to replace", cause);
  }
  if (const std::error_code cause = platform::MoveFileDurably(copy, current)) {
    platform::RemoveFile(copy);
    platform::RemoveFile(backup);
    return Fail(error, "Cannot put the downloaded AppImage in place", cause);
  }
  if (!LaunchApplication(current, arguments, folder, error, true)) {
    platform::MoveFileDurably(backup, current);  // if even that fails, the backup keeps its name
    return false;
  }
  platform::RemoveFile(backup);
  return true;
}

}  // namespace

bool HasOriginalAppImage(fs::path& original) {
  const char* named = std::getenv("APPIMAGE");
  if (named == nullptr || !fs::path(named).is_absolute()) return false;
  std::error_code ec;
  fs::path file = fs::canonical(named, ec);
  if (ec || !fs::is_regular_file(file, ec)) return false;
  original = std::move(file);
  return true;
}

bool ApplyAppImageUpdate(const fs::path& new_appimage, const fs::path& current_appimage,
                         const std::vector<std::string>& arguments, std::string& error) {
  struct stat downloaded;
  struct stat replaced;
  fs::path current;
  if (!CheckDownloaded(new_appimage, downloaded, error) ||
      !CheckCurrent(current_appimage, current, replaced, error)) {
    return false;
  }
  if (SameFile(downloaded, replaced)) {
    return Fail(error, "The downloaded AppImage is the AppImage to replace");
  }
  std::error_code cause;
  const platform::InstallationLock lock =
      platform::TryLockInstallation(LockPath(current.parent_path()), cause);
  if (!lock && cause) return Fail(error, "Cannot lock the AppImage's folder for the update", cause);
  if (!lock) return Fail(error, "Another update is running in the AppImage's folder");
  RemoveLeftovers(current);
  return Replace(new_appimage, current, replaced.st_mode, arguments, error);
}

}  // namespace kov::update
