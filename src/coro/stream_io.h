// The byte-stream operations of the coder body and the host's side of the
// stream contract. The fast path is one comparison and one increment; only
// an exhausted input or a full output calls into the coroutine.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coro/coro.h"

namespace longdup {

// Attaches a buffer to a stream; the host calls it only while the body is
// suspended.
inline void stream_attach(bstream* s, uint8_t* buf, std::size_t n) {
  s->ptr = buf;
  s->begin = buf;
  s->end = buf + n;
}

inline coro_object* stream_owner(bstream* s) {
  return reinterpret_cast<coro_object*>(reinterpret_cast<char*>(s) - s->back);
}

// The body's only input: a byte 0..255, or -1 once the input has ended.
// Inlined so that the yield happens in the body's own frame.
[[gnu::always_inline]] inline int get_byte(bstream* s) {
  for (;;) {
    if (s->ptr < s->end) return *s->ptr++;
    coro_object* obj = stream_owner(s);
    if (obj->co.eof | s->eof) return -1;
    coro_yield(obj, s->code);
  }
}

// The body's only output. The store comes first: by the host's contract the
// stream always has room on entry, and the yield follows the byte that
// fills the buffer, so the host always receives a full buffer on code 2.
[[gnu::always_inline]] inline void put_byte(bstream* s, int b) {
  *s->ptr++ = static_cast<uint8_t>(b);
  if (s->ptr >= s->end) coro_yield(stream_owner(s), s->code);
}

}  // namespace longdup
