// The chunk fingerprint: every chunk gets a 16-byte key, 14 bytes that mix
// its content and then its length.
//
// The chunk's bytes are XORed one after another into a 64-byte block: byte k
// of the chunk lands on block byte k mod 63, and block byte 63 (`fill`) counts
// how many bytes went in since the block was last mixed. When a byte finds
// the block full (fill 63), the block is mixed first; it is mixed once more
// when the chunk ends. The mix is the MD5 compression of the whole block, fill
// included, XORed into block bytes 0..15. No state survives from one chunk to
// the next, so a key depends on the chunk's own bytes alone, wherever it
// occurs in the stream.
#pragma once

#include <cstdint>
#include <cstring>

namespace longdup {

// 14 fingerprint bytes, then the chunk length as u16 little-endian.
struct chunk_key {
  uint8_t b[16];
};
static_assert(sizeof(chunk_key) == 16);

inline constexpr unsigned fp_block_size = 64;
inline constexpr unsigned fp_fill = 63;       // index of the fill counter
inline constexpr unsigned fp_key_bytes = 14;  // fingerprint bytes in a key

inline uint32_t key_len(const chunk_key& k) { return k.b[14] | static_cast<uint32_t>(k.b[15]) << 8; }

inline bool operator==(const chunk_key& a, const chunk_key& b) {
  return std::memcmp(a.b, b.b, sizeof a.b) == 0;
}

// Mixes the block in place: reads it as 16 little-endian words (the top byte
// of the last word is the fill counter), clears the fill counter, runs the
// MD5 compression of those words from MD5's initial value, and XORs the 16
// result bytes into block bytes 0..15. Bytes 16..62 are left as they are.
void fp_mix(uint8_t block[64]);

// Adds the next byte of the current chunk. The mix of a full block waits for
// the byte that no longer fits, so it always sees fill 63.
inline void fp_absorb(uint8_t block[64], uint8_t b) {
  if (block[fp_fill] == fp_fill) fp_mix(block);
  uint8_t fill = block[fp_fill];
  block[fill] ^= b;
  block[fp_fill] = static_cast<uint8_t>(fill + 1);
}

// Ends the chunk of `len` bytes (len <= 65535): mixes whatever the block
// holds, takes bytes 0..13 and the length as the key, and clears the block
// for the next chunk.
chunk_key fp_finish(uint8_t block[64], uint32_t len);

}  // namespace longdup
