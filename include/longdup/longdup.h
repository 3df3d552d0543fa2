// longdup as a library: encode or decode a stream through the caller's own
// read and write callbacks, with the same coder the command line runs.
//
//   longdup::result r = longdup::encode({}, {&in, my_read}, {&out, my_write});
//   if (!r) std::fprintf(stderr, "longdup: %s\n", r.message().c_str());
//
// The coder runs as a stack-copying coroutine on the caller's own stack, a
// fixed 64 KiB below the call that resumes it. encode() and decode() run a
// whole stream in one call. For several streams at once on one thread, open
// jobs and step them in turn, always from the same call site (one loop):
// stepping from a much deeper stack than the first step is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace longdup {

struct params {
  uint32_t avglen = 100;       // average chunk length, 1..65535
  uint32_t index_mib = 256;    // index table, 1..4095 MiB (20 bytes a chunk)
  uint32_t window_mib = 1024;  // how far back a repeat may lie, 1..4095 MiB
  uint64_t size_hint = 0;      // expected input length, 0 if unknown; tunes memory use only
};

// The values match the command line's exit statuses.
enum class status : int {
  ok = 0,
  bad_params = 4,  // a parameter outside its limits
  corrupt = 5,     // the encoded stream is damaged
  io = 6,          // a callback reported a read or write failure
  memory = 7,      // the index table or the history ring cannot be allocated
  misuse = 8,      // a job stepped from a deeper stack than it started on
};

struct result {
  status code = status::ok;
  std::string what;      // the parameter, or "input" or "output"; empty when ok
  std::string problem;   // what went wrong; empty when ok
  uint64_t bytes = 0;    // plain bytes coded
  uint64_t chunks = 0;   // chunks, the final one included
  explicit operator bool() const { return code == status::ok; }
  std::string message() const { return what + ": " + problem; }
};

// Reads up to n bytes into buf; returns the count, 0 at the end of the
// input, or -1 on an error.
// A source that keeps its own buffers may also offer `borrow`: the next up
// to n bytes in place, returned like read's count with data set to them,
// valid until the next call. The coder then reads them where they are.
struct source {
  void* ctx;
  std::ptrdiff_t (*read)(void* ctx, uint8_t* buf, std::size_t n);
  std::ptrdiff_t (*borrow)(void* ctx, const uint8_t** data, std::size_t n) = nullptr;
};

// Writes all n bytes, or returns false. A sink that keeps its own buffers
// may also hand out `buffer`: room for the next n bytes, which the coder then
// writes in place before passing it to `write` (null: use the job's buffer).
struct sink {
  void* ctx;
  bool (*write)(void* ctx, const uint8_t* buf, std::size_t n);
  uint8_t* (*buffer)(void* ctx, std::size_t n) = nullptr;
};

// An empty string when the parameters are usable, else why not.
std::string check(const params& p);

result encode(const params& p, source in, sink out);
result decode(source in, sink out);

// A stream being coded, for callers that interleave several.
struct job;

// Null only when memory runs out for the job itself. Parameter and table
// failures are reported by the first step and by job_close.
job* job_open_encode(const params& p, source in, sink out);
job* job_open_decode(source in, sink out);

// Codes at least one more input block. True while there is more to do.
bool job_step(job* j);

// The job's result; releases it.
result job_close(job* j);

const char* version();

}  // namespace longdup
