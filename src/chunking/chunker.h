// Content-defined chunking: a rolling hash of the last 16 bytes decides where
// a chunk ends, and the fingerprint gives each chunk its key.
//
// Both directions run the chunker over the plain bytes, the encoder over its
// input and the decoder over what it reproduces, so both cut at the same
// places and no chunk length ever travels in the stream.
//
// Calling order, for each plain byte b: absorb_byte(c, b), then
// at_boundary(c); when that is true, finish_chunk(c) and use c.cur_key. When
// the input ends, finish_chunk(c) once more, whatever chunk_len is (0
// included). The decoder may absorb up to 63 bytes at the start of a chunk
// without testing: the rule cannot fire before the 64th byte.
//
// Why a copied chunk ends where its source ended: the hash test counts only
// from a chunk's 64th byte on, when the 16-byte window lies wholly inside the
// chunk. Whether a chunk ends after its k-th byte therefore depends on its
// own first k bytes alone, and so does its key. A decoder that copies a
// referenced chunk byte by byte until at_boundary() holds stops after exactly
// as many bytes as the source had, with the same key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/fingerprint.h"

namespace longdup {

inline constexpr uint32_t chunk_win_len = 16;    // bytes covered by rhash
inline constexpr uint32_t chunk_min_len = 64;    // no chunk ends by the rule before this
inline constexpr uint32_t chunk_max_len = 65535; // the rule ends every chunk here
inline constexpr uint32_t chunk_h0 = 0xECBB4B55; // rhash after a reset: CRC-32 of 16 zero bytes

// A plain record; the coder embeds it as it stands. Fields in this order.
struct chunker {
  uint32_t rhash;      // CRC-32 of the last 16 absorbed bytes, zeros in front at the start
  uint32_t chunk_len;  // bytes in the current chunk, 0..65535
  uint32_t byte_cnt;   // bytes absorbed since the reset, mod 2^32; indexes win_ring
  uint32_t win_len;    // 16: crc_out_tab is built for exactly this window
  uint32_t threshold;  // 0xFFFFFFFF / avglen; the hash test passes below it
  uint8_t fp_block[64];
  uint32_t crc_tab[256];      // for the byte entering the window
  uint32_t crc_out_tab[256];  // for the byte leaving it
  uint8_t win_ring[256];      // byte number n at index n & 0xFF; 16 of them live
  chunk_key cur_key;          // key of the chunk finished last
};

// Builds the tables, sets threshold from avglen, clears the window ring and
// the fingerprint block, and starts rhash, byte_cnt and chunk_len afresh.
// Leaves cur_key alone. The caller keeps avglen within 1..65535 (the stream
// header carries 16 bits of it); an avglen of 0 is treated as 1 rather than
// divided by, so a damaged header can never trap the decoder, and both
// directions still agree on what 0 means.
void chunker_reset(chunker& c, uint32_t avglen);

// The window update. Write h(m) for the CRC-32 of a byte string m and z_n
// for n zero bytes. CRC-32 is affine in the message bits, so for strings of
// one length h(m1 ^ m2) = h(m1) ^ h(m2) ^ h(z_n), and a leading zero byte
// changes a CRC only by the constant h(z_17) ^ h(z_16). With rhash = h(o w),
// o the byte about to leave and w the other 15, one table step with the new
// byte b gives the 17-byte h(o w b). Splitting o w b as (o z_16) ^ (0 w b):
//   h(o w b) = h(o z_16) ^ h(0 w b) ^ h(z_17)
//            = h(o z_16) ^ h(w b) ^ h(z_16),
// so h(w b) = step(rhash, b) ^ h(o z_16) ^ h(z_16), and the last two terms
// are crc_out_tab[o]. The byte leaving is read with the count from before
// this byte; for the first 16 bytes it is a zero of the cleared ring, which
// keeps the zeros in front of a short window.
inline void absorb_byte(chunker& c, uint8_t b) {
  uint8_t out = c.win_ring[(c.byte_cnt - c.win_len) & 0xFF];
  c.rhash = (c.rhash >> 8) ^ c.crc_out_tab[out] ^ c.crc_tab[(c.rhash ^ b) & 0xFF];
  c.win_ring[c.byte_cnt & 0xFF] = b;
  fp_absorb(c.fp_block, b);
  c.byte_cnt++;
  c.chunk_len++;
}

// The byte just absorbed ends the chunk: the chunk holds at least 64 bytes
// and either the hash is low or the chunk has reached 65535 bytes.
inline bool at_boundary(const chunker& c) {
  return c.chunk_len > chunk_min_len - 1 && (c.rhash < c.threshold || c.chunk_len > chunk_max_len - 1);
}

// The key goes to cur_key; the hash, the window and byte_cnt run on.
inline void finish_chunk(chunker& c) {
  c.cur_key = fp_finish(c.fp_block, c.chunk_len);
  c.chunk_len = 0;
}

}  // namespace longdup
