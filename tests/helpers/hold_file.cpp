// Holds a file open as a scanner or a running game would, so that Windows refuses to move or
// remove it: hold_file <file> <milliseconds> <marker> [exclusive]. Without "exclusive" others
// may still read the file. Creates <marker> once the file is held.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "update/update_job.h"

#ifdef _WIN32
#include "update/platform_win.h"
#endif

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::filesystem::path file = kov::update::PathFromUtf8(argv[1]);
#ifdef _WIN32
  const bool exclusive = argc > 4 && std::string(argv[4]) == "exclusive";
  const kov::update::platform::UniqueHandle held(CreateFileW(file.c_str(), GENERIC_READ,
                                                             exclusive ? 0 : FILE_SHARE_READ,
                                                             nullptr, OPEN_EXISTING, 0, nullptr));
  if (!held.valid()) return 1;
#else
  const std::ifstream held(file);  // POSIX moves and removes an open file all the same
#endif
  std::ofstream(kov::update::PathFromUtf8(argv[3])) << "held\n";
  std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(argv[2])));
  return 0;
}
