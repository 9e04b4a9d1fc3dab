#pragma once

// Internal: the form in which a Win32 file call takes a path of any length, whatever the
// system's long-path policy. Pure text, so that it runs and is tested on every platform.

#include "update/utf8.h"

namespace kov::update {

// An absolute drive path (C:\...) or network path (\\server\share\...) long enough to meet a
// Win32 path limit comes back in the \\?\ or \\?\UNC\ form, with '/' turned into '\', empty
// and "." elements dropped and ".." folded, since that form turns the system's own folding
// off. Every other path (shorter, relative, drive-relative, already \\?\ or a device path)
// comes back unchanged.
Utf16String ExtendedLengthPath(Utf16View path);

}  // namespace kov::update
