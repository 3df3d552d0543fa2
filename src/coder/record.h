// Writing records to the output stream, shared by both encoders.
#pragma once

#include <cstring>

#include "coder/coder.h"
#include "coder/format.h"
#include "coro/stream_io.h"

namespace longdup {

[[gnu::always_inline]] inline void put_token(bstream* out, uint8_t type) {
  put_byte(out, chunk_marker[0]);
  put_byte(out, chunk_marker[1]);
  put_byte(out, chunk_marker[2]);
  put_byte(out, type);
}

// put_byte for a whole span: the same bytes and the same yields (one each
// time the buffer becomes exactly full), a copy per stretch of room.
[[gnu::always_inline]] inline void put_bytes(bstream* out, const uint8_t* p, std::size_t n) {
  while (n) {
    std::size_t room = static_cast<std::size_t>(out->end - out->ptr);
    std::size_t k = n < room ? n : room;
    std::memcpy(out->ptr, p, k);
    out->ptr += k;
    p += k;
    n -= k;
    if (out->ptr >= out->end) coro_yield(stream_owner(out), out->code);
  }
}

// Looks the chunk up, writes its record and counts it. The key is in
// cur_key and the chunk's `len` bytes at `bytes`. `bytewise` keeps the
// literal form's one put_byte per byte, for the reference encoder.
template <bool bytewise>
[[gnu::always_inline]] inline void write_record(coder& c, const uint8_t* bytes, uint32_t len,
                                                uint32_t& next_src) {
  bool referenced = false;
  if (lookup_insert(c.ix, c.ck.cur_key, c.stream_pos)) {
    uint32_t src = c.ix.found_pos;
    uint32_t dist = pos_distance(c.stream_pos, src);
    if (in_reach(dist, c.ix.cfg_decwinsize)) {
      referenced = true;
      if (src == next_src) {
        put_token(&c.out, tok_next);
      } else {
        put_token(&c.out, tok_far);
        for (int i = 0; i < 4; i++) put_byte(&c.out, static_cast<uint8_t>(dist >> (8 * i)));
      }
    }
  }
  if (!referenced) {
    if (needs_escape(bytes, len)) put_token(&c.out, tok_escape);
    if (bytewise) {
      for (uint32_t i = 0; i < len; i++) put_byte(&c.out, bytes[i]);
    } else {
      put_bytes(&c.out, bytes, len);
    }
  }
  c.x++;
  c.sum += len;
  // found_pos moves on every hit, used or not; the decoder sees only the
  // hits that became tokens, and the two agree again at the next token.
  next_src = continuation(c.ix.found_pos, len);
  c.stream_pos = pos_advance(c.stream_pos, len);
}

}  // namespace longdup
