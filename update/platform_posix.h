#pragma once

// Internal to the POSIX layer: the owner of a file descriptor and the error code of the last
// failed call.

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "update/unique_resource.h"

namespace kov::update::platform {

struct DescriptorTraits {
  using Value = int;
  static Value Empty() { return -1; }
  static bool IsValid(Value fd) { return fd >= 0; }
  static bool Release(Value fd) { return ::close(fd) == 0; }
};
using UniqueFd = UniqueResource<DescriptorTraits>;

// Never an empty code: a failure that left errno unset still counts as one.
inline std::error_code LastError() {
  const int code = errno;
  return {code != 0 ? code : EIO, std::system_category()};
}

}  // namespace kov::update::platform
