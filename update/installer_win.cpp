#include <windows.h>

#include <string>
#include <vector>

#include "update/installer_platform.h"
#include "update/platform_win.h"

namespace kov::update::platform {
namespace {

namespace fs = std::filesystem;

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

std::error_code CodeOf(BOOL succeeded) { return succeeded ? std::error_code() : LastError(); }

bool IsFolder(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

UniqueHandle OpenForFlush(const fs::path& file) {
  return UniqueHandle(CreateFileW(file.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::error_code FlushOpened(UniqueHandle handle) {
  if (!handle.valid()) return LastError();
  std::error_code flushed = CodeOf(FlushFileBuffers(handle.get()));
  if (!handle.Close() && !flushed) flushed = LastError();
  return flushed;
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

std::error_code CopyFileOver(const fs::path& source, const fs::path& destination) {
  return CodeOf(CopyFileW(source.c_str(), destination.c_str(), FALSE));
}

// FlushFileBuffers needs write access, which a read-only file (CopyFileW keeps the attribute)
// refuses until the attribute is lifted for the moment of the flush.
std::error_code FlushFile(const fs::path& file) {
  UniqueHandle handle = OpenForFlush(file);
  if (handle.valid()) return FlushOpened(std::move(handle));
  const std::error_code refused = LastError();
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return refused;
  }
  if (!SetFileAttributesW(file.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
    return LastError();
  }
  const std::error_code flushed = FlushOpened(OpenForFlush(file));
  const std::error_code restored = CodeOf(SetFileAttributesW(file.c_str(), attributes));
  return flushed ? flushed : restored;
}

std::error_code MoveFileDurably(const fs::path& source, const fs::path& destination) {
  return CodeOf(MoveFileExW(source.c_str(), destination.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

std::error_code SyncBackups(const fs::path&, const std::vector<fs::path>& copies) {
  for (const fs::path& copy : copies) {
    if (const std::error_code failed = FlushFile(copy)) return failed;
  }
  return {};
}

std::error_code RemoveFile(const fs::path& file) {
  if (DeleteFileW(file.c_str())) return {};
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
  return {static_cast<int>(error), std::system_category()};
}

std::error_code CreateFolders(const fs::path& folder) {
  if (CreateDirectoryW(folder.c_str(), nullptr)) return {};
  const std::error_code refused = LastError();
  if (refused.value() == ERROR_ALREADY_EXISTS)
    return IsFolder(folder) ? std::error_code() : refused;
  if (refused.value() != ERROR_PATH_NOT_FOUND || !folder.has_relative_path()) return refused;
  if (const std::error_code above = CreateFolders(folder.parent_path())) return above;
  return CodeOf(CreateDirectoryW(folder.c_str(), nullptr));
}

}  // namespace kov::update::platform
