// A wipe check's allocator: this header replaces the binary's global operator
// new and delete, so that while `armed` every block handed back is searched
// for the patterns, and each block that holds one counts a hit. It defines the
// replacements themselves, so only the one source of a wipe check includes it.
#pragma once

#include <malloc.h>
#include <string.h>

#include <array>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string_view>

namespace zantu::core::testing::freed_scan {

inline bool armed = false;
inline int hits = 0;
// Empty ones are passed over. They must point into static storage, so that
// they never pass through the allocator themselves.
inline std::array<std::string_view, 2> patterns{};

inline void scan(const void* p, std::size_t n) {
  if (!armed || p == nullptr) return;
  for (const std::string_view pattern : patterns) {
    if (!pattern.empty() && ::memmem(p, n, pattern.data(), pattern.size()) != nullptr) {
      ++hits;
      return;
    }
  }
}

}  // namespace zantu::core::testing::freed_scan

void* operator new(std::size_t n) {
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  zantu::core::testing::freed_scan::scan(p, p ? ::malloc_usable_size(p) : 0);
  std::free(p);
}
void operator delete(void* p, std::size_t n) noexcept {
  zantu::core::testing::freed_scan::scan(p, n);
  std::free(p);
}
