// Sixteen chunk keys at a time: lane l of every 512-bit vector belongs to one
// chunk. The accumulators are kept transposed, acc[w] holding word w of all
// sixteen blocks, which is the form the MD5 steps want; each round of the
// loop XORs every lane's next run into its block and mixes all sixteen.
//
// Chunks have different mix counts. A lane whose chunk has had its last mix
// hands out the key and takes the next chunk of the batch at once, so the
// lanes stay busy until the batch runs dry; fp_lane_order decides which
// chunks go first. Sorting a batch by mix count and running it as groups of
// sixteen, lanes idle until the group's longest chunk is done, measured
// slower at every chunk length (bench/kernels/fp_bench.cpp). Building the
// blocks with gathers instead of row loads and a transposition measured at
// half the speed (bench/kernels/fp_gather_bench.cpp).

// The intrinsics that take no pass-through operand fill it from a value
// initialised with itself, which GCC 12 reports as maybe uninitialised once
// they are inlined here.
#if defined(__clang__)
#include <immintrin.h>
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#include <cstring>
#include <utility>

#include "chunking/fp_batch.h"
#include "chunking/fp_batch_lanes.h"
#include "chunking/fp_batch_md5.h"

// Everything below is compiled for the instruction set; the one caller
// checks the CPU first.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw")
#endif

