// The worker threads' helpers: ranges handed out over threads, and arrays whose pages the
// workers populate before they are filled.
#include "base/workers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "base/alloc.h"

namespace {

// Every index is handed out exactly once, whatever the grain and the threads.
TEST(ForEachRange, CoversEveryIndexOnce) {
    struct Row {
        int32_t count, grain, threads;
    };
    for (const Row row : {Row{0, 4, 2}, Row{1, 4, 3}, Row{1000, 7, 2}, Row{1000, 1000, 4}}) {
        tarn::Array<std::atomic<int32_t>> seen(static_cast<size_t>(row.count));
        auto mark = [&](int32_t, int32_t begin, int32_t end) {
            EXPECT_LE(end - begin, row.grain);
            for (int32_t i = begin; i < end; ++i)
                ++seen[static_cast<size_t>(i)];
        };
        tarn::for_each_range(row.count, row.grain, row.threads, mark);
        EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const auto& s) { return s == 1; }))
            << row.count << " by " << row.grain << " on " << row.threads;
    }
}

// assign_on_threads leaves what assign leaves: below the size whose pages are populated and
// above it (2^22 doubles, 32 MiB, in several pieces), into an empty array, one too small, and
// one already large enough whose old values must all go.
TEST(AssignOnThreads, LeavesWhatAssignLeaves) {
    struct Row {
        size_t count, before;
        int32_t threads;
    };
    for (const Row row : {Row{10, 0, 2}, Row{size_t{1} << 22, 0, 2}, Row{size_t{1} << 22, 5, 1},
                          Row{size_t{1} << 22, (size_t{1} << 22) + 3, 3}}) {
        tarn::Array<double> array(row.before, -1.0);
        tarn::assign_on_threads(array, row.count, 2.5, row.threads);
        EXPECT_EQ(array.size(), row.count);
        EXPECT_TRUE(std::all_of(array.begin(), array.end(), [](double x) { return x == 2.5; }))
            << row.count << " after " << row.before;
    }
}

}  // namespace
