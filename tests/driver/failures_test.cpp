// Every failure a user can cause: one line on stderr naming the file or
// parameter, a documented status, and no output file left behind.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "cli_harness.h"
#include "sanitizer.h"

namespace longdup::test {
namespace {

bool starts_with(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// One line, of the form "longdup: <what>: <problem>".
void expect_one_line(const cli_result& r, const std::string& what) {
  EXPECT_TRUE(starts_with(r.err, "longdup: " + what + ": ")) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

std::string encoded_sample(const scratch& t) {
  std::string data;
  for (int i = 0; i < 300000; i++) data += static_cast<char>((i * 2654435761u) >> 13);
  data += data.substr(0, 100000);
  spit(t / "plain", data);
  cli_result r = t.run({"e", (t / "plain").string(), (t / "sample.ld").string(), "100", "1", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  return slurp(t / "sample.ld");
}

TEST(failures, parameters_outside_their_limits) {
  scratch t;
  spit(t / "in", "abc");
  struct {
    std::vector<std::string> nums;
    std::string what;
  } cases[] = {
      {{"0"}, "avglen"},
      {{"65536"}, "avglen"},
      {{"--5"}, "avglen"},
      {{"100", "0"}, "index size"},
      {{"100", "4096"}, "index size"},
      {{"100", "256", "0"}, "window size"},
      {{"100", "256", "4096"}, "window size"},
      {{"100", "256", "8192"}, "window size"},
  };
  for (auto& k : cases) {
    std::vector<std::string> args = {"e", (t / "in").string(), (t / "out").string()};
    args.insert(args.end(), k.nums.begin(), k.nums.end());
    cli_result r = t.run(args);
    EXPECT_EQ(r.status, 4) << k.what;
    expect_one_line(r, k.what);
    EXPECT_FALSE(fs::exists(t / "out")) << "checked before any file is opened";
  }
  // Decoding takes its parameters from the stream, so the numbers do not matter.
  std::string enc = encoded_sample(t);
  cli_result d = t.run({"d", (t / "sample.ld").string(), (t / "out").string(), "0", "0", "0"});
  EXPECT_EQ(d.status, 0) << d.err;
}

TEST(failures, output_that_is_the_input_is_refused_before_truncation) {
  scratch t;
  spit(t / "in", "precious");
  fs::create_hard_link(t / "in", t / "link");
  for (std::string out : {"in", "link"}) {
    cli_result r = t.run({"e", (t / "in").string(), (t / out).string()});
    EXPECT_EQ(r.status, 3);
    expect_one_line(r, (t / out).string());
    EXPECT_EQ(slurp(t / "in"), "precious");
  }
}

TEST(failures, directory_as_input) {
  scratch t;
  cli_result r = t.run({"e", t.dir.string(), (t / "out").string()});
  EXPECT_EQ(r.status, 2);
  expect_one_line(r, t.dir.string());
  EXPECT_FALSE(fs::exists(t / "out"));
}

TEST(failures, corrupt_streams) {
  scratch t;
  std::string enc = encoded_sample(t);
  // avglen 1 cuts every 64 bytes, so the body below is five whole chunks and
  // a token after it starts a record.
  std::string header("\x01\x00\x01\x00", 4);
  std::string marker = "\xEF\x4D\xB6";
  auto far = [&](uint32_t d) {
    std::string s = marker + '\0';
    for (int i = 0; i < 4; i++) s += static_cast<char>(d >> (8 * i));
    return s;
  };
  std::string body(320, 'a');
  struct {
    std::string name;
    std::string stream;
  } cases[] = {
      {"empty", ""},
      {"short_header", header.substr(0, 3)},
      {"avglen_0", std::string("\0\0\x01\0", 4) + body},
      {"window_0", std::string("\x64\0\0\0", 4) + body},
      {"window_field_multiple_of_4096", std::string("\x64\0\0\x10", 4) + body},
      {"far_token_cut_short", header + body + marker + '\0' + "\x05\x01"},
      {"distance_0", header + body + far(0)},
      {"distance_of_the_window", header + body + far(1 << 20)},
      {"distance_before_the_start", header + body + far(321)},
      {"next_token_first", header + marker + '\x02'},
  };
  // The same shapes with sound distances decode, so the cases above fail
  // for the reason they name.
  for (uint32_t d : {64u, 320u}) {
    spit(t / "good.ld", header + body + far(d));
    cli_result ok = t.run({"d", (t / "good.ld").string(), (t / "out").string()});
    EXPECT_EQ(ok.status, 0) << d << ok.err;
    EXPECT_EQ(slurp(t / "out"), body + body.substr(0, 64));
  }
  fs::remove(t / "out");
  for (auto& k : cases) {
    spit(t / "bad.ld", k.stream);
    cli_result r = t.run({"d", (t / "bad.ld").string(), (t / "out").string()});
    EXPECT_EQ(r.status, 5) << k.name;
    expect_one_line(r, (t / "bad.ld").string());
    EXPECT_NE(r.err.find("corrupt"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(t / "out")) << k.name;
  }
}

TEST(failures, full_disk_and_read_errors) {
  scratch t;
  std::string enc = encoded_sample(t);
  cli_result full = t.run({"e", (t / "plain").string(), "/dev/full"});
  EXPECT_EQ(full.status, 6);
  expect_one_line(full, "/dev/full");
  EXPECT_TRUE(fs::exists("/dev/full")) << "a device is never removed";
  cli_result full_d = t.run({"d", (t / "sample.ld").string(), "/dev/full"});
  EXPECT_EQ(full_d.status, 6);

  // Reading this process's memory from address 0 fails with an I/O error.
  cli_result rd = t.run({"e", "/proc/self/mem", (t / "out").string()});
  EXPECT_EQ(rd.status, 6);
  expect_one_line(rd, "/proc/self/mem");
  EXPECT_FALSE(fs::exists(t / "out"));
}

// The address-space limit stands for a machine without the memory.
TEST(failures, out_of_memory_is_reported) {
  if (under_asan) GTEST_SKIP() << "the sanitizer's shadow memory cannot live under the limit";
  scratch t;
  std::string enc = encoded_sample(t);
  std::string limit = "ulimit -v 1000000; ";  // about 1 GB of address space
  std::string big_window = std::string("\x64\0\xFF\x0F", 4) + std::string(1000, 'z');
  spit(t / "big.ld", big_window);
  struct {
    std::vector<std::string> args;
  } cases[] = {
      {{"e", (t / "plain").string(), (t / "out").string(), "100", "4000"}},
      {{"d", (t / "big.ld").string(), (t / "out").string()}},
  };
  for (auto& k : cases) {
    std::string cmd = limit + quote(LONGDUP_BIN);
    for (auto& a : k.args) cmd.append(" ").append(quote(a));
    cmd.append(" >/dev/null 2>").append(quote(t / "err"));
    int raw = std::system(("sh -c " + quote(cmd)).c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 7) << slurp(t / "err");
    EXPECT_NE(slurp(t / "err").find("out of memory"), std::string::npos) << slurp(t / "err");
    EXPECT_FALSE(fs::exists(t / "out"));
  }
}

TEST(failures, signals_remove_the_partial_output) {
  scratch t;
  struct {
    const char* sig;
    int status;
  } cases[] = {{"INT", 130}, {"TERM", 143}};
  for (auto k : cases) {
    // /dev/zero never ends, so the run is surely still going when the
    // signal arrives.
    std::string cmd = quote(LONGDUP_BIN) + " e /dev/zero " + quote(t / "out") +
                      " >/dev/null 2>&1 & pid=$!; "
                      "while [ ! -s " + quote(t / "out") + " ]; do sleep 0.05; done; "
                      "kill -" + k.sig + " $pid; wait $pid; exit $?";
    int raw = std::system(("sh -c " + quote(cmd)).c_str());
    EXPECT_EQ(WEXITSTATUS(raw), k.status) << k.sig;
    EXPECT_FALSE(fs::exists(t / "out")) << k.sig;
  }
}

}  // namespace
}  // namespace longdup::test
