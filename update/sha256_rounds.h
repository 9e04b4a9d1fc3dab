#pragma once

// Internal to the SHA-256 family: the FIPS 180-4 compression of one block in standard C++.
// Every function is forced inline where the compiler knows how (others ignore the attribute),
// so that each engine built on it is compiled for its own instruction set.

#include <algorithm>
#include <bit>
#include <cstdint>

#include "update/sha256_engine.h"

namespace kov::update::sha256_rounds {

[[gnu::always_inline]] inline std::uint32_t LoadBigEndian(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

[[gnu::always_inline]] inline std::uint32_t BigSigma0(std::uint32_t x) {
  return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
[[gnu::always_inline]] inline std::uint32_t BigSigma1(std::uint32_t x) {
  return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
// Same truth tables as the textbook forms, with fewer operations.
[[gnu::always_inline]] inline std::uint32_t Choose(std::uint32_t x, std::uint32_t y,
                                                   std::uint32_t z) {
  return ((y ^ z) & x) ^ z;
}
[[gnu::always_inline]] inline std::uint32_t Majority(std::uint32_t x, std::uint32_t y,
                                                     std::uint32_t z) {
  return ((x ^ y) & (y ^ z)) ^ y;
}

// One round without moving the working variables: the caller renames them instead, so
// only d and h receive new values.
[[gnu::always_inline]] inline void Round(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                         std::uint32_t& d, std::uint32_t e, std::uint32_t f,
                                         std::uint32_t g, std::uint32_t& h,
                                         std::uint32_t roundInput) {
  const std::uint32_t t1 = h + BigSigma1(e) + Choose(e, f, g) + roundInput;
  d += t1;
  h = t1 + BigSigma0(a) + Majority(a, b, c);
}

// Four rounds from round n, which must be a multiple of four: every fourth round the names
// of the working variables have turned half way round.
template <int n>
[[gnu::always_inline]] inline void FourRounds(std::uint32_t (&v)[8], const std::uint32_t* input) {
  auto& [a, b, c, d, e, f, g, h] = v;
  if constexpr (n % 8 == 0) {
    Round(a, b, c, d, e, f, g, h, input[0]);
    Round(h, a, b, c, d, e, f, g, input[1]);
    Round(g, h, a, b, c, d, e, f, input[2]);
    Round(f, g, h, a, b, c, d, e, input[3]);
  } else {
    Round(e, f, g, h, a, b, c, d, input[0]);
    Round(d, e, f, g, h, a, b, c, input[1]);
    Round(c, d, e, f, g, h, a, b, input[2]);
    Round(b, c, d, e, f, g, h, a, input[3]);
  }
}

[[gnu::always_inline]] inline std::uint32_t SmallSigma0(std::uint32_t x) {
  return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3);
}
[[gnu::always_inline]] inline std::uint32_t SmallSigma1(std::uint32_t x) {
  return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10);
}

// The next sixteen schedule words in place of the last sixteen: word i of the ring is the one
// sixteen rounds back, so the words two, seven and fifteen back sit at i + 14, i + 9 and i + 1.
[[gnu::always_inline]] inline void NextSixteenWords(std::uint32_t (&w)[16]) {
  for (int i = 0; i < 16; ++i) {
    w[i] += SmallSigma1(w[(i + 14) % 16]) + w[(i + 9) % 16] + SmallSigma0(w[(i + 1) % 16]);
  }
}

template <int first>
[[gnu::always_inline]] inline void SixteenRounds(std::uint32_t (&v)[8],
                                                 const std::uint32_t (&w)[16]) {
  std::uint32_t input[16];  // schedule word plus round constant
  for (int i = 0; i < 16; ++i) input[i] = w[i] + kRound[first + i];
  FourRounds<0>(v, input);
  FourRounds<4>(v, input + 4);
  FourRounds<8>(v, input + 8);
  FourRounds<12>(v, input + 12);
}

[[gnu::always_inline]] inline void CompressBlock(std::uint32_t* state, const unsigned char* block) {
  std::uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 4 * i);
  std::uint32_t v[8];
  std::copy_n(state, 8, v);
  SixteenRounds<0>(v, w);
  NextSixteenWords(w);
  SixteenRounds<16>(v, w);
  NextSixteenWords(w);
  SixteenRounds<32>(v, w);
  NextSixteenWords(w);
  SixteenRounds<48>(v, w);
  for (int i = 0; i < 8; ++i) state[i] += v[i];
}

}  // namespace kov::update::sha256_rounds
