#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kov::update {

// The hand-over from the launcher to the update helper.
struct UpdateJob {
  unsigned long parent_pid = 0;
  std::filesystem::path install_dir;
  std::filesystem::path staging_dir;
  std::filesystem::path backup_dir;
  std::filesystem::path manifest;
  std::filesystem::path restart;
  std::filesystem::path log;
  std::vector<std::string> args;
};

// Writes the update job file. On false, error holds one sentence; a path without a UTF-8
// form counts as invalid.
bool WriteUpdateJob(const std::filesystem::path& file, const UpdateJob& job, std::string& error);

// Reads an update job file; empty on failure, with error set. A path value that is not
// strict UTF-8 makes the job damaged; nothing is thrown for it.
std::optional<UpdateJob> ReadUpdateJob(const std::filesystem::path& file, std::string& error);

// The only conversions between paths and UTF-8 text. They accept strict UTF-8 and
// well-formed UTF-16 only and throw std::runtime_error otherwise.
std::string Utf8Path(const std::filesystem::path& path);
std::filesystem::path PathFromUtf8(std::string_view text);

}  // namespace kov::update
