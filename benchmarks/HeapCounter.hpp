#pragma once

// Live and peak bytes allocated through operator new, for memory figures. Include from one
// translation unit per binary only: it replaces the global allocation functions. zlib's own
// state (a few tens of kilobytes through malloc) is not counted.

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace heap {
inline std::atomic<std::size_t> live{0};
inline std::atomic<std::size_t> peak{0};

inline void* allocate(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    std::size_t now = live += malloc_usable_size(p);
    std::size_t high = peak.load();
    while (now > high && !peak.compare_exchange_weak(high, now)) {
    }
    return p;
}

inline void release(void* p) noexcept {
    if (p != nullptr) {
        live -= malloc_usable_size(p);
        std::free(p);
    }
}
}  // namespace heap

void* operator new(std::size_t size) {
    return heap::allocate(size);
}
void* operator new[](std::size_t size) {
    return heap::allocate(size);
}
void operator delete(void* p) noexcept {
    heap::release(p);
}
void operator delete[](void* p) noexcept {
    heap::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    heap::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    heap::release(p);
}
