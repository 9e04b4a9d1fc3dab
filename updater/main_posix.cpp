#include <string>
#include <vector>

#include "updater/driver.h"

int main(int argc, char** argv) {
  return kov::update::RunUpdateHelper(std::vector<std::string>(argv, argv + argc));
}
