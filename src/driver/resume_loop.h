// The host side of a run: prepares the coder for a direction and resumes it,
// feeding input blocks and draining output blocks through callbacks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder/coder.h"

namespace longdup {

inline constexpr std::size_t block_size = 65536;

// Reads up to n bytes; returns the count, 0 at the end, or -1 on an error.
struct byte_source {
  void* ctx;
  std::ptrdiff_t (*read)(void* ctx, uint8_t* buf, std::size_t n);
};

// Writes all n bytes or returns false.
struct byte_sink {
  void* ctx;
  bool (*write)(void* ctx, const uint8_t* buf, std::size_t n);
};

// Called after every input block, with the bytes read so far.
struct progress_hook {
  void* ctx;
  void (*tick)(void* ctx, const coder& c, uint64_t bytes_in);
};

enum loop_end {
  loop_done,
  loop_failed,      // the coder stopped on a corrupt stream or lack of memory
  loop_no_table,    // encoding without an index table
  loop_read_error,
  loop_write_error,
};

// Encoding parameters in bytes, already checked by the caller: avglen
// 1..65535, table and window below 4 GiB and non-zero.
void prepare_encode(coder& c, uint32_t avglen, uint32_t tblbytes, uint32_t winbytes);
void prepare_decode(coder& c);

// Runs the coder to its end. The buffers are block_size bytes each and must
// stay in place for the whole run.
loop_end resume_loop(coder& c, uint8_t* in_buf, uint8_t* out_buf, byte_source src,
                     byte_sink dst, progress_hook hook = {nullptr, nullptr});

}  // namespace longdup
