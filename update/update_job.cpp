#include "update/update_job.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <type_traits>

namespace kov::update {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool IsSurrogate(char32_t code_point) { return code_point >= 0xD800 && code_point <= 0xDFFF; }
bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

[[noreturn]] void ThrowMalformedUtf8() { throw std::runtime_error("The text is not valid UTF-8."); }
[[noreturn]] void ThrowMalformedUtf16() {
  throw std::runtime_error("The path is not valid UTF-16.");
}

// A multi-byte sequence as its lead byte announces it.
struct Sequence {
  std::size_t length;
  unsigned char payload_mask;  // the lead byte's bits that belong to the code point
  char32_t smallest;           // anything below has a shorter form
};

Sequence SequenceStartedBy(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return {2, 0x1F, 0x80};
  if ((lead & 0xF0) == 0xE0) return {3, 0x0F, 0x800};
  if ((lead & 0xF8) == 0xF0) return {4, 0x07, 0x10000};
  ThrowMalformedUtf8();  // a continuation byte out of place, or a byte UTF-8 never uses
}

// Decodes the code point starting at text[pos] and advances pos past it. Accepts the shortest
// form only, and no surrogates or values above U+10FFFF, whatever the platform's own
// converter would let through.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  const Sequence sequence = SequenceStartedBy(lead);
  if (text.size() - pos < sequence.length) ThrowMalformedUtf8();
  char32_t code_point = lead & sequence.payload_mask;
  for (std::size_t i = 1; i < sequence.length; ++i) {
    const auto next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0) != 0x80) ThrowMalformedUtf8();
    code_point = (code_point << 6) | (next & 0x3F);
  }
  if (code_point < sequence.smallest || code_point > kMaxCodePoint || IsSurrogate(code_point)) {
    ThrowMalformedUtf8();
  }
  pos += sequence.length;
  return code_point;
}

void ValidateUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) DecodeUtf8(text, pos);
}

template <class Unit>
std::basic_string<Unit> Utf8ToUtf16(std::string_view text) {
  std::basic_string<Unit> units;
  units.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t code_point = DecodeUtf8(text, pos);
    if (code_point < 0x10000) {
      units.push_back(static_cast<Unit>(code_point));
    } else {
      const char32_t offset = code_point - 0x10000;
      units.push_back(static_cast<Unit>(0xD800 + (offset >> 10)));
      units.push_back(static_cast<Unit>(0xDC00 + (offset & 0x3FF)));
    }
  }
  return units;
}

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
    return;
  }
  std::array<char, 4> bytes{};
  std::size_t length = code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
  for (std::size_t i = length - 1; i > 0; --i) {
    bytes[i] = static_cast<char>(0x80 | (code_point & 0x3F));
    code_point >>= 6;
  }
  constexpr std::array<unsigned char, 5> kLeadMarks{0, 0, 0xC0, 0xE0, 0xF0};
  bytes[0] = static_cast<char>(kLeadMarks[length] | code_point);
  out.append(bytes.data(), length);
}

template <class Unit>
std::string Utf16ToUtf8(std::basic_string_view<Unit> units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const auto unit = static_cast<char32_t>(static_cast<std::make_unsigned_t<Unit>>(units[i]));
    if (IsLowSurrogate(unit)) ThrowMalformedUtf16();
    if (!IsHighSurrogate(unit)) {
      AppendUtf8(out, unit);
      continue;
    }
    if (i + 1 == units.size()) ThrowMalformedUtf16();
    const auto low = static_cast<char32_t>(static_cast<std::make_unsigned_t<Unit>>(units[++i]));
    if (!IsLowSurrogate(low)) ThrowMalformedUtf16();
    AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
  }
  return out;
}

// Paths whose native text is bytes keep them as they are once they are known to be UTF-8.
template <class Native>
std::string NativeToUtf8(const Native& native) {
  using Unit = typename Native::value_type;
  if constexpr (std::is_same_v<Unit, char>) {
    ValidateUtf8(native);
    return native;
  } else {
    static_assert(sizeof(Unit) == 2, "wide paths are expected to hold UTF-16");
    return Utf16ToUtf8<Unit>(native);
  }
}

template <class Native>
Native NativeFromUtf8(std::string_view text) {
  using Unit = typename Native::value_type;
  if constexpr (std::is_same_v<Unit, char>) {
    ValidateUtf8(text);
    return Native(text);
  } else {
    static_assert(sizeof(Unit) == 2, "wide paths are expected to hold UTF-16");
    return Utf8ToUtf16<Unit>(text);
  }
}

constexpr std::string_view kInvalidPath = "The update job contains an invalid path.";
constexpr std::string_view kInvalidArgument = "The update job contains an invalid argument.";
constexpr std::string_view kCannotWrite = "Cannot write the update job.";
constexpr std::string_view kCannotRead = "Cannot read the update job.";
constexpr std::string_view kDamaged = "The update job is damaged.";
constexpr std::string_view kUnsupportedFormat = "The update job format is not supported.";
constexpr std::string_view kInvalidProcessId = "The update job has an invalid process id.";
constexpr std::string_view kIncomplete = "The update job is incomplete.";

bool HoldsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

void AppendField(std::string& text, std::string_view key, std::string_view value) {
  text.append(key);
  text.push_back('=');
  text.append(value);
  text.push_back('\n');
}

