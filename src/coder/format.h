// The deduplicated stream format: the token bytes, the header, and the
// position arithmetic that the encoder, the decoder, the index and its
// ageing sweep share. Each rule of the format lives here and only here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace longdup {

// A token is the three marker bytes and a type byte; type bytes 03..FF form
// no token.
inline constexpr uint8_t chunk_marker[3] = {0xEF, 0x4D, 0xB6};
enum tok_type : uint8_t {
  tok_far = 0,     // then a 32-bit little-endian distance
  tok_escape = 1,  // then a literal chunk that would otherwise read as a token
  tok_next = 2,    // the chunk continues right behind the previous source
};
inline constexpr std::size_t tok_far_size = 8;
inline constexpr std::size_t tok_short_size = 4;

// Positions in the plain stream are counted modulo this period, so that
// stored positions + 2 never collide with the index's markers 0 and 1.
inline constexpr uint32_t pos_period = 0xFFFF0000u;

// Header: avglen as u16, then the window in MiB as u16, both little-endian.
inline constexpr std::size_t header_size = 4;

struct stream_header {
  uint32_t avglen;
  uint32_t window;  // bytes; only the low 12 bits of the MiB field count
};

inline void header_write(uint8_t out[header_size], uint32_t avglen, uint32_t window) {
  out[0] = static_cast<uint8_t>(avglen);
  out[1] = static_cast<uint8_t>(avglen >> 8);
  out[2] = static_cast<uint8_t>(window >> 20);
  out[3] = static_cast<uint8_t>(window >> 28);
}

inline stream_header header_read(const uint8_t in[header_size]) {
  uint32_t mib = in[2] | static_cast<uint32_t>(in[3]) << 8;
  return {in[0] | static_cast<uint32_t>(in[1]) << 8, mib << 20};
}

// The position after a chunk of `len` bytes (len <= 0xFFFF) at `pos`. The
// sum can pass the period by less than 0x10000, and adding 0x10000 in 32-bit
// arithmetic is then the same as subtracting the period.
inline uint32_t pos_advance(uint32_t pos, uint32_t len) {
  uint32_t next = pos + len;
  if (next > pos_period - 1) next += 0x10000u;
  return next;
}

// How far back `src` lies from `pos`, modulo the period. A source equal to
// `pos` is a whole period back.
inline uint32_t pos_distance(uint32_t pos, uint32_t src) {
  return src < pos ? pos - src : pos - src - 0x10000u;
}

// The inverse: the position `dist` bytes back from `pos`.
inline uint32_t pos_source(uint32_t pos, uint32_t dist) {
  return dist < pos ? pos - dist : pos - dist - 0x10000u;
}

// Where a tok_next points after a chunk of `len` bytes, given the last
// source position. Deliberately not reduced modulo the period: both sides
// compute it the same way, and a tok_next is only written when it equals a
// stored position.
inline uint32_t continuation(uint32_t last_src, uint32_t len) { return last_src + len; }

// A token is written only for a source strictly inside the window.
inline bool in_reach(uint32_t dist, uint32_t window) { return dist < window; }

// The token type that four record bytes start, or -1 when they are plain
// bytes (no marker, or a type byte above tok_next).
inline int token_type(const uint8_t head[4]) {
  bool marked = head[0] == chunk_marker[0] && head[1] == chunk_marker[1] &&
                head[2] == chunk_marker[2];
  return marked && head[3] <= tok_next ? head[3] : -1;
}

// A distance read from a stream is sound when it names a byte that the
// reader's ring still holds and that was produced: not 0, below the window,
// and not before the stream's first byte. `produced` counts the plain bytes
// before the current chunk.
inline bool distance_ok(uint32_t dist, uint32_t window, uint64_t produced) {
  return dist != 0 && in_reach(dist, window) && dist <= produced;
}

// A literal chunk whose first four bytes would read as a token needs a
// tok_escape in front. Chunks of fewer than four bytes can only be the last
// one, and the reader takes a short tail as plain bytes anyway.
inline bool needs_escape(const uint8_t* chunk, std::size_t len) {
  return len >= 4 && token_type(chunk) >= 0;
}

}  // namespace longdup
