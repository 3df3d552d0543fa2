// The one object that holds all state of a run, and its coroutine body.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chunking/chunker.h"
#include "coro/coro.h"
#include "index/chunk_index.h"

namespace longdup {

// A chunk is at most 65535 bytes; the decoder also keeps the five slots of
// an escape in front of it.
inline constexpr std::size_t chunk_buf_size = 69632;

// Why a run stopped early. The body cannot throw across the coroutine
// switch, so it records the reason here and yields `yield_failed`.
enum coder_failure : uint32_t {
  fail_none = 0,
  fail_short_header,     // fewer than four header bytes
  fail_zero_avglen,      // header avglen 0: no threshold
  fail_zero_window,      // header window 0: no ring
  fail_cut_token,        // a far token cut short by the end of the stream
  fail_bad_distance,     // 0, the window or more, or before the stream's start
  fail_no_memory,        // the history ring could not be allocated
};

// Yielded instead of 0 when the run failed; the host stops on any code
// other than 1 and 2, so it ends the run like the final yield.
inline constexpr uint32_t yield_failed = 5;

struct coder : coro_object {
  chunk_index ix;
  uint32_t avglen;
  uint64_t sum;          // plain bytes in all chunks finished so far
  uint64_t x;            // chunks finished so far, the final one included
  uint32_t stream_pos;   // position of the current chunk's first byte
  uint8_t* hist;         // the decoder's ring of the last W plain bytes
  uint32_t hist_pos;
  uint32_t hist_size;
  chunker ck;
  uint32_t buf_cnt;
  uint8_t chunk_buf[chunk_buf_size];
  uint32_t decode;
  uint32_t failure;      // a coder_failure once the body yielded yield_failed
  uint32_t literal;      // nonzero: run the literal forms that tests check the fast ones against

  // The coroutine body: start-up, then the encoder or decoder loop; ends
  // with a final yield and never returns.
  void coder_run();
};

// Text of a failure, for the driver's message.
const char* failure_text(uint32_t failure);

// The coroutine body as the host installs it.
inline coro_body coder_body() { return static_cast<coro_body>(&coder::coder_run); }

}  // namespace longdup
