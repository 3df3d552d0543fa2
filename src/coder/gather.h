// A chunk that straddles input blocks, gathered in chunk_buf; both
// directions cut chunks straight from the input block otherwise.
#pragma once

#include <cstring>

#include "chunking/chunk_end.h"
#include "coder/coder.h"

namespace longdup {

// Appends the current input block's bytes to the `pending` bytes gathered
// so far (none of which ends the chunk) until the chunk ends. Returns the
// chunk's length, having taken the input up to its end; or 0, having taken
// the whole block.
inline std::size_t gather_chunk(coder& c, uint32_t& pending, uint32_t threshold) {
  std::size_t take = static_cast<std::size_t>(c.in.end - c.in.ptr);
  if (take > chunk_max_len - pending) take = chunk_max_len - pending;
  std::memcpy(c.chunk_buf + pending, c.in.ptr, take);
  std::size_t len = chunk_end(c.chunk_buf, pending + take, pending, threshold);
  if (!len) {
    pending += static_cast<uint32_t>(take);
    c.in.ptr += take;
    return 0;
  }
  c.in.ptr += len - pending;
  pending = 0;
  return len;
}

}  // namespace longdup
