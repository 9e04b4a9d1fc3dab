#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "update/installer_platform.h"
#include "update/platform_posix.h"

namespace kov::update::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kCopyBufferSize = 1 << 20;
constexpr std::size_t kCopyChunkSize = 8 << 20;

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool CopyByReading(int in, int out) {
  std::vector<char> buffer(kCopyBufferSize);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(got))) return false;
  }
}

// Copies inside the kernel where the file systems allow it, else through a buffer. Each full
// chunk is handed to the disk at once, so the flush that follows a large copy finds most of it
// written while the rest was still being copied.
bool CopyContent(int in, int out) {
  off_t written = 0;
  for (bool first = true;; first = false) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, kCopyChunkSize, 0);
    if (copied == 0) return true;
    if (copied > 0) {
      if (static_cast<std::size_t>(copied) == kCopyChunkSize) {
        ::sync_file_range(out, written, copied, SYNC_FILE_RANGE_WRITE);
      }
      written += copied;
      continue;
    }
    if (errno == EINTR) continue;
    const bool unsupported =
        errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP;
    return first && unsupported && CopyByReading(in, out);
  }
}

std::error_code CodeOf(bool succeeded) { return succeeded ? std::error_code() : LastError(); }

std::error_code SyncDescriptorOf(const fs::path& path, int flags) {
  UniqueFd fd(::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC));
  return CodeOf(fd.valid() && ::fsync(fd.get()) == 0 && fd.Close());
}

}  // namespace

bool IsAbsoluteJobPath(const fs::path& path) {
  return !path.empty() && path.native().front() == '/';
}

// A careful copy: content, permission bits and times; a link at destination is not followed.
std::error_code CopyFileOver(const fs::path& source, const fs::path& destination) {
  const UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (!in.valid() || ::fstat(in.get(), &info) != 0) return LastError();
  if (!S_ISREG(info.st_mode)) return std::make_error_code(std::errc::invalid_argument);
  const mode_t mode = info.st_mode & 07777;
  UniqueFd out(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  return CodeOf(out.valid() && ::fchmod(out.get(), mode) == 0 && CopyContent(in.get(), out.get()) &&
                ::futimens(out.get(), times) == 0 && out.Close());
}

// A second name keeps the original's data without copying it: the installer changes a target
// only by moving another file over its name, never by writing into it, so the data under the
// backup name stays the original's. Where no link can be made (another volume, a file system
// without links, a file the process does not own), a copy serves.
std::error_code BackUpFile(const fs::path& original, const fs::path& backup) {
  // A killed run's backup can be a second name of the original itself: a copy written into it
  // would truncate the original.
  if (const std::error_code cause = RemoveFile(backup)) return cause;
  if (::link(original.c_str(), backup.c_str()) == 0) return {};
  if (errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP && errno != EXDEV) {
    return LastError();
  }
  return CopyFileOver(original, backup);
}

std::error_code FlushFile(const fs::path& file) { return SyncDescriptorOf(file, O_NOFOLLOW); }

// rename is atomic but not durable: the folder's entry is only safe once the folder is synced.
// A failed folder sync still reports the move, since the destination holds the new file now
// and the caller must treat it as replaced.
std::error_code MoveFileDurably(const fs::path& source, const fs::path& destination) {
  if (::rename(source.c_str(), destination.c_str()) != 0) return LastError();
  SyncDescriptorOf(destination.parent_path(), O_DIRECTORY);
  return {};
}

std::error_code RenameFile(const fs::path& source, const fs::path& destination) {
  return CodeOf(::rename(source.c_str(), destination.c_str()) == 0);
}

// One sync of the whole file system covers every file and folder entry written before it, at
// the price of one journal commit instead of one per file.
std::error_code SyncFiles(const fs::path& folder, const std::vector<fs::path>&) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return CodeOf(fd.valid() && ::syncfs(fd.get()) == 0 && fd.Close());
}

std::error_code WriteNewFile(const fs::path& file, std::string_view bytes) {
  UniqueFd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  return CodeOf(out.valid() && WriteAll(out.get(), bytes.data(), bytes.size()) && out.Close());
}

std::error_code SyncFolder(const fs::path& folder) { return SyncDescriptorOf(folder, O_DIRECTORY); }

std::error_code QueryVolumeSpace(const fs::path& folder, VolumeSpace& space) {
  struct statvfs volume;
  struct stat info;
  if (::statvfs(folder.c_str(), &volume) != 0 || ::stat(folder.c_str(), &info) != 0) {
    return LastError();
  }
  space = {static_cast<std::uintmax_t>(volume.f_bavail) * volume.f_frsize,
           static_cast<std::uintmax_t>(info.st_dev)};
  return {};
}

std::error_code RemoveFile(const fs::path& file) {
  return CodeOf(::unlink(file.c_str()) == 0 || errno == ENOENT);
}

std::error_code CreateFolders(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  return ec;
}

std::error_code ListTree(const fs::path& top, std::vector<fs::path>& folders,
                         std::vector<fs::path>& rest) {
  struct stat info;
  if (::lstat(top.c_str(), &info) != 0) return errno == ENOENT ? std::error_code() : LastError();
  if (!S_ISDIR(info.st_mode)) {
    rest.push_back(top);
    return {};
  }
  folders.push_back(top);
  // The iterator enters no linked folder.
  std::error_code ec;
  for (fs::recursive_directory_iterator it(top, ec), end; !ec && it != end; it.increment(ec)) {
    const bool folder = it->symlink_status(ec).type() == fs::file_type::directory;
    (folder ? folders : rest).push_back(it->path());
  }
  return ec;
}

std::error_code RemoveFolder(const fs::path& folder) {
  return CodeOf(::rmdir(folder.c_str()) == 0);
}

bool IsTransientFileError(std::error_code) { return false; }

struct HeldLock {
  fs::path file;
  UniqueFd fd;
};

// The holder removes the file while it still holds it, so that nobody can lock a name that
// is about to go; a later opener finds either no file or a fresh one.
void HeldLockRelease::operator()(HeldLock* lock) const {
  ::unlink(lock->file.c_str());
  delete lock;
}

// flock belongs to the open file, which the kernel closes when the process dies. A file locked
// after its holder removed it is a stale name, so the lock counts only while the name still
// leads to the locked file.
InstallationLock TryLockInstallation(const fs::path& lock_file, std::error_code& error) {
  for (;;) {
    UniqueFd fd(::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.valid()) {
      error = LastError();
      return nullptr;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) error = LastError();
      return nullptr;
    }
    struct stat held;
    struct stat named;
    if (::fstat(fd.get(), &held) != 0) {
      error = LastError();
      return nullptr;
    }
    if (::stat(lock_file.c_str(), &named) == 0 && named.st_ino == held.st_ino &&
        named.st_dev == held.st_dev) {
      return InstallationLock(new HeldLock{lock_file, std::move(fd)});
    }
  }
}

}  // namespace kov::update::platform
