// Runs the real binary as a user would and captures what it says.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace longdup::test {

namespace fs = std::filesystem;

struct cli_result {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void spit(const fs::path& p, const std::string& data) {
  std::ofstream f(p, std::ios::binary);
  f << data;
}

inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q.append("'\\''");
    else q.push_back(c);
  }
  q.push_back('\'');
  return q;
}

// A scratch directory per test, removed afterwards.
struct scratch {
  fs::path dir;
  scratch() {
    char tmpl[] = "/tmp/longdup-test-XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~scratch() { fs::remove_all(dir); }
  fs::path operator/(const std::string& name) const { return dir / name; }

  cli_result run(const std::vector<std::string>& args, const std::string& stdin_path = "/dev/null") const {
    std::string cmd = quote(LONGDUP_BIN);
    for (const std::string& a : args) cmd.append(" ").append(quote(a));
    cmd.append(" <").append(quote(stdin_path));
    cmd.append(" >").append(quote(dir / ".stdout"));
    cmd.append(" 2>").append(quote(dir / ".stderr"));
    int raw = std::system(cmd.c_str());
    cli_result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    r.out = slurp(dir / ".stdout");
    r.err = slurp(dir / ".stderr");
    fs::remove(dir / ".stdout");
    fs::remove(dir / ".stderr");
    return r;
  }
};

}  // namespace longdup::test
