#include "driver/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "coder/coder.h"
#include "driver/page_alloc.h"
#include "driver/resume_loop.h"

namespace longdup {

namespace {

// The run's state lives in static storage: the coder is large (its save
// area and chunk buffer), and the stack must stay free for the coroutine.
coder the_coder;
uint8_t in_buf[block_size];
uint8_t out_buf[block_size];

int32_t fma_args1[3] = {100, 256, 1024};

// The output file to remove if the run does not finish; read by the signal
// handler, so a plain array.
char doomed_output[4096];

void fail_line(const char* what, const char* problem) {
  std::fprintf(stderr, "longdup: %s: %s\n", what, problem);
}

void remove_partial_output() {
  if (doomed_output[0]) unlink(doomed_output);
  doomed_output[0] = 0;
}

extern "C" void on_signal(int sig) {
  if (doomed_output[0]) unlink(doomed_output);
  _exit(128 + sig);
}

void watch_signals() {
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

// Limits that keep the 32-bit byte counts from wrapping to 0 or a tiny table,
// and avglen within what the header's 16 bits carry.
bool check_params(const int32_t a[3]) {
  char msg[160];
  if (a[0] < 1 || a[0] > 65535) {
    std::snprintf(msg, sizeof msg, "%d is outside 1..65535", a[0]);
    fail_line("avglen", msg);
    return false;
  }
  const char* names[] = {"index size", "window size"};
  for (int i = 1; i < 3; i++) {
    if (a[i] < 1 || a[i] > 4095) {
      std::snprintf(msg, sizeof msg, "%d MiB is outside 1..4095 MiB", a[i]);
      fail_line(names[i - 1], msg);
      return false;
    }
  }
  return true;
}

std::ptrdiff_t file_read(void* ctx, uint8_t* buf, std::size_t n) {
  auto* f = static_cast<std::FILE*>(ctx);
  std::size_t got = std::fread(buf, 1, n, f);
  if (got < n && std::ferror(f)) return -1;
  return static_cast<std::ptrdiff_t>(got);
}

bool file_write(void* ctx, const uint8_t* buf, std::size_t n) {
  return std::fwrite(buf, 1, n, static_cast<std::FILE*>(ctx)) == n;
}

bool same_file(const struct stat& a, const char* path) {
  struct stat b;
  return stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct run_files {
  const char* in_path;
  const char* out_path;
  std::FILE* in;
  std::FILE* out;
};

// Ends a failed run after the output was created: no partial output may be
// left where it could pass for a good one.
int abandon(run_files& f, const char* what, const char* problem, int status) {
  fail_line(what, problem);
  std::fclose(f.out);
  remove_partial_output();
  return status;
}

int run(run_files& f, bool decode) {
  coder& c = the_coder;
  if (decode) {
    prepare_decode(c);
  } else {
    prepare_encode(c, static_cast<uint32_t>(fma_args1[0]),
                   static_cast<uint32_t>(fma_args1[1]) << 20,
                   static_cast<uint32_t>(fma_args1[2]) << 20);
    uint64_t bytes = uint64_t{c.ix.cfg_tblsize} * sizeof(hentry);
    try {
      c.ix.htbl = static_cast<hentry*>(page_alloc_zeroed(bytes));
    } catch (const std::bad_alloc&) {
      return abandon(f, "index size", "out of memory for the index table", exit_memory);
    }
    std::printf("sizeof(this)=%zu cfg_tblsize=%u cfg_decwinsize=%u sizeof(hinf)=%zu htbl=%lX\n",
                sizeof(coder), c.ix.cfg_tblsize, c.ix.cfg_decwinsize, sizeof(hinf),
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c.ix.htbl)));
    std::fflush(stdout);
  }
  loop_end end = resume_loop(c, in_buf, out_buf, {f.in, file_read}, {f.out, file_write});
  if (decode) {
    page_free(c.hist);
    c.hist = nullptr;
  } else {
    page_free(c.ix.htbl);
    c.ix.htbl = nullptr;
  }
  switch (end) {
    case loop_done: break;
    case loop_failed:
      return abandon(f, f.in_path, failure_text(c.failure),
                     c.failure == fail_no_memory ? exit_memory : exit_corrupt);
    case loop_no_table: return abandon(f, f.out_path, "no index table", exit_memory);
    case loop_read_error: return abandon(f, f.in_path, std::strerror(errno), exit_io);
    case loop_write_error: return abandon(f, f.out_path, std::strerror(errno), exit_io);
  }
  if (std::fclose(f.out) != 0) {
    fail_line(f.out_path, std::strerror(errno));
    remove_partial_output();
    return exit_io;
  }
  doomed_output[0] = 0;
  uint64_t q = c.x ? 10 * c.sum / c.x : 0;
  std::printf("sum=%llu x=%llu avglen=%llu.%llu\n", static_cast<unsigned long long>(c.sum),
              static_cast<unsigned long long>(c.x), static_cast<unsigned long long>(q / 10),
              static_cast<unsigned long long>(q % 10));
  return exit_ok;
}

}  // namespace

int32_t parse_number(const char* arg) {
  if (*arg == '-') arg++;
  // atoi's own behaviour, but with the wrap of out-of-range values defined.
  return static_cast<int32_t>(std::strtol(arg, nullptr, 10));
}

int cli_main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: longdup e|d INPUT OUTPUT [AVGLEN [INDEX_MIB [WINDOW_MIB]]]\n");
    return exit_usage;
  }
  for (int i = 4; i < argc && i < 7; i++) fma_args1[i - 4] = parse_number(argv[i]);
  std::printf("fma_args1[] = { ");
  for (int32_t v : fma_args1) std::printf("%i, ", v);
  std::printf("};\n");
  std::fflush(stdout);

  bool decode = argv[1][0] == 'd';
  if (!decode && !check_params(fma_args1)) return exit_params;

  run_files f = {argv[2], argv[3], nullptr, nullptr};
  f.in = std::fopen(f.in_path, "rb");
  if (!f.in) {
    fail_line(f.in_path, std::strerror(errno));
    return exit_input;
  }
  struct stat in_stat;
  if (fstat(fileno(f.in), &in_stat) != 0) {
    fail_line(f.in_path, std::strerror(errno));
    return exit_input;
  }
  if (S_ISDIR(in_stat.st_mode)) {
    fail_line(f.in_path, std::strerror(EISDIR));
    return exit_input;
  }
  // Opening the output truncates it; if it is the input, that would destroy
  // the very data we were asked to read.
  if (same_file(in_stat, f.out_path)) {
    fail_line(f.out_path, "is the input file; refusing to overwrite it");
    return exit_output;
  }
  f.out = std::fopen(f.out_path, "wb");
  if (!f.out) {
    fail_line(f.out_path, std::strerror(errno));
    return exit_output;
  }
  struct stat out_stat;
  if (fstat(fileno(f.out), &out_stat) == 0 && S_ISREG(out_stat.st_mode) &&
      std::strlen(f.out_path) < sizeof doomed_output) {
    std::strcpy(doomed_output, f.out_path);
  }
  watch_signals();
  // Whole blocks go straight to the files; stdio's own buffer would only add
  // a copy.
  std::setvbuf(f.in, nullptr, _IONBF, 0);
  std::setvbuf(f.out, nullptr, _IONBF, 0);
  return run(f, decode);
}

}  // namespace longdup
