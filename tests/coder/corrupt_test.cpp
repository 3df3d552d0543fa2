// Damaged streams: every truncation and many bit flips of a real encoded
// stream either decode or are reported, and never read outside the ring.
#include <gtest/gtest.h>

#include "harness.h"

namespace longdup::test {
namespace {

bytes sample_stream(bytes& plain) {
  bytes r = random_bytes(40000, 31);
  plain = cat({r, r, random_bytes(3000, 32), r});
  coded e = encode(plain, {.avglen = 7});
  EXPECT_LT(e.out.size(), plain.size() / 2);
  return e.out;
}

void expect_sane(const coded& d, const std::string& what) {
  ASSERT_TRUE(d.end == loop_done || d.end == loop_failed) << what;
  if (d.end == loop_done) EXPECT_EQ(d.sum, d.out.size()) << what;
  else EXPECT_NE(d.failure, 0u) << what;
}

TEST(corrupt, every_truncation_decodes_or_is_reported) {
  bytes plain;
  bytes enc = sample_stream(plain);
  int failed = 0;
  for (std::size_t n = 0; n < enc.size(); n += n < 100 ? 1 : 397) {
    bytes cut(enc.begin(), enc.begin() + n);
    coded d = decode(cut);
    expect_sane(d, "length " + std::to_string(n));
    failed += d.end == loop_failed;
  }
  EXPECT_GT(failed, 0) << "a header cut short must be reported";
}

TEST(corrupt, bit_flips_decode_or_are_reported) {
  bytes plain;
  bytes enc = sample_stream(plain);
  std::mt19937 rng(5);
  for (int i = 0; i < 800; i++) {
    bytes bad = enc;
    std::size_t at = i < 64 ? static_cast<std::size_t>(i / 8) : rng() % bad.size();
    bad[at] ^= static_cast<uint8_t>(1u << (i % 8));
    expect_sane(decode(bad), "flip at " + std::to_string(at));
  }
}

}  // namespace
}  // namespace longdup::test
