#include "update/sha256.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

#include "update/sha256_engine.h"
#include "update/sha256_rounds.h"
#include "update/utf8.h"

namespace kov::update {
namespace {

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthOffset = 56;
// Large enough that reads cost little beside the hashing, small enough that a fresh buffer is
// cheap: Wine checks every page of a read's buffer, which made a 1 MiB one cost milliseconds for
// each small file.
constexpr std::streamsize kReadChunk = 65536;

// The engines beyond the portable one that this build has, as CMake chose them by compiler and
// architecture. An engine the build lacks is only named in discarded branches, so it needs no
// definition.
constexpr bool kVectorEngineBuilt = KOV_SHA256_VECTOR_ENGINE;
constexpr bool kX86EnginesBuilt = KOV_SHA256_X86_ENGINES;

void CompressBlocks(Sha256Engine engine, std::uint32_t* state, const unsigned char* data,
                    std::size_t blocks) {
  switch (engine) {
    case Sha256Engine::kShaNi:
      if constexpr (kX86EnginesBuilt) return Sha256BlocksShaNi(state, data, blocks);
      break;
    case Sha256Engine::kPortableBmi2:
      if constexpr (kX86EnginesBuilt) return Sha256BlocksPortableBmi2(state, data, blocks);
      break;
    case Sha256Engine::kPortableVector:
      if constexpr (kVectorEngineBuilt) return Sha256BlocksPortableVector(state, data, blocks);
      break;
    case Sha256Engine::kPortable:
      break;
  }
  Sha256BlocksPortable(state, data, blocks);
}

std::string HexText(const std::array<unsigned char, 32>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(64);
  for (unsigned char byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string CannotRead(const std::filesystem::path& path) {
  // A path without a UTF-8 form must not turn a read failure into an exception.
  return "Cannot read " + TryUtf8Path(path).value_or("a file whose name has no UTF-8 form") + ".";
}

}  // namespace

void Sha256BlocksPortable(std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
  for (; blocks > 0; --blocks, data += kBlockSize) sha256_rounds::CompressBlock(state, data);
}

bool Sha256EngineAvailable(Sha256Engine engine) {
  switch (engine) {
    case Sha256Engine::kShaNi:
      if constexpr (kX86EnginesBuilt) return ProcessorHasShaNi();
      return false;
    case Sha256Engine::kPortableBmi2:
      if constexpr (kX86EnginesBuilt) return ProcessorHasBmi2();
      return false;
    case Sha256Engine::kPortableVector:
      return kVectorEngineBuilt;
    case Sha256Engine::kPortable:
      break;
  }
  return true;
}

Sha256Engine PreferredSha256Engine() {
  static const Sha256Engine preferred = [] {
    for (auto engine :
         {Sha256Engine::kShaNi, Sha256Engine::kPortableBmi2, Sha256Engine::kPortableVector}) {
      if (Sha256EngineAvailable(engine)) return engine;
    }
    return Sha256Engine::kPortable;
  }();
  return preferred;
}

Sha256::Sha256() : Sha256(PreferredSha256Engine()) {}

Sha256::Sha256(Sha256Engine engine) : buffer{}, bufferedBytes(0), totalBytes(0), engine(engine) {
  std::copy_n(kInitialState, 8, state);
}

// Whole blocks go to the engine straight from the caller's bytes when nothing is buffered:
// the digest is the same as copying them through the buffer, and the engines run many blocks
// per call.
void Sha256::Update(const void* data, unsigned long long size) {
  if (size == 0) return;
  totalBytes += size;
  auto bytes = static_cast<const unsigned char*>(data);
  if (bufferedBytes > 0) {
    const auto taken = std::min<unsigned long long>(size, kBlockSize - bufferedBytes);
    std::memcpy(buffer + bufferedBytes, bytes, taken);
    bufferedBytes += taken;
    bytes += taken;
    size -= taken;
    if (bufferedBytes < kBlockSize) return;
    Transform(buffer);
    bufferedBytes = 0;
  }
  const auto blocks = size / kBlockSize;
  if (blocks > 0) CompressBlocks(engine, state, bytes, blocks);
  bytes += blocks * kBlockSize;
  size -= blocks * kBlockSize;
  if (size > 0) std::memcpy(buffer, bytes, size);
  bufferedBytes = size;
}

void Sha256::Transform(const unsigned char* block) { CompressBlocks(engine, state, block, 1); }

std::array<unsigned char, 32> Sha256::Final() {
  static constexpr unsigned char kPadding[kBlockSize] = {0x80};
  const std::uint64_t bitLength = totalBytes * 8;
  // The marker byte plus the zeros that leave exactly room for the length in the last block.
  const std::size_t padding = (kBlockSize + kLengthOffset - 1 - bufferedBytes) % kBlockSize + 1;
  Update(kPadding, padding);
  for (std::size_t i = 0; i < 8; ++i) {
    buffer[kLengthOffset + i] = static_cast<unsigned char>(bitLength >> (56 - 8 * i));
  }
  Transform(buffer);
  std::array<unsigned char, 32> digest;
  for (std::size_t i = 0; i < 32; ++i) {
    digest[i] = static_cast<unsigned char>(state[i / 4] >> (24 - 8 * (i % 4)));
  }
  return digest;
}

std::string Sha256Hex(std::string_view text, Sha256Engine engine) {
  Sha256 hash(engine);
  hash.Update(text.data(), text.size());
  return HexText(hash.Final());
}

std::string Sha256Hex(std::string_view text) { return Sha256Hex(text, PreferredSha256Engine()); }

std::string Sha256FileHex(const std::filesystem::path& path, std::string& error,
                          Sha256Engine engine) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = CannotRead(path);
    return {};
  }
  Sha256 hash(engine);
  const auto chunk = std::make_unique_for_overwrite<char[]>(kReadChunk);
  while (in) {
    in.read(chunk.get(), kReadChunk);
    if (in.gcount() > 0) hash.Update(chunk.get(), static_cast<unsigned long long>(in.gcount()));
  }
  if (in.bad()) {
    error = CannotRead(path);
    return {};
  }
  return HexText(hash.Final());
}

std::string Sha256FileHex(const std::filesystem::path& path, std::string& error) {
  return Sha256FileHex(path, error, PreferredSha256Engine());
}

bool IsValidSha256(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), IsHexDigit);
}

std::string NormalizeSha256(std::string_view text) {
  std::string normal(text);
  for (char& c : normal) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return normal;
}

}  // namespace kov::update
