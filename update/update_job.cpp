#include "update/update_job.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "update/utf8.h"

namespace kov::update {
namespace {

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
  auto text = TryUtf8Path(path);
  if (!text || text->empty() || HoldsLineBreak(*text)) return std::nullopt;
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
      auto path = TryPathFromUtf8(value);
      if (!path) return Refuse(kDamaged, error);
      job_.*kPathFields[i].member = std::move(*path);
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

std::string Utf8Path(const std::filesystem::path& path) {
  auto text = TryUtf8Path(path);
  if (!text) throw std::runtime_error("The path has no UTF-8 form.");
  return std::move(*text);
}

std::filesystem::path PathFromUtf8(std::string_view text) {
  auto path = TryPathFromUtf8(text);
  if (!path) throw std::runtime_error("The text is not valid UTF-8.");
  return std::move(*path);
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
