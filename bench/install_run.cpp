// One install of a prepared update shape, for comparing builds (such as the Windows build under
// Wine with the Linux build, bench/install_wine_compare.sh) on the same files.
//   install_run prepare <work folder> <small|large>   lays the shape out
//   install_run install <work folder> <small|large>   installs it, printing the seconds taken
// The caller syncs the disk between the two, so that the install does not pay for the
// preparation's writes.

#include <cstdio>
#include <string_view>
#include <vector>

#include "bench/install_shape.h"

int main(int argc, char** argv) {
  using namespace kov::bench;
  const std::string_view step = argc == 4 ? argv[1] : "";
  if (step != "prepare" && step != "install") {
    std::fprintf(stderr, "usage: install_run prepare|install <work folder> <small|large>\n");
    return 2;
  }
  const fs::path work = fs::absolute(argv[2]);
  const Shape shape = ShapeNamed(argv[3]);
  if (step == "prepare") {
    fs::create_directories(work);
    Prepare(work, shape);
    return 0;
  }
  OpTimes times;
  std::vector<double> marks;
  const double seconds = TimeInstall(JobIn(work, shape), TimedOps(times), marks);
  if (seconds < 0) return 1;
  std::printf("%.3f\n", seconds);
  PrintProfile(times, marks, seconds);
  return 0;
}
