// Seeded data sets for the benchmarks: Gaussian clusters with a share of uniform noise, the
// same values for the same arguments on every machine.
#ifndef TARN_BENCH_DATA_H
#define TARN_BENCH_DATA_H

#include <cstdint>
#include <random>
#include <vector>

namespace bench {

struct Point {
    std::vector<double> x;
    int label;  // 1 for noise, 0 for a cluster member
};

inline std::vector<Point> make_points(int n, int dim, uint64_t seed, double noise = 0.02) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 100.0);
    std::normal_distribution<double> gauss(0.0, 3.0);
    const int clusters = 8;
    std::vector<std::vector<double>> centres(clusters, std::vector<double>(dim));
    for (auto& centre : centres) {
        for (double& c : centre)
            c = uniform(rng);
    }
    std::vector<Point> points(n);
    for (Point& p : points) {
        p.x.resize(dim);
        p.label = std::bernoulli_distribution(noise)(rng) ? 1 : 0;
        const auto& centre = centres[rng() % clusters];
        for (int i = 0; i < dim; ++i)
            p.x[i] = p.label ? uniform(rng) : centre[i] + gauss(rng);
    }
    return points;
}

}  // namespace bench

#endif
