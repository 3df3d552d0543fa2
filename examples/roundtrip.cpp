// Encodes a file into memory with the longdup library, decodes it back and
// checks that the two agree: the smallest complete use of the API.
//
//   roundtrip FILE [AVGLEN [INDEX_MIB [WINDOW_MIB]]]
#include <longdup/longdup.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// The coder pulls its input through this, a block at a time.
struct memory_source {
  const bytes* data;
  std::size_t at;
};

std::ptrdiff_t read_memory(void* ctx, uint8_t* buf, std::size_t n) {
  auto* s = static_cast<memory_source*>(ctx);
  std::size_t k = std::min(n, s->data->size() - s->at);
  std::memcpy(buf, s->data->data() + s->at, k);
  s->at += k;
  return static_cast<std::ptrdiff_t>(k);
}

bool append_memory(void* ctx, const uint8_t* buf, std::size_t n) {
  static_cast<bytes*>(ctx)->insert(static_cast<bytes*>(ctx)->end(), buf, buf + n);
  return true;
}

bool read_file(const char* path, bytes& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// Encode or decode `in` into `out`; reports and returns false on failure.
bool code(bool decode, const longdup::params& p, const bytes& in, bytes& out) {
  memory_source src{&in, 0};
  longdup::source from{&src, read_memory};
  longdup::sink to{&out, append_memory};
  longdup::result r = decode ? longdup::decode(from, to) : longdup::encode(p, from, to);
  if (!r) std::fprintf(stderr, "roundtrip: %s: %s\n", decode ? "decode" : "encode", r.message().c_str());
  return static_cast<bool>(r);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: roundtrip FILE [AVGLEN [INDEX_MIB [WINDOW_MIB]]]\n");
    return 1;
  }
  longdup::params p;
  uint32_t* fields[] = {&p.avglen, &p.index_mib, &p.window_mib};
  for (int i = 2; i < argc && i < 5; i++) {
    *fields[i - 2] = static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10));
  }
  if (std::string why = longdup::check(p); !why.empty()) {
    std::fprintf(stderr, "roundtrip: %s\n", why.c_str());
    return 4;
  }

  bytes plain, encoded, decoded;
  if (!read_file(argv[1], plain)) {
    std::fprintf(stderr, "roundtrip: %s: cannot read\n", argv[1]);
    return 2;
  }
  if (!code(false, p, plain, encoded) || !code(true, p, encoded, decoded)) return 5;
  bool same = decoded == plain;
  std::printf("longdup %s: %zu bytes, encoded %zu (%.1f%%), decoded %zu, %s\n", longdup::version(),
              plain.size(), encoded.size(), plain.empty() ? 100.0 : 100.0 * encoded.size() / plain.size(),
              decoded.size(), same ? "identical" : "DIFFERENT");
  return same ? 0 : 1;
}
