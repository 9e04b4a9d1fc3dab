#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kov::update {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, unsigned long long size);
  void Transform(const unsigned char* block);
  std::array<unsigned char, 32> Final();

 private:
  std::uint32_t state[8];
  unsigned char buffer[64];
  std::uint64_t bufferedBytes;
  std::uint64_t totalBytes;
};

// 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view text);
// The digest text of a file, or an empty text with error set when it cannot be read.
std::string Sha256FileHex(const std::filesystem::path& path, std::string& error);
bool IsValidSha256(std::string_view text);
std::string NormalizeSha256(std::string_view text);

}  // namespace kov::update
