#include "chunking/fingerprint.h"

#include "chunking/fp_batch_md5.h"

namespace longdup {

namespace {

// The tables (initial value, step constants, rotations, word order) are
// shared with the lane kernels, in fp_batch_md5.h.

// Every rotation amount lies in 4..23, so neither shift below is by 32.
inline uint32_t rotl(uint32_t v, unsigned s) { return v << s | v >> (32 - s); }

// The round's boolean function of the three other state words.
template <int round>
inline uint32_t md5_fn(uint32_t x, uint32_t y, uint32_t z) {
  if constexpr (round == 0) return (x & y) | (~x & z);
  else if constexpr (round == 1) return (x & z) | (y & ~z);
  else if constexpr (round == 2) return x ^ y ^ z;
  else return y ^ (x | ~z);
}

// 16 steps. Each step replaces A by B + rotl(A + fn(B, C, D) + X[k] + K, s),
// and the roles then move on: the new value becomes B, and the old B, C, D
// become C, D, A. After the unrolling the moves are only register renames.
template <int round>
inline void md5_round(uint32_t st[4], const uint32_t x[16]) {
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
#pragma GCC unroll 16
  for (unsigned i = 0; i < 16; i++) {
    uint32_t t = a + md5_fn<round>(b, c, d) + x[fp_md5::word(16 * round + i)] + fp_md5::k[16 * round + i];
    t = b + rotl(t, fp_md5::rot(16 * round + i));
    a = d;
    d = c;
    c = b;
    b = t;
  }
  st[0] = a;
  st[1] = b;
  st[2] = c;
  st[3] = d;
}

inline uint32_t load_le32(const uint8_t* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void fp_mix(uint8_t block[64]) {
  uint32_t x[16];
  for (unsigned i = 0; i < 16; i++) x[i] = load_le32(block + 4 * i);
  block[fp_fill] = 0;

  uint32_t st[4] = {fp_md5::iv[0], fp_md5::iv[1], fp_md5::iv[2], fp_md5::iv[3]};
  md5_round<0>(st, x);
  md5_round<1>(st, x);
  md5_round<2>(st, x);
  md5_round<3>(st, x);

  for (unsigned j = 0; j < 4; j++) {
    uint32_t v = st[j] + fp_md5::iv[j];
    for (unsigned k = 0; k < 4; k++) block[4 * j + k] ^= static_cast<uint8_t>(v >> 8 * k);
  }
}

chunk_key fp_finish(uint8_t block[64], uint32_t len) {
  fp_mix(block);
  chunk_key key;
  std::memcpy(key.b, block, fp_key_bytes);
  key.b[14] = static_cast<uint8_t>(len);
  key.b[15] = static_cast<uint8_t>(len >> 8);
  std::memset(block, 0, fp_block_size);
  return key;
}

}  // namespace longdup
