#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "update/installer_platform.h"
#include "update/platform_win.h"

namespace kov::update::platform {
namespace {

namespace fs = std::filesystem;

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

std::error_code CodeOf(BOOL succeeded) { return succeeded ? std::error_code() : LastError(); }

bool IsFolder(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Windows refuses to write, replace or remove a read-only file (Wine only the last). The
// attribute is lifted for the one operation that needs it, and put back where the file stays:
// after a failure, or after a flush, which leaves the file in place.
template <class Operation>
std::error_code WithReadOnlyLifted(const fs::path& file, bool file_stays, Operation operation) {
  std::error_code failed = operation();
  if (failed.value() != ERROR_ACCESS_DENIED) return failed;
  const DWORD attributes = GetFileAttributesW(Win32Path(file).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      !SetFileAttributesW(Win32Path(file).c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    return failed;
  }
  failed = operation();
  if (failed || file_stays) {
    const std::error_code restored =
        CodeOf(SetFileAttributesW(Win32Path(file).c_str(), attributes));
    if (!failed) failed = restored;
  }
  return failed;
}

std::error_code MoveFileWith(const fs::path& source, const fs::path& destination, DWORD flags) {
  return WithReadOnlyLifted(destination, false, [&] {
    return CodeOf(MoveFileExW(Win32Path(source).c_str(), Win32Path(destination).c_str(), flags));
  });
}

UniqueHandle OpenForFlush(const fs::path& file) {
  return UniqueHandle(CreateFileW(Win32Path(file).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::error_code FlushOpened(UniqueHandle handle) {
  if (!handle.valid()) return LastError();
  std::error_code flushed = CodeOf(FlushFileBuffers(handle.get()));
  if (!handle.Close() && !flushed) flushed = LastError();
  return flushed;
}

// The names in a folder, without "." and "..", read whole before anything is removed.
std::error_code ListFolder(const fs::path& folder, std::vector<std::wstring>& names) {
  WIN32_FIND_DATAW entry{};
  const UniqueFindHandle search(FindFirstFileW(Win32Path(folder / L"*").c_str(), &entry));
  if (!search.valid()) return LastError();
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search.get(), &entry));
  return GetLastError() == ERROR_NO_MORE_FILES ? std::error_code() : LastError();
}

}  // namespace

// Read from the text itself: MinGW's path sees no root name in a network path.
bool IsAbsoluteJobPath(const fs::path& path) {
  const std::wstring& text = path.native();
  if (text.size() < 3) return false;
  const bool drive = !IsSeparator(text[0]) && text[1] == L':';
  if (drive) return IsSeparator(text[2]);
  return IsSeparator(text[0]) && IsSeparator(text[1]) && !IsSeparator(text[2]);
}

// CopyFileW keeps the source's attributes, so an installed file is as read-only, hidden or
// system as its staged file.
std::error_code CopyFileOver(const fs::path& source, const fs::path& destination) {
  return WithReadOnlyLifted(destination, false, [&] {
    return CodeOf(CopyFileW(Win32Path(source).c_str(), Win32Path(destination).c_str(), FALSE));
  });
}

// A copy, not a second link: the read-only attribute belongs to the file, not to a name, so
// lifting it from a target to replace it would lift it from its backup too; and flushing a
// second link opens the original for writing, which a scanner reading it refuses.
std::error_code BackUpFile(const fs::path& original, const fs::path& backup) {
  return CopyFileOver(original, backup);
}

// FlushFileBuffers needs write access, which a read-only file refuses.
std::error_code FlushFile(const fs::path& file) {
  return WithReadOnlyLifted(file, true, [&] { return FlushOpened(OpenForFlush(file)); });
}

std::error_code MoveFileDurably(const fs::path& source, const fs::path& destination) {
  return MoveFileWith(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// Without MOVEFILE_WRITE_THROUGH, which on NTFS forces the metadata log to the disk for each
// move. A same-volume move is one rename that NTFS logs; its log is written in order, so
// flushing the folder's handle afterwards (SyncFolder), or any later write-through move, puts
// this rename on the disk too. The installer relies on no more: a batch's renames happen while
// the journal, on the disk, can undo every one of them, and every folder they touched is flushed
// before the journal says the install is complete.
std::error_code RenameFile(const fs::path& source, const fs::path& destination) {
  return MoveFileWith(source, destination, MOVEFILE_REPLACE_EXISTING);
}

// FlushFileBuffers writes one file's data and its metadata, which NTFS logs: its creation and
// size. Windows has no flush of many files short of the whole volume, which needs rights an
// updater does not have, so the files are flushed on a few threads at once: each flush mostly
// waits for the disk, and the disk serves concurrent waits together.
std::error_code SyncFiles(const fs::path&, const std::vector<fs::path>& files) {
  return ForEachAtOnce(files, FlushFile);
}

std::error_code WriteNewFile(const fs::path& file, std::string_view bytes) {
  UniqueHandle out(CreateFileW(Win32Path(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.valid()) return LastError();
  DWORD written = 0;
  const bool whole =
      WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  if (!whole) return LastError();
  return CodeOf(out.Close());
}

// NTFS keeps folder entries in its metadata log, which it writes in order: flushing a folder's
// handle forces that log to the disk up to now, so the folder's creation and every name made,
// moved or removed in it before the flush survive a power cut. A new folder is therefore safe
// once its parent folder is flushed, and its own new names once it is flushed itself.
std::error_code SyncFolder(const fs::path& folder) {
  UniqueHandle handle(CreateFileW(Win32Path(folder).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return FlushOpened(std::move(handle));
}

// The free space the caller's quota allows, and the volume's serial number to tell volumes apart.
std::error_code QueryVolumeSpace(const fs::path& folder, VolumeSpace& space) {
  ULARGE_INTEGER available{};
  wchar_t root[MAX_PATH + 1] = {};
  DWORD serial = 0;
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) ||
      !GetVolumePathNameW(folder.c_str(), root, MAX_PATH + 1) ||
      !GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
    return LastError();
  }
  space = {available.QuadPart, serial};
  return {};
}

std::error_code RemoveFile(const fs::path& file) {
  return WithReadOnlyLifted(file, false, [&] {
    if (DeleteFileW(Win32Path(file).c_str()) || IsMissing(GetLastError())) return std::error_code();
    return LastError();
  });
}

std::error_code CreateFolders(const fs::path& folder) {
  if (CreateDirectoryW(Win32Path(folder).c_str(), nullptr)) return {};
  const std::error_code refused = LastError();
  if (refused.value() == ERROR_ALREADY_EXISTS)
    return IsFolder(folder) ? std::error_code() : refused;
  if (refused.value() != ERROR_PATH_NOT_FOUND || !folder.has_relative_path()) return refused;
  if (const std::error_code above = CreateFolders(folder.parent_path())) return above;
  return CodeOf(CreateDirectoryW(Win32Path(folder).c_str(), nullptr));
}

std::error_code ListTree(const fs::path& top, std::vector<fs::path>& folders,
                         std::vector<fs::path>& rest) {
  const DWORD attributes = GetFileAttributesW(Win32Path(top).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return IsMissing(GetLastError()) ? std::error_code() : LastError();
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    rest.push_back(top);
    return {};
  }
  folders.push_back(top);
  // A linked folder goes as a link: RemoveDirectoryW removes the link, not what it points to.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return {};
  std::vector<std::wstring> names;
  if (const std::error_code unlisted = ListFolder(top, names)) return unlisted;
  for (const std::wstring& name : names) {
    if (const std::error_code failed = ListTree(top / name, folders, rest)) return failed;
  }
  return {};
}

std::error_code RemoveFolder(const fs::path& folder) {
  return WithReadOnlyLifted(folder, false,
                            [&] { return CodeOf(RemoveDirectoryW(Win32Path(folder).c_str())); });
}

struct HeldLock {
  UniqueHandle handle;
};

void HeldLockRelease::operator()(HeldLock* lock) const { delete lock; }

// The lock is the file opened with no sharing at all: nobody else can open it while it is held,
// and the system closes the handle when the process dies, which deletes the file. So no lock
// file is ever left behind, and no second holder can lock a name that is about to go.
InstallationLock TryLockInstallation(const fs::path& lock_file, std::error_code& error) {
  UniqueHandle handle(CreateFileW(Win32Path(lock_file).c_str(),
                                  GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (handle.valid()) return InstallationLock(new HeldLock{std::move(handle)});
  const DWORD refused = GetLastError();
  // Access is denied while a released lock file is still being deleted.
  if (refused != ERROR_SHARING_VIOLATION && refused != ERROR_ACCESS_DENIED) error = LastError();
  return nullptr;
}

bool IsTransientFileError(std::error_code error) {
  if (error.category() != std::system_category()) return false;
  const int code = error.value();
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_ACCESS_DENIED;
}

}  // namespace kov::update::platform
