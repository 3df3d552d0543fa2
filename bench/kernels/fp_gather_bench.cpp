// Building the lanes' blocks with gathers instead of row loads and a
// transposition: fp_chunks_avx512 against the same kernel with gathers,
// alternating runs over the same chunks, thread CPU time, medians.
//
//   g++ -O2 -std=c++20 -I src bench/kernels/fp_gather_bench.cpp build/fp/liblongdup.a -o /tmp/fp_gather_bench
//   /tmp/fp_gather_bench
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>
#include <vector>

#include "chunking/fp_batch.h"
#include "chunking/fp_batch_lanes.h"
#include "chunking/fp_batch_md5.h"

using namespace longdup;

namespace {

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw")

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
    // Word w of every lane straight from its chunk: words wholly inside
    // the run under a lane mask, then the run's partial last word read as
    // the word that ends where the run ends, shifted down.
    alignas(64) uint32_t fill[lanes];
    alignas(64) uint32_t takes[lanes];
    uint32_t ended = 0;
    for (unsigned l = 0; l < lanes; l++) {
      takes[l] = left[l] < fp_fill ? left[l] : fp_fill;
      fill[l] = takes[l] << 24;
    }
    const vec take = _mm512_load_si512(takes);
    const vec at_lo = _mm512_loadu_si512(lp);
    const vec at_hi = _mm512_loadu_si512(lp + 8);
    const vec whole = _mm512_srli_epi32(take, 2);
    vec d[16];
    for (unsigned w = 0; w < 16; w++) {
      const __mmask16 in = _mm512_cmpgt_epu32_mask(whole, _mm512_set1_epi32(static_cast<int>(w)));
      const vec off = _mm512_set1_epi64(4 * w);
      __m256i lo = _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), static_cast<__mmask8>(in),
                                               _mm512_add_epi64(at_lo, off), nullptr, 1);
      __m256i hi = _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), static_cast<__mmask8>(in >> 8),
                                               _mm512_add_epi64(at_hi, off), nullptr, 1);
      d[w] = _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
    }
    // The word ending at the run's end lies inside the chunk: the chunks
    // benchmarked here are all at least 64 bytes long.
    const vec rem = _mm512_and_si512(take, _mm512_set1_epi32(3));
    const __mmask16 has = _mm512_test_epi32_mask(rem, rem);
    const vec four = _mm512_set1_epi64(4);
    const vec end_lo = _mm512_sub_epi64(_mm512_add_epi64(at_lo, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(take))), four);
    const vec end_hi = _mm512_sub_epi64(_mm512_add_epi64(at_hi, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(take, 1))), four);
    __m256i lo = _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), static_cast<__mmask8>(has), end_lo, nullptr, 1);
    __m256i hi = _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), static_cast<__mmask8>(has >> 8), end_hi, nullptr, 1);
    vec part = _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
    part = _mm512_srlv_epi32(part, _mm512_sub_epi32(_mm512_set1_epi32(32), _mm512_slli_epi32(rem, 3)));
    for (unsigned w = 0; w < 16; w++)
      d[w] = _mm512_mask_or_epi32(d[w], _mm512_cmpeq_epi32_mask(whole, _mm512_set1_epi32(static_cast<int>(w))), d[w], part);
    for (unsigned l = 0; l < lanes; l++) {
      lp[l] += takes[l];
      left[l] -= takes[l];
      ended |= static_cast<uint32_t>(left[l] == 0) << l;
    }
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

void fp_chunks_gather(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys) {
  for (std::size_t i = 0; i < n; i += fp_window)
    key_window(ptrs + i, lens + i, std::min(fp_window, n - i), keys + i);
}

#pragma GCC pop_options

double now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main() {
  fp_variant_list vl = fp_variants();
  if (std::strcmp(vl.v[vl.count - 1].name, "avx512") != 0) {
    std::printf("this CPU has no AVX-512\n");
    return 0;
  }
  const std::size_t total = 1 << 20;  // stays in cache, as the encoder's chunks do
  std::vector<uint8_t> data(total);
  std::mt19937_64 rng(1);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  struct shape {
    const char* name;
    double mean;  // 64 + geometric with this mean; 0: all 64
    std::size_t batch;
  } shapes[] = {{"avglen 100, batch 32", 100, 32}, {"avglen 100, batch 256", 100, 256},
                {"all 64, batch 32", 0, 32}, {"avglen 1000, batch 64", 1000, 64}};
  std::printf("%-24s %12s %12s %8s\n", "chunks", "rows MB/s", "gather MB/s", "ratio");
  for (const shape& s : shapes) {
    std::vector<uint32_t> lens;
    std::vector<const uint8_t*> ptrs;
    std::geometric_distribution<uint32_t> geo(s.mean > 0 ? 1.0 / (s.mean + 1) : 0.5);
    std::size_t sum = 0;
    for (;;) {
      uint32_t len = s.mean > 0 ? std::min<uint32_t>(65535, 64 + geo(rng)) : 64;
      if (sum + len > total) break;
      ptrs.push_back(data.data() + sum);
      lens.push_back(len);
      sum += len;
    }
    const std::size_t n = lens.size();
    std::vector<chunk_key> ka(n), kb(n);
    std::vector<double> ta, tb;
    for (int r = 0; r < 21; r++) {
      for (int which = 0; which < 2; which++) {
        fp_chunks_fn fn = which ? fp_chunks_gather : fp_chunks_avx512;
        std::vector<chunk_key>& k = which ? kb : ka;
        double t0 = now();
        for (int loop = 0; loop < 32; loop++)
          for (std::size_t i = 0; i < n; i += s.batch)
            fn(ptrs.data() + i, lens.data() + i, std::min(s.batch, n - i), k.data() + i);
        (which ? tb : ta).push_back(now() - t0);
      }
    }
    std::sort(ta.begin(), ta.end());
    std::sort(tb.begin(), tb.end());
    double ma = 32.0 * double(sum) / ta[ta.size() / 2] / 1e6, mb = 32.0 * double(sum) / tb[tb.size() / 2] / 1e6;
    std::printf("%-24s %12.0f %12.0f %8.2f%s\n", s.name, ma, mb, mb / ma, ka == kb ? "" : "  KEYS DIFFER");
  }
}
