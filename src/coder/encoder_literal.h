// The encoder in its literal form: one get_byte, one absorb_byte and one
// boundary test per input byte, one put_byte per output byte. The fast
// encoder must write exactly the same bytes; tests run both. Expanded
// inline into coder_run, so that every yield (inside get_byte and put_byte)
// happens in the body's own frame and the stack region saved at a yield
// stays small.
#pragma once

#include "coder/coder.h"
#include "coder/record.h"
#include "coro/stream_io.h"

namespace longdup {

[[gnu::always_inline]] inline void encode_loop_literal(coder& c) {
  uint32_t next_src = 0;
  for (;;) {
    int b = get_byte(&c.in);
    if (b < 0) break;
    absorb_byte(c.ck, static_cast<uint8_t>(b));
    c.chunk_buf[c.ck.chunk_len - 1] = static_cast<uint8_t>(b);
    if (!at_boundary(c.ck)) continue;
    finish_chunk(c.ck);
    write_record<true>(c, c.chunk_buf, key_len(c.ck.cur_key), next_src);
    age_sweep(c.ix, c.stream_pos, key_len(c.ck.cur_key));
  }
  // The final chunk, possibly empty, is recorded like any other but is not
  // followed by a sweep.
  finish_chunk(c.ck);
  write_record<true>(c, c.chunk_buf, key_len(c.ck.cur_key), next_src);
}

}  // namespace longdup
