#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "update/long_path.h"
#include "update/path_rules_platform.h"
#include "update/platform_win.h"

namespace kov::update::platform {
namespace {

namespace fs = std::filesystem;

// Set in the reparse tags of symbolic links, junctions and other entries that stand for a name.
constexpr DWORD kNameSurrogateBit = 0x20000000;

// GetFinalPathNameByHandleW answers in the \\?\ form; without it drive paths compare with
// what callers and GetFullPathNameW write.
std::wstring WithoutVerbatimPrefix(const std::wstring& text) {
  constexpr std::wstring_view kVerbatimUnc = L"\\\\?\\UNC\\";
  constexpr std::wstring_view kVerbatim = L"\\\\?\\";
  if (text.starts_with(kVerbatimUnc)) return L"\\\\" + text.substr(kVerbatimUnc.size());
  if (text.starts_with(kVerbatim)) return text.substr(kVerbatim.size());
  return text;
}

fs::path FinalPathOfHandle(HANDLE handle, std::error_code& ec) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      ec = LastError();
      return {};
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return WithoutVerbatimPrefix(buffer);
    }
    buffer.resize(length);  // too small: length is the size needed, terminator included
  }
}

HANDLE OpenForQuery(const fs::path& path) {
  return CreateFileW(Win32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::optional<DWORD> ReparseTag(const fs::path& path) {
  WIN32_FIND_DATAW entry{};
  const UniqueFindHandle search(FindFirstFileW(Win32Path(path).c_str(), &entry));
  if (!search.valid()) return std::nullopt;
  return entry.dwReserved0;
}

bool IsReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

fs::path WeaklyCanonical(const fs::path& path, std::error_code& ec) {
  fs::path existing = fs::absolute(path, ec);
  if (ec) return {};
  fs::path rest;
  for (;;) {
    const UniqueHandle handle(OpenForQuery(existing));
    if (handle.valid()) {
      const fs::path resolved = FinalPathOfHandle(handle.get(), ec);
      if (ec) return {};
      return rest.empty() ? resolved : (resolved / rest).lexically_normal();
    }
    if (!IsMissing(GetLastError())) {
      ec = LastError();
      return {};
    }
    if (!existing.has_relative_path()) return (existing / rest).lexically_normal();
    rest = rest.empty() ? existing.filename() : existing.filename() / rest;
    existing = existing.parent_path();
  }
}

fs::file_type LinkStatusType(const fs::path& path, std::error_code& ec) {
  ec.clear();
  const DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (IsMissing(GetLastError())) return fs::file_type::not_found;
    ec = LastError();
    return fs::file_type::none;
  }
  if (IsReparsePoint(attributes)) {
    const std::optional<DWORD> tag = ReparseTag(path);
    if (!tag) {
      ec = LastError();
      return fs::file_type::none;
    }
    if (*tag == IO_REPARSE_TAG_SYMLINK) return fs::file_type::symlink;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? fs::file_type::directory
                                                      : fs::file_type::regular;
}

bool IsLinkReparsePoint(const fs::path& path) {
  if (!IsReparsePoint(GetFileAttributesW(Win32Path(path).c_str()))) return false;
  const std::optional<DWORD> tag = ReparseTag(path);
  return !tag || (*tag & kNameSurrogateBit) != 0;
}

// FindExInfoStandard also gives each entry's short name, which any call may use for it.
StoredNames ListStoredNames(const fs::path& folder, std::error_code& ec) {
  StoredNames names;
  WIN32_FIND_DATAW entry{};
  const UniqueFindHandle search(FindFirstFileExW(Win32Path(folder / L"*").c_str(),
                                                 FindExInfoStandard, &entry, FindExSearchNameMatch,
                                                 nullptr, 0));
  if (!search.valid()) {
    if (!IsMissing(GetLastError())) ec = LastError();
    return names;
  }
  do {
    const fs::path name(entry.cFileName);
    const std::optional<fs::path> stored =
        IsReparsePoint(entry.dwFileAttributes) ? std::nullopt : std::optional(name);
    names.emplace(FoldedElement(name), stored);
    if (entry.cAlternateFileName[0] != L'\0') {
      names.emplace(FoldedElement(entry.cAlternateFileName), stored);
    }
  } while (FindNextFileW(search.get(), &entry));
  if (GetLastError() != ERROR_NO_MORE_FILES) ec = LastError();
  return names;
}

fs::path::string_type FoldedElement(const fs::path& element) {
  std::wstring folded = element.native();
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
  return folded;
}

bool SameElement(const fs::path& a, const fs::path& b) {
  return FoldedElement(a) == FoldedElement(b);
}

}  // namespace kov::update::platform
