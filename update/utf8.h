#pragma once

// Internal: the library's only UTF-8 <-> UTF-16 conversions and UTF-8 validation. Strict forms
// accept the shortest UTF-8 form only, no surrogate code points, nothing above U+10FFFF, and
// UTF-16 without unpaired surrogates; they answer no value instead of throwing.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace kov::update {

// UTF-16 text in the platform's wide type where that holds UTF-16 (Windows), so that paths and
// Win32 calls take it without a copy; char16_t elsewhere, so the code runs and is tested there.
using Utf16Char = std::conditional_t<sizeof(wchar_t) == 2, wchar_t, char16_t>;
using Utf16String = std::basic_string<Utf16Char>;
using Utf16View = std::basic_string_view<Utf16Char>;

bool IsValidUtf8(std::string_view text);
std::optional<Utf16String> Utf16FromUtf8(std::string_view text);
std::optional<std::string> Utf8FromUtf16(Utf16View text);
// Every malformed sequence becomes U+FFFD, as the Windows converter does without its strict
// flag: for texts that must get through whole, such as a started program's arguments.
Utf16String Utf16FromUtf8Lossy(std::string_view text);

// Non-throwing forms of Utf8Path and PathFromUtf8.
std::optional<std::string> TryUtf8Path(const std::filesystem::path& path);
std::optional<std::filesystem::path> TryPathFromUtf8(std::string_view text);

}  // namespace kov::update
