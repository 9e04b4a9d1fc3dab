// The SHA-256 engine with its message schedule in GNU vector registers; built by GNU-compatible
// compilers only, for every architecture.

#include "update/sha256_engine.h"
#include "update/sha256_rounds_vector.h"

namespace kov::update {

void Sha256BlocksPortableVector(std::uint32_t* state, const unsigned char* data,
                                std::size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) sha256_vector_rounds::CompressBlock(state, data);
}

}  // namespace kov::update
