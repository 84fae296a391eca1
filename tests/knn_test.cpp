// The fast construction against the per-pair reference, record by record and bit for bit.
#include "detect/knn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "detect/init.h"
#include "tests/graph_check.h"
#include "vectors/fvector.h"

namespace {

using Points = std::vector<std::vector<double>>;

// threads 0 builds with the per-pair reference.
Graph* build(const Points& points, int32_t k, int32_t threads,
             size_t chunk_entries = tarn::kDefaultChunkEntries) {
    Graph* g = create_graph();
    for (size_t i = 0; i < points.size(); ++i) {
        HFV v = fvCreate(static_cast<int32_t>(points[i].size()) + 1);
        for (size_t c = 0; c < points[i].size(); ++c) {
            fvSetElement(v, static_cast<int32_t>(c), points[i][c]);
        }
        fvSetElement(v, static_cast<int32_t>(points[i].size()), 1.0);  // a label
        insert_vertex(g, v, static_cast<int32_t>(i));
    }
    if (threads == 0) {
        create_edges(g, k);
    } else {
        create_edges_fast(g, k, threads, chunk_entries);
    }
    return g;
}

void expect_same_graph(const Points& points, int32_t k, int32_t threads, const std::string& what,
                       size_t chunk_entries = tarn::kDefaultChunkEntries) {
    Graph* reference = build(points, k, 0);
    Graph* fast = build(points, k, threads, chunk_entries);
    EXPECT_EQ(get_dcalc(fast), get_dcalc(reference)) << what;
    const Vertex* r = reference->top;
    const Vertex* f = fast->top;
    int mismatches = 0;
    for (; r != nullptr && f != nullptr && mismatches < 3; r = r->next, f = f->next) {
        if (graph_check::describe(r) != graph_check::describe(f)) {
            ++mismatches;
            ADD_FAILURE() << what << ", vertex " << r->id << "\n reference "
                          << graph_check::describe(r) << "\n fast      "
                          << graph_check::describe(f);
        }
    }
    free_graph(reference);
    free_graph(fast);
    std::free(reference);
    std::free(fast);
}

Points random_points(std::mt19937_64& rng, int n, int dim, const std::function<double()>& value) {
    Points points(n, std::vector<double>(dim));
    for (auto& point : points) {
        for (double& x : point)
            x = value();
    }
    (void)rng;
    return points;
}

TEST(FastConstruction, MatchesTheReferenceOnSeededData) {
    std::mt19937_64 rng(2026);
    struct Shape {
        const char* name;
        std::function<double()> value;
    };
    std::uniform_real_distribution<double> uniform(-50.0, 50.0);
    std::uniform_int_distribution<int> grid(0, 2);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const Shape shapes[] = {
        {"uniform", [&] { return uniform(rng); }},
        {"integer grid", [&] { return static_cast<double>(grid(rng)); }},
        {"gaussian", [&] { return gauss(rng); }},
        {"all equal", [] { return 1.5; }},
    };
    const int sizes[] = {2, 3, 17, 40, 150, 1200};
    int round = 0;
    for (const Shape& shape : shapes) {
        for (int n : sizes) {
            const int dim = 1 + (round * 7) % 40;
            // Every k up to n − 1 on the small sets; the reference is quadratic in k.
            const std::vector<int> ks = n <= 150 ? std::vector<int>{1, std::max(1, n / 3), n - 1}
                                                 : std::vector<int>{1, 10, 45};
            Points points = random_points(rng, n, dim, shape.value);
            for (int k : ks) {
                const int threads = 1 + round % 3;
                ++round;
                std::ostringstream what;
                what << shape.name << " n " << n << " dim " << dim << " k " << k << " threads "
                     << threads;
                expect_same_graph(points, k, threads, what.str());
            }
        }
    }
}

TEST(FastConstruction, MatchesTheReferenceWithDuplicatesAndNonFiniteValues) {
    std::mt19937_64 rng(11);
    std::uniform_int_distribution<int> grid(0, 3);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double huge = std::numeric_limits<double>::max();
    const std::vector<double> firsts[] = {
        {nan, 1.0, 2.0}, {inf, 0.0, 1.0}, {-inf, inf, 0.0}, {huge, -huge, 0.0}, {nan, nan, nan}};
    for (const auto& first : firsts) {
        Points points = random_points(rng, 60, 3, [&] { return static_cast<double>(grid(rng)); });
        points[0] = first;
        points[30] = points[5];  // an exact duplicate
        for (int k : {1, 4, 59}) {
            expect_same_graph(points, k, 1 + k % 2,
                              "first " + std::to_string(first[0]) + " k " + std::to_string(k));
        }
    }
}

TEST(FastConstruction, MatchesTheReferenceWhenOnlyTheLabelColumnExists) {
    Points labels_only(40, std::vector<double>{});
    for (int k : {1, 5, 39})
        expect_same_graph(labels_only, k, 2, "labels only");
}

TEST(FastConstruction, EqualRootsOfDifferentSquaresStayTies) {
    // Far from the origin, neighbouring squares often share one square root; the rule compares
    // roots, so such candidates tie and the earlier one stays.
    Points points{{0.0, 0.0}};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 40; ++j)
            points.push_back({1e8 + i * 0x1p-26, j * 0.25});
    }
    int collisions = 0;
    for (size_t a = 1; a < points.size(); ++a) {
        for (size_t b = a + 1; b < points.size(); ++b) {
            double sa = points[a][0] * points[a][0] + points[a][1] * points[a][1];
            double sb = points[b][0] * points[b][0] + points[b][1] * points[b][1];
            collisions += sa != sb && std::sqrt(sa) == std::sqrt(sb);
        }
    }
    ASSERT_GT(collisions, 0);
    // Offered farthest first, every nearer candidate meets a kept farthest neighbour that may
    // share its root; then in shuffled orders.
    auto square = [](const std::vector<double>& p) { return p[0] * p[0] + p[1] * p[1]; };
    std::stable_sort(points.begin() + 1, points.end(),
                     [&](const auto& a, const auto& b) { return square(a) > square(b); });
    for (int k = 1; k <= 12; ++k)
        expect_same_graph(points, k, 1, "farthest first, k " + std::to_string(k));
    std::mt19937_64 rng(17);
    for (int round = 0; round < 4; ++round) {
        std::shuffle(points.begin() + 1, points.end(), rng);
        for (int k : {1, 8, 20, 60}) {
            expect_same_graph(points, k, 1, "round " + std::to_string(round));
        }
    }
}

TEST(FastConstruction, SourcesInManyChunksOnSeveralThreads) {
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<int> grid(0, 4);
    Points points = random_points(rng, 2000, 2, [&] { return static_cast<double>(grid(rng)); });
    expect_same_graph(points, 7, 3, "n 2000 k 7, 13 sources a chunk", 7 * 13);
    expect_same_graph(points, 30, 2, "n 2000 k 30, 1 source a chunk", 1);
}

TEST(FastConstruction, BuildsAConsistentGraphAndCountsEveryPair) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    Points points = random_points(rng, 300, 5, [&] { return uniform(rng); });
    Graph* g = build(points, 6, 2);
    EXPECT_TRUE(graph_check::consistent(g));
    EXPECT_EQ(get_dcalc(g), 300 * 299);
    free_graph(g);
    std::free(g);
}

}  // namespace
