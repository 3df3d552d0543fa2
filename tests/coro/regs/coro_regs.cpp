// Values live across yields must survive whatever the optimiser keeps in
// registers or on the stack; this file is built at -O0 and at -O2.
#include <gtest/gtest.h>

#include <cstdint>

#include "coro/coro.h"

namespace {

using namespace longdup;

struct many_live : coro_object {
  uint64_t seed = 0;
  uint64_t result = 0;
  int rounds = 0;

  void run() {
    // Twenty values that all stay live across every yield: more than the
    // registers can hold, so some live in callee-saved registers and some
    // in the frame, at any optimisation level.
    uint64_t v[20];
    for (int i = 0; i < 20; i++) v[i] = seed * (i + 3) + i;
    uint64_t a = seed ^ 0x1111, b = seed ^ 0x2222, c = seed ^ 0x3333, d = seed ^ 0x4444;
    uint64_t e = seed ^ 0x5555, f = seed ^ 0x6666, g = seed ^ 0x7777, h = seed ^ 0x8888;
    double x = static_cast<double>(seed) * 0.5, y = 1.25;
    for (int r = 0; r < rounds; r++) {
      coro_yield(this, 1 + (r & 1));
      for (int i = 0; i < 20; i++) v[i] = v[i] * 6364136223846793005ull + 1442695040888963407ull;
      a += b; b ^= c; c += d; d ^= e; e += f; f ^= g; g += h; h ^= a;
      x = x * 1.0001 + y;
    }
    uint64_t sum = a + b + c + d + e + f + g + h + static_cast<uint64_t>(x);
    for (int i = 0; i < 20; i++) sum ^= v[i] << (i & 7);
    result = sum;
    coro_yield(this, 0);
  }
};

// The same computation without a coroutine, as the reference.
uint64_t expected(uint64_t seed, int rounds) {
  uint64_t v[20];
  for (int i = 0; i < 20; i++) v[i] = seed * (i + 3) + i;
  uint64_t a = seed ^ 0x1111, b = seed ^ 0x2222, c = seed ^ 0x3333, d = seed ^ 0x4444;
  uint64_t e = seed ^ 0x5555, f = seed ^ 0x6666, g = seed ^ 0x7777, h = seed ^ 0x8888;
  double x = static_cast<double>(seed) * 0.5, y = 1.25;
  for (int r = 0; r < rounds; r++) {
    for (int i = 0; i < 20; i++) v[i] = v[i] * 6364136223846793005ull + 1442695040888963407ull;
    a += b; b ^= c; c += d; d ^= e; e += f; f ^= g; g += h; h ^= a;
    x = x * 1.0001 + y;
  }
  uint64_t sum = a + b + c + d + e + f + g + h + static_cast<uint64_t>(x);
  for (int i = 0; i < 20; i++) sum ^= v[i] << (i & 7);
  return sum;
}

many_live body_obj;

TEST(coro_regs, many_values_survive_many_resumes) {
  for (uint64_t seed : {1ull, 0xDEADBEEFull, 0x123456789ABCDEFull}) {
    body_obj.seed = seed;
    body_obj.rounds = 1000;
    coro_prepare(&body_obj, static_cast<coro_body>(&many_live::run));
    int yields = 0;
    uint32_t code;
    while ((code = coro_resume(&body_obj)) != 0) {
      ASSERT_EQ(code, 1u + (yields & 1));
      yields++;
    }
    EXPECT_EQ(yields, 1000);
    EXPECT_EQ(body_obj.result, expected(seed, 1000));
  }
}

}  // namespace
