#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kov::update {

unsigned long CurrentProcessId();
// The process's arguments after the program name, in UTF-8.
std::vector<std::string> CurrentProcessArguments();
// The running executable's full path, or an empty path.
std::filesystem::path CurrentExecutablePath();
// True once the process has ended or was already gone; error is written only on failure.
bool WaitForProcess(unsigned long pid, int timeout_ms, std::string& error);

// Starts a program and returns at once; arguments are UTF-8, without the program name.
bool LaunchApplication(const std::filesystem::path& program,
                       const std::vector<std::string>& arguments,
                       const std::filesystem::path& working_dir, std::string& error,
                       bool stripTestEnvironment);
// Starts the update helper with --job and the job file, in the job file's folder.
bool LaunchUpdateHelper(const std::filesystem::path& helper, const std::filesystem::path& job_file,
                        std::string& error);

bool ApplyAppImageUpdate(const std::filesystem::path& appimage,
                         const std::filesystem::path& replacement,
                         const std::vector<std::string>& arguments, std::string& error);
bool HasOriginalAppImage(std::filesystem::path& original);

}  // namespace kov::update
