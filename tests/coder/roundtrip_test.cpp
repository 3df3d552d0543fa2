// Encode, decode, compare: over inputs chosen to reach every record kind,
// the block edges of the streams and the extremes of the parameters.
#include <gtest/gtest.h>

#include <string>

#include "coder/format.h"
#include "harness.h"

namespace longdup::test {
namespace {

bytes zeros(std::size_t n) { return bytes(n, 0); }

bytes with_marker(uint8_t type, std::size_t n, uint32_t seed) {
  bytes v = random_bytes(n, seed);
  v[0] = 0xEF;
  v[1] = 0x4D;
  v[2] = 0xB6;
  v[3] = type;
  return v;
}

// Text-like data with many repeats at all distances.
bytes versions(std::size_t n, uint32_t seed) {
  bytes base = random_bytes(n / 4, seed);
  bytes v = base;
  std::mt19937 rng(seed);
  while (v.size() < n) {
    bytes edit = base;
    for (int k = 0; k < 20; k++) edit[rng() % edit.size()] = static_cast<uint8_t>(rng());
    v.insert(v.end(), edit.begin(), edit.end());
  }
  v.resize(n);
  return v;
}

struct roundtrip_case {
  std::string name;
  bytes plain;
  params p;
};

std::vector<roundtrip_case> cases() {
  bytes r1 = random_bytes(300000, 1);
  bytes chunk = first_chunks(r1, 1)[0];
  std::vector<roundtrip_case> v = {
      {"empty", {}, {}},
      {"one_byte", {0xEF}, {}},
      {"random", random_bytes(500000, 2), {}},
      {"near_repeats", cat({r1, r1, r1}), {}},
      {"far_repeats_inside_window", cat({r1, random_bytes(600000, 3), r1}), {}},
      {"repeats_outside_window", cat({r1, random_bytes(1 << 20, 4), r1}), {}},
      {"zero_runs_cut_by_the_cap", cat({zeros(200000), r1, zeros(70000)}), {}},
      {"zero_runs_avglen_1", zeros(10000), {.avglen = 1}},
      {"marker_starts",
       cat({chunk, with_marker(0, 5000, 5), with_marker(1, 5000, 6), with_marker(2, 5000, 7),
            with_marker(5, 5000, 8), with_marker(2, 5000, 7), {0xEF, 0x4D, 0xB6}}),
       {}},
      {"input_multiple_of_block", random_bytes(2 * block_size, 9), {}},
      {"encoded_multiple_of_block", random_bytes(2 * block_size - header_size, 10), {}},
      {"versions", versions(3000000, 12), {}},
      {"versions_avglen_1", versions(300000, 13), {.avglen = 1}},
      {"versions_avglen_7", versions(300000, 14), {.avglen = 7}},
      {"versions_avglen_65535", versions(3000000, 15), {.avglen = 65535}},
      {"versions_small_reads", versions(400000, 16), {.max_read = 1000}},
  };
  for (std::size_t tail = 0; tail < 4; tail++) {
    bytes t = {0xEF, 0x4D, 0xB6};
    t.resize(tail);
    v.push_back({"tail_" + std::to_string(tail), cat({r1, t}), {}});
  }
  return v;
}

class roundtrip : public ::testing::TestWithParam<roundtrip_case> {};

TEST_P(roundtrip, restores_every_byte_and_counts_agree) {
  const roundtrip_case& k = GetParam();
  coded e = encode(k.plain, k.p);
  ASSERT_EQ(e.end, loop_done);
  EXPECT_EQ(e.sum, k.plain.size());
  coded d = decode(e.out, {.max_read = k.p.max_read});
  ASSERT_EQ(d.end, loop_done) << failure_text(d.failure);
  EXPECT_TRUE(d.out == k.plain) << "decoded " << d.out.size() << " of " << k.plain.size();
  EXPECT_EQ(d.sum, e.sum);
  EXPECT_EQ(d.x, e.x);
}

INSTANTIATE_TEST_SUITE_P(all, roundtrip, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

TEST(roundtrip_sizes, repeats_shrink_and_random_data_does_not_grow) {
  bytes r = random_bytes(300000, 21);
  EXPECT_EQ(encode(r).out.size(), r.size() + header_size);
  EXPECT_LT(encode(cat({r, r, r, r})).out.size(), r.size() + r.size() / 10);
}

}  // namespace
}  // namespace longdup::test
