#include <sys/mman.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "driver/page_alloc.h"

namespace longdup {
namespace {

struct range {
  uintptr_t lo, hi;
};

bool overlap(range a, range b) { return a.lo < b.hi && b.lo < a.hi; }

void populate(range r) {
#ifdef MADV_POPULATE_WRITE
  uintptr_t a = r.lo & ~(page_size - 1);
  madvise(reinterpret_cast<void*>(a), r.hi - a, MADV_POPULATE_WRITE);
#else
  (void)r;
#endif
}

// The thread takes the queued ranges in order, a step at a time, so that a
// block being freed waits for one step at most.
struct committer {
  static constexpr unsigned slots = 16;
  static constexpr uint64_t step = 2u << 20;
  std::mutex m;
  std::condition_variable work;
  std::condition_variable left;  // the thread finished a step
  range queue[slots];
  unsigned head = 0;
  unsigned count = 0;
  range doing = {0, 0};  // what is left of the range being committed
  range now = {0, 0};    // the step in the kernel at this moment
};

// Set once and never freed: the thread is detached and may still be in a
// step when the program exits.
committer* bg = nullptr;
std::once_flag bg_once;

void run(committer& k) {
  std::unique_lock lock(k.m);
  for (;;) {
    k.work.wait(lock, [&] { return k.count || k.doing.lo < k.doing.hi; });
    if (k.doing.lo == k.doing.hi) {
      k.doing = k.queue[k.head];
      k.head = (k.head + 1) % committer::slots;
      k.count--;
    }
    uint64_t n = k.doing.hi - k.doing.lo < committer::step ? k.doing.hi - k.doing.lo : committer::step;
    k.now = {k.doing.lo, k.doing.lo + n};
    k.doing.lo += n;
    lock.unlock();
    populate(k.now);
    lock.lock();
    k.now = {0, 0};
    k.left.notify_all();
  }
}

void start() {
  auto* k = new (std::nothrow) committer;
  if (!k) return;
  try {
    std::thread(run, std::ref(*k)).detach();
    bg = k;
  } catch (const std::system_error&) {
    delete k;
  }
}

}  // namespace

bool page_commit_background() {
  std::call_once(bg_once, start);
  return bg != nullptr;
}

bool page_commit_in_background() { return bg != nullptr; }

void page_commit(void* p, uint64_t n) {
  range r = {reinterpret_cast<uintptr_t>(p), reinterpret_cast<uintptr_t>(p) + n};
  if (n == 0) return;
  if (!bg) {
    populate(r);
    return;
  }
  std::lock_guard lock(bg->m);
  if (bg->count == committer::slots) return;
  bg->queue[(bg->head + bg->count) % committer::slots] = r;
  bg->count++;
  bg->work.notify_one();
}

void page_commit_forget(uintptr_t base, uint64_t n) {
  if (!bg) return;
  range block = {base, base + n};
  std::unique_lock lock(bg->m);
  unsigned kept = 0;
  for (unsigned i = 0; i < bg->count; i++) {
    range r = bg->queue[(bg->head + i) % committer::slots];
    if (!overlap(r, block)) bg->queue[(bg->head + kept++) % committer::slots] = r;
  }
  bg->count = kept;
  if (overlap(bg->doing, block)) bg->doing = {0, 0};
  bg->left.wait(lock, [&] { return !overlap(bg->now, block); });
}

}  // namespace longdup
