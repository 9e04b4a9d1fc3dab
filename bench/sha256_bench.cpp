// Throughput of the SHA-256 engines over memory and over a large cached file.
//   sha256_bench [--file=<path>] [Google Benchmark flags]
// The file (1 GiB) is written once when missing or of another size, and kept for later runs
// and for comparison with other tools.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "update/sha256.h"
#include "update/sha256_engine.h"

namespace kov::update {
namespace {

constexpr std::size_t kMebibyte = 1048576;
constexpr std::uintmax_t kFileSize = 1024 * kMebibyte;

std::string RandomBytes(std::size_t size, std::mt19937_64& random) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() >> 56);
  return bytes;
}

bool EnsureFile(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::file_size(file, ec) == kFileSize && !ec) return true;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  std::mt19937_64 random(1);
  const std::string chunk = RandomBytes(kMebibyte, random);
  for (std::uintmax_t written = 0; out && written < kFileSize; written += kMebibyte) {
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  }
  return static_cast<bool>(out.flush());
}

void HashMemory(benchmark::State& state, Sha256Engine engine) {
  std::mt19937_64 random(2);
  const std::string bytes = RandomBytes(kMebibyte, random);
  for (auto _ : state) benchmark::DoNotOptimize(Sha256Hex(bytes, engine));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void HashFile(benchmark::State& state, Sha256Engine engine, const std::filesystem::path& file) {
  for (auto _ : state) {
    std::string error;
    const std::string digest = Sha256FileHex(file, error, engine);
    if (digest.empty()) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

std::filesystem::path TakeFileArgument(int& argc, char** argv) {
  constexpr std::string_view kFlag = "--file=";
  std::filesystem::path file = std::filesystem::temp_directory_path() / "kov-sha256-bench-1GiB.bin";
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.substr(0, kFlag.size()) == kFlag) {
      file = std::string(argument.substr(kFlag.size()));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return file;
}

void RegisterEngine(const char* name, Sha256Engine engine, const std::filesystem::path& file) {
  if (!Sha256EngineAvailable(engine)) {
    std::fprintf(stderr, "%s: not available on this processor, skipped\n", name);
    return;
  }
  benchmark::RegisterBenchmark((std::string("Sha256Hex_1MiB/") + name).c_str(), HashMemory, engine);
  benchmark::RegisterBenchmark((std::string("Sha256FileHex_1GiB/") + name).c_str(), HashFile,
                               engine, file)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(2);
}

}  // namespace
}  // namespace kov::update

int main(int argc, char** argv) {
  using namespace kov::update;
  const std::filesystem::path file = TakeFileArgument(argc, argv);
  if (!EnsureFile(file)) {
    std::fprintf(stderr, "cannot write the benchmark file %s\n", file.string().c_str());
    return 1;
  }
  std::string error;
  Sha256FileHex(file, error);  // brings the file into the page cache
  RegisterEngine("ShaNi", Sha256Engine::kShaNi, file);
  RegisterEngine("PortableBmi2", Sha256Engine::kPortableBmi2, file);
  RegisterEngine("PortableVector", Sha256Engine::kPortableVector, file);
  RegisterEngine("Portable", Sha256Engine::kPortable, file);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
