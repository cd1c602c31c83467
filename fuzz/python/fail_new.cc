// Allocation-failure injection for the Python-surface fuzz targets. Linked into the sanitizer
// runtime that the targets preload (scripts/fuzz-python), in place of the runtime's own
// operator new and delete, so that it replaces them for the whole process.
//
// A target arms it around one call into the module with quillet_fuzz_fail_new_after(n): the
// n-th C++ allocation from then on throws std::bad_alloc, as it would when memory runs out. The
// module must turn that into MemoryError at its boundary; an exception that escapes into CPython
// aborts the process, which the fuzzer reports. Disarmed (the default), every allocation
// succeeds. The memory comes from malloc, so AddressSanitizer still checks every access.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
long g_countdown = -1;  // allocations left before the failure; -1: disarmed

void* allocate(std::size_t size, std::size_t align = 0) {
  if (g_countdown >= 0 && g_countdown-- == 0) throw std::bad_alloc();
  if (size == 0) size = 1;
  void* p = nullptr;
  if (align > alignof(std::max_align_t)) {
    if (posix_memalign(&p, align, size) != 0) p = nullptr;
  } else {
    p = std::malloc(size);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* allocate_nothrow(std::size_t size, std::size_t align = 0) noexcept {
  try {
    return allocate(size, align);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
}  // namespace

// Returns the previous setting: -1 after an armed countdown means the failure happened.
extern "C" __attribute__((visibility("default"))) long quillet_fuzz_fail_new_after(long n) {
  const long previous = g_countdown;
  g_countdown = n;
  return previous;
}

void* operator new(std::size_t n) {
  return allocate(n);
}
void* operator new[](std::size_t n) {
  return allocate(n);
}
void* operator new(std::size_t n, std::align_val_t a) {
  return allocate(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return allocate(n, std::size_t(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_nothrow(n, std::size_t(a));
}

void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
