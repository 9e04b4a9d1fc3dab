#pragma once

// Internal to the Windows layer: owners of the system's resources and the error code of the
// last failed call.

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "update/long_path.h"
#include "update/unique_resource.h"

namespace kov::update::platform {

// Like the scoped handles of mature Windows code, both null and INVALID_HANDLE_VALUE count as
// no handle: the API answers failures with either, depending on the call.
struct HandleTraits {
  using Value = HANDLE;
  static Value Empty() { return nullptr; }
  static bool IsValid(Value handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static bool Release(Value handle) { return CloseHandle(handle) != 0; }
};
using UniqueHandle = UniqueResource<HandleTraits>;

struct FindHandleTraits : HandleTraits {
  static bool Release(Value handle) { return FindClose(handle) != 0; }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

// Memory that the system allocated with LocalAlloc for the caller, such as a split command line.
template <class Pointer>
struct LocalMemoryTraits {
  using Value = Pointer;
  static Value Empty() { return nullptr; }
  static bool IsValid(Value memory) { return memory != nullptr; }
  static bool Release(Value memory) { return LocalFree(memory) == nullptr; }
};
template <class Pointer>
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits<Pointer>>;

struct EnvironmentBlockTraits {
  using Value = wchar_t*;
  static Value Empty() { return nullptr; }
  static bool IsValid(Value block) { return block != nullptr; }
  static bool Release(Value block) { return FreeEnvironmentStringsW(block) != 0; }
};
using UniqueEnvironmentBlock = UniqueResource<EnvironmentBlockTraits>;

// The text to hand a Win32 file call: any length works without the system's long-path policy.
inline std::wstring Win32Path(const std::filesystem::path& path) {
  return ExtendedLengthPath(path.native());
}

inline bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Never an empty code: a failure that left no code behind still counts as one.
inline std::error_code LastError() {
  const DWORD code = GetLastError();
  return {static_cast<int>(code != 0 ? code : ERROR_GEN_FAILURE), std::system_category()};
}

}  // namespace kov::update::platform
