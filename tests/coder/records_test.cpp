// The exact bytes the encoder writes for small streams whose records can be
// worked out by hand, and what the decoder makes of them.
#include <gtest/gtest.h>

#include "coder/format.h"
#include "harness.h"

namespace longdup::test {
namespace {

const bytes header_100_1 = {0x64, 0x00, 0x01, 0x00};  // avglen 100, 1 MiB window

bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

const bytes far_tok = {0xEF, 0x4D, 0xB6, 0x00};
const bytes next_tok = {0xEF, 0x4D, 0xB6, 0x02};
const bytes esc_tok = {0xEF, 0x4D, 0xB6, 0x01};

struct two_chunks : ::testing::Test {
  bytes a, b;
  void SetUp() override {
    auto ch = first_chunks(random_bytes(20000, 7), 2);
    ASSERT_EQ(ch.size(), 2u);
    a = ch[0];
    b = ch[1];
    ASSERT_LT(token_type(a.data()), 0);
    ASSERT_LT(token_type(b.data()), 0);
  }
};

TEST_F(two_chunks, repeat_of_two_chunks_is_a_far_token_then_a_next_token) {
  bytes plain = cat({a, b, a, b});
  coded e = encode(plain);
  EXPECT_EQ(e.out, cat({header_100_1, a, b, far_tok, le32(a.size() + b.size()), next_tok}));
  EXPECT_EQ(e.x, 5u);  // the empty final chunk counts
  EXPECT_EQ(e.sum, plain.size());
  coded d = decode(e.out);
  EXPECT_EQ(d.out, plain);
  EXPECT_EQ(d.x, e.x);
  EXPECT_EQ(d.sum, e.sum);
}

TEST_F(two_chunks, first_reference_can_be_a_next_token) {
  // D has A's length and boundary but other content (a byte that no
  // boundary window reaches): after D the continuation is 0 + |D|, which is
  // where the first B starts.
  bytes d = a;
  d[10] ^= 0xFF;
  bytes plain = cat({a, b, d, b});
  coded e = encode(plain);
  EXPECT_EQ(e.out, cat({header_100_1, a, b, d, next_tok}));
  EXPECT_EQ(decode(e.out).out, plain);
}

TEST_F(two_chunks, escapes_only_for_type_bytes_up_to_two) {
  struct {
    uint8_t type;
    bool escaped;
  } cases[] = {{0x00, true}, {0x01, true}, {0x02, true}, {0x03, false}, {0x05, false}, {0xFF, false}};
  for (auto k : cases) {
    bytes c = a;  // the first four bytes lie outside every boundary window
    c[0] = 0xEF;
    c[1] = 0x4D;
    c[2] = 0xB6;
    c[3] = k.type;
    coded e = encode(c);
    bytes want = k.escaped ? cat({header_100_1, esc_tok, c}) : cat({header_100_1, c});
    EXPECT_EQ(e.out, want) << int(k.type);
    EXPECT_EQ(decode(e.out).out, c) << int(k.type);
  }
}

TEST_F(two_chunks, short_final_chunks_go_out_unescaped) {
  const bytes tails[] = {{}, {0xEF}, {0xEF, 0x4D}, {0xEF, 0x4D, 0xB6}};
  for (const bytes& tail : tails) {
    bytes plain = cat({a, tail});
    coded e = encode(plain);
    EXPECT_EQ(e.out, cat({header_100_1, a, tail})) << tail.size();
    coded d = decode(e.out);
    EXPECT_EQ(d.out, plain) << tail.size();
    EXPECT_EQ(d.x, 2u);
  }
}

TEST_F(two_chunks, final_chunk_of_four_plain_bytes) {
  bytes plain = cat({a, {1, 2, 3, 4}});
  coded d = decode(encode(plain).out);
  EXPECT_EQ(d.out, plain);
  EXPECT_EQ(d.sum, plain.size());
}

TEST_F(two_chunks, escape_at_the_end_of_the_stream_is_an_empty_chunk) {
  coded d = decode(cat({header_100_1, a, esc_tok}));
  EXPECT_EQ(d.out, a);
  EXPECT_EQ(d.x, 2u);
  EXPECT_EQ(d.end, loop_done);
}

TEST(records, match_at_the_window_is_literal_and_one_chunk_inside_is_a_token) {
  // With avglen 1 every chunk of random data ends at exactly 64 bytes, so a
  // repeat can be placed at any multiple of 64 back.
  const uint32_t window = 1 << 20;
  bytes src = random_bytes(64, 3);
  for (uint32_t dist : {window - 64, window}) {
    bytes plain = cat({src, random_bytes(dist - 64, 11), src});
    coded e = encode(plain, {.avglen = 1});
    std::size_t want = dist < window ? header_size + dist + tok_far_size : header_size + plain.size();
    EXPECT_EQ(e.out.size(), want) << dist;
    EXPECT_EQ(decode(e.out).out, plain);
  }
}

TEST(records, empty_input_is_the_header_alone) {
  coded e = encode({}, {.avglen = 100, .tbl_mib = 1, .win_mib = 1024});
  EXPECT_EQ(e.out, (bytes{0x64, 0x00, 0x00, 0x04}));
  EXPECT_EQ(e.x, 1u);
  EXPECT_EQ(e.sum, 0u);
  coded d = decode(e.out);
  EXPECT_TRUE(d.out.empty());
  EXPECT_EQ(d.x, 1u);
  EXPECT_EQ(d.sum, 0u);
}

}  // namespace
}  // namespace longdup::test
