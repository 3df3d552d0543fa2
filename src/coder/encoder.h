// The encoding half of the coder body. Expanded inline into coder_run, so
// that every yield (inside get_byte and put_byte) happens in the body's own
// frame and the stack region saved at a yield stays a few hundred bytes.
#pragma once

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

// Writes the record of the chunk just finished (its key in cur_key, its
// bytes in chunk_buf) and counts it.
[[gnu::always_inline]] inline void encode_record(coder& c, uint32_t& next_src) {
  uint32_t len = key_len(c.ck.cur_key);
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
    if (needs_escape(c.chunk_buf, len)) put_token(&c.out, tok_escape);
    for (uint32_t i = 0; i < len; i++) put_byte(&c.out, c.chunk_buf[i]);
  }
  c.x++;
  c.sum += len;
  // found_pos moves on every hit, used or not; the decoder sees only the
  // hits that became tokens, and the two agree again at the next token.
  next_src = continuation(c.ix.found_pos, len);
  c.stream_pos = pos_advance(c.stream_pos, len);
}

[[gnu::always_inline]] inline void encode_loop(coder& c) {
  uint32_t next_src = 0;
  for (;;) {
    int b = get_byte(&c.in);
    if (b < 0) break;
    absorb_byte(c.ck, static_cast<uint8_t>(b));
    c.chunk_buf[c.ck.chunk_len - 1] = static_cast<uint8_t>(b);
    if (!at_boundary(c.ck)) continue;
    finish_chunk(c.ck);
    encode_record(c, next_src);
    age_sweep(c.ix, c.stream_pos, key_len(c.ck.cur_key));
  }
  // The final chunk, possibly empty, is recorded like any other but is not
  // followed by a sweep.
  finish_chunk(c.ck);
  encode_record(c, next_src);
}

}  // namespace longdup
