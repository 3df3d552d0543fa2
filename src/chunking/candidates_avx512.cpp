// The candidate search with GFNI in 512-bit vectors, 64 positions at a time:
// the plan of candidates_gfni.cpp with twice the lanes, and three-way XORs.
// On the machine this was tuned on (512-bit operations issued as two halves)
// it was slower than the 256-bit form, which is why next_candidate does not
// pick it; it stays for CPUs with full-width 512-bit units, to be measured
// there with bench/kernels/cand_bench.cpp.
#include <immintrin.h>

#include "chunking/candidates.h"
#include "chunking/candidates_tables.h"

namespace longdup {
namespace {

// The affine instruction adds a constant byte; the first offset carries the
// constant term of the hash.
template <int hb, uint8_t add = 0>
__attribute__((target("avx512f,avx512bw,gfni"))) inline __m512i affine_at(const uint8_t* q, int i) {
  return _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(q + i),
                                       _mm512_set1_epi64(static_cast<long long>(cand_tab.matrix[hb][i])), add);
}

__attribute__((target("avx512f"))) inline __m512i xor3(__m512i a, __m512i b, __m512i c) {
  return _mm512_ternarylogic_epi64(a, b, c, 0x96);
}

// Byte hb of the hashes of the windows that start at q[0..63].
template <int hb>
__attribute__((target("avx512f,avx512bw,gfni"))) inline __m512i hash_byte_x64(const uint8_t* q) {
  __m512i a = xor3(affine_at<hb, zero_window_byte(hb)>(q, 0), affine_at<hb>(q, 1), affine_at<hb>(q, 2));
  __m512i b = xor3(affine_at<hb>(q, 3), affine_at<hb>(q, 4), affine_at<hb>(q, 5));
  __m512i c = xor3(affine_at<hb>(q, 6), affine_at<hb>(q, 7), affine_at<hb>(q, 8));
  __m512i d = xor3(affine_at<hb>(q, 9), affine_at<hb>(q, 10), affine_at<hb>(q, 11));
  __m512i e = xor3(affine_at<hb>(q, 12), affine_at<hb>(q, 13), affine_at<hb>(q, 14));
  return xor3(xor3(a, b, c), d, _mm512_xor_si512(e, affine_at<hb>(q, 15)));
}

// Narrows `tie` by hash byte hb: returns the tied lanes below the threshold
// there, and keeps in `tie` those still equal.
template <int hb>
__attribute__((target("avx512f,avx512bw,gfni"))) inline uint64_t below_in_byte(const uint8_t* q, uint64_t& tie,
                                                                               uint32_t threshold) {
  __m512i v = hash_byte_x64<hb>(q), t = _mm512_set1_epi8(static_cast<char>(threshold >> 8 * hb));
  uint64_t below = _mm512_mask_cmplt_epu8_mask(tie, v, t);
  tie = _mm512_mask_cmpeq_epi8_mask(tie, v, t);
  return below;
}

__attribute__((target("avx512f,avx512bw,gfni"))) uint64_t break_ties(const uint8_t* q, uint64_t tie,
                                                                    uint32_t threshold) {
  uint64_t below = below_in_byte<2>(q, tie, threshold);
  if (tie) below |= below_in_byte<1>(q, tie, threshold);
  if (tie) below |= below_in_byte<0>(q, tie, threshold);
  return below;
}

}  // namespace

__attribute__((target("avx512f,avx512bw,gfni"))) std::size_t next_candidate_avx512(const uint8_t* p, std::size_t from,
                                                                                  std::size_t to, uint32_t threshold) {
  if (to - from < 64 || threshold >= scalar_above) return next_candidate_scalar(p, from, to, threshold);
  const __m512i top = _mm512_set1_epi8(static_cast<char>(threshold >> 24));
  for (std::size_t k = from;; k += 64) {
    if (to - k < 64) {
      if (k == to) return to;
      k = to - 64;  // the last block goes back over positions that were no candidates
    }
    const uint8_t* q = p + k - 15;
    __m512i v = hash_byte_x64<3>(q);
    uint64_t below = _mm512_cmplt_epu8_mask(v, top), tie = _mm512_cmpeq_epi8_mask(v, top);
    if (below | tie) {
      unsigned j = first_in_block(q, below, tie, threshold, [q, threshold](uint64_t t) { return break_ties(q, t, threshold); });
      if (j != no_lane) return k + j;
    }
  }
}

}  // namespace longdup
