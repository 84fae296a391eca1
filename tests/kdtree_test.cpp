// The construction through the k-d tree against the per-pair reference, record by record and
// bit for bit, on data built to be hostile: ties at the k-th distance, duplicates, equal points,
// roots shared by different squares, distances that overflow, and the brute-force fallbacks.
#include "detect/kdtree.h"

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
#include "detect/knn.h"
#include "tests/graph_check.h"
#include "tests/testkit.h"
#include "vectors/fvector.h"

namespace {

using Points = std::vector<std::vector<double>>;

enum class Builder { kReference, kBruteForce, kIndexed };

Graph* build(const Points& points, int32_t k, Builder builder, int32_t threads = 1,
             size_t chunk_entries = tarn::kDefaultChunkEntries) {
    Graph* g = create_graph();
    for (size_t i = 0; i < points.size(); ++i) {
        HFV v = fvCreate(static_cast<int32_t>(points[i].size()) + 1);
        for (size_t c = 0; c < points[i].size(); ++c) {
            fvSetElement(v, static_cast<int32_t>(c), points[i][c]);
        }
        fvSetElement(v, static_cast<int32_t>(points[i].size()), static_cast<double>(i % 3));
        insert_vertex(g, v, static_cast<int32_t>(i));
    }
    switch (builder) {
        case Builder::kReference:
            create_edges(g, k);
            break;
        case Builder::kBruteForce:
            create_edges_fast(g, k, threads, chunk_entries);
            break;
        case Builder::kIndexed:
            // Data the tree cannot order goes to the brute force, as in a run.
            if (tree_applies(tarn::graph_vertices(g))) {
                create_edges_indexed(g, k, threads, chunk_entries);
            } else {
                create_edges_fast(g, k, threads, chunk_entries);
            }
            break;
    }
    return g;
}

void release(Graph* g) {
    free_graph(g);
    std::free(g);
}

// Builds through the index and with `against`, compares every vertex, and returns the index's
// distance counter.
int32_t expect_same_graph(const Points& points, int32_t k, int32_t threads, const std::string& what,
                          Builder against = Builder::kReference,
                          size_t chunk_entries = tarn::kDefaultChunkEntries) {
    Graph* expected = build(points, k, against, threads);
    Graph* indexed = build(points, k, Builder::kIndexed, threads, chunk_entries);
    const bool finite = std::all_of(points.begin(), points.end(), [](const auto& point) {
        return std::all_of(point.begin(), point.end(), [](double x) { return std::isfinite(x); });
    });
    // Not-a-number distances have no order for the checker to verify.
    if (finite) {
        EXPECT_TRUE(graph_check::consistent(indexed)) << what;
    }
    int mismatches = 0;
    const Vertex* e = expected->top;
    const Vertex* x = indexed->top;
    for (; e != nullptr && x != nullptr && mismatches < 3; e = e->next, x = x->next) {
        if (graph_check::describe(e) != graph_check::describe(x)) {
            ++mismatches;
            ADD_FAILURE() << what << ", vertex " << e->id << "\n expected "
                          << graph_check::describe(e) << "\n indexed  " << graph_check::describe(x);
        }
    }
    const int32_t evaluations = get_dcalc(indexed);
    release(expected);
    release(indexed);
    return evaluations;
}

struct Shape {
    const char* name;
    std::function<Points(std::mt19937_64&, int n, int dim)> make;
};

Points fill(int n, int dim, const std::function<double(int point, int axis)>& value) {
    Points points(static_cast<size_t>(n), std::vector<double>(static_cast<size_t>(dim)));
    for (int p = 0; p < n; ++p) {
        for (int a = 0; a < dim; ++a)
            points[static_cast<size_t>(p)][static_cast<size_t>(a)] = value(p, a);
    }
    return points;
}

// Data sets that stress the tie rule and the pruning bounds.
std::vector<Shape> hostile_shapes() {
    return {
        {"uniform",
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(-50.0, 50.0);
             return fill(n, dim, [&](int, int) { return u(rng); });
         }},
        {"grid 0..2",  // most distances tie at the k-th
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_int_distribution<int> g(0, 2);
             return fill(n, dim, [&](int, int) { return static_cast<double>(g(rng)); });
         }},
        {"grid 0..9 with a few axes",
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_int_distribution<int> g(0, 9);
             return fill(n, dim, [&](int, int a) { return a < 2 ? g(rng) : 0.0; });
         }},
        {"duplicates of a few points",
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(0.0, 1.0);
             Points pool = fill(5, dim, [&](int, int) { return u(rng); });
             std::uniform_int_distribution<int> pick(0, 4);
             Points points;
             for (int p = 0; p < n; ++p)
                 points.push_back(pool[static_cast<size_t>(pick(rng))]);
             return points;
         }},
        {"all equal", [](std::mt19937_64&, int n,
                         int dim) { return fill(n, dim, [](int, int) { return -3.25; }); }},
        {"gaussian clusters",
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(0.0, 100.0);
             std::normal_distribution<double> g(0.0, 1.0);
             Points centres = fill(4, dim, [&](int, int) { return u(rng); });
             Points points;
             for (int p = 0; p < n; ++p) {
                 const auto& c = centres[static_cast<size_t>(p % 4)];
                 std::vector<double> x(c);
                 for (double& v : x)
                     v += g(rng);
                 points.push_back(x);
             }
             return points;
         }},
        {"one line, collinear and sorted",  // every split falls on one axis
         [](std::mt19937_64&, int n, int dim) {
             return fill(n, dim, [](int p, int a) { return a == 0 ? p / 3 : 1.0; });
         }},
        {"wild scales",  // tiny, huge and overflowing squares side by side
         [](std::mt19937_64& rng, int n, int dim) {
             const double scales[] = {1e-310, 1e-160, 1.0,
                                      1e150,  1e300,  std::numeric_limits<double>::max()};
             std::uniform_int_distribution<int> pick(0, 5);
             std::uniform_int_distribution<int> g(-2, 2);
             return fill(n, dim, [&](int, int) { return g(rng) * (scales[pick(rng)] / 2); });
         }},
    };
}

