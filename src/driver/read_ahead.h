// Input read on a thread of its own, into slabs that the coder reads in
// place. For regular files only: a read there always returns, so the thread
// can be stopped at any time, where on a pipe or a terminal it could wait
// for ever.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/slab_ring.h"

namespace longdup {

struct read_ahead {
  slab_ring r;
  int fd = -1;
  const uint8_t* cur = nullptr;  // the slab being read from
  std::size_t have = 0;          // bytes in it
  std::size_t at = 0;            // bytes of it handed out
};

// Starts the thread for fd. False if memory or a thread cannot be had; the
// caller then reads directly.
bool ra_start(read_ahead& a, int fd);

// The next up to n bytes, in place: sets data and returns the count, 0 at
// the end of the file, -1 after a failed read (ra_error says why). The bytes
// stay valid until the next call.
std::ptrdiff_t ra_borrow(read_ahead& a, const uint8_t** data, std::size_t n);

// Ends the thread.
void ra_finish(read_ahead& a);

inline int ra_error(const read_ahead& a) { return a.r.err; }

}  // namespace longdup
