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
  // Adds bytes to the message; any split of a message into pieces gives the same digest.
  void Update(const void* data, unsigned long long size);
  // Compresses one 64-byte block into the state, outside the message's byte count.
  void Transform(const unsigned char* block);
  // The digest of everything added; the object is spent afterwards.
  std::array<unsigned char, 32> Final();

 private:
  std::uint32_t state[8];
  unsigned char buffer[64];
  std::uint64_t bufferedBytes;
  std::uint64_t totalBytes;
  Sha256Engine engine;
};

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view text);
// The digest text of a file's bytes. When the file cannot be opened or read (missing, a
// folder), an empty text, with error set to "Cannot read <path>."; error is untouched on success.
std::string Sha256FileHex(const std::filesystem::path& path, std::string& error);
// True for exactly 64 hexadecimal digits of either case, nothing around them.
bool IsValidSha256(std::string_view text);
// The text with the letters A to F lowered; every other character is kept as it is.
std::string NormalizeSha256(std::string_view text);

}  // namespace kov::update
