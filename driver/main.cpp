// Entry point: one straight run from the command line to the report (tarn::run_command_line).
#include <cstdlib>
#include <new>

#include "base/alloc.h"
#include "driver/run.h"
#include "driver/tarn.h"

// Every allocation of the program fails the same way: the C++ containers of the evaluation and
// the picture included, a failed request throws tarn::AllocationFailure with its size, and the
// run ends with the allocation message like a failure of allocate.
void* operator new(std::size_t size) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw tarn::AllocationFailure(size);
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

// The library's own nothrow requests (std::stable_sort's temporary buffer) are released through
// the sized delete below, so they must come from malloc too: a null return lets the caller fall
// back as it means to.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}

void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

int main(int argc, char** argv) {
    return tarn::run_command_line(argc, argv);
}
