#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "coder/format.h"

namespace {

using namespace longdup;
using bytes = std::vector<uint8_t>;

constexpr uint32_t last_pos = pos_period - 1;  // 0xFFFEFFFF, the highest position

TEST(format, token_bytes) {
  EXPECT_EQ(chunk_marker[0], 0xEF);
  EXPECT_EQ(chunk_marker[1], 0x4D);
  EXPECT_EQ(chunk_marker[2], 0xB6);
  EXPECT_EQ(tok_far, 0);
  EXPECT_EQ(tok_escape, 1);
  EXPECT_EQ(tok_next, 2);
  EXPECT_EQ(tok_far_size, 8u);
  EXPECT_EQ(tok_short_size, 4u);
  EXPECT_EQ(header_size, 4u);
  EXPECT_EQ(pos_period, 0xFFFF0000u);
}

TEST(format, pos_advance) {
  struct {
    uint32_t pos, len, next;
  } cases[] = {
      {0, 0, 0},
      {0, 64, 64},
      {1000, 0xFFFF, 1000 + 0xFFFF},
      {0xFFFEFF00, 0x200, 0x100},  // across the wrap
      {0xFFFEFF00, 0xFF, 0xFFFEFFFF},
      {0xFFFEFF00, 0x100, 0},
      {0xFFFEFF00, 0x101, 1},
      {last_pos, 1, 0},
      {last_pos, 0xFFFF, 0xFFFE},  // the largest sum, 0xFFFFFFFE, does not overflow 32 bits
      {0xFFFE0000, 0xFFFF, 0xFFFEFFFF},
      {0xFFFE0001, 0xFFFF, 0},
      {last_pos, 0, last_pos},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pos_advance(c.pos, c.len), c.next) << std::hex << c.pos << " + " << c.len;
    // The same as the sum modulo the period.
    EXPECT_EQ(pos_advance(c.pos, c.len), (uint64_t{c.pos} + c.len) % pos_period);
  }
}

TEST(format, pos_distance) {
  struct {
    uint32_t pos, src, dist;
  } cases[] = {
      {100, 40, 60},
      {0x100, 0xFFFEFF00, 0x200},  // back across the wrap
      {0, last_pos, 1},
      {0x100, last_pos, 0x101},
      {last_pos, 0, last_pos},
      {1, 0, 1},
      {0x40000000, 0, 0x40000000},
      {0, 0, pos_period},  // a source equal to the position is a whole period back
      {0x12345678, 0x12345678, pos_period},
      {0x100, 0x101, pos_period - 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pos_distance(c.pos, c.src), c.dist) << std::hex << c.src << " from " << c.pos;
    // The same as the difference modulo the period, a zero difference
    // counting as a whole period.
    uint64_t d = (uint64_t{c.pos} + pos_period - c.src) % pos_period;
    EXPECT_EQ(pos_distance(c.pos, c.src), d ? d : pos_period);
  }
}

TEST(format, pos_source_inverts_pos_distance) {
  const uint32_t points[] = {0,          1,          2,          63,         64,         0x100,
                             0xFFFF,     0x10000,    0x40000000, 0x7FFFFFFF, 0x80000000, 0xFFFE0000,
                             0xFFFEFEFF, 0xFFFEFF00, 0xFFFEFFFE, last_pos};
  for (uint32_t pos : points) {
    for (uint32_t src : points) {
      uint32_t d = pos_distance(pos, src);
      uint32_t back = pos_source(pos, d);
      if (src == 0 && pos != 0) {
        // A distance of exactly pos leads back to 0xFFFF0000, the period
        // itself: the same place as 0 modulo the period, and what the reader
        // keeps as its last source. See continuation_from_the_stream_start.
        EXPECT_EQ(back, pos_period) << std::hex << "pos " << pos;
      } else {
        EXPECT_EQ(back, src) << std::hex << "pos " << pos << ", src " << src;
      }
      EXPECT_EQ(pos_distance(pos, back), d) << std::hex << "pos " << pos << ", src " << src;
    }
  }
}

TEST(format, pos_source) {
  struct {
    uint32_t pos, dist, src;
  } cases[] = {
      {0x100, 0x200, 0xFFFEFF00},
      {100, 60, 40},
      {100, 100, 0xFFFF0000},
      {0, 1, last_pos},
      {0x100, 0x101, last_pos},
      {0x12345678, pos_period, 0x12345678},
  };
  for (const auto& c : cases) EXPECT_EQ(pos_source(c.pos, c.dist), c.src) << std::hex << c.dist << " back from " << c.pos;
}

