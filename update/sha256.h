#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kov::update {

// Which compression code a hash runs; the enumerators live in update/sha256_engine.h.
enum class Sha256Engine : unsigned char;

class Sha256 {
 public:
  // Runs the fastest engine this processor has.
  Sha256();
  // Runs the given engine, which the processor must have (tests and benchmarks).
  explicit Sha256(Sha256Engine engine);
  void Update(const void* data, unsigned long long size);
  void Transform(const unsigned char* block);
  std::array<unsigned char, 32> Final();

 private:
  std::uint32_t state[8];
  unsigned char buffer[64];
  std::uint64_t bufferedBytes;
  std::uint64_t totalBytes;
  Sha256Engine engine;
};

// 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view text);
// The digest text of a file, or an empty text with error set when it cannot be read.
std::string Sha256FileHex(const std::filesystem::path& path, std::string& error);
bool IsValidSha256(std::string_view text);
std::string NormalizeSha256(std::string_view text);

}  // namespace kov::update
