// The candidate search with GFNI and AVX-512: the plan of
// candidates_gfni.cpp, first in 256-bit blocks of 32 positions, then in
// 512-bit blocks of 64.
//
// Short searches favour small blocks: most of the chunker's searches end
// within about avglen positions, and a block runs on past its answer. Long
// searches (large avglen, or data without candidates such as runs of zeros)
// favour wide ones, which need half the instructions per position. On the
// machine this was tuned on (512-bit operations issued as two 256-bit
// halves) the 512-bit blocks alone lost to 256-bit blocks at avglen 100 and
// won by a third on runs of zeros; four small blocks first, covering the
// first 128 positions, keep the better of both.
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

// The same for 32 windows, in 256-bit vectors.
template <int hb, uint8_t add = 0>
__attribute__((target("avx512f,avx512bw,avx512vl,gfni"))) inline __m256i affine_at_x32(const uint8_t* q, int i) {
  return _mm256_gf2p8affine_epi64_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i)),
                                       _mm256_set1_epi64x(static_cast<long long>(cand_tab.matrix[hb][i])), add);
}

__attribute__((target("avx512f,avx512vl"))) inline __m256i xor3(__m256i a, __m256i b, __m256i c) {
  return _mm256_ternarylogic_epi64(a, b, c, 0x96);
}

template <int hb>
__attribute__((target("avx512f,avx512bw,avx512vl,gfni"))) inline __m256i hash_byte_x32(const uint8_t* q) {
  __m256i a = xor3(affine_at_x32<hb, zero_window_byte(hb)>(q, 0), affine_at_x32<hb>(q, 1), affine_at_x32<hb>(q, 2));
  __m256i b = xor3(affine_at_x32<hb>(q, 3), affine_at_x32<hb>(q, 4), affine_at_x32<hb>(q, 5));
  __m256i c = xor3(affine_at_x32<hb>(q, 6), affine_at_x32<hb>(q, 7), affine_at_x32<hb>(q, 8));
  __m256i d = xor3(affine_at_x32<hb>(q, 9), affine_at_x32<hb>(q, 10), affine_at_x32<hb>(q, 11));
  __m256i e = xor3(affine_at_x32<hb>(q, 12), affine_at_x32<hb>(q, 13), affine_at_x32<hb>(q, 14));
  return xor3(xor3(a, b, c), d, _mm256_xor_si256(e, affine_at_x32<hb>(q, 15)));
}

template <int hb>
__attribute__((target("avx512f,avx512bw,avx512vl,gfni"))) inline uint32_t below_in_byte_x32(const uint8_t* q,
                                                                                           uint32_t& tie,
                                                                                           uint32_t threshold) {
  __m256i v = hash_byte_x32<hb>(q), t = _mm256_set1_epi8(static_cast<char>(threshold >> 8 * hb));
  uint32_t below = _mm256_mask_cmplt_epu8_mask(tie, v, t);
  tie = _mm256_mask_cmpeq_epi8_mask(tie, v, t);
  return below;
}

__attribute__((target("avx512f,avx512bw,avx512vl,gfni"))) uint32_t break_ties_x32(const uint8_t* q, uint32_t tie,
                                                                                 uint32_t threshold) {
  uint32_t below = below_in_byte_x32<2>(q, tie, threshold);
  if (tie) below |= below_in_byte_x32<1>(q, tie, threshold);
  if (tie) below |= below_in_byte_x32<0>(q, tie, threshold);
  return below;
}

}  // namespace

__attribute__((target("avx512f,avx512bw,avx512vl,gfni"))) std::size_t next_candidate_avx512(const uint8_t* p,
                                                                                           std::size_t from,
                                                                                           std::size_t to,
                                                                                           uint32_t threshold) {
  if (to - from < 4 * 32 || threshold >= scalar_above) return next_candidate_gfni(p, from, to, threshold);
  std::size_t k = from;
  const __m256i top32 = _mm256_set1_epi8(static_cast<char>(threshold >> 24));
  for (int b = 0; b < 4; b++, k += 32) {
    const uint8_t* q = p + k - 15;
    __m256i v = hash_byte_x32<3>(q);
    uint32_t below = _mm256_cmplt_epu8_mask(v, top32), tie = _mm256_cmpeq_epi8_mask(v, top32);
    if (below | tie) {
      auto decide = [q, threshold](uint32_t t) { return break_ties_x32(q, t, threshold); };
      unsigned j = first_in_block(q, below, tie, threshold, decide);
      if (j != no_lane) return k + j;
    }
  }
  const __m512i top = _mm512_set1_epi8(static_cast<char>(threshold >> 24));
  for (;; k += 64) {
    if (to - k < 64) {
      if (k == to) return to;
      k = to - 64;  // the last block goes back over positions that were no candidates
    }
    const uint8_t* q = p + k - 15;
    __m512i v = hash_byte_x64<3>(q);
    uint64_t below = _mm512_cmplt_epu8_mask(v, top), tie = _mm512_cmpeq_epi8_mask(v, top);
    if (below | tie) {
      auto decide = [q, threshold](uint64_t t) { return break_ties(q, t, threshold); };
      unsigned j = first_in_block(q, below, tie, threshold, decide);
      if (j != no_lane) return k + j;
    }
  }
}

}  // namespace longdup
