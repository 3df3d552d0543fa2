// The candidate search with AVX2 alone, 32 positions at a time, for CPUs
// without GFNI. The plan of candidates_gfni.cpp, with each of the sixteen
// linear byte maps done as two nibble-table shuffles:
// byte hb of L_i(b) = nib_lo[hb][i][b & 15] ^ nib_hi[hb][i][b >> 4].
#include <immintrin.h>

#include "chunking/candidates.h"
#include "chunking/candidates_tables.h"

namespace longdup {
namespace {

template <int hb>
__attribute__((target("avx2"))) inline __m256i hash_byte_x32(const uint8_t* q) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  __m256i a = _mm256_set1_epi8(static_cast<char>(zero_window_byte(hb))), b = _mm256_setzero_si256();
  for (int i = 0; i < 16; i++) {
    __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
    __m256i lo = _mm256_and_si256(x, low4), hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), low4);
    __m256i tlo = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(cand_tab.nib_lo[hb][i])));
    __m256i thi = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(cand_tab.nib_hi[hb][i])));
    a = _mm256_xor_si256(a, _mm256_shuffle_epi8(tlo, lo));
    b = _mm256_xor_si256(b, _mm256_shuffle_epi8(thi, hi));
  }
  return _mm256_xor_si256(a, b);
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
__attribute__((target("avx2"))) inline uint32_t below_in_byte(const uint8_t* q, uint32_t& tie, uint32_t threshold) {
  uint32_t below, eq;
  compare_x32(hash_byte_x32<hb>(q), _mm256_set1_epi8(static_cast<char>(threshold >> 8 * hb)), below, eq);
  below &= tie;
  tie &= eq;
  return below;
}

__attribute__((target("avx2"))) uint32_t break_ties(const uint8_t* q, uint32_t tie, uint32_t threshold) {
  uint32_t below = below_in_byte<2>(q, tie, threshold);
  if (tie) below |= below_in_byte<1>(q, tie, threshold);
  if (tie) below |= below_in_byte<0>(q, tie, threshold);
  return below;
}

}  // namespace

__attribute__((target("avx2"))) std::size_t next_candidate_avx2(const uint8_t* p, std::size_t from, std::size_t to,
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
