#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "coro/coro.h"

// call_with_canaries(fn, arg, bad): loads a known value into each callee-saved
// register (rbx, rbp, r12 to r15), calls fn(arg) and counts the registers
// that came back changed into *bad. Written in assembly so that no compiler
// choice can hide a clobber.
asm(R"(
        .text
        .globl  call_with_canaries
        .type   call_with_canaries, @function
call_with_canaries:
        pushq   %rbp
        pushq   %rbx
        pushq   %r12
        pushq   %r13
        pushq   %r14
        pushq   %r15
        pushq   %rdx
        movabsq $0x0101010101010101, %rbx
        movabsq $0x0202020202020202, %rbp
        movabsq $0x0303030303030303, %r12
        movabsq $0x0404040404040404, %r13
        movabsq $0x0505050505050505, %r14
        movabsq $0x0606060606060606, %r15
        movq    %rdi, %rax
        movq    %rsi, %rdi
        call    *%rax
        popq    %rdx
        xorl    %ecx, %ecx
        movabsq $0x0101010101010101, %r8
        cmpq    %r8, %rbx
        setne   %r9b
        addb    %r9b, %cl
        movabsq $0x0202020202020202, %r8
        cmpq    %r8, %rbp
        setne   %r9b
        addb    %r9b, %cl
        movabsq $0x0303030303030303, %r8
        cmpq    %r8, %r12
        setne   %r9b
        addb    %r9b, %cl
        movabsq $0x0404040404040404, %r8
        cmpq    %r8, %r13
        setne   %r9b
        addb    %r9b, %cl
        movabsq $0x0505050505050505, %r8
        cmpq    %r8, %r14
        setne   %r9b
        addb    %r9b, %cl
        movabsq $0x0606060606060606, %r8
        cmpq    %r8, %r15
        setne   %r9b
        addb    %r9b, %cl
        movq    %rcx, (%rdx)
        popq    %r15
        popq    %r14
        popq    %r13
        popq    %r12
        popq    %rbx
        popq    %rbp
        ret
        .size   call_with_canaries, .-call_with_canaries
        .section .note.GNU-stack,"",@progbits
        .text
)");

extern "C" uint64_t call_with_canaries(void* fn, void* arg, uint64_t* bad);

namespace {

using namespace longdup;

// Body-side helper: yields with canaries in the callee-saved registers and
// reports how many of them the resume failed to restore.
extern "C" uint32_t yield_checked(coro_object* obj) {
  uint64_t bad = 0;
  struct args { coro_object* obj; } a{obj};
  auto fn = +[](args* p) -> uint64_t {
    coro_yield(p->obj, 5);
    return 0;
  };
  call_with_canaries(reinterpret_cast<void*>(fn), &a, &bad);
  return static_cast<uint32_t>(bad);
}

extern "C" uint64_t resume_thunk(coro_object* obj) { return coro_resume(obj); }

uint32_t resume_checked(coro_object* obj, uint64_t* bad) {
  return static_cast<uint32_t>(
      call_with_canaries(reinterpret_cast<void*>(&resume_thunk), obj, bad));
}

struct script : coro_object {
  int steps = 0;       // yields before the final one
  int started = 0;     // times the body has begun from the start
  int progress = 0;
  uint32_t body_bad = 0;
  bool return_without_yield = false;

