#include "driver/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/job.h"
#include "driver/page_alloc.h"
#include "driver/read_ahead.h"
#include "driver/write_behind.h"
#include "longdup/longdup.h"

namespace longdup {

namespace {

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

const char usage_line[] = "usage: longdup e|d INPUT OUTPUT [AVGLEN [INDEX_MIB [WINDOW_MIB]]]\n";

const char help_text[] =
    "longdup: remove long-range repeats from a stream, and put them back\n"
    "\n"
    "usage: longdup e INPUT OUTPUT [AVGLEN [INDEX_MIB [WINDOW_MIB]]]   encode\n"
    "       longdup d INPUT OUTPUT                                    decode\n"
    "       longdup --help | --version\n"
    "\n"
    "The first character of the mode decides: d decodes, anything else encodes.\n"
    "INPUT or OUTPUT may be - for standard input or output; the report lines then\n"
    "go to standard error. Encoded data is never written to a terminal.\n"
    "\n"
    "  AVGLEN      average chunk length in bytes beyond the 64-byte minimum,\n"
    "              1..65535 (default 100); stored in the stream\n"
    "  INDEX_MIB   index size, 1..4095 MiB (default 256): 20 bytes per chunk\n"
    "              remembered; memory is committed only as the index fills\n"
    "  WINDOW_MIB  how far back a repeat may lie, 1..4095 MiB (default 1024);\n"
    "              stored in the stream; decoding keeps this much history, up\n"
    "              to the length of the output\n"
    "\n"
    "The index is swept once per (4096 MiB - window) of input. Above 3072 MiB\n"
    "every chunk costs many sweep steps (1366 per 100-byte chunk at 4095 MiB\n"
    "with the default index): keep the window at 3072 MiB or less.\n"
    "\n"
    "Exit status: 0 done, 1 too few arguments, 2 input cannot be opened,\n"
    "3 output cannot be created (or is the input, or a terminal), 4 a parameter\n"
    "outside its limits, 5 corrupt encoded stream, 6 read or write error,\n"
    "7 out of memory, 130/143 interrupted. A failed run leaves no output file.\n"
    "\n"
    "example:\n"
    "  tar cf - dir | longdup e - - | zstd -T0 > backup.tar.ld.zst\n"
    "  zstd -dc backup.tar.ld.zst | longdup d - - | tar xf -\n";

// Index sweep steps for one chunk of `len` bytes.
uint64_t sweep_steps(uint32_t index_mib, uint32_t window_mib, uint32_t len) {
  uint64_t slots = (uint64_t{index_mib} << 20) / 20;
  uint64_t span = 0xFFFF0000ull - (uint64_t{window_mib} << 20);
  return slots * len / span + 1;
}

void warn_costly_window(const params& p) {
  if (p.window_mib <= 3072) return;
  std::fprintf(stderr,
               "longdup: window size: %u MiB costs %llu index sweep steps per 100-byte chunk "
               "(slow: hours per GB with a large index); a window of 3072 MiB or less keeps it "
               "to %llu\n",
               p.window_mib,
               static_cast<unsigned long long>(sweep_steps(p.index_mib, p.window_mib, 100)),
               static_cast<unsigned long long>(sweep_steps(p.index_mib, 3072, 100)));
}

double now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// What the progress line shows, updated from the read and write callbacks.
struct progress {
  bool on;
  uint64_t total;     // input size, 0 when unknown
  uint64_t in;
  uint64_t out;
  double start;
  double next;        // when the line may be drawn next
  bool drawn;
};

std::string human(double bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  int u = 0;
  while (bytes >= 1000 && u < 4) {
    bytes /= 1000;
    u++;
  }
  char s[32];
  std::snprintf(s, sizeof s, u ? "%.2f %s" : "%.0f %s", bytes, units[u]);
  return s;
}

void draw(progress& pg) {
  double t = now();
  if (t < pg.next) return;
  pg.next = t + 0.25;
  if (t - pg.start < 1.0) return;  // short runs show nothing
  std::string line = "longdup: " + human(static_cast<double>(pg.in));
  if (pg.total) {
    char pct[16];
    std::snprintf(pct, sizeof pct, " (%.0f%%)", 100.0 * pg.in / pg.total);
    line += " of " + human(static_cast<double>(pg.total)) + pct;
  }
  line += ", " + human(pg.in / (t - pg.start)) + "/s";
  if (pg.in) {
    char ratio[40];
    std::snprintf(ratio, sizeof ratio, ", output %.1f%% of input", 100.0 * pg.out / pg.in);
    line += ratio;
  }
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  pg.drawn = true;
}

void erase(progress& pg) {
  if (pg.drawn) std::fprintf(stderr, "\r\033[K");
  pg.drawn = false;
}

struct file_io {
  int fd;
  int err;
  progress* pg;
  write_behind* wb;  // the output's writing thread, if it has one
  read_ahead* ra;    // the input's reading thread, if it has one
};

void count_read(file_io* f, std::size_t n) {
  if (!f->pg->on) return;
  f->pg->in += n;
  draw(*f->pg);
}

std::ptrdiff_t file_read(void* ctx, uint8_t* buf, std::size_t n) {
  auto* f = static_cast<file_io*>(ctx);
  std::size_t got = 0;
  // A pipe hands over what it has; fill the block so that blocks are whole.
  while (got < n) {
    ssize_t r = read(f->fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      f->err = errno;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  count_read(f, got);
  return static_cast<std::ptrdiff_t>(got);
}

std::ptrdiff_t file_borrow(void* ctx, const uint8_t** data, std::size_t n) {
  auto* f = static_cast<file_io*>(ctx);
  std::ptrdiff_t got = ra_borrow(*f->ra, data, n);
  if (got < 0) {
    f->err = ra_error(*f->ra);
    return -1;
  }
  count_read(f, static_cast<std::size_t>(got));
  return got;
}

bool file_write(void* ctx, const uint8_t* buf, std::size_t n) {
  auto* f = static_cast<file_io*>(ctx);
  f->pg->out += n;
  if (f->wb) {
    if (wb_write(*f->wb, buf, n)) return true;
    f->err = wb_error(*f->wb);
    return false;
  }
  while (n) {
    ssize_t w = write(f->fd, buf, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      f->err = w < 0 ? errno : EIO;
      return false;
    }
    buf += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

uint8_t* file_buffer(void* ctx, std::size_t n) {
  auto* f = static_cast<file_io*>(ctx);
  return f->wb ? wb_buffer(*f->wb, n) : nullptr;
}

bool same_file(const struct stat& a, const char* path) {
  struct stat b;
  return stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct run_files {
  const char* in_path;
  const char* out_path;
  file_io in;
  file_io out;
  bool in_regular;  // the input is a regular file
};

// Ends a failed run after the output was created: no partial output may be
// left where it could pass for a good one.
int abandon(run_files& f, const char* what, const char* problem, int status) {
  fail_line(what, problem);
  if (f.in.ra) ra_finish(*f.in.ra);
  if (f.out.wb) wb_finish(*f.out.wb, false);
  if (f.out.fd > 1) close(f.out.fd);
  remove_partial_output();
  return status;
}

const char* shown(const char* path) { return std::strcmp(path, "-") == 0 ? "(stdin)" : path; }

int run(run_files& f, bool decode, const params& p, std::FILE* info, progress& pg) {
  read_ahead ra;
  if (f.in_regular && ra_start(ra, f.in.fd)) f.in.ra = &ra;
  source src{&f.in, file_read, f.in.ra ? file_borrow : nullptr};
  sink dst{&f.out, file_write, file_buffer};
  // The second core commits fresh pages and writes the output while this
  // one codes.
  page_commit_background();
  job* j = decode ? job_open_decode(src, dst) : job_open_encode(p, src, dst);
  if (!j) return abandon(f, "job", "out of memory", exit_memory);
  if (!decode && j->r) {
    const coder& c = j->c;
    std::fprintf(info, "sizeof(this)=%zu cfg_tblsize=%u cfg_decwinsize=%u sizeof(hinf)=%zu htbl=%lX\n",
                 sizeof(coder), c.ix.cfg_tblsize, c.ix.cfg_decwinsize, sizeof(hinf),
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c.ix.htbl)));
    std::fflush(info);
  }
  write_behind wb;
  if (wb_start(wb, f.out.fd)) f.out.wb = &wb;
  pg.start = now();
  pg.next = pg.start + 1.0;
  while (job_step(j)) {
  }
  erase(pg);
  result r = job_close(j);
  if (f.in.ra) ra_finish(ra);
  if (r && f.out.wb && !wb_finish(wb, true)) {
    r.code = status::io;
    r.what = "output";
    f.out.err = wb_error(wb);
  }
  if (!r) {
    const char* what = r.what.c_str();
    std::string problem = r.problem;
    if (r.what == "input") what = shown(f.in_path);
    if (r.what == "output") what = f.out_path;
    if (r.code == status::io) {
      int err = r.what == "input" ? f.in.err : f.out.err;
      problem = std::string(r.what == "input" ? "read error: " : "write error: ") + std::strerror(err);
    }
    return abandon(f, what, problem.c_str(), static_cast<int>(r.code));
  }
  if (f.out.fd > 1 && close(f.out.fd) != 0) {
    fail_line(f.out_path, std::strerror(errno));
    remove_partial_output();
    return exit_io;
  }
  doomed_output[0] = 0;
  uint64_t q = r.chunks ? 10 * r.bytes / r.chunks : 0;
  std::fprintf(info, "sum=%llu x=%llu avglen=%llu.%llu\n", static_cast<unsigned long long>(r.bytes),
               static_cast<unsigned long long>(r.chunks), static_cast<unsigned long long>(q / 10),
               static_cast<unsigned long long>(q % 10));
  return exit_ok;
}

int open_input(run_files& f, struct stat& st) {
  if (std::strcmp(f.in_path, "-") == 0) {
    f.in.fd = 0;
  } else {
    f.in.fd = open(f.in_path, O_RDONLY | O_CLOEXEC);
    if (f.in.fd < 0) {
      fail_line(f.in_path, std::strerror(errno));
      return exit_input;
    }
  }
  if (fstat(f.in.fd, &st) != 0) {
    fail_line(shown(f.in_path), std::strerror(errno));
    return exit_input;
  }
  if (S_ISDIR(st.st_mode)) {
    fail_line(shown(f.in_path), std::strerror(EISDIR));
    return exit_input;
  }
  return exit_ok;
}

int open_output(run_files& f, const struct stat& in_st, bool decode) {
  if (std::strcmp(f.out_path, "-") == 0) {
    if (!decode && isatty(1)) {
      fail_line("-", "refusing to write encoded data to a terminal");
      return exit_output;
    }
    f.out.fd = 1;
    return exit_ok;
  }
  // Opening the output truncates it; if it is the input, that would destroy
  // the very data we were asked to read.
  if (same_file(in_st, f.out_path)) {
    fail_line(f.out_path, "is the input file; refusing to overwrite it");
    return exit_output;
  }
  f.out.fd = open(f.out_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (f.out.fd < 0) {
    fail_line(f.out_path, std::strerror(errno));
    return exit_output;
  }
  struct stat st;
  if (fstat(f.out.fd, &st) == 0 && S_ISREG(st.st_mode) &&
      std::strlen(f.out_path) < sizeof doomed_output) {
    std::strcpy(doomed_output, f.out_path);
  }
  return exit_ok;
}

}  // namespace

int32_t parse_number(const char* arg) {
  if (*arg == '-') arg++;
  // atoi's own behaviour, but with the wrap of out-of-range values defined.
  return static_cast<int32_t>(std::strtol(arg, nullptr, 10));
}

int cli_main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(help_text, stdout);
    return exit_ok;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("longdup %s\n", version());
    return exit_ok;
  }
  if (argc < 4) {
    std::fputs(usage_line, stderr);
    return exit_usage;
  }
  // With the data on standard output, the report lines go to standard error.
  std::FILE* info = std::strcmp(argv[3], "-") == 0 ? stderr : stdout;
  for (int i = 4; i < argc && i < 7; i++) fma_args1[i - 4] = parse_number(argv[i]);
  std::fprintf(info, "fma_args1[] = { ");
  for (int32_t v : fma_args1) std::fprintf(info, "%i, ", v);
  std::fprintf(info, "};\n");
  std::fflush(info);

  bool decode = argv[1][0] == 'd';
  params p;
  if (!decode) {
    // A negative number reads as a huge unsigned one and fails the limits.
    p = {static_cast<uint32_t>(fma_args1[0]), static_cast<uint32_t>(fma_args1[1]),
         static_cast<uint32_t>(fma_args1[2])};
    result bad;
    if (!check_params(p, bad)) {
      if (fma_args1[0] < 0 || fma_args1[1] < 0 || fma_args1[2] < 0) {
        char msg[64];
        int i = fma_args1[0] < 0 ? 0 : fma_args1[1] < 0 ? 1 : 2;
        std::snprintf(msg, sizeof msg, i ? "%d MiB is outside 1..4095 MiB" : "%d is outside 1..65535",
                      fma_args1[i]);
        const char* names[] = {"avglen", "index size", "window size"};
        fail_line(names[i], msg);
      } else {
        fail_line(bad.what.c_str(), bad.problem.c_str());
      }
      return exit_params;
    }
    warn_costly_window(p);
  }

  progress pg = {};
  run_files f = {argv[2], argv[3], {-1, 0, &pg, nullptr, nullptr}, {-1, 0, &pg, nullptr, nullptr}, false};
  struct stat in_st;
  if (int s = open_input(f, in_st)) return s;
  if (int s = open_output(f, in_st, decode)) return s;
  pg.on = isatty(2);
  f.in_regular = S_ISREG(in_st.st_mode);
  pg.total = f.in_regular ? static_cast<uint64_t>(in_st.st_size) : 0;
  p.size_hint = pg.total;
  watch_signals();
  return run(f, decode, p, info, pg);
}

}  // namespace longdup