TEST(IndexedConstruction, MatchesTheReferenceOnHostileData) {
    std::mt19937_64 rng(2027);
    const int sizes[] = {2, 3, 9, 40, 220};
    int round = 0;
    for (const Shape& shape : hostile_shapes()) {
        for (int n : sizes) {
            const int dim = 1 + (round * 5) % 16;
            Points points = shape.make(rng, n, dim);
            std::vector<int> ks{1, 2, std::max(1, n / 3), n - 1};
            ks.erase(std::remove_if(ks.begin(), ks.end(), [&](int k) { return k >= n; }), ks.end());
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

TEST(IndexedConstruction, MatchesTheBruteForceOnLargerSetsInEveryDimension) {
    // The tree gets deep here, so most cells are pruned; the brute force stands in for the
    // per-pair reference, which it matches bit for bit.
    std::mt19937_64 rng(99);
    const std::vector<Shape> shapes = hostile_shapes();
    int round = 0;
    for (int dim = 1; dim <= 16; ++dim) {
        const Shape& shape = shapes[static_cast<size_t>(dim) % shapes.size()];
        const int n = 700;
        Points points = shape.make(rng, n, dim);
        for (int k : {1, 2 + dim}) {
            const int threads = 1 + round++ % 2;
            std::ostringstream what;
            what << shape.name << " n " << n << " dim " << dim << " k " << k;
            expect_same_graph(points, k, threads, what.str(), Builder::kBruteForce);
        }
    }
}

TEST(IndexedConstruction, EqualRootsOfDifferentSquaresStayTies) {
    // Far from the origin neighbouring squares often share one root; the rule compares roots,
    // so a target whose square lies just above the k-th square but whose root equals the k-th
    // distance must still be collected.
    std::vector<double> base{0.0, 0.0};
    Points points;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 30; ++j)
            points.push_back({1e8 + i * 0x1p-26, j * 0.25});
    }
    std::mt19937_64 rng(5);
    for (int round = 0; round < 4; ++round) {
        Points shuffled = points;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        shuffled.insert(shuffled.begin() + round * 7, base);
        int collisions = 0;
        for (size_t a = 0; a < shuffled.size(); ++a) {
            for (size_t b = a + 1; b < shuffled.size(); ++b) {
                double sa = shuffled[a][0] * shuffled[a][0] + shuffled[a][1] * shuffled[a][1];
                double sb = shuffled[b][0] * shuffled[b][0] + shuffled[b][1] * shuffled[b][1];
                collisions += sa != sb && std::sqrt(sa) == std::sqrt(sb);
            }
        }
        ASSERT_GT(collisions, 0);
        for (int k : {1, 2, 5, 17, 60, 120}) {
            expect_same_graph(shuffled, k, 1,
                              "round " + std::to_string(round) + " k " + std::to_string(k));
        }
    }
}

TEST(IndexedConstruction, OneNeighbourKeepsTheDistanceToTheFirstTargetAsLargest) {
    // With k = 1 the first target taken is removed without a predecessor, so largest_dist stays
    // at the distance to the first target offered: vertex 0, or vertex 1 for vertex 0 itself.
    const Points points{{10.0}, {0.0}, {7.0}, {1.0}, {6.5}};
    const double first[] = {10.0, 10.0, 3.0, 9.0, 3.5};
    const double nearest[] = {3.0, 1.0, 0.5, 1.0, 0.5};
    for (Builder builder : {Builder::kReference, Builder::kIndexed}) {
        Graph* g = build(points, 1, builder);
        int i = 0;
        for (const Vertex* v = g->top; v != nullptr; v = v->next, ++i) {
            EXPECT_EQ(v->largest_dist, first[i]) << "vertex " << i;
            EXPECT_EQ(v->outn->dist, nearest[i]) << "vertex " << i;
        }
        release(g);
    }
}

TEST(IndexedConstruction, NonFiniteOrMissingCoordinatesFallBackToTheBruteForce) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937_64 rng(8);
    std::uniform_int_distribution<int> g(0, 3);
    struct Case {
        const char* name;
        std::vector<double> first;
    };
    const Case cases[] = {{"not a number", {nan, 1.0, 2.0}},
                          {"infinity", {1.0, inf, 0.0}},
                          {"minus infinity", {-inf, 0.0, 0.0}},
                          {"infinity and not a number", {inf, nan, -inf}}};
    const int n = 80;
    for (const Case& c : cases) {
        Points points = fill(n, 3, [&](int, int) { return static_cast<double>(g(rng)); });
        points[0] = c.first;
        points[40] = points[7];
        for (int k : {1, 5, n - 1}) {
            const int32_t evaluations =
                expect_same_graph(points, k, 2, std::string(c.name) + " k " + std::to_string(k));
            EXPECT_EQ(evaluations, n * (n - 1)) << c.name;
        }
    }
    Points labels_only(30, std::vector<double>{});
    for (int k : {1, 29}) {
        EXPECT_EQ(expect_same_graph(labels_only, k, 1, "labels only"), 30 * 29);
    }
}

