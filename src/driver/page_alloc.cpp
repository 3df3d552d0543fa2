#include "driver/page_alloc.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace longdup {

static_assert(sizeof(uintptr_t) == 8, "the back pointer below a block is 8 bytes");

namespace {

// The back pointer of a zeroed block carries this tag bit. The allocation
// operator returns addresses aligned to at least 16 bytes, so its own
// addresses never have it set, and page_free can tell the two kinds apart
// from the back pointer alone.
constexpr uintptr_t mapped_tag = 1;

uintptr_t load_word(const unsigned char* at) {
  uintptr_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void store_word(unsigned char* at, uintptr_t v) { std::memcpy(at, &v, sizeof v); }

uint64_t checked_request(uint64_t n) {
  if (n > std::numeric_limits<uint64_t>::max() - page_slack) throw std::bad_alloc();
  return page_request_size(n);
}

}  // namespace

void* page_alloc(uint64_t n) {
  uint64_t request = checked_request(n);
  auto* raw = static_cast<unsigned char*>(::operator new(request));
  unsigned char* aligned = raw + page_offset(reinterpret_cast<uintptr_t>(raw));
  store_word(aligned - 8, reinterpret_cast<uintptr_t>(raw));
  return aligned;
}

// Anonymous mappings are zero-filled by the kernel on first touch, so the
// table needs no clearing pass and untouched pages never become resident.
// The mapping starts on a page boundary, so the block begins one page in;
// that first page also holds the mapping's length for munmap.
void* page_alloc_zeroed(uint64_t n) {
  uint64_t request = checked_request(n);
  void* map = mmap(nullptr, request, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) throw std::bad_alloc();
  auto* base = static_cast<unsigned char*>(map);
  unsigned char* aligned = base + page_offset(reinterpret_cast<uintptr_t>(base));
  store_word(aligned - 8, reinterpret_cast<uintptr_t>(base) | mapped_tag);
  store_word(aligned - 16, request);
  return aligned;
}

bool page_prefer_huge(void* p, uint64_t n) {
  auto a = (reinterpret_cast<uintptr_t>(p) + page_size - 1) & ~(page_size - 1);
  uint64_t skip = a - reinterpret_cast<uintptr_t>(p);
  if (n <= skip || madvise(reinterpret_cast<void*>(a), (n - skip) & ~(page_size - 1), MADV_HUGEPAGE) != 0)
    return false;
  // The call succeeds even where the kernel's setting rules huge pages out.
  static const bool never = [] {
    char mode[128] = {};
    if (std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r")) {
      std::size_t got = std::fread(mode, 1, sizeof mode - 1, f);
      mode[got] = 0;
      std::fclose(f);
    }
    return std::strstr(mode, "[never]") != nullptr;
  }();
  return !never;
}

void page_free(void* p) {
  if (p == nullptr) return;
  auto* aligned = static_cast<unsigned char*>(p);
  uintptr_t back = load_word(aligned - 8);
  if (back == 0) return;
  if (back & mapped_tag) {
    page_commit_forget(back & ~mapped_tag, load_word(aligned - 16));
    munmap(reinterpret_cast<void*>(back & ~mapped_tag), load_word(aligned - 16));
    return;
  }
  ::operator delete(reinterpret_cast<void*>(back));
}

}  // namespace longdup
