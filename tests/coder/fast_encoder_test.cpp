// The fast encoder must write the literal encoder's stream byte for byte,
// with the same counts, for every input and every parameter.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace longdup::test {
namespace {

void expect_same_stream(const bytes& plain, params p, const std::string& what) {
  params lit = p;
  lit.literal = true;
  coded slow = encode(plain, lit);
  coded fast = encode(plain, p);
  ASSERT_EQ(fast.end, loop_done) << what;
  EXPECT_EQ(fast.out.size(), slow.out.size()) << what;
  EXPECT_TRUE(fast.out == slow.out) << what;
  EXPECT_EQ(fast.x, slow.x) << what;
  EXPECT_EQ(fast.sum, slow.sum) << what;
}

TEST(fast_encoder, same_stream_for_every_avglen_regime_and_read_size) {
  struct {
    uint32_t avglen;
    std::size_t size;
  } regimes[] = {{1, 300000}, {7, 300000}, {100, 2000000}, {65535, 3000000}};
  // Read sizes that put block edges inside chunks, at odd places.
  const std::size_t reads[] = {block_size, 1000, 777, 1};
  for (auto r : regimes) {
    for (std::size_t max_read : reads) {
      std::size_t size = max_read == 1 ? 20000 : r.size;
      for (uint32_t seed : {1u, 2u}) {
        bytes plain = seed == 1 ? random_bytes(size, 9) : backup_like(size, seed);
        expect_same_stream(plain, {.avglen = r.avglen, .max_read = max_read},
                           "avglen " + std::to_string(r.avglen) + " read " + std::to_string(max_read) +
                               " seed " + std::to_string(seed));
      }
    }
  }
}

TEST(fast_encoder, same_stream_for_every_short_length) {
  bytes base = backup_like(400, 3);
  for (std::size_t n = 0; n <= 400; n++) {
    bytes plain(base.begin(), base.begin() + n);
    for (uint32_t avglen : {1u, 100u}) expect_same_stream(plain, {.avglen = avglen}, std::to_string(n));
  }
}

TEST(fast_encoder, same_stream_with_a_window_that_refuses_matches) {
  // 1 MiB window and index, repeats beyond it, and the cap-cut zero runs.
  bytes r = random_bytes(700000, 4);
  bytes plain = cat({r, bytes(200000, 0), r, r});
  expect_same_stream(plain, {.avglen = 100, .tbl_mib = 1, .win_mib = 1}, "window");
  expect_same_stream(plain, {.avglen = 100, .tbl_mib = 1, .win_mib = 1, .max_read = 4096}, "window small reads");
}

}  // namespace
}  // namespace longdup::test