TEST(IndexedConstruction, CountsTheEvaluationsItMakes) {
    // Finite data goes through the tree: well-separated uniform points need a small share of
    // the pairs. The reference's count, n × (n − 1), is only reached by the fallback.
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int n = 2000;
    Points points = fill(n, 2, [&](int, int) { return u(rng); });
    const int32_t evaluations = expect_same_graph(points, 5, 1, "uniform", Builder::kBruteForce);
    EXPECT_GT(evaluations, n * 5);
    EXPECT_LT(evaluations, n * (n - 1) / 10);
    // The same data with every thread count and chunking gives the same count.
    EXPECT_EQ(expect_same_graph(points, 5, 3, "three threads", Builder::kBruteForce, 5 * 7),
              evaluations);
}

TEST(IndexedConstruction, SourcesInManyChunksOnSeveralThreads) {
    std::mt19937_64 rng(6);
    std::uniform_int_distribution<int> g(0, 4);
    Points points = fill(1200, 2, [&](int, int) { return static_cast<double>(g(rng)); });
    expect_same_graph(points, 7, 3, "7 × 13 entries a chunk", Builder::kBruteForce, 7 * 13);
    expect_same_graph(points, 30, 2, "one source a chunk", Builder::kBruteForce, 1);
}

TEST(IndexedConstruction, EveryReportIsTheSameWithAndWithoutTheIndex) {
    std::ostringstream text;
    std::mt19937_64 rng(12);
    std::uniform_int_distribution<int> g(0, 6);
    for (int p = 0; p < 150; ++p)
        text << g(rng) << ' ' << g(rng) << ", " << g(rng) * 0.5 << ' ' << p % 2 << '\n';
    testkit::TempFile input(text.str());
    const std::vector<std::vector<std::string>> rules = {
        {}, {"-I", "2"}, {"-m"}, {"-M", "-T", "0.3"}, {"-X", "-T", "0.2"}, {"-l"}};
    for (const auto& rule : rules) {
        for (const char* k : {"1", "4", "20"}) {
            std::vector<std::string> args{"-i", input.path(), "-k", k, "-j", "2"};
            args.insert(args.end(), rule.begin(), rule.end());
            testkit::Outcome plain = testkit::run_tarn(args);
            args.push_back("-x");
            testkit::Outcome indexed = testkit::run_tarn(args);
            EXPECT_EQ(plain.status, 0);
            EXPECT_EQ(indexed.status, 0);
            EXPECT_EQ(indexed.out, plain.out) << ::testing::PrintToString(args);
            EXPECT_EQ(indexed.err, plain.err);
        }
    }
}

}  // namespace
