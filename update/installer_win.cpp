#include <windows.h>

#include <string>
#include <vector>

#include "update/installer_platform.h"

namespace kov::update {
namespace {

namespace fs = std::filesystem;

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

bool CopyFileOver(const fs::path& source, const fs::path& destination) {
  return CopyFileW(source.c_str(), destination.c_str(), FALSE) != 0;
}

HANDLE OpenForFlush(const fs::path& file) {
  return CreateFileW(file.c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool FlushHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(handle) != 0;
  return CloseHandle(handle) != 0 && flushed;
}

// FlushFileBuffers needs write access, which a read-only file (CopyFileW keeps the attribute)
// refuses until the attribute is lifted for the moment of the flush.
bool FlushFile(const fs::path& file) {
  const HANDLE handle = OpenForFlush(file);
  if (handle != INVALID_HANDLE_VALUE) return FlushHandle(handle);
  const DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      !SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    return false;
  }
  const bool flushed = FlushHandle(OpenForFlush(file));
  return SetFileAttributesW(file.c_str(), attributes) != 0 && flushed;
}

bool MoveFileDurably(const fs::path& source, const fs::path& destination) {
  return MoveFileExW(source.c_str(), destination.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool SyncBackups(const fs::path&, const std::vector<fs::path>& copies) {
  for (const fs::path& copy : copies) {
    if (!FlushFile(copy)) return false;
  }
  return true;
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

InstallFileOps SystemInstallFileOps() {
  return {CopyFileOver, FlushFile, MoveFileDurably, SyncBackups};
}

}  // namespace kov::update