  void run() {
    started++;
    if (return_without_yield) return;
    for (int i = 0; i < steps; i++) {
      body_bad += yield_checked(this);
      progress++;
    }
    coro_yield(this, 0);
  }
};

script obj;

void prepare(script& s, int steps) {
  s.steps = steps;
  s.started = 0;
  s.progress = 0;
  s.body_bad = 0;
  s.return_without_yield = false;
  coro_prepare(&s, static_cast<coro_body>(&script::run));
}

TEST(coro, registers_survive_on_both_sides) {
  prepare(obj, 50);
  for (int i = 0; i < 50; i++) {
    uint64_t host_bad = 99;
    ASSERT_EQ(resume_checked(&obj, &host_bad), 5u);
    EXPECT_EQ(host_bad, 0u) << "host registers after resume " << i;
    EXPECT_EQ(obj.progress, i);
  }
  uint64_t host_bad = 99;
  EXPECT_EQ(resume_checked(&obj, &host_bad), 0u);
  EXPECT_EQ(host_bad, 0u) << "host registers after the final yield";
  EXPECT_EQ(obj.body_bad, 0u) << "body registers after its yields";
  EXPECT_EQ(obj.progress, 50);
}

TEST(coro, body_that_returns_without_yielding) {
  prepare(obj, 0);
  obj.return_without_yield = true;
  uint64_t host_bad = 99;
  EXPECT_EQ(resume_checked(&obj, &host_bad), 0u);
  EXPECT_EQ(host_bad, 0u);
  EXPECT_EQ(obj.started, 1);
  // Idle again: the next resume starts afresh.
  EXPECT_EQ(coro_resume(&obj), 0u);
  EXPECT_EQ(obj.started, 2);
}

TEST(coro, restarts_after_final_yield) {
  prepare(obj, 2);
  EXPECT_EQ(coro_resume(&obj), 5u);
  EXPECT_EQ(coro_resume(&obj), 5u);
  EXPECT_EQ(coro_resume(&obj), 0u);
  EXPECT_EQ(obj.started, 1);
  EXPECT_EQ(coro_resume(&obj), 5u);
  EXPECT_EQ(obj.started, 2);
  EXPECT_EQ(obj.progress, 2);  // the object is kept as the first run left it
}

// A host function that uses tens of KiB of stack, well into the region where
// the suspended body's frames were.
int deep(int n, volatile char* sink) {
  volatile char buf[1024];
  for (int i = 0; i < 1024; i++) buf[i] = static_cast<char>(n + i);
  if (n == 0) return buf[7];
  int r = deep(n - 1, sink) + buf[n % 1024];
  *sink = buf[3];
  return r;
}

struct locals_body : coro_object {
  uint64_t checksum = 0;
  void run() {
    char text[600];
    uint64_t vals[64];
    for (int i = 0; i < 64; i++) vals[i] = 0x9E3779B97F4A7C15ull * (i + 1);
    std::snprintf(text, sizeof text, "body text %d", 42);
    for (int r = 0; r < 20; r++) {
      coro_yield(this, 3);
      for (int i = 0; i < 64; i++) checksum += vals[i] ^ static_cast<uint64_t>(r);
      checksum += std::strlen(text);
    }
    coro_yield(this, 0);
  }
};

locals_body lb;

TEST(coro, deep_host_calls_between_resumes) {
  coro_prepare(&lb, static_cast<coro_body>(&locals_body::run));
  lb.checksum = 0;
  volatile char sink = 0;
  while (coro_resume(&lb) != 0) {
    deep(40, &sink);  // about 40 KiB of stack
    char line[256];
    std::snprintf(line, sizeof line, "%s %d %f %llx", "host", 12, 3.5, 0xABCDull);
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fputs(line, f);
    std::rewind(f);
    char back[256] = {};
    ASSERT_NE(std::fgets(back, sizeof back, f), nullptr);
    std::fclose(f);
    EXPECT_STREQ(back, line);
  }
  uint64_t want = 0;
  for (int r = 0; r < 20; r++) {
    for (int i = 0; i < 64; i++) want += (0x9E3779B97F4A7C15ull * (i + 1)) ^ static_cast<uint64_t>(r);
    want += std::strlen("body text 42");
  }
  EXPECT_EQ(lb.checksum, want);
}

struct virtual_base : coro_object {
  int which = 0;
  virtual void run() { which = 1; coro_yield(this, 0); }
  virtual ~virtual_base() = default;
};
struct virtual_derived : virtual_base {
  void run() override { which = 2; coro_yield(this, 9); coro_yield(this, 0); }
};

TEST(coro, virtual_body_calls_the_override) {
  virtual_derived d;
  virtual_base& base = d;
  coro_prepare(&base, static_cast<coro_body>(&virtual_base::run));
  EXPECT_EQ(coro_resume(&base), 9u);
  EXPECT_EQ(d.which, 2);
  EXPECT_EQ(coro_resume(&base), 0u);
}

struct returns_after_yield : coro_object {
  int reached = 0;
  void run() { coro_yield(this, 6); reached = 1; }
};

TEST(coro, return_after_a_yield_counts_as_final) {
  returns_after_yield r;
  coro_prepare(&r, static_cast<coro_body>(&returns_after_yield::run));
  EXPECT_EQ(coro_resume(&r), 6u);
  volatile char sink;
  deep(20, &sink);  // reuse the gap, where coro_start's frame was
  EXPECT_EQ(coro_resume(&r), 0u);
  EXPECT_EQ(r.reached, 1);
}

struct too_deep : coro_object {
  void run() { recurse(40); }
  [[gnu::noinline]] void recurse(int n) {
    char pad[512];
    std::memset(pad, n, sizeof pad);
    asm volatile("" : : "r"(pad) : "memory");  // the frame must really hold pad
    if (n == 0) coro_yield(this, 1);
    else recurse(n - 1);
    asm volatile("" : : "r"(pad) : "memory");
  }
};

TEST(coro_death, yield_from_a_region_larger_than_the_save_area_aborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        static too_deep t;
        coro_prepare(&t, static_cast<coro_body>(&too_deep::run));
        coro_resume(&t);
      },
      "longdup: internal error: coroutine stack region of [0-9]+ bytes exceeds the 16408-byte save area");
}

}  // namespace
