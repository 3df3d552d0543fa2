#include "coder/coder.h"

#include <cstring>
#include <new>

#include "coder/decoder.h"
#include "coder/decoder_literal.h"
#include "coder/encoder.h"
#include "coder/encoder_literal.h"
#include "coder/format.h"
#include "coro/stream_io.h"
#include "driver/page_alloc.h"

namespace longdup {

const char* failure_text(uint32_t failure) {
  switch (failure) {
    case fail_short_header: return "corrupt stream: header shorter than 4 bytes";
    case fail_zero_avglen: return "corrupt stream: header gives an average chunk length of 0";
    case fail_zero_window: return "corrupt stream: header gives a window of 0 MiB";
    case fail_cut_token: return "corrupt stream: token cut short by the end of the stream";
    case fail_bad_distance: return "corrupt stream: token points outside the decoded history";
    case fail_no_memory: return "out of memory for the history ring";
    default: return "no failure";
  }
}

// Reads the header and sizes the history ring. A ring of the same size from
// an earlier start-up is kept as it is.
[[gnu::always_inline]] inline bool decoder_start(coder& c) {
  uint8_t head[header_size];
  for (uint8_t& h : head) {
    int b = get_byte(&c.in);
    if (b < 0) {
      c.failure = fail_short_header;
      return false;
    }
    h = static_cast<uint8_t>(b);
  }
  stream_header h = header_read(head);
  if (h.avglen == 0) c.failure = fail_zero_avglen;
  else if (h.window == 0) c.failure = fail_zero_window;
  if (c.failure) return false;
  c.avglen = h.avglen;
  c.ix.cfg_decwinsize = h.window;
  if (c.hist && c.hist_size == h.window) {
    // The ring is kept, but its chunk lengths belong to the earlier stream.
    std::memset(len_cache(c), 0, len_cache_bytes(c.hist_size) - 8);
    return true;
  }
  page_free(c.hist);
  c.hist = nullptr;
  c.hist_size = 0;
  try {
    // Zeroed memory, committed as it is written: the ring follows the output,
    // and the length cache behind it reads as empty without a clearing pass.
    c.hist = static_cast<uint8_t*>(page_alloc_zeroed(uint64_t{h.window} + len_cache_bytes(h.window)));
  } catch (const std::bad_alloc&) {
    // Caught here, inside the body: no exception may unwind across the
    // coroutine switch.
    c.failure = fail_no_memory;
    return false;
  }
  c.hist_size = h.window;
  // A ring kept from an earlier run may leave hist_pos anywhere below its size.
  if (c.hist_pos >= c.hist_size) c.hist_pos = 0;
  return true;
}

void coder::coder_run() {
  coder& c = *this;
  c.failure = fail_none;
  if (!c.decode) {
    if (!c.ix.htbl) {
      for (;;) coro_yield(this, yield_no_table);
    }
    uint8_t head[header_size];
    header_write(head, c.avglen, c.ix.cfg_decwinsize);
    for (uint8_t h : head) put_byte(&c.out, h);
  } else if (!decoder_start(c)) {
    for (;;) coro_yield(this, yield_failed);
  }
  chunker_reset(c.ck, c.avglen);
  c.x = 0;
  c.sum = 0;
  c.stream_pos = 0;
  if (c.decode && c.literal) decode_loop_literal(c);
  else if (c.decode) decode_loop(c);
  else if (c.literal) encode_loop_literal(c);
  else encode_loop(c);
  // The final yield is never continued; a failed run stays failed however
  // often it is resumed.
  if (c.failure) {
    for (;;) coro_yield(this, yield_failed);
  }
  coro_yield(this, yield_done);
}

}  // namespace longdup
