#include "coro/coro.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define LONGDUP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LONGDUP_ASAN 1
#endif
#endif
#if defined(LONGDUP_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace longdup {

static_assert(offsetof(coro_object, co) == 128, "coro_switch.S assumes this layout");
static_assert(offsetof(coro, status) == 0);
static_assert(offsetof(coro, resumer_pc) == 8);
static_assert(offsetof(coro, resumer_sp) == 16);
static_assert(offsetof(coro, coro_pc) == 24);
static_assert(offsetof(coro, coro_sp) == 32);
static_assert(offsetof(coro, stack_base) == 40);
static_assert(offsetof(coro, stack_low) == 48);
static_assert(offsetof(coro, body) == 56);
static_assert(sizeof(coro_body) == 16);
static_assert(offsetof(coro, save_area) == 72);

void coro_prepare(coro_object* obj, coro_body body) {
  bstream* streams[] = {&obj->in, &obj->out, &obj->spare3, &obj->spare4};
  for (uint16_t i = 0; i < 4; i++) {
    bstream* s = streams[i];
    s->ptr = s->begin = s->end = nullptr;
    s->eof = 0;
    s->back = static_cast<uint16_t>(32 * i);
    s->code = static_cast<uint16_t>(i + 1);
  }
  obj->co.status = 0;
  obj->co.eof = 0;
  obj->co.body = body;
}

// Called by coro_resume just before it writes a suspended body's region
// back. Under AddressSanitizer the region's shadow memory is not part of
// what a yield saves: while the body was away, other frames (another
// coroutine's body at the same addresses, most of all) may have left it
// marking variables out of scope. Clearing it trades the sanitizer's view of
// the body's own stack for the absence of false reports.
extern "C" void coro_before_continue(coro_object* obj) {
#if defined(LONGDUP_ASAN)
  __asan_unpoison_memory_region(obj->co.stack_low,
                                static_cast<std::size_t>(obj->co.stack_base - obj->co.stack_low));
#else
  (void)obj;
#endif
}

// Runs below stack_base, so its frame is saved and restored with the body's.
// A body that returns after having yielded cannot go back through
// coro_start, whose frame lies in the gap that the host has since reused;
// its return is taken as the final yield instead.
extern "C" void coro_invoke_body(coro_object* obj) {
  (obj->*(obj->co.body))();
  if (obj->co.status != 0) coro_yield(obj, yield_done);
}

// A region larger than the save area would overrun into whatever follows the
// context in the object; stopping here is the only safe outcome.
extern "C" [[noreturn]] void coro_overrun(coro_object*, std::size_t live) {
  std::fprintf(stderr,
               "longdup: internal error: coroutine stack region of %zu bytes "
               "exceeds the %zu-byte save area\n",
               live, coro_save_size);
  std::abort();
}

}  // namespace longdup