// The six paths in file order, paired with their keys; shared by writer and reader.
using PathMember = std::filesystem::path UpdateJob::*;
struct PathField {
  std::string_view key;
  PathMember member;
};
constexpr std::array<PathField, 6> kPathFields{{
    {"install_dir", &UpdateJob::install_dir},
    {"staging_dir", &UpdateJob::staging_dir},
    {"backup_dir", &UpdateJob::backup_dir},
    {"manifest", &UpdateJob::manifest},
    {"restart", &UpdateJob::restart},
    {"log", &UpdateJob::log},
}};

// A path without a UTF-8 form cannot be carried by the file either, so it counts as invalid.
std::optional<std::string> WritablePathText(const std::filesystem::path& path) {
  std::string text;
  try {
    text = Utf8Path(path);
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
  if (text.empty() || HoldsLineBreak(text)) return std::nullopt;
  return text;
}

std::optional<std::string> BuildJobText(const UpdateJob& job, std::string& error) {
  std::array<std::string, kPathFields.size()> path_texts;
  for (std::size_t i = 0; i < kPathFields.size(); ++i) {
    auto text = WritablePathText(job.*kPathFields[i].member);
    if (!text) {
      error = kInvalidPath;
      return std::nullopt;
    }
    path_texts[i] = std::move(*text);
  }
  for (const auto& arg : job.args) {
    if (HoldsLineBreak(arg)) {
      error = kInvalidArgument;
      return std::nullopt;
    }
  }
  std::string text;
  AppendField(text, "format", "1");
  AppendField(text, "parent_pid", std::to_string(job.parent_pid));
  for (std::size_t i = 0; i < kPathFields.size(); ++i) {
    AppendField(text, kPathFields[i].key, path_texts[i]);
  }
  for (const auto& arg : job.args) AppendField(text, "arg", arg);
  return text;
}

// Digits only, leading zeros allowed, 1 to 4294967295.
std::optional<unsigned long> ParseProcessId(std::string_view value) {
  constexpr std::uint64_t kMaxProcessId = 4294967295;
  if (value.empty()) return std::nullopt;
  std::uint64_t number = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
    if (number > kMaxProcessId) return std::nullopt;
  }
  if (number == 0) return std::nullopt;
  return static_cast<unsigned long>(number);
}

// Reads one job line by line; the first line it cannot accept ends the reading.
class JobParser {
 public:
  // Returns false with error set when the line refuses the whole job.
  bool Accept(std::string_view line, std::string& error) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return true;
    const auto equals = line.find('=');
    if (equals == line.npos) return Refuse(kDamaged, error);
    const auto key = line.substr(0, equals);
    const auto value = line.substr(equals + 1);
    if (key == "format") {
      if (value != "1") return Refuse(kUnsupportedFormat, error);
      seen_format_ = true;
    } else if (key == "parent_pid") {
      const auto pid = ParseProcessId(value);
      if (!pid) return Refuse(kInvalidProcessId, error);
      job_.parent_pid = *pid;
      seen_pid_ = true;
    } else if (key == "arg") {
      job_.args.emplace_back(value);
    } else {
      return AcceptPath(key, value, error);
    }
    return true;
  }

  bool Complete() const {
    return seen_format_ && seen_pid_ &&
           std::all_of(seen_paths_.begin(), seen_paths_.end(), [](bool seen) { return seen; });
  }

  UpdateJob TakeJob() { return std::move(job_); }

 private:
  static bool Refuse(std::string_view message, std::string& error) {
    error = message;
    return false;
  }

  // Unknown keys are ignored. A value that is not UTF-8 cannot be a path: the job is damaged.
  bool AcceptPath(std::string_view key, std::string_view value, std::string& error) {
    for (std::size_t i = 0; i < kPathFields.size(); ++i) {
      if (kPathFields[i].key != key) continue;
      try {
        job_.*kPathFields[i].member = PathFromUtf8(value);
      } catch (const std::runtime_error&) {
        return Refuse(kDamaged, error);
      }
      seen_paths_[i] = true;
    }
    return true;
  }

  UpdateJob job_;
  bool seen_format_ = false;
  bool seen_pid_ = false;
  std::array<bool, kPathFields.size()> seen_paths_{};
};

}  // namespace

std::string Utf8Path(const std::filesystem::path& path) { return NativeToUtf8(path.native()); }

std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(NativeFromUtf8<std::filesystem::path::string_type>(text));
}

bool WriteUpdateJob(const std::filesystem::path& file, const UpdateJob& job, std::string& error) {
  error.clear();
  const auto text = BuildJobText(job, error);
  if (!text) return false;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (out.is_open()) {
    out.write(text->data(), static_cast<std::streamsize>(text->size()));
    out.close();  // the final flush can fail too (a full disk), so check after it
  }
  if (!out) {
    error = kCannotWrite;
    return false;
  }
  return true;
}

std::optional<UpdateJob> ReadUpdateJob(const std::filesystem::path& file, std::string& error) {
  error.clear();
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) {
    error = kCannotRead;
    return std::nullopt;
  }
  JobParser parser;
  for (std::string line; std::getline(in, line);) {
    if (!parser.Accept(line, error)) return std::nullopt;
  }
  if (!parser.Complete()) {
    error = kIncomplete;
    return std::nullopt;
  }
  return parser.TakeJob();
}

}  // namespace kov::update
