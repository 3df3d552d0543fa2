#include "chunking/candidates.h"

#include <atomic>

#include "chunking/candidates_tables.h"

namespace longdup {

uint32_t window_crc(const uint8_t* w) { return window_crc_inline(w); }

std::size_t next_candidate_scalar(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold) {
  if (from == to) return to;
  std::size_t k = from;
  uint32_t h = window_crc_inline(p + k - 15);
  while (h >= threshold) {
    if (k + 1 == to) return to;
    h = roll_window(h, p, k);
    k++;
  }
  return k;
}

// One chain waits about seven cycles per byte on its own table load. The
// hash at a position needs only the 16 bytes before it, so independent
// chains can start anywhere from a hash computed from scratch: a block is
// cut into four adjacent segments and the chains roll through them side by
// side. A chain notes its hits in a bit mask instead of stopping, because a
// hit of a later segment must wait for the earlier segments anyway; the
// first block with a hit gives the answer.
//
// Each block pays four hashes from scratch, and a hit early in a block leaves
// the rest of the block wasted. Typical searches end after about avglen
// positions, so the blocks start short and double up to 4 x 64 positions.
std::size_t next_candidate_interleaved(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold) {
  constexpr std::size_t lanes = 4, seg_first = 8, seg_max = 64, seg_min = 4;
  std::size_t seg = seg_first;
  while (to - from >= lanes * seg_min) {
    if (seg > (to - from) / lanes) seg = (to - from) / lanes;
    const std::size_t k0 = from, k1 = from + seg, k2 = from + 2 * seg, k3 = from + 3 * seg;
    uint32_t h0 = window_crc_inline(p + k0 - 15), h1 = window_crc_inline(p + k1 - 15);
    uint32_t h2 = window_crc_inline(p + k2 - 15), h3 = window_crc_inline(p + k3 - 15);
    uint64_t m0 = h0 < threshold, m1 = h1 < threshold, m2 = h2 < threshold, m3 = h3 < threshold;
    for (std::size_t t = 1; t < seg; t++) {
      h0 = roll_window(h0, p, k0 + t - 1);
      h1 = roll_window(h1, p, k1 + t - 1);
      h2 = roll_window(h2, p, k2 + t - 1);
      h3 = roll_window(h3, p, k3 + t - 1);
      m0 |= static_cast<uint64_t>(h0 < threshold) << t;
      m1 |= static_cast<uint64_t>(h1 < threshold) << t;
      m2 |= static_cast<uint64_t>(h2 < threshold) << t;
      m3 |= static_cast<uint64_t>(h3 < threshold) << t;
    }
    if (m0 | m1 | m2 | m3) {
      if (m0) return k0 + __builtin_ctzll(m0);
      if (m1) return k1 + __builtin_ctzll(m1);
      if (m2) return k2 + __builtin_ctzll(m2);
      return k3 + __builtin_ctzll(m3);
    }
    from += lanes * seg;
    if (seg < seg_max) seg *= 2;
  }
  return next_candidate_scalar(p, from, to, threshold);
}

std::vector<candidate_variant> candidate_variants() {
  std::vector<candidate_variant> v = {{"scalar", next_candidate_scalar}, {"interleaved", next_candidate_interleaved}};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) v.push_back({"avx2", next_candidate_avx2});
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("gfni"))
    v.push_back({"avx512", next_candidate_avx512});
  return v;
}

// The first call goes to pick_candidate_fn, which replaces itself with the
// best variant; later calls pay one indirect call.
namespace {
std::size_t pick_candidate_fn(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold);
std::atomic<candidate_fn> candidate_impl{pick_candidate_fn};

std::size_t pick_candidate_fn(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold) {
  candidate_fn f = candidate_variants().back().fn;
  candidate_impl.store(f, std::memory_order_relaxed);
  return f(p, from, to, threshold);
}
}  // namespace

std::size_t next_candidate(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold) {
  return candidate_impl.load(std::memory_order_relaxed)(p, from, to, threshold);
}

}  // namespace longdup
