// Loads one vector file with fvsLoad (or, given "table", with tableLoad in the format its name
// picks, on the given count of threads, its vectors carved from an arena as a run carves them)
// and prints what it cost: load file [table [threads]]
//   <bytes> <vectors> <dim> <seconds> <MB/s> <CPU seconds> <held MiB> <peak RSS MiB>
//   <peak / held>
// The CPU seconds are user and system time of all threads; on a machine shared with other work
// they tell the cost better than the wall time.
// "held" is what the loaded set takes: per vector its record and component array (as the C
// library's allocator rounds them, or as carved), and the set's slot array.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "detect/budget.h"
#include "vectors/arena.h"
#include "vectors/fvector.h"
#include "vectors/table.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: load file [table [threads]]\n");
        return 2;
    }
    const double bytes = static_cast<double>(std::filesystem::file_size(argv[1]));
    const auto start = std::chrono::steady_clock::now();
    tarn::VectorArena arena;
    const TableFormat format{TABLE_AUTO, nullptr, nullptr, argc == 4 ? std::atoi(argv[3]) : 1,
                             &arena};
    TableNames names;
    HFSET fvs = argc >= 3 ? tableLoad(argv[1], &format, &names) : fvsLoad(argv[1]);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (fvs == nullptr) return 1;
    double held = tarn::allocator_bytes(sizeof(FVSet)) +
                  tarn::allocator_bytes(static_cast<double>(fvs->array_size) * sizeof(HFV));
    held += static_cast<double>(arena.carved());
    for (int32_t p = 0; p < fvs->vector_number; ++p) {
        if (arena.owns(fvs->vectors[p])) continue;
        held += tarn::allocator_bytes(sizeof(Hvec)) +
                tarn::allocator_bytes(static_cast<double>(fvs->vectors[p]->dim) * sizeof(double));
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peak = usage.ru_maxrss * 1024.0;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    constexpr double kMiB = 1024.0 * 1024.0;
    std::printf("%.0f %d %d %.3f %.1f %.3f %.1f %.1f %.3f\n", bytes, fvs->vector_number,
                fvs->vector_size, seconds, bytes / 1e6 / seconds, cpu, held / kMiB, peak / kMiB,
                peak / held);
    tarn::release_set(fvs, &arena);
    return 0;
}
