#include "chunking/candidates.h"

#include <algorithm>
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
// chains can start anywhere from a hash computed from scratch: a block is cut
// into four adjacent segments of up to 16 positions, and four chains roll
// through them side by side. Each notes its hits in its own 16 bits of one
// mask, in block order, so the lowest bit of the mask is the first candidate
// of the block whatever chain found it.
//
// A block pays four hashes from scratch and may run on past its answer, so
// small thresholds, whose searches end after a few positions, are better
// served by the plain chain.
std::size_t next_candidate_interleaved(const uint8_t* p, std::size_t from, std::size_t to, uint32_t threshold) {
  constexpr std::size_t lanes = 4, seg_max = 16, seg_min = 4;
  if (threshold >= 0xFFFFFFFFu / 16) return next_candidate_scalar(p, from, to, threshold);
  while (to - from >= lanes * seg_min) {
    const std::size_t seg = std::min(seg_max, (to - from) / lanes);
    const unsigned s1 = static_cast<unsigned>(seg), s2 = 2 * s1, s3 = 3 * s1;
    const std::size_t k0 = from, k1 = from + s1, k2 = from + s2, k3 = from + s3;
    uint32_t h0 = window_crc_inline(p + k0 - 15), h1 = window_crc_inline(p + k1 - 15);
    uint32_t h2 = window_crc_inline(p + k2 - 15), h3 = window_crc_inline(p + k3 - 15);
    uint64_t m = 0;
    for (unsigned t = 0;; t++) {
      uint64_t hits = static_cast<uint64_t>(h0 < threshold) | static_cast<uint64_t>(h1 < threshold) << s1 |
                      static_cast<uint64_t>(h2 < threshold) << s2 | static_cast<uint64_t>(h3 < threshold) << s3;
      m |= hits << t;
      if (t + 1 == seg) break;
      h0 = roll_window(h0, p, k0 + t);
      h1 = roll_window(h1, p, k1 + t);
      h2 = roll_window(h2, p, k2 + t);
      h3 = roll_window(h3, p, k3 + t);
    }
    if (m) return from + static_cast<std::size_t>(__builtin_ctzll(m));
    from += lanes * seg;
  }
  return next_candidate_scalar(p, from, to, threshold);
}

std::vector<candidate_variant> candidate_variants() {
  std::vector<candidate_variant> v = {{"scalar", next_candidate_scalar}, {"interleaved", next_candidate_interleaved}};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) v.push_back({"avx2", next_candidate_avx2});
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("gfni")) {
    v.push_back({"gfni", next_candidate_gfni});
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
      v.push_back({"avx512", next_candidate_avx512});
  }
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
