// Checked allocation: the allocation routine every layer uses, the failure scope that turns
// its failures into exceptions, and the containers built on it.
#ifndef TARN_BASE_ALLOC_H
#define TARN_BASE_ALLOC_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

enum { NO_INIT = 0, INIT = 1 };

// A new heap block, released with free. NO_INIT gives size uninitialised bytes; any other flag
// gives size zero-filled 4-byte elements. Never returns null: on failure it prints
// "Allocation of <size> bytes failed" to standard output and ends the process with status -1,
// unless the calling thread runs under a tarn::AllocationFailuresThrow, where it throws
// tarn::AllocationFailure instead.
void* allocate(size_t size, int flag);

namespace tarn {

// An allocation that could not be had; size is the figure the allocation message prints.
class AllocationFailure : public std::bad_alloc {
public:
    explicit AllocationFailure(size_t size) : size_(size) {}
    size_t size() const { return size_; }
    const char* what() const noexcept override { return "allocation failed"; }

private:
    size_t size_;
};

// While one of these lives on a thread, allocate on that thread throws AllocationFailure
// instead of ending the process. The detector's core runs under one, so that whoever called it
// gets the failure back as an error; scopes nest.
class AllocationFailuresThrow {
public:
    AllocationFailuresThrow();
    ~AllocationFailuresThrow();
    AllocationFailuresThrow(const AllocationFailuresThrow&) = delete;
    AllocationFailuresThrow& operator=(const AllocationFailuresThrow&) = delete;

    // Whether the calling thread runs under one.
    static bool active();
};

// Asks the system to back the whole 2 MiB pages inside [block, block + bytes) with huge pages
// where it can: a big array then takes one page fault per 2 MiB instead of one per 4 KiB when
// first written. Only a hint; nothing changes for the caller.
void advise_huge_pages(const void* block, size_t bytes);

// Advises huge pages for a container's block of 4 MiB or more; returns block.
inline void* advise_if_big(void* block, size_t bytes) {
    if (bytes >= (size_t{4} << 20)) advise_huge_pages(block, bytes);
    return block;
}

// A standard allocator over allocate, so that containers fail like every other allocation of
// the product: the allocation message, or AllocationFailure under AllocationFailuresThrow.
// Blocks of 4 MiB or more are advised to take huge pages.
template <typename T>
struct Checked {
    using value_type = T;
    Checked() = default;
    template <typename U>
    explicit Checked(const Checked<U>&) {}
    T* allocate(size_t count) {
        return static_cast<T*>(
            advise_if_big(::allocate(count * sizeof(T), NO_INIT), count * sizeof(T)));
    }
    void deallocate(T* block, size_t) { std::free(block); }
    bool operator==(const Checked&) const = default;
};

template <typename T>
using Array = std::vector<T, Checked<T>>;

// Checked, except that a container's new elements are default-initialised: resizing leaves
// numbers unset. For arrays whose every element is written before it is read.
template <typename T>
struct Unfilled : Checked<T> {
    Unfilled() = default;
    template <typename U>
    explicit Unfilled(const Unfilled<U>&) {}
    template <typename U>
    void construct(U* at) {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

template <typename T>
using UnfilledArray = std::vector<T, Unfilled<T>>;

// A new heap block of whole cache lines, starting on one, released with free; fails like
// allocate.
void* allocate_lines(size_t size);

// Checked, except that every block has its cache lines to itself: for the scratch arrays a
// worker thread writes at every step. Where another thread's data shared a line with them,
// the two threads would stall on each other.
template <typename T>
struct OwnLines : Checked<T> {
    OwnLines() = default;
    template <typename U>
    explicit OwnLines(const OwnLines<U>&) {}
    T* allocate(size_t count) {
        return static_cast<T*>(advise_if_big(allocate_lines(count * sizeof(T)), count * sizeof(T)));
    }
};

template <typename T>
using OwnLinesArray = std::vector<T, OwnLines<T>>;

}  // namespace tarn

#endif
