// The decoder in its literal form: one get_byte per input byte, every plain
// byte absorbed into the chunker and stored in the ring one at a time. The
// fast decoder must produce the same output and the same failures; tests
// run both. The decoder runs the same chunker over the plain bytes it
// produces, so it finds the encoder's chunk boundaries: literals carry no
// length, and a copy ends where the boundary rule ends it, after exactly as
// many bytes as its source chunk had.
#pragma once

#include "coder/coder.h"
#include "coder/format.h"
#include "coro/stream_io.h"

namespace longdup {

// Every plain byte, literal or copied, goes into the chunker and the ring.
[[gnu::always_inline]] inline void absorb_plain(coder& c, uint8_t b) {
  absorb_byte(c.ck, b);
  c.hist[c.hist_pos] = b;
  if (++c.hist_pos == c.hist_size) c.hist_pos = 0;
}

inline void absorb_pending(coder& c) {
  for (uint32_t i = 0; i < c.buf_cnt; i++) absorb_plain(c, c.chunk_buf[i]);
}


[[gnu::always_inline]] inline void decode_loop_literal(coder& c) {
  const uint32_t window = c.hist_size;
  uint32_t out_off = 0;
  uint32_t last_src = 0;
  uint32_t next_src = 0;
  bool at_end = false;
  c.buf_cnt = 0;
  for (;;) {
    uint32_t dist = 0;
    int b = get_byte(&c.in);
    if (b < 0) {
      // Up to three held bytes have not been absorbed yet; they are the
      // plain bytes of the last chunk.
      if (c.buf_cnt < 4) absorb_pending(c);
      at_end = true;
      goto chunk_end;
    }
    c.chunk_buf[c.buf_cnt++] = static_cast<uint8_t>(b);
    if (c.buf_cnt > 4) {
      absorb_plain(c, static_cast<uint8_t>(b));
      if (at_boundary(c.ck)) goto chunk_end;
      continue;
    }
    if (c.buf_cnt < 4) continue;
    switch (token_type(c.chunk_buf)) {
      case tok_far:
        for (int i = 0; i < 4; i++) {
          int d = get_byte(&c.in);
          if (d < 0) {
            c.failure = fail_cut_token;
            return;
          }
          dist |= static_cast<uint32_t>(d) << (8 * i);
        }
        goto copy;
      case tok_next:
        dist = pos_distance(c.stream_pos, next_src);
        goto copy;
      case tok_escape:
        // The escape stays in slots 0 to 3 and slot 4 stays unused, so
        // buf_cnt exceeds 4 and the chunk's own first bytes are taken as
        // plain bytes without being examined.
        c.buf_cnt = 5;
        out_off = 5;
        continue;
      default:
        // Four plain bytes: no boundary can fall before the 64th.
        absorb_pending(c);
        continue;
    }

  copy:
    if (!distance_ok(dist, window, c.sum)) {
      c.failure = fail_bad_distance;
      return;
    }
    last_src = pos_source(c.stream_pos, dist);
    c.buf_cnt = 0;
    {
      uint32_t r = static_cast<uint32_t>((uint64_t{c.hist_pos} + window - dist) % window);
      for (;;) {
        uint8_t v = c.hist[r];
        absorb_plain(c, v);
        c.chunk_buf[c.buf_cnt++] = v;
        if (at_boundary(c.ck)) break;
        if (++r == window) r = 0;
      }
    }

  chunk_end:
    finish_chunk(c.ck);
    for (uint32_t i = out_off; i < c.buf_cnt; i++) put_byte(&c.out, c.chunk_buf[i]);
    {
      uint32_t len = key_len(c.ck.cur_key);
      c.x++;
      c.sum += len;
      c.buf_cnt = 0;
      c.stream_pos = pos_advance(c.stream_pos, len);
      next_src = continuation(last_src, len);
    }
    if (at_end) return;
    out_off = 0;
  }
}

}  // namespace longdup
