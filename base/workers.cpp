#include "base/workers.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "base/alloc.h"

namespace tarn {

std::atomic<bool> cancel_construction{false};

namespace {

// The first exception thrown by any worker; the others stop at their next group.
class FirstFailure {
public:
    void keep(std::exception_ptr failure) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = failure;
        failed_.store(true);
    }
    bool failed() const { return failed_.load(); }
    void rethrow() const {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    std::mutex mutex_;
    std::exception_ptr failure_;
    std::atomic<bool> failed_{false};
};

}  // namespace

void run_ranges(int32_t count, int32_t grain, int32_t threads, RangeCall call, void* body) {
    const bool throwing = AllocationFailuresThrow::active();
    std::atomic<int32_t> next{0};
    FirstFailure failure;
    auto work = [&](int32_t worker) {
        // A worker fails like the thread that started it.
        std::optional<AllocationFailuresThrow> scope;
        if (throwing) scope.emplace();
        try {
            while (!failure.failed() && !cancel_construction.load(std::memory_order_relaxed)) {
                const int32_t begin = next.fetch_add(grain);
                if (begin >= count) break;
                call(body, worker, begin, std::min(count, begin + grain));
            }
        } catch (...) {
            failure.keep(std::current_exception());
        }
    };
    // A thread with no range to take would only be started and joined.
    const int64_t ranges = (int64_t{count} + grain - 1) / grain;
    threads = static_cast<int32_t>(std::min<int64_t>(threads, std::max<int64_t>(ranges, 1)));
    Array<std::thread> pool;
    pool.reserve(static_cast<size_t>(threads));
    for (int32_t t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(work, t);
        } catch (const std::exception&) {
            // A thread or its record could not be had (system_error, bad_alloc): fewer threads
            // than asked for, the others take over the work.
            break;
        }
    }
    work(0);
    for (std::thread& thread : pool)
        thread.join();
    failure.rethrow();
    if (cancel_construction.load()) throw ConstructionCancelled();
}

void populate_pages(void* block, size_t bytes, int32_t threads) {
#ifdef MADV_POPULATE_WRITE
    // Below a few huge pages the faults cost less than the threads.
    constexpr size_t kPiece = size_t{8} << 20;
    constexpr uintptr_t kPage = 4096;
    if (block == nullptr || bytes < 2 * kPiece) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(block) & ~(kPage - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(block) + bytes;
    const auto pieces = static_cast<int32_t>((end - start + kPiece - 1) / kPiece);
    auto populate = [&](int32_t, int32_t begin, int32_t last) {
        const uintptr_t from = start + static_cast<uintptr_t>(begin) * kPiece;
        const uintptr_t to =
            std::min<uintptr_t>(end, start + static_cast<uintptr_t>(last) * kPiece);
        madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
    };
    for_each_range(pieces, 1, threads, populate);
#else
    (void)block, (void)bytes, (void)threads;
#endif
}

int32_t worker_threads(int32_t asked) {
    constexpr int32_t kMostThreads = 256;
    if (asked == 0) asked = static_cast<int32_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    return std::min(asked, kMostThreads);
}

}  // namespace tarn
