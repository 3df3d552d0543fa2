// The host side of a run: prepares the coder for a direction and resumes it,
// feeding input blocks and draining output blocks through callbacks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder/coder.h"
#include "longdup/longdup.h"

namespace longdup {

inline constexpr std::size_t block_size = 65536;

// The callbacks are the library's own: what a caller passes to the API is
// what the host calls.
using byte_source = source;
using byte_sink = sink;

enum loop_end {
  loop_running,     // resume_step only: one input block served, more to come
  loop_done,
  loop_failed,      // the coder stopped on a corrupt stream or lack of memory
  loop_no_table,    // encoding without an index table
  loop_read_error,
  loop_write_error,
};

// The host's side of one run: the coder, its two block buffers (block_size
// bytes each) and the callbacks. None of them may move during the run.
struct host {
  coder* c;
  uint8_t* in_buf;
  uint8_t* out_buf;
  byte_source src;
  byte_sink dst;
  uint64_t bytes_in;
};

// Encoding parameters in bytes, already checked by the caller: avglen
// 1..65535, table and window below 4 GiB and non-zero.
void prepare_encode(coder& c, uint32_t avglen, uint32_t tblbytes, uint32_t winbytes);
void prepare_decode(coder& c);

// Sets up the streams and the coroutine; call once before the first step.
void host_start(host& h);

// Resumes the coder until it has consumed one more input block or ended.
// The coroutine continues on the stack addresses where it started, so every
// step must be called from the same stack depth (a loop at one call site).
loop_end resume_step(host& h);

// Runs the coder to its end.
loop_end resume_loop(coder& c, uint8_t* in_buf, uint8_t* out_buf, byte_source src, byte_sink dst);

}  // namespace longdup
