// Stands in for the game launcher that the update helper restarts: appends one line to the
// file named by its first argument, made of the version.txt beside the program (so a test
// tells the new launcher from the previous one) and its further arguments, joined by '|'.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "update/process.h"
#include "update/update_job.h"

int main() {
  const std::vector<std::string> args = kov::update::CurrentProcessArguments();
  if (args.empty()) return 2;
  const std::filesystem::path program = kov::update::CurrentExecutablePath();
  std::string line = kov::test::ReadFile(program.parent_path() / "version.txt");
  if (line.empty()) line = "none";
  for (std::size_t i = 1; i < args.size(); ++i) line += "|" + args[i];
  line += "\n";
  std::ofstream record(kov::update::PathFromUtf8(args[0]), std::ios::binary | std::ios::app);
  record.write(line.data(), static_cast<std::streamsize>(line.size()));
  return record.good() ? 0 : 1;
}