TEST(format, reach) {
  const uint32_t w = 1024u << 20;
  EXPECT_TRUE(in_reach(w - 1, w));
  EXPECT_FALSE(in_reach(w, w));
  EXPECT_FALSE(in_reach(w + 1, w));
  EXPECT_TRUE(in_reach(64, w));
  EXPECT_FALSE(in_reach(pos_period, 0xFFF00000));  // a whole period back never is
  EXPECT_FALSE(in_reach(0, 0));                    // a window of 0 reaches nothing
}

TEST(format, continuation_is_not_reduced) {
  EXPECT_EQ(continuation(0, 100), 100u);
  EXPECT_EQ(continuation(0xFFFEFFF0, 0x100), 0xFFFF00F0u);
  EXPECT_EQ(continuation(0xFFFFFFF0, 0x100), 0xF0u);  // wraps at 2^32 only
}

// Both sides follow the continuation: the writer from the position its index
// lookup returned, the reader from the position that it computes back from
// each token's distance. The two positions may differ by a period, but the
// tok_next distance that the reader derives must be the writer's.
struct stream_sides {
  uint32_t pos = 0;
  uint32_t writer_src = 0, reader_src = 0;
  uint32_t writer_next = 0, reader_next = 0;

  // A chunk of `len` bytes that repeats the one at `src`. Returns whether the
  // writer sends it as tok_next; checks that a tok_far distance or the
  // reader's tok_next distance lead back to `src`.
  bool reference(uint32_t src, uint32_t len) {
    bool next = src == writer_next;
    uint32_t d = next ? pos_distance(pos, reader_next) : pos_distance(pos, src);
    EXPECT_EQ(d, pos_distance(pos, src)) << "the reader would copy from elsewhere";
    writer_src = src;
    reader_src = pos_source(pos, d);
    end_chunk(len);
    return next;
  }
  void literal(uint32_t len) { end_chunk(len); }
  void end_chunk(uint32_t len) {
    pos = pos_advance(pos, len);
    writer_next = continuation(writer_src, len);
    reader_next = continuation(reader_src, len);
  }
};

TEST(format, abab_gives_far_then_next) {
  // Plain stream A B A B: the body is A, B, tok_far with a + b, tok_next.
  for (uint32_t a : {64u, 100u, 65535u}) {
    for (uint32_t b : {64u, 777u, 65535u}) {
      stream_sides s;
      s.literal(a);
      s.literal(b);
      EXPECT_EQ(pos_distance(s.pos, 0), a + b);
      EXPECT_FALSE(s.reference(0, a)) << "third chunk";
      EXPECT_TRUE(s.reference(a, b)) << "fourth chunk";
      EXPECT_EQ(s.pos, 2 * (a + b));
    }
  }
}

TEST(format, first_reference_can_be_tok_next) {
  // Chunks A, B, D, B with D as long as A: no match yet, so the last source
  // is 0, and after D the continuation is a, where the first B lies.
  const uint32_t a = 300, b = 500;
  stream_sides s;
  s.literal(a);
  s.literal(b);
  s.literal(a);
  EXPECT_EQ(s.writer_next, a);
  EXPECT_EQ(s.reader_next, a);
  EXPECT_TRUE(s.reference(a, b));
}

TEST(format, continuation_from_the_stream_start) {
  // A reference to position 0 leaves the reader's last source at the period
  // rather than 0; the next tok_next still resolves to the writer's source.
  stream_sides s;
  s.literal(1000);
  s.literal(2000);
  s.literal(500);
  EXPECT_FALSE(s.reference(0, 1000));
  EXPECT_EQ(s.writer_src, 0u);
  EXPECT_EQ(s.reader_src, pos_period);
  EXPECT_TRUE(s.reference(1000, 2000));
  EXPECT_EQ(s.reader_src, 1000u);
}

TEST(format, references_across_the_position_wrap) {
  stream_sides s;
  s.pos = 0xFFFEFF00;
  s.literal(0x200);  // the source chunk straddles the wrap
  ASSERT_EQ(s.pos, 0x100u);
  s.literal(0x300);
  EXPECT_EQ(pos_distance(s.pos, 0xFFFEFF00), 0x500u);
  EXPECT_FALSE(s.reference(0xFFFEFF00, 0x200));
  EXPECT_EQ(s.reader_src, 0xFFFEFF00u);
  // The continuation behind that source is 0xFFFF0100, not reduced modulo
  // the period, so it never equals the stored position 0x100 of the chunk
  // that followed: the writer sends a tok_far, which needs no continuation.
  EXPECT_EQ(s.writer_next, 0xFFFF0100u);
  EXPECT_FALSE(s.reference(0x100, 0x300));
  EXPECT_EQ(s.reader_src, 0x100u);
}

