// The candidate search with GFNI on 64 positions at a time.
//
// Byte hb of the hash at position k is a constant XOR sixteen 8x8 bit
// matrices applied to p[k-15..k], one matrix per window offset (see
// candidates_tables.h). Loading 64 bytes from p + k - 15 + i puts the byte
// at offset i of 64 consecutive windows into the 64 lanes, so one affine
// instruction per offset and a XOR tree give byte hb of 64 hashes.
//
// The search compares the top bytes first. A lane whose top byte is below
// the threshold's top byte is a candidate for sure, one above it is not, and
// only the lanes with an equal top byte need the lower bytes, which on
// random data is one lane in 256. With avglen 100 (top byte 02) about one
// 64-lane block in six has any such lane. Small avglen means a high
// threshold, most lanes are sure hits, and the first block answers.
//
// The few undecided lanes are hashed from scratch one by one. Many of them
// come from data that repeats with a short period (a run of one byte value
// has one hash all along, and its top byte equals the threshold's for some
// values): then the next hash byte is computed for the whole block in the
// same way, and the next, down to an exact comparison.
#include <immintrin.h>

#include "chunking/candidates.h"
#include "chunking/candidates_tables.h"

namespace longdup {
namespace {

// Byte hb of the hashes of the windows that end at q[15..78], in lanes 0..63;
// lanes outside m are loaded as zeros, so nothing past them is read.
template <int hb>
__attribute__((target("avx512f,avx512bw,gfni"))) inline __m512i hash_byte_x64(const uint8_t* q, __mmask64 m) {
  const uint64_t* mat = cand_tab.matrix[hb];
  __m512i x[16];
  x[0] = _mm512_gf2p8affine_epi64_epi8(_mm512_maskz_loadu_epi8(m, q), _mm512_set1_epi64(static_cast<long long>(mat[0])),
                                       zero_window_byte(hb));
  for (int i = 1; i < 16; i++)
    x[i] = _mm512_gf2p8affine_epi64_epi8(_mm512_maskz_loadu_epi8(m, q + i),
                                         _mm512_set1_epi64(static_cast<long long>(mat[i])), 0);
  for (int i = 0; i < 5; i++) x[i] = _mm512_ternarylogic_epi64(x[3 * i], x[3 * i + 1], x[3 * i + 2], 0x96);
  x[0] = _mm512_ternarylogic_epi64(x[0], x[1], x[2], 0x96);
  x[1] = _mm512_ternarylogic_epi64(x[3], x[4], x[15], 0x96);
  return _mm512_xor_si512(x[0], x[1]);
}

// The lanes of `tie` (hashes whose top byte equals the threshold's) whose
// hash is below the threshold, from the lower bytes in turn.
__attribute__((target("avx512f,avx512bw,gfni"))) __mmask64 break_ties(const uint8_t* q, __mmask64 m, __mmask64 tie,
                                                                     uint32_t threshold) {
  __m512i t = _mm512_set1_epi8(static_cast<char>(threshold >> 16));
  __m512i v = hash_byte_x64<2>(q, m);
  __mmask64 below = _mm512_mask_cmplt_epu8_mask(tie, v, t);
  tie = _mm512_mask_cmpeq_epi8_mask(tie, v, t);
  if (!tie) return below;
  t = _mm512_set1_epi8(static_cast<char>(threshold >> 8));
  v = hash_byte_x64<1>(q, m);
  below |= _mm512_mask_cmplt_epu8_mask(tie, v, t);
  tie = _mm512_mask_cmpeq_epi8_mask(tie, v, t);
  if (!tie) return below;
  t = _mm512_set1_epi8(static_cast<char>(threshold));
  v = hash_byte_x64<0>(q, m);
  return below | _mm512_mask_cmplt_epu8_mask(tie, v, t);
}

}  // namespace

__attribute__((target("avx512f,avx512bw,gfni"))) std::size_t next_candidate_avx512(const uint8_t* p, std::size_t from,
                                                                                  std::size_t to, uint32_t threshold) {
  const __m512i top = _mm512_set1_epi8(static_cast<char>(threshold >> 24));
  for (std::size_t k = from; k < to; k += 64) {
    const __mmask64 m = to - k >= 64 ? ~0ull : (1ull << (to - k)) - 1;
    const uint8_t* q = p + k - 15;
    __m512i v = hash_byte_x64<3>(q, m);
    __mmask64 below = _mm512_mask_cmplt_epu8_mask(m, v, top);
    __mmask64 tie = _mm512_mask_cmpeq_epi8_mask(m, v, top);
    if (below) tie &= (below & -below) - 1;  // ties past the first sure hit cannot come first
    if (!tie) {
      if (below) return k + __builtin_ctzll(below);
      continue;
    }
    __mmask64 rest = tie & (tie - 1);
    if ((rest & (rest - 1)) == 0) {  // one or two ties: hash them from scratch
      for (; tie; tie &= tie - 1) {
        unsigned j = __builtin_ctzll(tie);
        if (window_crc_inline(q + j) < threshold) return k + j;
      }
    } else {
      below |= break_ties(q, m, tie, threshold);
    }
    if (below) return k + __builtin_ctzll(below);
  }
  return to;
}

}  // namespace longdup
