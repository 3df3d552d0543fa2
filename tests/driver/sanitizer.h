// Whether the tests run under AddressSanitizer, whose allocator reports an
// impossible allocation and stops instead of throwing, and whose shadow
// memory needs more address space than a test may limit the process to.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define LONGDUP_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LONGDUP_UNDER_ASAN 1
#endif
#endif

namespace longdup::test {
#if defined(LONGDUP_UNDER_ASAN)
inline constexpr bool under_asan = true;
#else
inline constexpr bool under_asan = false;
#endif
}  // namespace longdup::test
