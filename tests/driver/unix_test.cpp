// Conventions of a Unix filter: standard streams, help, version, refusing a
// terminal, the warning for a costly window, and the progress line.
#include <gtest/gtest.h>

#include "cli_harness.h"
#include "longdup/longdup.h"

namespace longdup::test {
namespace {

std::string sample() {
  std::string s;
  for (int i = 0; i < 250000; i++) s += static_cast<char>((i * 40503u) >> 7);
  return s + s + s;
}

// Runs a shell command line; returns its exit status.
int sh(const std::string& cmd) {
  int raw = std::system(("sh -c " + quote(cmd)).c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

TEST(unix, standard_streams_round_trip_and_reports_go_to_stderr) {
  scratch t;
  std::string data = sample();
  spit(t / "in", data);
  std::string bin = quote(LONGDUP_BIN);
  // Through pipes, so that no input size is known and reads come in pieces.
  std::string cmd = "cat " + quote(t / "in") + " | " + bin + " e - - 2>" + quote(t / "e.err") +
                    " | " + bin + " d - - 2>" + quote(t / "d.err") + " | cat >" + quote(t / "out");
  ASSERT_EQ(sh(cmd), 0) << slurp(t / "e.err") << slurp(t / "d.err");
  EXPECT_EQ(slurp(t / "out"), data);
  std::string e_err = slurp(t / "e.err");
  EXPECT_EQ(e_err.rfind("fma_args1[] = { 100, 256, 1024, };\nsizeof(this)=", 0), 0u) << e_err;
  EXPECT_NE(e_err.find("\nsum=750000 x="), std::string::npos) << e_err;

  // A file to standard output keeps the reports off the data too.
  cli_result r = t.run({"e", (t / "in").string(), "-"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 4), std::string("\x64\x00\x00\x04", 4));
  EXPECT_EQ(r.err.rfind("fma_args1[]", 0), 0u);
}

// Inputs and outputs of many 1 MiB slabs, so that the reading and writing
// threads cycle through theirs: file to file, to a pipe, and from a pipe
// (no read-ahead there), and every way restores the same bytes.
TEST(unix, large_files_through_the_io_threads) {
  scratch t;
  std::string block;
  uint32_t x = 12345;
  for (int i = 0; i < 3 << 20; i++) {
    x = x * 1103515245u + 12345u;
    block += static_cast<char>(x >> 23);
  }
  std::string data = block + block.substr(1000) + block;  // repeats far apart, one shifted
  data[5 << 20] ^= 1;
  spit(t / "in", data);
  std::string bin = quote(LONGDUP_BIN), in = quote(t / "in");
  // An index of 64 MiB is large enough for huge pages and the page thread.
  ASSERT_EQ(sh(bin + " e " + in + " " + quote(t / "a.ld") + " 100 64 > /dev/null"), 0);
  ASSERT_EQ(sh(bin + " e " + in + " - 100 64 2>/dev/null | cat > " + quote(t / "b.ld")), 0);
  EXPECT_EQ(slurp(t / "a.ld"), slurp(t / "b.ld"));
  EXPECT_LT(slurp(t / "a.ld").size(), data.size() / 2);
  ASSERT_EQ(sh(bin + " d " + quote(t / "a.ld") + " " + quote(t / "a.out") + " > /dev/null"), 0);
  ASSERT_EQ(sh("cat " + quote(t / "a.ld") + " | " + bin + " d - - 2>/dev/null | cat > " + quote(t / "b.out")), 0);
  EXPECT_TRUE(slurp(t / "a.out") == data);
  EXPECT_TRUE(slurp(t / "b.out") == data);
}

TEST(unix, help_version_and_usage_hint) {
  scratch t;
  for (std::string flag : {"--help", "-h"}) {
    cli_result r = t.run({flag});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: longdup e INPUT OUTPUT"), std::string::npos);
    EXPECT_NE(r.out.find("Exit status"), std::string::npos);
    EXPECT_EQ(r.err, "");
  }
  cli_result v = t.run({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, std::string("longdup ") + longdup::version() + "\n");
  cli_result few = t.run({"e", "x"});
  EXPECT_EQ(few.status, 1);
  EXPECT_EQ(few.out, "");
  EXPECT_EQ(std::count(few.err.begin(), few.err.end(), '\n'), 1);
}

TEST(unix, costly_window_is_announced_and_the_run_goes_on) {
  scratch t;
  spit(t / "in", "abc");
  cli_result big = t.run({"e", (t / "in").string(), (t / "out").string(), "100", "256", "4095"});
  EXPECT_EQ(big.status, 0);
  EXPECT_NE(big.err.find("longdup: window size: 4095 MiB costs 1366 index sweep steps"),
            std::string::npos) << big.err;
  EXPECT_NE(big.err.find("3072 MiB or less keeps it to 2"), std::string::npos) << big.err;
  cli_result fine = t.run({"e", (t / "in").string(), (t / "out").string(), "100", "256", "3072"});
  EXPECT_EQ(fine.err, "");
}

bool have_script() { return sh("command -v script >/dev/null") == 0; }

TEST(unix, encoded_data_is_never_written_to_a_terminal) {
  if (!have_script()) GTEST_SKIP() << "script(1) is not installed";
  scratch t;
  spit(t / "in", "abc");
  // script gives the command a terminal as its standard output.
  std::string cmd = "script -qec " + quote(quote(LONGDUP_BIN) + " e " + quote(t / "in") + " -") +
                    " /dev/null >" + quote(t / "tty");
  EXPECT_EQ(sh(cmd), 3);
  EXPECT_NE(slurp(t / "tty").find("longdup: -: refusing to write encoded data to a terminal"),
            std::string::npos) << slurp(t / "tty");
}

TEST(unix, progress_line_on_a_terminal_is_drawn_and_erased) {
  if (!have_script()) GTEST_SKIP() << "script(1) is not installed";
  scratch t;
  // A slow producer keeps the run going for about two seconds.
  std::string slow = "for i in 1 2 3 4 5 6 7 8; do head -c 1000000 /dev/urandom; sleep 0.3; done";
  std::string inner = "(" + slow + ") | " + quote(LONGDUP_BIN) + " e - " + quote(t / "out") + " 100 8 8";
  std::string cmd = "script -qec " + quote(inner) + " /dev/null >" + quote(t / "tty");
  ASSERT_EQ(sh(cmd), 0) << slurp(t / "tty");
  std::string tty = slurp(t / "tty");
  EXPECT_NE(tty.find("\rlongdup: "), std::string::npos) << tty;
  EXPECT_NE(tty.find("B/s, output "), std::string::npos) << tty;
  EXPECT_NE(tty.find("\r\033[K"), std::string::npos) << "the line is erased at the end";
  EXPECT_NE(tty.find("sum=8000000 x="), std::string::npos);

  // Not a terminal: nothing of the sort.
  cli_result r = t.run({"e", (t / "out").string(), (t / "out2").string()});
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
}

}  // namespace
}  // namespace longdup::test
