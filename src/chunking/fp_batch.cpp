#include "chunking/fp_batch.h"

#include <cstring>

#include "chunking/fp_batch_lanes.h"

namespace longdup {

namespace {

inline void xor_word8(uint8_t* dst, const uint8_t* src) {
  uint64_t a, b;
  std::memcpy(&a, dst, 8);
  std::memcpy(&b, src, 8);
  a ^= b;
  std::memcpy(dst, &a, 8);
}

}  // namespace

chunk_key fp_chunk(const uint8_t* p, uint32_t len) {
  alignas(8) uint8_t block[fp_block_size] = {};
  uint32_t left = len;
  // A run that more bytes follow leaves p[63] readable, so all 64 bytes go
  // in as whole words; the stray byte lands on the fill byte, which is then
  // overwritten.
  for (; left > fp_fill; left -= fp_fill, p += fp_fill) {
    for (unsigned i = 0; i < fp_block_size; i += 8) xor_word8(block + i, p + i);
    block[fp_fill] = fp_fill;
    fp_mix(block);
  }
  // The last run, 0..63 bytes, must not read past the chunk.
  unsigned i = 0;
  for (; i + 8 <= left; i += 8) xor_word8(block + i, p + i);
  for (; i < left; i++) block[i] ^= p[i];
  block[fp_fill] = static_cast<uint8_t>(left);
  return fp_finish(block, len);
}

// A lane that takes up a chunk late in a batch runs on alone while the
// others sit idle once the batch is used up, so the chunks with many mixes
// should go first: started early, they finish while there is still other
// work to interleave with. Buckets by the bit length of the mix count,
// longest first, get close enough to that at the cost of a counting sort.
//
// The sort does not pay when the tail is short anyway. With many chunks per
// lane and none long, keying in the given order measured some 5% faster,
// presumably because the bytes are then read in address order; with few chunks per lane, or
// a chunk of 16 mixes and more, longest first measured 5 to 45% faster.
void fp_lane_order(const uint32_t* lens, std::size_t n, unsigned lanes, uint16_t* ord) {
  uint32_t lo = 0xFFFFFFFF, hi = 0;
  for (std::size_t i = 0; i < n; i++) {
    lo = lens[i] < lo ? lens[i] : lo;
    hi = lens[i] > hi ? lens[i] : hi;
  }
  const uint32_t lo_mixes = lo / fp_fill + 1, hi_mixes = hi / fp_fill + 1;
  const bool short_tail = n >= 8 * std::size_t{lanes} && hi_mixes < 16;
  if (short_tail || hi_mixes < 2 * lo_mixes) {
    for (std::size_t i = 0; i < n; i++) ord[i] = static_cast<uint16_t>(i);
    return;
  }
  // Bucket 5 holds mix counts of 11 bits (the most, 1041, has 11), bucket
  // 15 a count of 1.
  uint16_t start[17] = {};
  uint8_t bucket[fp_window];
  for (std::size_t i = 0; i < n; i++) {
    bucket[i] = static_cast<uint8_t>(__builtin_clz(lens[i] / fp_fill + 1) - 16);
    start[bucket[i] + 1]++;
  }
  for (unsigned b = 1; b < 17; b++) start[b] = static_cast<uint16_t>(start[b] + start[b - 1]);
  for (std::size_t i = 0; i < n; i++) ord[start[bucket[i]]++] = static_cast<uint16_t>(i);
}

void fp_chunks_scalar(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys) {
  for (std::size_t i = 0; i < n; i++) keys[i] = fp_chunk(ptrs[i], lens[i]);
}

fp_variant_list fp_variants() {
  __builtin_cpu_init();
  fp_variant_list l{};
  l.v[l.count++] = {"scalar", fp_chunks_scalar, 1};
  if (__builtin_cpu_supports("avx2")) l.v[l.count++] = {"avx2", fp_chunks_avx2, 8};
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))
    l.v[l.count++] = {"avx512", fp_chunks_avx512, 16};
  return l;
}

void fp_chunks(const uint8_t* const* ptrs, const uint32_t* lens, std::size_t n, chunk_key* keys) {
  static const fp_chunks_fn best = [] {
    fp_variant_list l = fp_variants();
    return l.v[l.count - 1].fn;
  }();
  best(ptrs, lens, n, keys);
}

}  // namespace longdup