namespace longdup {

namespace {

constexpr unsigned lanes = 16;

using vec = __m512i;

// The message is the accumulator as it stands, but for word 15, whose top
// byte is the run length: x15.
template <unsigned i>
[[gnu::always_inline]] inline void md5_step(vec& a, vec b, vec c, vec d, const vec* x, vec x15) {
  // Immediates as constants that even an unoptimised build folds.
  constexpr int table = fp_md5::truth_table(i / 16), rot = fp_md5::rot(i);
  constexpr unsigned w = fp_md5::word(i);
  vec t = _mm512_add_epi32(a, _mm512_set1_epi32(static_cast<int>(fp_md5::k[i])));
  t = _mm512_add_epi32(t, w == 15 ? x15 : x[w]);
  t = _mm512_add_epi32(t, _mm512_ternarylogic_epi32(b, c, d, table));
  a = _mm512_add_epi32(b, _mm512_rol_epi32(t, rot));
}

// Four steps; each result takes the place of the word that is oldest, so
// after four the names a..d mean A..D again.
template <unsigned q>
[[gnu::always_inline]] inline void md5_quad(vec& a, vec& b, vec& c, vec& d, const vec* x, vec x15) {
  md5_step<4 * q + 0>(a, b, c, d, x, x15);
  md5_step<4 * q + 1>(d, a, b, c, x, x15);
  md5_step<4 * q + 2>(c, d, a, b, x, x15);
  md5_step<4 * q + 3>(b, c, d, a, x, x15);
}

template <unsigned... q>
[[gnu::always_inline]] inline void md5_quads(vec& a, vec& b, vec& c, vec& d, const vec* x, vec x15,
                                             std::integer_sequence<unsigned, q...>) {
  (md5_quad<q>(a, b, c, d, x, x15), ...);
}

// Rows r[l] (lane l's 16 words) to columns d[w] (word w of every lane).
// Unpacking 32-bit then 64-bit pairs leaves, in 128-bit part p of b[4g + j],
// word 4p + j of rows 4g..4g+3; what remains is a 4 x 4 transpose of the
// 128-bit parts of b[j], b[4 + j], b[8 + j], b[12 + j].
[[gnu::always_inline]] inline void transpose(const vec r[16], vec d[16]) {
  vec a[16], b[16];
  for (unsigned i = 0; i < 16; i += 2) {
    a[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
    a[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (unsigned g = 0; g < 16; g += 4) {
    b[g + 0] = _mm512_unpacklo_epi64(a[g], a[g + 2]);
    b[g + 1] = _mm512_unpackhi_epi64(a[g], a[g + 2]);
    b[g + 2] = _mm512_unpacklo_epi64(a[g + 1], a[g + 3]);
    b[g + 3] = _mm512_unpackhi_epi64(a[g + 1], a[g + 3]);
  }
  for (unsigned j = 0; j < 4; j++) {
    vec e0 = _mm512_shuffle_i32x4(b[j], b[4 + j], 0x44);
    vec e1 = _mm512_shuffle_i32x4(b[j], b[4 + j], 0xEE);
    vec e2 = _mm512_shuffle_i32x4(b[8 + j], b[12 + j], 0x44);
    vec e3 = _mm512_shuffle_i32x4(b[8 + j], b[12 + j], 0xEE);
    d[j] = _mm512_shuffle_i32x4(e0, e2, 0x88);
    d[4 + j] = _mm512_shuffle_i32x4(e0, e2, 0xDD);
    d[8 + j] = _mm512_shuffle_i32x4(e1, e3, 0x88);
    d[12 + j] = _mm512_shuffle_i32x4(e1, e3, 0xDD);
  }
}

// Where idle lanes point; with an empty byte mask nothing is read there.
const uint8_t no_bytes[64] = {};

// The chunks of one window, n <= fp_window.
void key_window(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys) {
  uint16_t ord[fp_window];
  fp_lane_order(lens, n, lanes, ord);
  const uint8_t* lp[lanes];
  uint32_t left[lanes];
  uint32_t chunk[lanes];
  uint32_t busy = 0;
  std::size_t next = 0;
  for (unsigned l = 0; l < lanes; l++) {
    lp[l] = no_bytes;
    left[l] = 0;
    chunk[l] = 0;
    if (next < n) {
      chunk[l] = ord[next++];
      lp[l] = ptrs[chunk[l]];
      left[l] = lens[chunk[l]];
      busy |= 1u << l;
    }
  }

  vec acc[16];
  for (auto& v : acc) v = _mm512_setzero_si512();

  while (busy) {
    // Each lane's next run, at most 63 bytes, as a zero-padded row. The
    // masked load touches no byte past the run, so a chunk that ends at
    // the edge of mapped memory is safe.
    vec row[lanes];
    alignas(64) uint32_t fill[lanes];
    uint32_t ended = 0;
    for (unsigned l = 0; l < lanes; l++) {
      uint32_t take = left[l] < fp_fill ? left[l] : fp_fill;
      row[l] = _mm512_maskz_loadu_epi8((uint64_t{1} << take) - 1, lp[l]);
      lp[l] += take;
      left[l] -= take;
      fill[l] = take << 24;
      ended |= static_cast<uint32_t>(left[l] == 0) << l;
    }
    vec d[16];
    transpose(row, d);
    for (unsigned w = 0; w < 16; w++) acc[w] = _mm512_xor_si512(acc[w], d[w]);

    const vec x15 = _mm512_or_si512(acc[15], _mm512_load_si512(fill));
    vec a = _mm512_set1_epi32(static_cast<int>(fp_md5::iv[0]));
    vec b = _mm512_set1_epi32(static_cast<int>(fp_md5::iv[1]));
    vec c = _mm512_set1_epi32(static_cast<int>(fp_md5::iv[2]));
    vec e = _mm512_set1_epi32(static_cast<int>(fp_md5::iv[3]));
    md5_quads(a, b, c, e, acc, x15, std::make_integer_sequence<unsigned, 16>{});
    acc[0] = _mm512_xor_si512(acc[0], _mm512_add_epi32(a, _mm512_set1_epi32(static_cast<int>(fp_md5::iv[0]))));
    acc[1] = _mm512_xor_si512(acc[1], _mm512_add_epi32(b, _mm512_set1_epi32(static_cast<int>(fp_md5::iv[1]))));
    acc[2] = _mm512_xor_si512(acc[2], _mm512_add_epi32(c, _mm512_set1_epi32(static_cast<int>(fp_md5::iv[2]))));
    acc[3] = _mm512_xor_si512(acc[3], _mm512_add_epi32(e, _mm512_set1_epi32(static_cast<int>(fp_md5::iv[3]))));

    ended &= busy;
    if (!ended) continue;
    alignas(64) uint32_t head[4][lanes];
    for (unsigned w = 0; w < 4; w++) _mm512_store_si512(head[w], acc[w]);
    for (uint32_t m = ended; m; m &= m - 1) {
      unsigned l = static_cast<unsigned>(__builtin_ctz(m));
      uint32_t words[4] = {head[0][l], head[1][l], head[2][l], head[3][l]};
      chunk_key& k = keys[chunk[l]];
      std::memcpy(k.b, words, fp_key_bytes);
      k.b[14] = static_cast<uint8_t>(lens[chunk[l]]);
      k.b[15] = static_cast<uint8_t>(lens[chunk[l]] >> 8);
      if (next < n) {
        chunk[l] = ord[next++];
        lp[l] = ptrs[chunk[l]];
        left[l] = lens[chunk[l]];
      } else {
        lp[l] = no_bytes;
        busy &= ~(1u << l);
      }
    }
    // A lane that took a new chunk starts from a clear block.
    for (auto& v : acc) v = _mm512_maskz_mov_epi32(static_cast<__mmask16>(~ended), v);
  }
}

}  // namespace

void fp_chunks_avx512(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys) {
  for (std::size_t i = 0; i < n; i += fp_window) {
    std::size_t w = n - i < fp_window ? n - i : fp_window;
    key_window(ptrs + i, lens + i, w, keys + i);
  }
}

}  // namespace longdup

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
