#include "update/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <memory>
#include <utility>

#include "update/sha256_engine.h"
#include "update/update_job.h"

namespace kov::update {
namespace {

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr std::size_t kBlockSize = 64;
constexpr std::size_t kLengthOffset = 56;
constexpr std::streamsize kReadChunk = 1048576;

inline std::uint32_t LoadBigEndian(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

inline std::uint32_t BigSigma0(std::uint32_t x) {
  return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
inline std::uint32_t BigSigma1(std::uint32_t x) {
  return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
// Same truth tables as the textbook forms, with fewer operations.
inline std::uint32_t Choose(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return ((y ^ z) & x) ^ z;
}
inline std::uint32_t Majority(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
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

// The message schedule runs four words at a time in vector registers, which most processors
// execute beside the integer work of the rounds.
using Words = std::uint32_t __attribute__((vector_size(16)));

inline Words SmallSigma0(Words x) { return (x >> 7 ^ x << 25) ^ (x >> 18 ^ x << 14) ^ x >> 3; }
inline Words SmallSigma1(Words x) { return (x >> 17 ^ x << 15) ^ (x >> 19 ^ x << 13) ^ x >> 10; }

// The next four schedule words from the last sixteen, oldest first. The third and fourth
// depend on the first and second, hence the second pass.
inline Words NextWords(Words w0, Words w1, Words w2, Words w3) {
  const Words zero = {};
  const Words sum = w0 + SmallSigma0(__builtin_shufflevector(w0, w1, 1, 2, 3, 4)) +
                    __builtin_shufflevector(w2, w3, 1, 2, 3, 4);
  const Words low = sum + SmallSigma1(__builtin_shufflevector(w3, zero, 2, 3, 4, 4));
  return low + SmallSigma1(__builtin_shufflevector(zero, low, 0, 0, 4, 5));
}

inline void StoreRoundInputs(std::uint32_t* input, Words words, int round) {
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

void CompressBlock(std::uint32_t* state, const unsigned char* block) {
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

void CompressBlocks(Sha256Engine engine, std::uint32_t* state, const unsigned char* data,
                    std::size_t blocks) {
  if (engine == Sha256Engine::kShaNi) {
    Sha256BlocksShaNi(state, data, blocks);
  } else {
    Sha256BlocksPortable(state, data, blocks);
  }
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
  return "Cannot read " + Utf8Path(path) + ".";
}

}  // namespace

void Sha256BlocksPortable(std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
  for (; blocks > 0; --blocks, data += kBlockSize) CompressBlock(state, data);
}

bool Sha256EngineAvailable(Sha256Engine engine) {
  return engine == Sha256Engine::kPortable || ProcessorHasShaNi();
}

Sha256Engine PreferredSha256Engine() {
  static const Sha256Engine preferred =
      Sha256EngineAvailable(Sha256Engine::kShaNi) ? Sha256Engine::kShaNi : Sha256Engine::kPortable;
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
  for (int i = 0; i < 8; ++i) {
    buffer[kLengthOffset + i] = static_cast<unsigned char>(bitLength >> (56 - 8 * i));
  }
  Transform(buffer);
  std::array<unsigned char, 32> digest;
  for (int i = 0; i < 32; ++i) {
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
