#include <cstdio>
#include <new>

#include "driver/job.h"
#include "driver/page_alloc.h"
#include "longdup/longdup.h"

namespace longdup {

namespace {

void fail(result& r, status code, const char* what, std::string problem) {
  r.code = code;
  r.what = what;
  r.problem = std::move(problem);
}

job* new_job(source in, sink out) {
  job* j = new (std::nothrow) job{};
  if (!j) return nullptr;
  j->h = {&j->c, j->in_buf, j->out_buf, in, out, 0};
  return j;
}

void release_buffers(job& j) {
  page_free(j.c.ix.htbl);
  j.c.ix.htbl = nullptr;
  page_free(j.c.hist);
  j.c.hist = nullptr;
}

void finish(job& j, loop_end end) {
  j.finished = true;
  result& r = j.r;
  r.bytes = j.c.sum;
  r.chunks = j.c.x;
  switch (end) {
    case loop_running:
    case loop_done: break;
    case loop_failed:
      fail(r, j.c.failure == fail_no_memory ? status::memory : status::corrupt, "input",
           failure_text(j.c.failure));
      break;
    case loop_no_table: fail(r, status::memory, "index size", "no index table"); break;
    case loop_read_error: fail(r, status::io, "input", "read failed"); break;
    case loop_write_error: fail(r, status::io, "output", "write failed"); break;
  }
  release_buffers(j);
}

}  // namespace

bool check_params(const params& p, result& r) {
  char msg[96];
  if (p.avglen < 1 || p.avglen > 65535) {
    std::snprintf(msg, sizeof msg, "%u is outside 1..65535", p.avglen);
    fail(r, status::bad_params, "avglen", msg);
    return false;
  }
  // Sizes are turned into 32-bit byte counts: 4096 MiB and more would wrap
  // to 0 or to a table too small to probe.
  struct {
    uint32_t mib;
    const char* what;
  } sizes[] = {{p.index_mib, "index size"}, {p.window_mib, "window size"}};
  for (auto s : sizes) {
    if (s.mib < 1 || s.mib > 4095) {
      std::snprintf(msg, sizeof msg, "%u MiB is outside 1..4095 MiB", s.mib);
      fail(r, status::bad_params, s.what, msg);
      return false;
    }
  }
  return true;
}

std::string check(const params& p) {
  result r;
  return check_params(p, r) ? std::string() : r.message();
}

job* job_open_encode(const params& p, source in, sink out) {
  job* j = new_job(in, out);
  if (!j) return nullptr;
  if (!check_params(p, j->r)) {
    j->finished = true;
    return j;
  }
  prepare_encode(j->c, p.avglen, p.index_mib << 20, p.window_mib << 20);
  try {
    uint64_t bytes = uint64_t{j->c.ix.cfg_tblsize} * sizeof(hentry);
    j->c.ix.htbl = static_cast<hentry*>(page_alloc_zeroed(bytes));
    // Huge pages spare a long encode most of its TLB misses and page faults
    // on the index, but commit 2 MiB per slot touched: an input known to be
    // short, which touches few slots, is quicker and smaller without them.
    // The choice must be made before the first slot is touched.
    constexpr uint64_t short_input = 4u << 20;
    if (bytes >= (64u << 20) && (p.size_hint == 0 || p.size_hint >= short_input)) {
      // A few thousand chunks touch every 2 MiB page of the table, so the
      // whole of it will be committed; a thread to spare can do it first.
      if (page_prefer_huge(j->c.ix.htbl, bytes) && page_commit_in_background())
        page_commit(j->c.ix.htbl, bytes);
    }
  } catch (const std::bad_alloc&) {
    fail(j->r, status::memory, "index size", "out of memory for the index table");
    j->finished = true;
  }
  return j;
}

job* job_open_decode(source in, sink out) {
  job* j = new_job(in, out);
  if (j) prepare_decode(j->c);
  return j;
}

bool job_step(job* j) {
  if (j->finished) return false;
  if (!j->started) {
    host_start(j->h);
    j->started = true;
  } else {
    // The body's saved stack goes back to the addresses it started on;
    // resuming from below them would overwrite the resuming call itself.
    char here;
    if (&here < j->c.co.stack_base + 4096) {
      fail(j->r, status::misuse, "job", "stepped from a deeper stack than its first step");
      j->finished = true;
      release_buffers(*j);
      return false;
    }
  }
  loop_end end = resume_step(j->h);
  if (end == loop_running) return true;
  finish(*j, end);
  return false;
}

result job_close(job* j) {
  result r = std::move(j->r);
  release_buffers(*j);
  delete j;
  return r;
}

namespace {

result run_job(job* j) {
  if (!j) {
    result r;
    fail(r, status::memory, "job", "out of memory");
    return r;
  }
  while (job_step(j)) {
  }
  return job_close(j);
}

}  // namespace

result encode(const params& p, source in, sink out) { return run_job(job_open_encode(p, in, out)); }

result decode(source in, sink out) { return run_job(job_open_decode(in, out)); }

const char* version() { return LONGDUP_VERSION; }

}  // namespace longdup
