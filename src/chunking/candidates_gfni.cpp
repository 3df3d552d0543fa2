// The candidate search with GFNI, 32 positions at a time in 256-bit vectors.
//
// Byte hb of the hash at position k is a constant XOR sixteen 8x8 bit
// matrices applied to p[k-15..k], one matrix per window offset (see
// candidates_tables.h). Loading 32 bytes from p + k - 15 + i puts the byte
// at offset i of 32 consecutive windows into the 32 lanes, so one affine
// instruction per offset and a XOR tree give byte hb of 32 hashes.
//
// The top bytes are compared first. With avglen 100 (top byte 02) about one
// block in eight has an undecided lane (top byte equal to the threshold's);
// those few are hashed from scratch (first_in_block).
//
// candidates_avx512.cpp starts its searches the same way and goes on in
// 512-bit vectors when they run long.
#include <immintrin.h>

#include "chunking/candidates.h"
#include "chunking/candidates_tables.h"

namespace longdup {
namespace {

// The affine instruction adds a constant byte; the first offset carries the
// constant term of the hash.
template <int hb, uint8_t add = 0>
__attribute__((target("avx2,gfni"))) inline __m256i affine_at(const uint8_t* q, int i) {
  return _mm256_gf2p8affine_epi64_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i)),
                                       _mm256_set1_epi64x(static_cast<long long>(cand_tab.matrix[hb][i])), add);
}

// Byte hb of the hashes of the windows that start at q[0..31].
template <int hb>
__attribute__((target("avx2,gfni"))) inline __m256i hash_byte_x32(const uint8_t* q) {
  __m256i a = affine_at<hb, zero_window_byte(hb)>(q, 0);
  __m256i b = affine_at<hb>(q, 1), c = affine_at<hb>(q, 2), d = affine_at<hb>(q, 3);
  for (int i = 4; i < 16; i += 4) {
    a = _mm256_xor_si256(a, affine_at<hb>(q, i));
    b = _mm256_xor_si256(b, affine_at<hb>(q, i + 1));
    c = _mm256_xor_si256(c, affine_at<hb>(q, i + 2));
    d = _mm256_xor_si256(d, affine_at<hb>(q, i + 3));
  }
  return _mm256_xor_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(c, d));
}

// Lanes where v < t and lanes where v == t, unsigned, as bit masks.
__attribute__((target("avx2"))) inline void compare_x32(__m256i v, __m256i t, uint32_t& below, uint32_t& tie) {
  uint32_t at_most = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v, t), t)));
  tie = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, t)));
  below = at_most & ~tie;
}

// Narrows `tie` by hash byte hb: returns the tied lanes below the threshold
// there, and keeps in `tie` those still equal.
template <int hb>
__attribute__((target("avx2,gfni"))) inline uint32_t below_in_byte(const uint8_t* q, uint32_t& tie,
                                                                    uint32_t threshold) {
  uint32_t below, eq;
  compare_x32(hash_byte_x32<hb>(q), _mm256_set1_epi8(static_cast<char>(threshold >> 8 * hb)), below, eq);
  below &= tie;
  tie &= eq;
  return below;
}

__attribute__((target("avx2,gfni"))) uint32_t break_ties(const uint8_t* q, uint32_t tie, uint32_t threshold) {
  uint32_t below = below_in_byte<2>(q, tie, threshold);
  if (tie) below |= below_in_byte<1>(q, tie, threshold);
  if (tie) below |= below_in_byte<0>(q, tie, threshold);
  return below;
}

}  // namespace

__attribute__((target("avx2,gfni"))) std::size_t next_candidate_gfni(const uint8_t* p, std::size_t from, std::size_t to,
                                                                    uint32_t threshold) {
  if (to - from < 32 || threshold >= scalar_above) return next_candidate_scalar(p, from, to, threshold);
  const __m256i top = _mm256_set1_epi8(static_cast<char>(threshold >> 24));
  for (std::size_t k = from;; k += 32) {
    if (to - k < 32) {
      if (k == to) return to;
      k = to - 32;  // the last block goes back over positions that were no candidates
    }
    const uint8_t* q = p + k - 15;
    uint32_t below, tie;
    compare_x32(hash_byte_x32<3>(q), top, below, tie);
    if (below | tie) {
      auto decide = [q, threshold](uint32_t t) { return break_ties(q, t, threshold); };
      unsigned j = first_in_block(q, below, tie, threshold, decide);
      if (j != no_lane) return k + j;
    }
  }
}

}  // namespace longdup
