// Counting replacements of the C library's allocator, forwarding to glibc's own. The machine
// already replaces operator new over malloc (for its allocation faults), so counting here sees
// every operator new as well as the C library's and the platform's own allocations.
#include "AllocationCount.h"

#include <errno.h>

#include <atomic>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<size_t> g_allocations{0};

void Count() {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

size_t bench::Allocations() {
    return g_allocations.load(std::memory_order_relaxed);
}

extern "C" {

void* malloc(size_t size) noexcept {
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) noexcept {
    Count();
    return __libc_realloc(block, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    return memalign(alignment, size);
}

int posix_memalign(void** block, size_t alignment, size_t size) noexcept {
    void* result = memalign(alignment, size);
    if (result == nullptr) {
        return ENOMEM;
    }
    *block = result;
    return 0;
}

void free(void* block) noexcept {
    __libc_free(block);
}

}  // extern "C"
