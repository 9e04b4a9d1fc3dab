// Sleeps for the number of milliseconds given as its first argument, then exits with 0.
#include <chrono>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::this_thread::sleep_for(std::chrono::milliseconds(std::stoul(argv[1])));
  return 0;
}
