// Slow, literal forms of the chunking rules, for checking fast code against.
//
// Nothing here shares code with src/chunking/: the CRC is bitwise, the window
// hash is recomputed from scratch at every byte, the MD5 compression is a
// separate plain loop whose step constants come from sin() at run time, and
// the key is computed from the chunk's bytes in 63-byte segments rather than
// byte by byte. Only the chunk_key type is shared. Any faster chunk finder or
// fingerprint (batched, SIMD, multi-lane) should agree with these byte for
// byte.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "chunking/fingerprint.h"

namespace longdup::ref {

inline constexpr uint32_t crc_poly = 0xEDB88320u;

// The common CRC-32: reflected, initial register and final XOR all ones.
inline uint32_t crc32(const uint8_t* p, std::size_t n) {
  uint32_t r = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; i++) {
    r ^= p[i];
    for (int k = 0; k < 8; k++) r = (r >> 1) ^ (r & 1 ? crc_poly : 0);
  }
  return ~r;
}

// rhash after absorbing data[0..n) from a reset: the CRC-32 of the last
// min(n, 16) bytes with 16 - min(n, 16) zero bytes in front.
inline uint32_t window_hash(const uint8_t* data, std::size_t n) {
  uint8_t w[16] = {};
  std::size_t k = n < 16 ? n : 16;
  if (k) std::memcpy(w + 16 - k, data + n - k, k);
  return crc32(w, 16);
}

// 16 bytes whose CRC-32 is `target`: the first 12 are `lead`, the last 4 are
// solved for. Appending 4 bytes b to a message whose register is R gives the
// same register as appending 4 zero bytes to register R ^ b; so run the
// zero-byte steps backwards from the wanted register and XOR with R.
inline std::array<uint8_t, 16> window_with_hash(uint32_t target, const uint8_t lead[12]) {
  uint32_t r = 0xFFFFFFFFu;
  for (int i = 0; i < 12; i++) {
    r ^= lead[i];
    for (int k = 0; k < 8; k++) r = (r >> 1) ^ (r & 1 ? crc_poly : 0);
  }
  uint32_t y = ~target;
  for (int k = 0; k < 32; k++)  // a forward bit step sets the top bit exactly when it XORs in the polynomial
    y = y & 0x80000000u ? ((y ^ crc_poly) << 1) | 1 : y << 1;
  uint32_t b = y ^ r;
  std::array<uint8_t, 16> w;
  std::memcpy(w.data(), lead, 12);
  for (int k = 0; k < 4; k++) w[12 + k] = static_cast<uint8_t>(b >> 8 * k);
  return w;
}

// MD5's step constant i: floor(abs(sin(i + 1)) * 2^32).
inline uint32_t md5_k(unsigned i) {
  long double s = std::fabs(std::sin(static_cast<long double>(i + 1)));
  return static_cast<uint32_t>(std::floor(s * 4294967296.0L));
}

// The MD5 compression of one block of 16 words, added into `st`.
inline void md5_compress(uint32_t st[4], const uint32_t x[16]) {
  static const unsigned rot[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                   5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                   4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                   6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
  for (unsigned i = 0; i < 64; i++) {
    uint32_t f;
    unsigned g;
    switch (i / 16) {
      case 0: f = (b & c) | (~b & d); g = i; break;
      case 1: f = (b & d) | (c & ~d); g = (5 * i + 1) % 16; break;
      case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
      default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
    }
    uint32_t t = a + f + md5_k(i) + x[g];
    uint32_t rotated = (t << rot[i]) | (t >> (32 - rot[i]));
    a = d;
    d = c;
    c = b;
    b = b + rotated;
  }
  st[0] += a;
  st[1] += b;
  st[2] += c;
  st[3] += d;
}

// The digest that MD5 would give if `block` were its last (padded) block.
inline std::array<uint8_t, 16> md5_block_digest(const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++)
    x[i] = block[4 * i] | block[4 * i + 1] << 8 | block[4 * i + 2] << 16 | static_cast<uint32_t>(block[4 * i + 3]) << 24;
  uint32_t st[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  md5_compress(st, x);
  std::array<uint8_t, 16> out;
  for (int i = 0; i < 16; i++) out[i] = static_cast<uint8_t>(st[i / 4] >> 8 * (i % 4));
  return out;
}

// The fingerprint mix: the digest of the block as it stands (fill byte
// included), fill cleared, digest XORed into bytes 0..15.
inline void mix(uint8_t block[64]) {
  std::array<uint8_t, 16> dg = md5_block_digest(block);
  block[63] = 0;
  for (int i = 0; i < 16; i++) block[i] ^= dg[i];
}

// The key of a chunk, from its bytes: each run of up to 63 bytes is XORed
// into the accumulator, its length goes into byte 63, and the block is mixed.
// An empty chunk is one empty run.
inline chunk_key key(const uint8_t* p, std::size_t len) {
  uint8_t acc[64] = {};
  std::size_t off = 0;
  do {
    std::size_t n = len - off < 63 ? len - off : 63;
    for (std::size_t k = 0; k < n; k++) acc[k] ^= p[off + k];
    acc[63] = static_cast<uint8_t>(n);
    mix(acc);
    off += n;
  } while (off < len);
  chunk_key k;
  std::memcpy(k.b, acc, 14);
  k.b[14] = static_cast<uint8_t>(len & 0xFF);
  k.b[15] = static_cast<uint8_t>(len >> 8);
  return k;
}

struct chunk {
  std::size_t begin;
  std::size_t len;
  chunk_key key;
};

// Cuts data[0..n) as a chunker reset with `avglen` just before data[0] does,
// recomputing the window hash at every byte. A chunk ends after its byte
// number len (counted from 1) when len is at least 64 and the window hash is
// below 0xFFFFFFFF / avglen, or when len reaches 65535. The chunk that the
// end of the data finishes comes last, even when it is empty.
inline std::vector<chunk> chunks(const uint8_t* data, std::size_t n, uint32_t avglen) {
  const uint32_t threshold = 0xFFFFFFFFu / avglen;
  std::vector<chunk> out;
  std::size_t begin = 0;
  for (std::size_t end = 1; end <= n; end++) {
    std::size_t len = end - begin;
    if (len < 64) continue;
    if (window_hash(data, end) < threshold || len == 65535) {
      out.push_back({begin, len, key(data + begin, len)});
      begin = end;
    }
  }
  out.push_back({begin, n - begin, key(data + begin, n - begin)});
  return out;
}

}  // namespace longdup::ref

namespace longdup {
// Test frameworks that look for PrintTo show a failing key as hex bytes.
inline void PrintTo(const chunk_key& k, std::ostream* os) {
  static const char digits[] = "0123456789ABCDEF";
  for (int i = 0; i < 16; i++) *os << (i ? " " : "") << digits[k.b[i] >> 4] << digits[k.b[i] & 15];
}
}  // namespace longdup
