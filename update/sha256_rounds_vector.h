#pragma once

// Internal to the SHA-256 family, and only for GNU-compatible compilers: the compression of
// sha256_rounds.h with its message schedule in vector registers (GNU vector extensions), four
// words at a time, which most processors execute beside the integer work of the rounds.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "update/sha256_engine.h"
#include "update/sha256_rounds.h"

namespace kov::update::sha256_vector_rounds {

using sha256_rounds::FourRounds;
using sha256_rounds::LoadBigEndian;

using Words = std::uint32_t __attribute__((vector_size(16)));

[[gnu::always_inline]] inline Words SmallSigma0(Words x) {
  return (x >> 7 ^ x << 25) ^ (x >> 18 ^ x << 14) ^ x >> 3;
}
[[gnu::always_inline]] inline Words SmallSigma1(Words x) {
  return (x >> 17 ^ x << 15) ^ (x >> 19 ^ x << 13) ^ x >> 10;
}

// The next four schedule words from the last sixteen, oldest first. The third and fourth
// depend on the first and second, hence the second pass.
[[gnu::always_inline]] inline Words NextWords(Words w0, Words w1, Words w2, Words w3) {
  const Words zero = {};
  const Words sum = w0 + SmallSigma0(__builtin_shufflevector(w0, w1, 1, 2, 3, 4)) +
                    __builtin_shufflevector(w2, w3, 1, 2, 3, 4);
  const Words low = sum + SmallSigma1(__builtin_shufflevector(w3, zero, 2, 3, 4, 4));
  return low + SmallSigma1(__builtin_shufflevector(zero, low, 0, 0, 4, 5));
}

[[gnu::always_inline]] inline void StoreRoundInputs(std::uint32_t* input, Words words, int round) {
  const Words sum =
      words + Words{kRound[round], kRound[round + 1], kRound[round + 2], kRound[round + 3]};
  std::memcpy(input, &sum, sizeof sum);
}

// Rounds first + 4 q to first + 4 q + 3, and meanwhile the schedule words of the same
// positions sixteen rounds on.
template <int first, int q>
[[gnu::always_inline]] inline void QuadRounds(std::uint32_t (&v)[8], Words (&w)[4],
                                              std::uint32_t (&input)[16]) {
  FourRounds<4 * q>(v, input + 4 * q);
  if constexpr (first < 48) {
    w[q] = NextWords(w[q], w[(q + 1) % 4], w[(q + 2) % 4], w[(q + 3) % 4]);
    StoreRoundInputs(input + 4 * q, w[q], first + 16 + 4 * q);
  }
}

template <int first, int... q>
[[gnu::always_inline]] inline void SixteenRounds(std::uint32_t (&v)[8], Words (&w)[4],
                                                 std::uint32_t (&input)[16],
                                                 std::integer_sequence<int, q...>) {
  (QuadRounds<first, q>(v, w, input), ...);
}

[[gnu::always_inline]] inline void CompressBlock(std::uint32_t* state, const unsigned char* block) {
  Words w[4];
  std::uint32_t input[16];  // schedule word plus round constant, for the next sixteen rounds
  for (int q = 0; q < 4; ++q) {
    const unsigned char* bytes = block + 16 * q;
    w[q] = Words{LoadBigEndian(bytes), LoadBigEndian(bytes + 4), LoadBigEndian(bytes + 8),
                 LoadBigEndian(bytes + 12)};
    StoreRoundInputs(input + 4 * q, w[q], 4 * q);
  }
  std::uint32_t v[8];
  std::copy_n(state, 8, v);
  constexpr auto kQuads = std::make_integer_sequence<int, 4>{};
  SixteenRounds<0>(v, w, input, kQuads);
  SixteenRounds<16>(v, w, input, kQuads);
  SixteenRounds<32>(v, w, input, kQuads);
  SixteenRounds<48>(v, w, input, kQuads);
  for (int i = 0; i < 8; ++i) state[i] += v[i];
}

}  // namespace kov::update::sha256_vector_rounds