TEST(format, header_write) {
  struct {
    uint32_t avglen, window_mib;
    uint8_t bytes[4];
  } cases[] = {
      {100, 1024, {0x64, 0x00, 0x00, 0x04}},
      {1, 1, {0x01, 0x00, 0x01, 0x00}},
      {65535, 4095, {0xFF, 0xFF, 0xFF, 0x0F}},
      {0x1234, 256, {0x34, 0x12, 0x00, 0x01}},
      {100, 0, {0x64, 0x00, 0x00, 0x00}},
  };
  for (const auto& c : cases) {
    uint8_t out[header_size];
    header_write(out, c.avglen, c.window_mib << 20);
    EXPECT_EQ(bytes(out, out + 4), bytes(c.bytes, c.bytes + 4)) << c.avglen << ", " << c.window_mib << " MiB";
    stream_header h = header_read(out);
    EXPECT_EQ(h.avglen, c.avglen);
    EXPECT_EQ(h.window, c.window_mib << 20);
  }
}

TEST(format, header_read_keeps_the_low_12_bits_of_the_window) {
  struct {
    uint8_t bytes[4];
    uint32_t avglen, window;
  } cases[] = {
      {{0x64, 0x00, 0x00, 0x04}, 100, 0x40000000},
      {{0x64, 0x00, 0x00, 0x14}, 100, 0x40000000},
      {{0x00, 0x00, 0xFF, 0xFF}, 0, 0xFFF00000},
      {{0xFF, 0xFF, 0x00, 0x10}, 65535, 0},
      {{0x01, 0x00, 0x01, 0xF0}, 1, 0x00100000},
  };
  for (const auto& c : cases) {
    stream_header h = header_read(c.bytes);
    EXPECT_EQ(h.avglen, c.avglen);
    EXPECT_EQ(h.window, c.window) << std::hex << int(c.bytes[2]) << " " << int(c.bytes[3]);
  }
}

TEST(format, token_type) {
  struct {
    uint8_t head[4];
    int type;
  } cases[] = {
      {{0xEF, 0x4D, 0xB6, 0x00}, tok_far},  {{0xEF, 0x4D, 0xB6, 0x01}, tok_escape},
      {{0xEF, 0x4D, 0xB6, 0x02}, tok_next}, {{0xEF, 0x4D, 0xB6, 0x03}, -1},
      {{0xEF, 0x4D, 0xB6, 0x05}, -1},       {{0xEF, 0x4D, 0xB6, 0x80}, -1},
      {{0xEF, 0x4D, 0xB6, 0xFF}, -1},       {{0xEE, 0x4D, 0xB6, 0x00}, -1},
      {{0xEF, 0x4C, 0xB6, 0x01}, -1},       {{0xEF, 0x4D, 0xB7, 0x02}, -1},
      {{0x00, 0x00, 0x00, 0x00}, -1},       {{0xB6, 0x4D, 0xEF, 0x00}, -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(token_type(c.head), c.type) << std::hex << int(c.head[0]) << " " << int(c.head[1]) << " "
                                          << int(c.head[2]) << " " << int(c.head[3]);
}

TEST(format, needs_escape) {
  struct {
    bytes chunk;
    bool escape;
  } cases[] = {
      {{0xEF, 0x4D, 0xB6, 0x00}, true},
      {{0xEF, 0x4D, 0xB6, 0x01}, true},
      {{0xEF, 0x4D, 0xB6, 0x02}, true},
      {{0xEF, 0x4D, 0xB6, 0x00, 0x12, 0x34}, true},
      {{0xEF, 0x4D, 0xB6, 0x01, 0xEF, 0x4D, 0xB6, 0x01}, true},
      {{0xEF, 0x4D, 0xB6, 0x03}, false},
      {{0xEF, 0x4D, 0xB6, 0x05, 0x00}, false},
      {{0xEF, 0x4D, 0xB6, 0xFF}, false},
      {{0xEF, 0x4D, 0xB6}, false},  // shorter than a token: only ever a last chunk
      {{0xEF, 0x4D}, false},
      {{0xEF}, false},
      {{}, false},
      {{0xEE, 0x4D, 0xB6, 0x00}, false},
      {{0xEF, 0x4C, 0xB6, 0x00}, false},
      {{0xEF, 0x4D, 0xB7, 0x00}, false},
      {{0x00, 0xEF, 0x4D, 0xB6, 0x00}, false},  // only the first four bytes count
  };
  for (const auto& c : cases) {
    std::string shown;
    for (uint8_t b : c.chunk) shown += std::to_string(b) + " ";
    EXPECT_EQ(needs_escape(c.chunk.data(), c.chunk.size()), c.escape) << "[" << shown << "]";
  }
  // The length decides, not the bytes beyond it.
  const uint8_t tok[4] = {0xEF, 0x4D, 0xB6, 0x00};
  EXPECT_FALSE(needs_escape(tok, 3));
  EXPECT_TRUE(needs_escape(tok, 4));
}

}  // namespace
