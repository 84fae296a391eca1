// The automatic choice of builder: the dimension estimate on data of known dimension, and the
// choice over a table of sizes, dimensions and estimates.
#include "detect/method.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>

#include "detect/construct.h"
#include "graph/graph.h"
#include "vectors/fvector.h"

namespace {

// A graph of n vertices whose `columns` feature values come from row(i, x) (the label column,
// last, is 0); freed on destruction.
struct Points {
    Graph* g = create_graph();
    Points(int32_t n, int32_t columns, const std::function<void(int32_t, double*)>& row) {
        for (int32_t i = 0; i < n; ++i) {
            HFV v = fvCreateUnreported(columns + 1);
            row(i, v->vector);
            v->vector[columns] = 0;
            insert_vertex(g, v, i);
        }
    }
    ~Points() {
        free_graph(g);
        std::free(g);
    }
    double dimension() const {
        return tarn::sample_dimension(tarn::graph_rows(tarn::graph_vertices(g)));
    }
};

TEST(Method, SampleDimensionReadsTheDimensionTheDataFill) {
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    struct Case {
        const char* name;
        int32_t n, columns;
        std::function<void(int32_t, double*)> row;
        double low, high;
    };
    const Case cases[] = {
        // A line through 6 columns fills one dimension.
        {"line in 6 columns", 3000, 6,
         [&](int32_t, double* x) {
             const double t = uniform(rng);
             for (int32_t c = 0; c < 6; ++c)
                 x[c] = (c + 1) * t - c;
         },
         0.7, 1.3},
        {"uniform square", 3000, 2,
         [&](int32_t, double* x) { x[0] = uniform(rng), x[1] = uniform(rng); }, 1.6, 2.3},
        {"uniform cube in 5 columns, two constant", 3000, 5,
         [&](int32_t, double* x) {
             x[0] = uniform(rng), x[1] = 4, x[2] = uniform(rng), x[3] = -1, x[4] = uniform(rng);
         },
         2.3, 3.4},
        // Never above the columns there are.
        {"one column", 3000, 1, [&](int32_t, double* x) { x[0] = uniform(rng); }, 0.8, 1.0},
        // Equal vectors fill no dimension: every ratio counts as the largest.
        {"all equal", 200, 3, [](int32_t, double* x) { x[0] = x[1] = x[2] = 2.5; }, 0.0, 0.1},
        {"groups of 100 equal vectors", 5000, 4,
         [&](int32_t i, double* x) {
             for (int32_t c = 0; c < 4; ++c)
                 x[c] = (i / 100) * 0.001 + c;
         },
         0.0, 0.2},
        {"two vectors", 2, 3, [](int32_t i, double* x) { x[0] = x[1] = x[2] = i; }, 0.0, 0.0},
        // A vector whose squares to all others overflow says nothing of the others' dimension,
        // first in the file (so in the sample) or not.
        {"uniform in 16 columns", 3000, 16,
         [&](int32_t, double* x) {
             for (int32_t c = 0; c < 16; ++c)
                 x[c] = uniform(rng);
         },
         9.0, 16.0},
        {"uniform in 16 columns, the first far away", 3000, 16,
         [&](int32_t i, double* x) {
             for (int32_t c = 0; c < 16; ++c)
                 x[c] = i == 0 ? 1e300 : uniform(rng);
         },
         9.0, 16.0},
        // Squares that all overflow, or all underflow: every distance ties, which the tree
        // settles in a few steps per search.
        {"squares all overflow", 3000, 2,
         [&](int32_t i, double* x) { x[0] = i * 1e300, x[1] = uniform(rng) * 1e300; }, 0.0, 0.1},
        {"squares all underflow", 3000, 2,
         [&](int32_t i, double* x) { x[0] = i * 1e-170, x[1] = uniform(rng) * 1e-170; }, 0.0, 0.1},
    };
    for (const Case& c : cases) {
        Points points(c.n, c.columns, c.row);
        const double dimension = points.dimension();
        EXPECT_GE(dimension, c.low) << c.name;
        EXPECT_LE(dimension, c.high) << c.name;
    }
}

// The sample is an eighth of the vectors, at least 11 (or all of them) and at most 512: its pairs
// are never more than a 64th of the brute force's.
// A process that holds only some of the vectors estimates from the sample gathered at
// sample_position: the same estimate as from every vector.
TEST(Method, TheGatheredSampleGivesTheSameEstimate) {
    std::mt19937_64 rng(41);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (const int32_t n : {2, 3, 12, 100, 5000}) {
        const Points points(n, 3, [&](int32_t, double* x) {
            x[0] = normal(rng);
            x[1] = 2 * x[0] + normal(rng) * 0.01;
            x[2] = normal(rng);
        });
        const tarn::Rows rows = tarn::graph_rows(tarn::graph_vertices(points.g));
        tarn::Array<const double*> sample;
        for (int32_t i = 0; i < tarn::sample_size(n); ++i)
            sample.push_back(rows[size_t(tarn::sample_position(i, n))]);
        EXPECT_EQ(tarn::sample_dimension_of(sample, rows.features), points.dimension()) << n;
    }
}

TEST(Method, TheSampleIsAnEighthOfTheVectorsWithinBounds) {
    const int32_t cases[][2] = {{2, 2},    {11, 11},    {50, 11},    {100, 12},
                                {300, 37}, {4095, 511}, {4096, 512}, {1000000, 512}};
    for (const auto& c : cases)
        EXPECT_EQ(tarn::sample_size(c[0]), c[1]) << c[0];
}

// The tree below −4.0 + 3.5 × log10(n / k) dimensions and below 8.9, a ceiling that rises by 1.5
// per tenfold n / k beyond 2 × 10⁴; else the brute force.
TEST(Method, ChoiceWeighsTheDimensionAgainstNOverK) {
    struct Case {
        int32_t n, k;
        double dimension;
        tarn::Method method;
    };
    const tarn::Method tree = tarn::Method::kTree, brute = tarn::Method::kBruteForce;
    const Case cases[] = {
        {10000, 10, 6.49, tree},      {10000, 10, 6.51, brute}, {50000, 10, 6.56, tree},
        {50000, 10, 8.55, tree},      {50000, 10, 9.2, brute},  {200000, 10, 8.89, tree},
        {200000, 10, 8.91, brute},    {1000000, 10, 9.9, tree}, {1000000, 10, 10.0, brute},
        {1000, 10, 2.99, tree},       {1000, 10, 3.01, brute},  {1000000, 1000, 6.49, tree},
        {1000000, 1000, 6.51, brute}, {100, 10, 0.0, brute},    {10000, 10, 0.06, tree},
        {2147483647, 1, 30.0, brute},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tarn::choose_method(c.n, c.k, c.dimension), c.method)
            << c.n << " " << c.k << " " << c.dimension;
    }
}

}  // namespace
