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

// Writes the update job file ("format=1", then key=value lines in UTF-8 with LF ends),
// replacing the file. Clears error first. False with "The update job contains an invalid
// path." (an empty path, a line break, no UTF-8 form), "The update job contains an invalid
// argument." (a line break) or "Cannot write the update job."; an invalid job leaves the file
// untouched.
bool WriteUpdateJob(const std::filesystem::path& file, const UpdateJob& job, std::string& error);

// Reads an update job file; accepts LF and CR LF ends, ignores unknown keys, takes the last
// value of a repeated key and collects every "arg" in order. Clears error first. Empty on
// failure, with error set to the sentence of the first line it cannot accept ("The update job
// is damaged.", "The update job format is not supported.", "The update job has an invalid
// process id."), "Cannot read the update job." or "The update job is incomplete.". A path
// value that is not strict UTF-8 makes the job damaged; nothing is thrown for it.
std::optional<UpdateJob> ReadUpdateJob(const std::filesystem::path& file, std::string& error);

// The only conversions between paths and UTF-8 text. They accept strict UTF-8 and
// well-formed UTF-16 only and throw std::runtime_error otherwise.
std::string Utf8Path(const std::filesystem::path& path);
std::filesystem::path PathFromUtf8(std::string_view text);

}  // namespace kov::update
