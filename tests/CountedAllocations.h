#pragma once
// Counts every allocation while g_counting is set: malloc, calloc and realloc (wrapped at link
// time: -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc) and operator new (replaced here). For
// one test executable each, which must not be built with sanitizers.

#include <cstdlib>
#include <new>

namespace {
bool g_counting = false;
unsigned long g_allocations = 0;
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t size);
void* __wrap_malloc(size_t size) {
    if (g_counting) ++g_allocations;
    return __real_malloc(size);
}
void* __wrap_calloc(size_t n, size_t size) {
    if (g_counting) ++g_allocations;
    return __real_calloc(n, size);
}
void* __wrap_realloc(void* p, size_t size) {
    if (g_counting) ++g_allocations;
    return __real_realloc(p, size);
}
}

void* operator new(size_t size) {
    if (g_counting) ++g_allocations;
    void* p = std::malloc(size ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
