// The command line as scripts see it: exact stdout lines and exit statuses.
#include <gtest/gtest.h>

#include <regex>

#include "cli_harness.h"
#include "driver/cli.h"

namespace longdup::test {
namespace {

const std::string default_params = "fma_args1[] = { 100, 256, 1024, };\n";

std::string some_data() {
  std::string s;
  for (int i = 0; i < 200000; i++) s += static_cast<char>((i * 7919) % 251);
  return s + s;
}

TEST(cli, too_few_arguments_print_nothing_on_stdout) {
  scratch t;
  for (auto args : std::vector<std::vector<std::string>>{{}, {"e"}, {"e", "in"}}) {
    cli_result r = t.run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("usage"), std::string::npos);
  }
}

TEST(cli, parameter_line) {
  scratch t;
  spit(t / "in", "hello");
  struct {
    std::vector<std::string> extra;
    std::string line;
  } cases[] = {
      {{}, default_params},
      {{"-300"}, "fma_args1[] = { 300, 256, 1024, };\n"},
      {{"64", "1", "8"}, "fma_args1[] = { 64, 1, 8, };\n"},
      {{"64", "1", "8", "999", "junk"}, "fma_args1[] = { 64, 1, 8, };\n"},
      {{"12k", " 5"}, "fma_args1[] = { 12, 5, 1024, };\n"},
  };
  for (auto& k : cases) {
    std::vector<std::string> args = {"e", (t / "in").string(), (t / "out").string()};
    args.insert(args.end(), k.extra.begin(), k.extra.end());
    cli_result r = t.run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), k.line);
  }
}

TEST(cli, parse_number_reads_like_atoi_after_one_dash) {
  struct {
    const char* arg;
    int32_t value;
  } cases[] = {{"-64", 64}, {"--64", -64}, {"12k", 12}, {"abc", 0}, {"", 0}, {" 7", 7}, {"+9", 9}};
  for (auto k : cases) EXPECT_EQ(parse_number(k.arg), k.value) << k.arg;
}

TEST(cli, encode_prints_sizes_and_statistics_then_decode_restores) {
  scratch t;
  std::string data = some_data();
  spit(t / "in", data);
  cli_result e = t.run({"e", (t / "in").string(), (t / "enc").string()});
  ASSERT_EQ(e.status, 0) << e.err;
  std::regex lines(
      "fma_args1\\[\\] = \\{ 100, 256, 1024, \\};\n"
      "sizeof\\(this\\)=[0-9]+ cfg_tblsize=13421772 cfg_decwinsize=1073741824 sizeof\\(hinf\\)=28 "
      "htbl=[0-9A-F]+\n"
      "sum=400000 x=[0-9]+ avglen=[0-9]+\\.[0-9]\n");
  EXPECT_TRUE(std::regex_match(e.out, lines)) << e.out;
  EXPECT_EQ(e.err, "");
  std::string enc = slurp(t / "enc");
  EXPECT_EQ(enc.substr(0, 4), std::string("\x64\x00\x00\x04", 4));
  EXPECT_LT(enc.size(), data.size());

  cli_result d = t.run({"d", (t / "enc").string(), (t / "dec").string()});
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(slurp(t / "dec"), data);
  // Same statistics in both directions, and no sizes line when decoding.
  std::string stats_e = e.out.substr(e.out.rfind("sum="));
  EXPECT_EQ(d.out, default_params + stats_e);
}

TEST(cli, modes_by_first_character) {
  scratch t;
  spit(t / "in", "abc");
  struct {
    std::string mode;
    bool decodes;
  } cases[] = {{"e", false}, {"x", false}, {"D", false}, {"", false}, {"d", true}, {"decode", true}};
  for (auto& k : cases) {
    cli_result r = t.run({k.mode, (t / "in").string(), (t / "out").string()});
    bool sizes_line = r.out.find("sizeof(this)=") != std::string::npos;
    EXPECT_EQ(sizes_line, !k.decodes) << "mode '" << k.mode << "'";
  }
}

TEST(cli, empty_input_and_wide_window) {
  scratch t;
  spit(t / "empty", "");
  cli_result r = t.run({"e", (t / "empty").string(), (t / "out").string(), "100", "1", "2048"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(" cfg_decwinsize=2147483648 "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("sum=0 x=1 avglen=0.0\n"), std::string::npos) << r.out;
  EXPECT_EQ(slurp(t / "out"), std::string("\x64\x00\x00\x08", 4));
}

TEST(cli, unopenable_files) {
  scratch t;
  spit(t / "in", "abc");
  cli_result missing = t.run({"e", (t / "nope").string(), (t / "out").string()});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, default_params);
  EXPECT_EQ(missing.err.rfind("longdup: " + (t / "nope").string() + ": ", 0), 0u) << missing.err;
  EXPECT_FALSE(fs::exists(t / "out"));

  cli_result no_dir = t.run({"e", (t / "in").string(), (t / "no/such/dir").string()});
  EXPECT_EQ(no_dir.status, 3);
  EXPECT_EQ(no_dir.out, default_params);
}

}  // namespace
}  // namespace longdup::test
