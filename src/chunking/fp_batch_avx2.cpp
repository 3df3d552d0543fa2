// Eight chunk keys at a time: lane l of every 256-bit vector belongs to one
// chunk. The accumulators are kept transposed, acc[w] holding word w of all
// eight blocks, which is the form the MD5 steps want; each round of the loop
// XORs every lane's next run into its block and mixes all eight.
//
// Chunks have different mix counts. A lane whose chunk has had its last mix
// hands out the key and takes the next chunk of the batch at once, so the
// lanes stay busy until the batch runs dry; fp_lane_order decides which
// chunks go first.
//
// AVX2 has no byte-masked load, so a run is read as whole words under a
// word mask plus one partial word, which keeps every read inside the chunk.

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
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace longdup {

namespace {

constexpr unsigned lanes = 8;

using vec = __m256i;

template <unsigned round>
[[gnu::always_inline]] inline vec md5_fn(vec b, vec c, vec d) {
  if constexpr (round == 0) return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
  else if constexpr (round == 1) return _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)));
  else if constexpr (round == 2) return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
  else return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}

// The message is the accumulator as it stands, but for word 15, whose top
// byte is the run length: x15.
template <unsigned i>
[[gnu::always_inline]] inline void md5_step(vec& a, vec b, vec c, vec d, const vec* x, vec x15) {
  // Shift counts as constants that even an unoptimised build folds.
  constexpr int rot = fp_md5::rot(i);
  constexpr unsigned w = fp_md5::word(i);
  vec t = _mm256_add_epi32(a, _mm256_set1_epi32(static_cast<int>(fp_md5::k[i])));
  t = _mm256_add_epi32(t, w == 15 ? x15 : x[w]);
  t = _mm256_add_epi32(t, md5_fn<i / 16>(b, c, d));
  t = _mm256_or_si256(_mm256_slli_epi32(t, rot), _mm256_srli_epi32(t, 32 - rot));
  a = _mm256_add_epi32(b, t);
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

// Eight rows of eight words to eight columns. After unpacking 32-bit then
// 64-bit pairs, 128-bit half h of u[4g + j] holds word 4h + j of rows
// 4g..4g+3; pairing the halves of u[j] and u[4 + j] finishes the columns.
[[gnu::always_inline]] inline void transpose8(const vec r[8], vec d[8]) {
  vec t[8], u[8];
  for (unsigned i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
  }
  for (unsigned g = 0; g < 8; g += 4) {
    u[g + 0] = _mm256_unpacklo_epi64(t[g], t[g + 2]);
    u[g + 1] = _mm256_unpackhi_epi64(t[g], t[g + 2]);
    u[g + 2] = _mm256_unpacklo_epi64(t[g + 1], t[g + 3]);
    u[g + 3] = _mm256_unpackhi_epi64(t[g + 1], t[g + 3]);
  }
  for (unsigned j = 0; j < 4; j++) {
    d[j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x20);
    d[4 + j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x31);
  }
}

// Word masks: loading 8 entries from index 16 - k (or 24 - k for the upper
// eight words) selects the first k words.
alignas(64) const int32_t word_mask[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

// The run p[0..take) as words 0..15, zero beyond it. Words wholly inside the
// run come from a masked load; the take % 4 bytes after them are read as the
// top bytes of the word that ends at the run's end, which lies inside the
// chunk when the run is not its first or has at least 4 bytes, and byte by
// byte otherwise.
[[gnu::always_inline]] inline void load_run(const uint8_t* p, uint32_t take, const uint8_t* start, vec& lo,
                                            vec& hi) {
  const uint32_t whole = take / 4;
  lo = _mm256_maskload_epi32(reinterpret_cast<const int*>(p),
                             _mm256_loadu_si256(reinterpret_cast<const vec*>(word_mask + 16 - whole)));
  hi = _mm256_maskload_epi32(reinterpret_cast<const int*>(p + 32),
                             _mm256_loadu_si256(reinterpret_cast<const vec*>(word_mask + 24 - whole)));
  uint32_t part;
  if (static_cast<std::size_t>(p - start) + take >= 4) {
    uint32_t w;
    std::memcpy(&w, p + take - 4, 4);
    part = static_cast<uint32_t>(uint64_t{w} >> (32 - 8 * (take % 4)));
  } else {
    part = 0;
    for (uint32_t i = 0; i < take; i++) part |= static_cast<uint32_t>(p[i]) << 8 * i;
  }
  const vec at = _mm256_set1_epi32(static_cast<int>(whole));
  const vec part_v = _mm256_set1_epi32(static_cast<int>(part));
  lo = _mm256_or_si256(lo, _mm256_and_si256(part_v, _mm256_cmpeq_epi32(at, _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))));
  hi = _mm256_or_si256(hi, _mm256_and_si256(part_v, _mm256_cmpeq_epi32(at, _mm256_setr_epi32(8, 9, 10, 11, 12, 13, 14, 15))));
}

// Where idle lanes point; with an empty word mask and no bytes to take
// nothing is read there.
const uint8_t no_bytes[64] = {};

// The chunks of one window, n <= fp_window.
void key_window(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys) {
  uint16_t ord[fp_window];
  fp_lane_order(lens, n, lanes, ord);
  const uint8_t* lp[lanes];
  const uint8_t* start[lanes];
  uint32_t left[lanes];
  uint32_t chunk[lanes];
  uint32_t busy = 0;
  std::size_t next = 0;
  for (unsigned l = 0; l < lanes; l++) {
    lp[l] = start[l] = no_bytes;
    left[l] = 0;
    chunk[l] = 0;
    if (next < n) {
      chunk[l] = ord[next++];
      lp[l] = start[l] = ptrs[chunk[l]];
      left[l] = lens[chunk[l]];
      busy |= 1u << l;
    }
  }

  vec acc[16];
  for (auto& v : acc) v = _mm256_setzero_si256();

  while (busy) {
    vec lo[lanes], hi[lanes];
    alignas(32) uint32_t fill[lanes];
    uint32_t ended = 0;
    for (unsigned l = 0; l < lanes; l++) {
      uint32_t take = left[l] < fp_fill ? left[l] : fp_fill;
      load_run(lp[l], take, start[l], lo[l], hi[l]);
      lp[l] += take;
      left[l] -= take;
      fill[l] = take << 24;
      ended |= static_cast<uint32_t>(left[l] == 0) << l;
    }
    vec d[16];
    transpose8(lo, d);
    transpose8(hi, d + 8);
    for (unsigned w = 0; w < 16; w++) acc[w] = _mm256_xor_si256(acc[w], d[w]);

    const vec x15 = _mm256_or_si256(acc[15], _mm256_load_si256(reinterpret_cast<const vec*>(fill)));
    vec a = _mm256_set1_epi32(static_cast<int>(fp_md5::iv[0]));
    vec b = _mm256_set1_epi32(static_cast<int>(fp_md5::iv[1]));
    vec c = _mm256_set1_epi32(static_cast<int>(fp_md5::iv[2]));
    vec e = _mm256_set1_epi32(static_cast<int>(fp_md5::iv[3]));
    md5_quads(a, b, c, e, acc, x15, std::make_integer_sequence<unsigned, 16>{});
    acc[0] = _mm256_xor_si256(acc[0], _mm256_add_epi32(a, _mm256_set1_epi32(static_cast<int>(fp_md5::iv[0]))));
    acc[1] = _mm256_xor_si256(acc[1], _mm256_add_epi32(b, _mm256_set1_epi32(static_cast<int>(fp_md5::iv[1]))));
    acc[2] = _mm256_xor_si256(acc[2], _mm256_add_epi32(c, _mm256_set1_epi32(static_cast<int>(fp_md5::iv[2]))));
    acc[3] = _mm256_xor_si256(acc[3], _mm256_add_epi32(e, _mm256_set1_epi32(static_cast<int>(fp_md5::iv[3]))));

    ended &= busy;
    if (!ended) continue;
    alignas(32) uint32_t head[4][lanes];
    for (unsigned w = 0; w < 4; w++) _mm256_store_si256(reinterpret_cast<vec*>(head[w]), acc[w]);
    alignas(32) int32_t keep[lanes];
    for (unsigned l = 0; l < lanes; l++) keep[l] = ended >> l & 1 ? 0 : -1;
    for (uint32_t m = ended; m; m &= m - 1) {
      unsigned l = static_cast<unsigned>(__builtin_ctz(m));
      uint32_t words[4] = {head[0][l], head[1][l], head[2][l], head[3][l]};
      chunk_key& k = keys[chunk[l]];
      std::memcpy(k.b, words, fp_key_bytes);
      k.b[14] = static_cast<uint8_t>(lens[chunk[l]]);
      k.b[15] = static_cast<uint8_t>(lens[chunk[l]] >> 8);
      if (next < n) {
        chunk[l] = ord[next++];
        lp[l] = start[l] = ptrs[chunk[l]];
        left[l] = lens[chunk[l]];
      } else {
        lp[l] = start[l] = no_bytes;
        busy &= ~(1u << l);
      }
    }
    // A lane that took a new chunk starts from a clear block.
    const vec keep_v = _mm256_load_si256(reinterpret_cast<const vec*>(keep));
    for (auto& v : acc) v = _mm256_and_si256(v, keep_v);
  }
}

}  // namespace

void fp_chunks_avx2(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys) {
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
