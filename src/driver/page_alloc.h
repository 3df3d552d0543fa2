// Page-aligned blocks for the two large buffers of a run: the chunk index
// table and the decoder's history ring.
#pragma once

#include <cstdint>

namespace longdup {

inline constexpr uint64_t page_size = 4096;

// Enough for the largest alignment offset (page_size + 7) plus the up to 15
// bytes lost by rounding the request down to the allocator's 16-byte grain.
inline constexpr uint64_t page_slack = 4118;

// Bytes asked of the allocator for a block of n usable bytes.
constexpr uint64_t page_request_size(uint64_t n) { return (n + page_slack) & ~uint64_t{15}; }

// Distance from the allocator's address `raw` to the first page boundary
// that leaves room for the 8-byte back pointer below it: 8 ... 4103, and a
// whole page when raw is itself page-aligned.
constexpr uint64_t page_offset(uintptr_t raw) {
  uint64_t r = raw % page_size;
  return ((r + page_size + 7) & ~(page_size - 1)) - r;
}

// At least n usable bytes starting on a page boundary, contents undefined.
// Throws std::bad_alloc when memory runs out; never returns null.
void* page_alloc(uint64_t n);

// As page_alloc, but the block reads as all zero bytes, and pages are only
// committed when first touched, so a large table that a short run barely
// uses costs little.
void* page_alloc_zeroed(uint64_t n);

// Asks for huge pages under [p, p + n): for a large table probed at random,
// where 4 KiB pages make nearly every probe miss the TLB and a large input
// take a page fault for every 4 KiB of the table. The price is that memory
// is committed 2 MiB at a time, so a short run that probes a few hundred
// slots commits a few hundred MiB at most; and that the kernel may stop to
// compact memory for them, so a buffer written straight through (the
// decoder's ring) is better off without. (Measured for the ring committed
// ahead on its own thread: a quarter quicker alone, but twice as slow in
// the benchmark, where other programs had just freed much memory.) A hint:
// returns whether huge pages can be had at all.
bool page_prefer_huge(void* p, uint64_t n);

// Commits the pages of [p, p + n) ahead of their first write, in one call
// instead of a fault per page; a hint, so failure is ignored. In the
// background once page_commit_background() is on, at once otherwise.
void page_commit(void* p, uint64_t n);

// From now on page_commit only queues its range for a thread of its own, so
// that the kernel's zeroing of fresh pages overlaps the caller's work. A
// queue that is full drops the range: the pages then fault in as they are
// written. Returns whether the thread runs. Off unless turned on: the
// command line turns it on, while the library, which promises callers a
// single thread, leaves it off.
bool page_commit_background();
bool page_commit_in_background();

// Drops queued commits inside the mapping [base, base + n) and waits until
// the thread has left it; page_free calls it before unmapping.
void page_commit_forget(uintptr_t base, uint64_t n);

// Releases a block from either allocation function; null is ignored.
void page_free(void* p);

}  // namespace longdup
