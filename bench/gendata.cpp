// Writes a seeded benchmark data set as a tarn input file: gendata n dim [seed [noise]] > file
// noise is the share of uniform points (default 0.02; 1 gives uniform data without clusters).
#include <cstdio>
#include <cstdlib>

#include "bench/data.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: gendata n dim [seed [noise]]\n");
        return 2;
    }
    const int n = std::atoi(argv[1]), dim = std::atoi(argv[2]);
    const uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    const double noise = argc > 4 ? std::atof(argv[4]) : 0.02;
    for (const bench::Point& p : bench::make_points(n, dim, seed, noise)) {
        for (double x : p.x)
            std::printf("%.6f ", x);
        std::printf("%d\n", p.label);
    }
    return 0;
}
