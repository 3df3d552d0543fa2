#include "chunking/fp_batch.h"

#include <cstring>

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
