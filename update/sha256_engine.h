#pragma once

// Internal to the SHA-256 family: the compression engines and ways to force one, for the
// tests and benchmarks that must exercise each engine whatever the processor prefers.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "update/sha256.h"

namespace kov::update {

enum class Sha256Engine : unsigned char {
  kPortable,        // standard C++, runs everywhere
  kPortableVector,  // the same rounds, the message schedule in GNU vector registers
  kPortableBmi2,    // the vector engine built for x86 BMI2, whose rotations need fewer instructions
  kShaNi,           // x86 SHA extensions
};

// The round constants, shared by every engine.
inline constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Whether this build has the engine and this processor runs it. Forcing an engine that the build
// lacks runs the portable one; one that the processor lacks faults on the first block.
bool Sha256EngineAvailable(Sha256Engine engine);
// The fastest available engine, found once per process.
Sha256Engine PreferredSha256Engine();

// Compress `blocks` consecutive 64-byte blocks into state, in order. Only GNU-compatible
// compilers build the vector engine, and only for x86-64 the last two engines and the processor
// tests (update/sha256_vector.cpp, update/sha256_x86.cpp).
void Sha256BlocksPortable(std::uint32_t* state, const unsigned char* data, std::size_t blocks);
void Sha256BlocksPortableVector(std::uint32_t* state, const unsigned char* data,
                                std::size_t blocks);
void Sha256BlocksPortableBmi2(std::uint32_t* state, const unsigned char* data, std::size_t blocks);
void Sha256BlocksShaNi(std::uint32_t* state, const unsigned char* data, std::size_t blocks);
bool ProcessorHasBmi2();
bool ProcessorHasShaNi();

std::string Sha256Hex(std::string_view text, Sha256Engine engine);
std::string Sha256FileHex(const std::filesystem::path& path, std::string& error,
                          Sha256Engine engine);

}  // namespace kov::update
