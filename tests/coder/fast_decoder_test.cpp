// The fast decoder must give the literal decoder's output, counts and
// failures, on sound streams and on damaged ones alike.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace longdup::test {
namespace {

void expect_same_decode(const bytes& stream, params p, const std::string& what) {
  params lit = p;
  lit.literal = true;
  coded slow = decode(stream, lit);
  coded fast = decode(stream, p);
  ASSERT_EQ(fast.end, slow.end) << what;
  EXPECT_EQ(fast.failure, slow.failure) << what;
  EXPECT_TRUE(fast.out == slow.out) << what << ": " << fast.out.size() << " vs " << slow.out.size();
  if (slow.end == loop_done) {
    EXPECT_EQ(fast.x, slow.x) << what;
    EXPECT_EQ(fast.sum, slow.sum) << what;
  }
}

TEST(fast_decoder, same_output_on_sound_streams) {
  const std::size_t reads[] = {block_size, 1000, 3, 1};
  for (uint32_t avglen : {1u, 7u, 100u, 65535u}) {
    bytes plain = backup_like(avglen == 65535 ? 2000000 : 600000, avglen);
    bytes enc = encode(plain, {.avglen = avglen}).out;
    for (std::size_t max_read : reads) {
      if (max_read < 10 && avglen == 65535) continue;  // slow and adds nothing
      std::string what = "avglen " + std::to_string(avglen) + " read " + std::to_string(max_read);
      expect_same_decode(enc, {.max_read = max_read}, what);
      EXPECT_TRUE(decode(enc, {.max_read = max_read}).out == plain) << what;
    }
  }
}

TEST(fast_decoder, same_output_on_damaged_streams) {
  bytes plain = backup_like(150000, 5);
  bytes enc = encode(plain, {.avglen = 7}).out;
  for (std::size_t n = 0; n < enc.size(); n += n < 80 ? 1 : 531) {
    expect_same_decode(bytes(enc.begin(), enc.begin() + n), {}, "cut at " + std::to_string(n));
  }
  std::mt19937 rng(9);
  for (int i = 0; i < 400; i++) {
    bytes bad = enc;
    std::size_t at = rng() % bad.size();
    bad[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
    expect_same_decode(bad, {.max_read = i % 2 ? 1000 : block_size}, "flip at " + std::to_string(at));
  }
}

TEST(fast_decoder, copies_shorter_than_their_distance_repeat) {
  // A hand-made stream no encoder writes: with avglen 1, a 64-byte literal,
  // then a far token 10 bytes back, so the copy reads its own output.
  bytes head = {0x01, 0x00, 0x01, 0x00};
  bytes lit = random_bytes(64, 4);
  bytes tok = {0xEF, 0x4D, 0xB6, 0x00, 10, 0, 0, 0};
  bytes stream = cat({head, lit, tok, lit});
  expect_same_decode(stream, {}, "overlapping copy");
  coded d = decode(stream);
  ASSERT_EQ(d.end, loop_done);
  for (std::size_t i = 64; i < 128; i++) EXPECT_EQ(d.out[i], d.out[i - 10]) << i;
}

}  // namespace
}  // namespace longdup::test
