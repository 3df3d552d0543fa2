#include "driver/read_ahead.h"

#include <unistd.h>

#include <cerrno>

namespace longdup {
namespace {

void fill(void* arg) {
  auto& a = *static_cast<read_ahead*>(arg);
  while (uint8_t* p = slab_to_fill(a.r)) {
    std::size_t got = 0;
    while (got < slab_ring::bytes) {
      ssize_t k = read(a.fd, p + got, slab_ring::bytes - got);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) {
        slab_fail(a.r, errno);
        slab_pass(a.r, 0, true);
        return;
      }
      if (k == 0) break;
      got += static_cast<std::size_t>(k);
    }
    // A short slab is the last: the file has ended.
    slab_pass(a.r, got, got < slab_ring::bytes);
    if (got < slab_ring::bytes) return;
  }
}

}  // namespace

bool ra_start(read_ahead& a, int fd) {
  a.fd = fd;
  return slab_ring_start(a.r, fill, &a);
}

std::ptrdiff_t ra_borrow(read_ahead& a, const uint8_t** data, std::size_t n) {
  if (a.cur && a.at == a.have) {
    slab_give_back(a.r);
    a.cur = nullptr;
  }
  if (!a.cur) {
    a.cur = slab_to_take(a.r, a.have);
    a.at = 0;
  }
  // Only the last slab can be empty: the end, or the failed read.
  if (!a.cur || a.at == a.have) return a.r.err ? -1 : 0;
  std::size_t k = a.have - a.at < n ? a.have - a.at : n;
  *data = a.cur + a.at;
  a.at += k;
  return static_cast<std::ptrdiff_t>(k);
}

void ra_finish(read_ahead& a) { slab_ring_stop(a.r); }

}  // namespace longdup
