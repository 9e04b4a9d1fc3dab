// Writes what the process sees of itself to the file named by its first argument: its id,
// its executable's path and then every argument, the file's own name included, one per line,
// in UTF-8.
#include <fstream>

#include "update/process.h"
#include "update/update_job.h"

int main() {
  const auto arguments = kov::update::CurrentProcessArguments();
  if (arguments.empty()) return 2;
  std::ofstream out(kov::update::PathFromUtf8(arguments.front()), std::ios::binary);
  out << kov::update::CurrentProcessId() << '\n'
      << kov::update::Utf8Path(kov::update::CurrentExecutablePath()) << '\n';
  for (const auto& argument : arguments) out << argument << '\n';
  return out.good() ? 0 : 1;
}
