// The worker threads: ranges of indices handed out in turn to a few threads, the first failure
// of any of them rethrown on the calling thread, and a process-wide cancel flag.
#ifndef TARN_BASE_WORKERS_H
#define TARN_BASE_WORKERS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

namespace tarn {

// Set from any thread to stop the work under way: run_ranges's workers stop after the range
// they are working on, and run_ranges (so a construction) throws ConstructionCancelled. Whoever
// sets it clears it before the next construction; a construction never clears it.
extern std::atomic<bool> cancel_construction;

class ConstructionCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "construction cancelled"; }
};

// The threads a parallel step (loading, construction, rules, report) gets: as asked, one per online
// processor for 0, and never more than a machine could sensibly run.
int32_t worker_threads(int32_t asked);

// Calls body(worker, begin, end) over consecutive ranges of [0, count), at most grain indices
// each, handed out in turn to up to `threads` threads, the calling thread among them as worker
// 0. A thread that cannot be had leaves its share to the others. The first failure of any
// worker (AllocationFailure under an AllocationFailuresThrow included, which the workers
// inherit from the calling thread) stops the others at their next range and is rethrown here;
// so does cancel_construction, as ConstructionCancelled.
using RangeCall = void (*)(void* body, int32_t worker, int32_t begin, int32_t end);
void run_ranges(int32_t count, int32_t grain, int32_t threads, RangeCall call, void* body);

// Has the system back the pages of [block, block + bytes) now, on up to `threads` threads: the
// first write to a page of a big array makes the system clear it, which on one thread is a
// serial step of a second or more per few gigabytes. Only a hint; nothing changes for the
// caller, and where the system cannot, the first writes fault the pages in as before.
void populate_pages(void* block, size_t bytes, int32_t threads);

// Leaves array empty with room for count elements: a fresh block, when it needs one, whose
// pages are populated on `threads` threads.
template <typename T, typename Allocator>
void reserve_on_threads(std::vector<T, Allocator>& array, size_t count, int32_t threads) {
    array.clear();
    if (array.capacity() >= count) return;
    std::vector<T, Allocator>().swap(array);
    array.reserve(count);
    populate_pages(array.data(), count * sizeof(T), threads);
}

// array.assign(count, value) into a block reserved on threads.
template <typename T, typename Allocator>
void assign_on_threads(std::vector<T, Allocator>& array, size_t count, const T& value,
                       int32_t threads) {
    reserve_on_threads(array, count, threads);
    array.assign(count, value);
}

template <typename Body>
void for_each_range(int32_t count, int32_t grain, int32_t threads, Body& body) {
    run_ranges(
        count, grain, threads,
        [](void* b, int32_t worker, int32_t begin, int32_t end) {
            (*static_cast<Body*>(b))(worker, begin, end);
        },
        &body);
}

}  // namespace tarn

#endif
