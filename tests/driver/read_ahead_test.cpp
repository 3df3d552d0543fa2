#include "driver/read_ahead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "../chunking/random_bytes.h"

namespace longdup {
namespace {

constexpr std::size_t slab = slab_ring::bytes;

std::vector<uint8_t> pattern(std::size_t n) { return test::random_bytes(n, 7); }

std::FILE* file_with(const std::vector<uint8_t>& data) {
  std::FILE* f = std::tmpfile();
  if (f && !data.empty()) std::fwrite(data.data(), 1, data.size(), f);
  if (f) std::fflush(f);
  if (f) std::rewind(f);
  return f;
}

// Every byte comes out once and in order, the end is reported as 0 and
// keeps being reported, whatever the request size and however the file's
// length falls on the slab edges.
TEST(read_ahead, keeps_bytes_and_order) {
  struct {
    std::size_t size;
    std::size_t ask;
  } cases[] = {
      {0, 65536},          {1, 65536},     {slab - 1, 65536}, {slab, 65536},
      {slab + 1, 65536},   {5 * slab + 3, 65536},             // more slabs than the ring holds
      {2 * slab + 17, 1000}, {3 * slab, 3 * slab},            // asks that do not divide a slab, or exceed it
  };
  for (auto c : cases) {
    auto data = pattern(c.size);
    std::FILE* f = file_with(data);
    ASSERT_NE(f, nullptr);
    read_ahead a;
    ASSERT_TRUE(ra_start(a, fileno(f)));
    std::vector<uint8_t> got;
    for (;;) {
      const uint8_t* p = nullptr;
      std::ptrdiff_t n = ra_borrow(a, &p, c.ask);
      ASSERT_GE(n, 0);
      ASSERT_LE(static_cast<std::size_t>(n), c.ask);
      if (n == 0) break;
      got.insert(got.end(), p, p + n);
    }
    const uint8_t* p = nullptr;
    EXPECT_EQ(ra_borrow(a, &p, c.ask), 0) << "the end is reported again";
    ra_finish(a);
    EXPECT_EQ(got, data) << "size " << c.size << ", asking " << c.ask;
    std::fclose(f);
  }
}

// A read that fails is reported with its errno, not taken for the end.
TEST(read_ahead, failed_read) {
  int fd = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  read_ahead a;
  ASSERT_TRUE(ra_start(a, fd));
  const uint8_t* p = nullptr;
  EXPECT_EQ(ra_borrow(a, &p, 65536), -1);
  EXPECT_EQ(ra_error(a), EISDIR);
  ra_finish(a);
  close(fd);
}

// A run that ends early (its output failed) stops the thread at once, with
// slabs still full and the thread waiting for room.
TEST(read_ahead, stops_before_the_end) {
  auto data = pattern(8 * slab);
  std::FILE* f = file_with(data);
  ASSERT_NE(f, nullptr);
  read_ahead a;
  ASSERT_TRUE(ra_start(a, fileno(f)));
  const uint8_t* p = nullptr;
  ASSERT_EQ(ra_borrow(a, &p, 100), 100);
  EXPECT_EQ(std::vector<uint8_t>(p, p + 100), std::vector<uint8_t>(data.begin(), data.begin() + 100));
  usleep(20000);
  ra_finish(a);
  std::fclose(f);
}

}  // namespace
}  // namespace longdup
