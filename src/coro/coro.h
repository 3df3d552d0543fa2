// The stack-copying coroutine on which the coder body runs.
//
// The body has no stack of its own: it runs on the host's stack, a fixed
// 64 KiB gap below the frame of the host's resume call. At a yield the live
// part of its stack is copied into `save_area`; a resume writes it back to the
// very same addresses and jumps into it. Only a few hundred bytes move per
// switch, and nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coro/stream.h"

namespace longdup {

struct coro_object;

// The operation that the coroutine runs, called on the object that holds
// the context. A pointer to member keeps the function and the object
// adjustment (and resolves virtual members at the call).
using coro_body = void (coro_object::*)();

inline constexpr std::size_t coro_save_size = 16408;
inline constexpr std::size_t coro_gap_size = 65536;

struct coro {
  uint32_t status;         // code of the last yield; 0: not started or finished
  uint32_t eof;            // end of input, set by the host, read by get_byte
  void* resumer_pc;        // where the pending coro_resume continues
  void* resumer_sp;
  void* coro_pc;           // where the suspended body continues
  void* coro_sp;
  char* stack_base;        // upper end (exclusive) of the body's stack region
  char* stack_low;         // lower end of the region saved at the last yield
  coro_body body;
  unsigned char save_area[coro_save_size];
};

// Every coroutine object starts with its four byte streams, then the
// context; the streams find the object through their `back` offsets.
struct coro_object {
  bstream in;
  bstream out;
  bstream spare3;
  bstream spare4;
  coro co;
};

// Yield codes that the host sees from coro_resume.
enum : uint32_t {
  yield_done = 0,
  yield_input = 1,
  yield_output = 2,
  yield_no_table = 4,
};

extern "C" {
// Host side: starts the body when `status` is 0, else continues it. Returns
// the code of the yield that suspended it (0 if it returned without one).
// Call it from one place, at the same stack depth every time.
uint32_t coro_resume(coro_object* obj);

// Body side: suspends the body; the pending coro_resume returns `code`.
void coro_yield(coro_object* obj, uint32_t code);
}

// Sets up the four streams (null buffers, back offsets 0/32/64/96, codes
// 1 to 4) and the context, ready for the first resume.
void coro_prepare(coro_object* obj, coro_body body);

}  // namespace longdup
