// Chunk keys computed from a chunk's bytes in one go, for a coder that has
// the whole chunk in memory when it needs its key.
//
// The key that fp_absorb/fp_finish build byte by byte is a function of the
// chunk alone: byte k lands on accumulator byte k mod 63, the block is mixed
// after every run of 63 bytes that more bytes follow and once at the end,
// and the fill byte of each mix is the length of the run just XORed in (63,
// or 0..63 for the last run). So a chunk of L bytes is a serial chain of
// floor((L - 1) / 63) + 1 mixes (1 for L = 0), each reading the previous
// one's result; different chunks are independent. fp_chunk runs one chain
// with word-wide XORs; the lane kernels run one chain per 32-bit SIMD lane.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/fingerprint.h"

namespace longdup {

// The key of one chunk from its bytes, len <= 65535. Reads exactly
// p[0..len).
chunk_key fp_chunk(const uint8_t* p, uint32_t len);

// Keys of n independent chunks: keys[i] is the key of ptrs[i][0..lens[i]).
// Any n; lanes stay busy best when n is several times the lane count.
// Reads only the chunks' own bytes, whatever their alignment.
void fp_chunks(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys);

using fp_chunks_fn = void (*)(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n,
                              chunk_key* keys);

// Each variant under its own name. Call the SIMD ones only where
// fp_variants() lists them.
void fp_chunks_scalar(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys);
void fp_chunks_avx2(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys);
void fp_chunks_avx512(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys);

struct fp_variant {
  const char* name;  // "scalar", "avx2", "avx512"
  fp_chunks_fn fn;
  unsigned lanes;
};

// The variants this CPU can run, slowest first; fp_chunks uses the last.
struct fp_variant_list {
  fp_variant v[3];
  unsigned count;
};
fp_variant_list fp_variants();

}  // namespace longdup
