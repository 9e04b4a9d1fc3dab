// The SHA-256 engines for x86 extensions: the SHA instructions, and the vector-schedule rounds
// built for BMI2. Each function carries its own target so that the rest of the program stays
// buildable for, and runnable on, processors without them. Built for x86-64 targets by
// GNU-compatible compilers only.

#include <cpuid.h>
#include <immintrin.h>

#include <utility>

#include "update/sha256_engine.h"
#include "update/sha256_rounds_vector.h"

namespace kov::update {
namespace {

constexpr unsigned kCpuidFeatures = 1;
constexpr unsigned kCpuidExtendedFeatures = 7;
constexpr unsigned kEcxSsse3 = 1u << 9;
constexpr unsigned kEcxSse41 = 1u << 19;
constexpr unsigned kEbxBmi2 = 1u << 8;
constexpr unsigned kEbxSha = 1u << 29;

#define KOV_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#define KOV_SHA_INLINE __attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline

KOV_SHA_INLINE __m128i LoadMessage(const unsigned char* bytes) {
  const __m128i bigEndianWords = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)), bigEndianWords);
}

KOV_SHA_INLINE __m128i RoundConstants(int quad) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * quad));
}

// Four rounds, quad 0 to 15, with the schedule words of the quad in message[quad % 4]. While
// the rounds run, the ring is advanced: the second half of the schedule step for the quad
// after next, and the first half for the one four quads on.
template <int quad>
KOV_SHA_INLINE void FourRounds(__m128i& abef, __m128i& cdgh, __m128i (&message)[4]) {
  __m128i& current = message[quad % 4];
  __m128i& next = message[(quad + 1) % 4];
  __m128i& previous = message[(quad + 3) % 4];
  __m128i input = _mm_add_epi32(current, RoundConstants(quad));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, input);
  if constexpr (quad >= 3 && quad <= 14) {
    next = _mm_add_epi32(next, _mm_alignr_epi8(current, previous, 4));
    next = _mm_sha256msg2_epu32(next, current);
  }
  input = _mm_shuffle_epi32(input, 0x0e);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, input);
  if constexpr (quad >= 1 && quad <= 12) previous = _mm_sha256msg1_epu32(previous, current);
}

template <int... quads>
KOV_SHA_INLINE void SixtyFourRounds(__m128i& abef, __m128i& cdgh, __m128i (&message)[4],
                                    std::integer_sequence<int, quads...>) {
  (FourRounds<quads>(abef, cdgh, message), ...);
}

unsigned ExtendedFeatures() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid_count(kCpuidExtendedFeatures, 0, &eax, &ebx, &ecx, &edx) ? ebx : 0;
}

}  // namespace

bool ProcessorHasBmi2() { return (ExtendedFeatures() & kEbxBmi2) != 0; }

bool ProcessorHasShaNi() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(kCpuidFeatures, &eax, &ebx, &ecx, &edx)) return false;
  const bool hasShuffles = (ecx & kEcxSsse3) != 0 && (ecx & kEcxSse41) != 0;
  return hasShuffles && (ExtendedFeatures() & kEbxSha) != 0;
}

__attribute__((target("bmi2"))) void Sha256BlocksPortableBmi2(std::uint32_t* state,
                                                              const unsigned char* data,
                                                              std::size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) sha256_vector_rounds::CompressBlock(state, data);
}

// The instructions want the state as the halves ABEF and CDGH instead of ABCD and EFGH.
KOV_SHA_TARGET void Sha256BlocksShaNi(std::uint32_t* state, const unsigned char* data,
                                      std::size_t blocks) {
  const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = abef;
    const __m128i cdghBefore = cdgh;
    __m128i message[4] = {LoadMessage(data), LoadMessage(data + 16), LoadMessage(data + 32),
                          LoadMessage(data + 48)};
    SixtyFourRounds(abef, cdgh, message, std::make_integer_sequence<int, 16>{});
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xf0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace kov::update
