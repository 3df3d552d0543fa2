#include "driver/write_behind.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../chunking/random_bytes.h"

namespace longdup {
namespace {

constexpr std::size_t slab = slab_ring::bytes;

std::vector<uint8_t> pattern(std::size_t n) { return test::random_bytes(n, 8); }

std::vector<uint8_t> file_bytes(std::FILE* f) {
  std::vector<uint8_t> v;
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) v.push_back(static_cast<uint8_t>(c));
  return v;
}

// Every byte arrives once and in order, whatever the sizes of the pieces
// and however they fall on the slab edges.
TEST(write_behind, keeps_bytes_and_order) {
  struct {
    std::size_t total;
    std::size_t piece;
  } cases[] = {
      {0, 1},
      {1, 1},
      {slab - 1, 65536},
      {slab, 65536},
      {slab + 1, 65536},
      {5 * slab + 12345, 65536},  // more slabs than the ring holds
      {3 * slab + 7, 1000003},    // pieces that span slab edges
      {2 * slab, 3 * slab},       // one piece larger than a slab
  };
  for (auto c : cases) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    auto data = pattern(c.total);
    write_behind w;
    ASSERT_TRUE(wb_start(w, fileno(f)));
    for (std::size_t at = 0; at < data.size(); at += c.piece)
      ASSERT_TRUE(wb_write(w, data.data() + at, std::min(c.piece, data.size() - at)));
    ASSERT_TRUE(wb_finish(w, true));
    EXPECT_EQ(file_bytes(f), data) << "total " << c.total << ", pieces of " << c.piece;
    std::fclose(f);
  }
}

// Blocks written in place, in the room wb_buffer hands out, the way the
// coder fills its output block: some full, some short, mixed with copies.
TEST(write_behind, in_place_blocks) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  auto data = pattern(7 * slab + 999);
  write_behind w;
  ASSERT_TRUE(wb_start(w, fileno(f)));
  std::size_t at = 0;
  for (int i = 0; at < data.size(); i++) {
    std::size_t n = std::min<std::size_t>(i % 5 == 4 ? 1000 : 65536, data.size() - at);
    if (i % 7 == 6) {
      ASSERT_TRUE(wb_write(w, data.data() + at, n));
    } else {
      uint8_t* room = wb_buffer(w, 65536);
      ASSERT_NE(room, nullptr);
      std::memcpy(room, data.data() + at, n);
      ASSERT_TRUE(wb_write(w, room, n));
    }
    at += n;
  }
  ASSERT_TRUE(wb_finish(w, true));
  EXPECT_EQ(file_bytes(f), data);
  std::fclose(f);
}

// A failed write is reported with its errno: on a later write when there is
// more to come, at the end when there is not.
TEST(write_behind, reports_the_first_failure) {
  for (std::size_t total : {std::size_t{100}, 6 * slab}) {
    int fd = open("/dev/full", O_WRONLY);
    ASSERT_GE(fd, 0);
    auto data = pattern(total);
    write_behind w;
    ASSERT_TRUE(wb_start(w, fd));
    bool ok = true;
    for (std::size_t at = 0; ok && at < total; at += 65536)
      ok = wb_write(w, data.data() + at, std::min<std::size_t>(65536, total - at));
    if (total > slab) {
      EXPECT_FALSE(ok) << "a failure long before the end must stop the writer";
    }
    EXPECT_FALSE(wb_finish(w, true));
    EXPECT_EQ(wb_error(w), ENOSPC);
    close(fd);
  }
}

// A write to a pipe nobody reads fails with EPIPE where SIGPIPE is ignored,
// as it would on the calling thread.
TEST(write_behind, closed_pipe) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  auto old = std::signal(SIGPIPE, SIG_IGN);
  write_behind w;
  ASSERT_TRUE(wb_start(w, p[1]));
  auto data = pattern(10);
  EXPECT_TRUE(wb_write(w, data.data(), data.size()));
  EXPECT_FALSE(wb_finish(w, true));
  EXPECT_EQ(wb_error(w), EPIPE);
  std::signal(SIGPIPE, old);
  close(p[1]);
}

// An abandoned output is not written on: the thread ends without waiting
// for a reader that may never come.
TEST(write_behind, abandon_does_not_wait_for_the_reader) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  write_behind w;
  ASSERT_TRUE(wb_start(w, p[1]));
  auto data = pattern(slab / 2);
  EXPECT_TRUE(wb_write(w, data.data(), data.size()));
  EXPECT_TRUE(wb_finish(w, false));
  close(p[0]);
  close(p[1]);
}

}  // namespace
}  // namespace longdup
