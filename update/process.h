#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kov::update {

// The calling process's id, as the launcher writes it into the update job.
unsigned long CurrentProcessId();
// The process's arguments after the program name, in UTF-8, split by the platform's standard
// rules; on Windows an argument without a UTF-8 form becomes an empty text in its place.
std::vector<std::string> CurrentProcessArguments();
// The running executable's full path, however long, or an empty path when it cannot be read.
std::filesystem::path CurrentExecutablePath();
// Waits until the process ends. timeout_ms is read as an unsigned 32-bit count of
// milliseconds: 0 only looks, -1 waits without limit. True once the process has ended, or
// when it is already gone or its id names no single process (0 among them); error is then
// untouched. False with error set to "The launcher did not exit in time.", "The launcher
// process could not be opened." or "Waiting for the launcher failed.".
bool WaitForProcess(unsigned long pid, int timeout_ms, std::string& error);

// Starts a program in working_dir and returns at once; the program runs on its own and is never
// waited for. arguments are UTF-8 without the program name; each reaches the program exactly as
// given (bytes that are not UTF-8 become U+FFFD on Windows). With stripTestEnvironment the
// program gets the caller's environment without the four RX9_UPDATE_TEST variables (names
// compared ignoring case), otherwise the caller's environment as it is. A `.bat` or `.cmd`
// program on Windows runs through cmd.exe with every argument quoted for it. False with error
// set to "Could not start the program (N)." (N: the platform's error code, e.g. 2 for a missing
// program), "Could not prepare the program environment." or, for a batch file whose path or an
// argument holds `"`, `%`, a line break or NUL, "The program is a batch file, and its path or
// an argument holds a character that cannot be passed to it safely."; error is untouched on
// success.
bool LaunchApplication(const std::filesystem::path& program,
                       const std::vector<std::string>& arguments,
                       const std::filesystem::path& working_dir, std::string& error,
                       bool stripTestEnvironment);
// Starts the update helper with "--job" and the job file's absolute path, in the job file's
// folder, with the caller's environment unchanged; the caller must then exit within two
// minutes. False with "The update helper is missing from this installation." when the helper
// or the job file is not an existing regular file, "The update job file's path has no UTF-8
// form.", or one of LaunchApplication's sentences.
bool LaunchUpdateHelper(const std::filesystem::path& helper, const std::filesystem::path& job_file,
                        std::string& error);

// Not available in this form of the library: false with "Automatic updates are only available
// in the Linux AppImage build."; the other parameters are not read.
bool ApplyAppImageUpdate(const std::filesystem::path& appimage,
                         const std::filesystem::path& replacement,
                         const std::vector<std::string>& arguments, std::string& error);
// Not available in this form of the library: false, and original is left as it was.
bool HasOriginalAppImage(std::filesystem::path& original);

}  // namespace kov::update
