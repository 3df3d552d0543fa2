// Output written on a thread of its own.
//
// Writing a file costs the kernel a copy into the page cache and the pages
// to copy into: for a decode, about as much time again as the decoding. On a
// second thread that work overlaps the coder's, and the coder's thread only
// copies each block into a slab. The bytes, their order and every error stay
// what direct writes would give; an error is seen one slab or so later.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace longdup {

struct write_behind {
  static constexpr uint32_t slab_count = 4;
  static constexpr std::size_t slab_bytes = std::size_t{1} << 20;

  int fd = -1;
  std::unique_ptr<uint8_t[]> slabs;  // slab_count * slab_bytes
  std::size_t len[slab_count] = {};  // bytes queued in each slab
  std::size_t fill = 0;              // bytes in the slab being filled
  uint64_t queued = 0;               // slabs handed to the thread; the one filled next is queued % slab_count
  uint64_t done = 0;                 // slabs the thread has written (or dropped)
  bool closing = false;              // no more slabs will come
  bool drop = false;                 // the output is abandoned: write nothing more
  int err = 0;                       // errno of the first failed write; nothing is written after it
  std::mutex m;
  std::condition_variable cv;
  std::thread t;
};

// Starts the thread for fd. False if memory or a thread cannot be had; the
// caller then writes directly.
bool wb_start(write_behind& w, int fd);

// Queues n bytes. False once a write has failed; w.err says why.
bool wb_write(write_behind& w, const uint8_t* buf, std::size_t n);

// Room for the next n <= slab_bytes bytes inside a slab: a caller that
// writes them there and then passes that address to wb_write spares the
// copy. Null once a write has failed.
uint8_t* wb_buffer(write_behind& w, std::size_t n);

// Ends the thread: with keep, after writing everything queued; without, as
// soon as the write in progress returns. False if any write failed.
bool wb_finish(write_behind& w, bool keep);

}  // namespace longdup
