#pragma once

#include <filesystem>
#include <vector>

#include "update/installer.h"

namespace kov::update {

// The exit code of a run that had no usable job (also a command line that cannot be split).
inline constexpr int kExitNoUsableJob = 2;

// The process exit code for an install outcome: 6 and 7 mean the previous files are back,
// 8 and 9 that they are not all back; anything unknown counts as a refusal.
int ExitCodeForInstallStatus(InstallStatus status);

// One whole run of the update helper. words are the command-line words in the platform's
// native text, the program name first; the result is the process exit code.
int RunUpdateHelper(const std::vector<std::filesystem::path::string_type>& words);

}  // namespace kov::update
