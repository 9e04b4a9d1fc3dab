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

// The self-update of a launcher that ships as one Linux AppImage file, which can be replaced
// while it runs. The launcher asks HasOriginalAppImage for the file to replace, downloads the
// new AppImage and checks its SHA-256 against the release's digest, calls ApplyAppImageUpdate
// and, when that answers true, exits.
//
// True when the process runs from an AppImage: the environment variable APPIMAGE holds an
// absolute path that leads, links resolved, to an existing regular file. original then holds
// that file's absolute path without links, the file to replace; otherwise, and always on
// Windows, false with original left as it was.
bool HasOriginalAppImage(std::filesystem::path& original);
// Parameters in order: the downloaded AppImage, whose digest the caller has checked; the
// AppImage to replace, as HasOriginalAppImage found it (a link to it is resolved); the
// arguments of the new one (UTF-8, without the program name). Checks both files first: the
// download a non-empty regular file, no link, an ELF file with the AppImage type-2 mark ("AI"
// and 2 at bytes 8 to 10); the current file a regular file in a folder the process may write,
// and not the download itself. Then, under the installer's lock of that folder, removes what a
// killed earlier call left there, copies the download beside the current file under a
// ".kov-update-appimage-" name with the current file's permission bits and the execute bits,
// flushes the copy and proves it equal by SHA-256, keeps the current file under a second such
// name (a hard link, else a copy), moves the copy over it in one step and starts it in its
// folder without the update test variables. A start that fails moves the kept file back
// (should that move fail too, the kept file stays under its name); otherwise the current file
// changes only by the one move, and no name of the update outlives the call. The caller exits
// after true. False with error set to one sentence, with the
// system's error code in parentheses where there is one: "The downloaded AppImage is not a
// regular file.", "... is empty.", "... is not an AppImage of type 2.", "... is the AppImage
// to replace.", "The AppImage's folder cannot be written (N).", ...; after a failed start
// LaunchApplication's sentence. error is untouched on success. On Windows false with
// "Automatic updates are only available in the Linux AppImage build."; nothing is read.
bool ApplyAppImageUpdate(const std::filesystem::path& new_appimage,
                         const std::filesystem::path& current_appimage,
                         const std::vector<std::string>& arguments, std::string& error);

}  // namespace kov::update
