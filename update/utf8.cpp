#include "update/utf8.h"

#include <array>
#include <cstddef>

namespace kov::update {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t code_point) { return code_point >= 0xD800 && code_point <= 0xDFFF; }
bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// A multi-byte sequence as its lead byte announces it; length 0 for a byte that cannot lead.
struct Sequence {
  std::size_t length;
  unsigned char payload_mask;  // the lead byte's bits that belong to the code point
  char32_t smallest;           // anything below has a shorter form
};

Sequence SequenceStartedBy(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return {2, 0x1F, 0x80};
  if ((lead & 0xF0) == 0xE0) return {3, 0x0F, 0x800};
  if ((lead & 0xF8) == 0xF0) return {4, 0x07, 0x10000};
  return {0, 0, 0};
}

// Decodes the code point at text[pos] and advances pos past it. On malformed input it answers
// no value and advances pos past the bytes that cannot begin a valid sequence (at least one).
std::optional<char32_t> DecodeUtf8(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  const Sequence sequence = SequenceStartedBy(lead);
  const std::size_t start = pos++;
  if (sequence.length == 0) return std::nullopt;
  char32_t code_point = lead & sequence.payload_mask;
  for (std::size_t i = 1; i < sequence.length; ++i) {
    if (start + i >= text.size()) return std::nullopt;
    const auto next = static_cast<unsigned char>(text[start + i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    code_point = (code_point << 6) | (next & 0x3Fu);
    ++pos;
  }
  if (code_point < sequence.smallest || code_point > kMaxCodePoint || IsSurrogate(code_point)) {
    return std::nullopt;
  }
  return code_point;
}

void AppendUtf16(Utf16String& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<Utf16Char>(code_point));
    return;
  }
  const char32_t offset = code_point - 0x10000;
  out.push_back(static_cast<Utf16Char>(0xD800 + (offset >> 10)));
  out.push_back(static_cast<Utf16Char>(0xDC00 + (offset & 0x3FF)));
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
    return;
  }
  std::array<char, 4> bytes{};
  const std::size_t length = code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
  for (std::size_t i = length - 1; i > 0; --i) {
    bytes[i] = static_cast<char>(0x80 | (code_point & 0x3F));
    code_point >>= 6;
  }
  constexpr std::array<char32_t, 5> kLeadMarks{0, 0, 0xC0, 0xE0, 0xF0};
  bytes[0] = static_cast<char>(kLeadMarks[length] | code_point);
  out.append(bytes.data(), length);
}

[[maybe_unused]] std::optional<std::string> Utf8FromNative(std::string_view native) {
  if (!IsValidUtf8(native)) return std::nullopt;
  return std::string(native);
}

[[maybe_unused]] std::optional<std::string> Utf8FromNative(Utf16View native) {
  return Utf8FromUtf16(native);
}

template <class Native>
std::optional<Native> NativeFromUtf8(std::string_view text) {
  if constexpr (std::is_same_v<typename Native::value_type, char>) {
    if (!IsValidUtf8(text)) return std::nullopt;
    return Native(text);
  } else {
    static_assert(std::is_same_v<Native, Utf16String>, "wide paths are expected to hold UTF-16");
    return Utf16FromUtf8(text);
  }
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    if (!DecodeUtf8(text, pos)) return false;
  }
  return true;
}

std::optional<Utf16String> Utf16FromUtf8(std::string_view text) {
  Utf16String out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const auto code_point = DecodeUtf8(text, pos);
    if (!code_point) return std::nullopt;
    AppendUtf16(out, *code_point);
  }
  return out;
}

Utf16String Utf16FromUtf8Lossy(std::string_view text) {
  Utf16String out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    AppendUtf16(out, DecodeUtf8(text, pos).value_or(kReplacement));
  }
  return out;
}

std::optional<std::string> Utf8FromUtf16(Utf16View text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<char32_t>(text[i]);
    if (IsLowSurrogate(unit)) return std::nullopt;
    if (!IsHighSurrogate(unit)) {
      AppendUtf8(out, unit);
      continue;
    }
    if (i + 1 == text.size()) return std::nullopt;
    const auto low = static_cast<char32_t>(text[++i]);
    if (!IsLowSurrogate(low)) return std::nullopt;
    AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
  }
  return out;
}

std::optional<std::string> TryUtf8Path(const std::filesystem::path& path) {
  return Utf8FromNative(path.native());
}

std::optional<std::filesystem::path> TryPathFromUtf8(std::string_view text) {
  auto native = NativeFromUtf8<std::filesystem::path::string_type>(text);
  if (!native) return std::nullopt;
  return std::filesystem::path(std::move(*native));
}

}  // namespace kov::update
