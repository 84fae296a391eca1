#include "base/alloc.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kInitElementSize = 4;
constexpr size_t kCacheLine = 64;

// Depth of the AllocationFailuresThrow scopes alive on this thread.
thread_local int throwing_scopes = 0;

[[noreturn]] void allocation_failed(size_t size) {
    if (throwing_scopes > 0) throw tarn::AllocationFailure(size);
    std::printf("Allocation of %zu bytes failed\n", size);
    std::exit(-1);
}

}  // namespace

namespace tarn {

AllocationFailuresThrow::AllocationFailuresThrow() {
    ++throwing_scopes;
}

AllocationFailuresThrow::~AllocationFailuresThrow() {
    --throwing_scopes;
}

bool AllocationFailuresThrow::active() {
    return throwing_scopes > 0;
}

void* allocate_lines(size_t size) {
    const size_t lines = size / kCacheLine + (size % kCacheLine != 0 || size == 0 ? 1 : 0);
    void* block = lines > SIZE_MAX / kCacheLine
                      ? nullptr
                      : std::aligned_alloc(kCacheLine, lines * kCacheLine);
    if (block == nullptr) allocation_failed(size);
    return block;
}

}  // namespace tarn

void* allocate(size_t size, int flag) {
    // A zero-byte request still yields a distinct block, so null always means failure.
    void* block = flag == NO_INIT ? std::malloc(size == 0 ? 1 : size)
                                  : std::calloc(size == 0 ? 1 : size, kInitElementSize);
    if (block == nullptr) allocation_failed(size);
    return block;
}

namespace tarn {

void advise_huge_pages(const void* block, size_t bytes) {
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHuge - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace tarn
