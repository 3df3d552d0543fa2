#include "chunking/fingerprint.h"

namespace longdup {

namespace {

// MD5's initial chaining value, words A to D. Every mix starts from it; no
// chaining value is carried from one mix to the next.
constexpr uint32_t md5_iv[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};

// Step constants: md5_k[i] = floor(abs(sin(i + 1)) * 2^32), i counted from 0,
// sin in radians.
constexpr uint32_t md5_k[64] = {
    0xD76AA478, 0xE8C7B756, 0x242070DB, 0xC1BDCEEE, 0xF57C0FAF, 0x4787C62A, 0xA8304613, 0xFD469501,
    0x698098D8, 0x8B44F7AF, 0xFFFF5BB1, 0x895CD7BE, 0x6B901122, 0xFD987193, 0xA679438E, 0x49B40821,
    0xF61E2562, 0xC040B340, 0x265E5A51, 0xE9B6C7AA, 0xD62F105D, 0x02441453, 0xD8A1E681, 0xE7D3FBC8,
    0x21E1CDE6, 0xC33707D6, 0xF4D50D87, 0x455A14ED, 0xA9E3E905, 0xFCEFA3F8, 0x676F02D9, 0x8D2A4C8A,
    0xFFFA3942, 0x8771F681, 0x6D9D6122, 0xFDE5380C, 0xA4BEEA44, 0x4BDECFA9, 0xF6BB4B60, 0xBEBFBC70,
    0x289B7EC6, 0xEAA127FA, 0xD4EF3085, 0x04881D05, 0xD9D4D039, 0xE6DB99E5, 0x1FA27CF8, 0xC4AC5665,
    0xF4292244, 0x432AFF97, 0xAB9423A7, 0xFC93A039, 0x655B59C3, 0x8F0CCC92, 0xFFEFF47D, 0x85845DD1,
    0x6FA87E4F, 0xFE2CE6E0, 0xA3014314, 0x4E0811A1, 0xF7537E82, 0xBD3AF235, 0x2AD7D2BB, 0xEB86D391,
};

// Left-rotation amounts, four per round, repeated over the round's 16 steps.
constexpr unsigned md5_rot[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// Every amount above lies in 4..23, so neither shift below is by 32.
inline uint32_t rotl(uint32_t v, unsigned s) { return v << s | v >> (32 - s); }

// The round's boolean function of the three other state words.
template <int round>
inline uint32_t md5_fn(uint32_t x, uint32_t y, uint32_t z) {
  if constexpr (round == 0) return (x & y) | (~x & z);
  else if constexpr (round == 1) return (x & z) | (y & ~z);
  else if constexpr (round == 2) return x ^ y ^ z;
  else return y ^ (x | ~z);
}

// Which message word step i of the round reads.
template <int round>
constexpr unsigned md5_word(unsigned i) {
  if constexpr (round == 0) return i;
  else if constexpr (round == 1) return (1 + 5 * i) & 15;
  else if constexpr (round == 2) return (5 + 3 * i) & 15;
  else return (7 * i) & 15;
}

// 16 steps. Each step replaces A by B + rotl(A + fn(B, C, D) + X[k] + K, s),
// and the roles then move on: the new value becomes B, and the old B, C, D
// become C, D, A. After the unrolling the moves are only register renames.
template <int round>
inline void md5_round(uint32_t st[4], const uint32_t x[16]) {
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
#pragma GCC unroll 16
  for (unsigned i = 0; i < 16; i++) {
    uint32_t t = a + md5_fn<round>(b, c, d) + x[md5_word<round>(i)] + md5_k[16 * round + i];
    t = b + rotl(t, md5_rot[round][i & 3]);
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

  uint32_t st[4] = {md5_iv[0], md5_iv[1], md5_iv[2], md5_iv[3]};
  md5_round<0>(st, x);
  md5_round<1>(st, x);
  md5_round<2>(st, x);
  md5_round<3>(st, x);

  for (unsigned j = 0; j < 4; j++) {
    uint32_t v = st[j] + md5_iv[j];
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
