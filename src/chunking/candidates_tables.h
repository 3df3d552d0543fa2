// Constant tables of the candidate finders, shared by the variants' files.
//
// Write h(w) for the CRC-32 of a 16-byte window w and z for 16 zero bytes.
// The CRC register update is linear in (register, byte) over GF(2); the
// initial register and the final complement are the same for every window of
// 16 bytes, so they add one constant: h(w) = h(z) ^ XOR_i L_i(w_i), where
// L_i(b) is the CRC without initial register or final complement of the
// window that holds b at offset i and zeros elsewhere. L_15(b) is the plain
// reflected table entry T[b]; each zero byte after b is one more fold
// x -> (x >> 8) ^ T[x & 0xFF], so L_i(b) = fold^(15-i)(T[b]).
//
// That gives three ways to look at the window hash:
//  - sixteen table lookups, slice[i][w_i], for a hash from scratch;
//  - the rolling step of the chunker, for the next position from this one;
//  - byte B of the hash is h(z)'s byte B XOR a sum of sixteen GF(2)-linear
//    maps of 8 bits to 8 bits, one per window byte. A vector unit computes
//    such a map for many bytes at once, either as an 8x8 bit matrix (GFNI's
//    affine instruction) or as two 16-entry nibble tables (byte shuffles),
//    since a linear map of b is the map of its low nibble XOR that of its
//    high nibble.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/chunker.h"

namespace longdup {

struct alignas(64) cand_tables {
  uint32_t slice[16][256];  // L_i(b)
  uint32_t in[256];         // the chunker's crc_tab: in[j] is the CRC-32 of the single byte j
  uint32_t out[256];        // the chunker's crc_out_tab: out[j] takes byte j out of the window
  // For hash byte B and window offset i: the 8x8 matrix of b -> byte B of
  // L_i(b) in the affine instruction's layout (the row that gives result bit
  // r is byte 7 - r of the qword), and the same map as two nibble tables.
  uint64_t matrix[4][16];
  uint8_t nib_lo[4][16][16];
  uint8_t nib_hi[4][16][16];
};

constexpr cand_tables make_cand_tables() {
  cand_tables t{};
  uint32_t plain[256] = {};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t c = i;
    for (int k = 0; k < 8; k++) c = (c >> 1) ^ (c & 1 ? 0xEDB88320u : 0);
    plain[i] = c;
  }
  for (uint32_t b = 0; b < 256; b++) {
    uint32_t x = plain[b];
    for (int i = 15; i >= 0; i--) {
      t.slice[i][b] = x;
      x = (x >> 8) ^ plain[x & 0xFF];
    }
  }

  // The rolling tables exactly as the chunker builds them.
  for (uint32_t i = 0; i < 256; i++) t.in[i ^ 0xFF] = plain[i] ^ 0xFF000000u;
  uint32_t h0 = t.in[0];
  for (int k = 0; k < 15; k++) h0 = (h0 >> 8) ^ t.in[h0 & 0xFF];
  for (uint32_t j = 0; j < 256; j++) {
    uint32_t x = t.in[j];
    for (int k = 0; k < 16; k++) x = (x >> 8) ^ t.in[x & 0xFF];
    t.out[j] = x ^ h0;
  }

  for (int hb = 0; hb < 4; hb++) {
    for (int i = 0; i < 16; i++) {
      uint64_t m = 0;
      for (int r = 0; r < 8; r++) {
        uint64_t row = 0;
        for (int j = 0; j < 8; j++) row |= static_cast<uint64_t>(t.slice[i][1u << j] >> (8 * hb + r) & 1) << j;
        m |= row << 8 * (7 - r);
      }
      t.matrix[hb][i] = m;
      for (int n = 0; n < 16; n++) {
        t.nib_lo[hb][i][n] = static_cast<uint8_t>(t.slice[i][n] >> 8 * hb);
        t.nib_hi[hb][i][n] = static_cast<uint8_t>(t.slice[i][n << 4] >> 8 * hb);
      }
    }
  }
  return t;
}

inline constexpr cand_tables cand_tab = make_cand_tables();

static_assert(cand_tab.in[0x00] == 0xD202EF8D && cand_tab.in[0xFF] == 0xFF000000);
static_assert(cand_tab.out[0x00] == 0x2554BAE8 && cand_tab.out[0x80] == 0x9FD87100);

// Byte hb of h(z), the constant term of the hash.
constexpr uint8_t zero_window_byte(int hb) { return static_cast<uint8_t>(chunk_h0 >> 8 * hb); }

inline uint32_t window_crc_inline(const uint8_t* w) {
  uint32_t a = chunk_h0, b = 0;  // two chains of XORs instead of one
  for (int i = 0; i < 16; i += 2) {
    a ^= cand_tab.slice[i][w[i]];
    b ^= cand_tab.slice[i + 1][w[i + 1]];
  }
  return a ^ b;
}

// The hash at position k + 1 from the hash h at position k.
inline uint32_t roll_window(uint32_t h, const uint8_t* p, std::size_t k) {
  return (h >> 8) ^ cand_tab.out[p[k - 15]] ^ cand_tab.in[(h ^ p[k + 1]) & 0xFF];
}

inline constexpr unsigned no_lane = ~0u;

// The vector variants compare the top bytes of a block of hashes with the
// threshold's top byte: lanes below it are candidates for sure (`below`),
// lanes equal to it are undecided (`tie`). This picks the block's first
// candidate lane, or no_lane. Ties past the first sure candidate cannot come
// first. One or two ties are hashed from scratch; more of them come from data
// that repeats with a short period, where `decide(tie)` works out the lower
// hash bytes of the whole block at once and returns the tied lanes whose hash
// is below the threshold. q + j is the start of lane j's window.
template <class mask, class decide_fn>
inline unsigned first_in_block(const uint8_t* q, mask below, mask tie, uint32_t threshold, decide_fn decide) {
  if (below) tie &= (below & (0 - below)) - 1;
  if (tie) {
    mask rest = tie & (tie - 1);
    if ((rest & (rest - 1)) == 0) {
      for (; tie; tie &= tie - 1) {
        unsigned j = static_cast<unsigned>(__builtin_ctzll(tie));
        if (window_crc_inline(q + j) < threshold) return j;
      }
    } else {
      below |= decide(tie);
    }
  }
  return below ? static_cast<unsigned>(__builtin_ctzll(below)) : no_lane;
}

// With a threshold of 2^31 or more (avglen 1) at least every other window is a
// candidate, and the scalar chain answers after a position or two; a vector
// block costs more than that.
inline constexpr uint32_t scalar_above = 0x80000000u;

}  // namespace longdup
