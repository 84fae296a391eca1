// Every graph builder against the per-pair reference, record by record and bit for bit: one
// table of builders × data shapes × thread counts × chunkings.
#include "detect/construct.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "detect/construct.h"
#include "detect/init.h"
#include "detect/kdtree.h"
#include "detect/knn.h"
#include "tests/graph_check.h"
#include "tests/testkit.h"
#include "vectors/fvector.h"

namespace {

using Points = std::vector<std::vector<double>>;
using tarn::Array;

enum class Builder { kReference, kTiled, kTree };

const char* name_of(Builder builder) {
    return builder == Builder::kTree    ? "k-d tree"
           : builder == Builder::kTiled ? "tiled"
                                        : "per-pair";
}

// The graph of points (each given a label) built by builder; the tree hands data it cannot
// order to the tiled brute force, as a run does.
Graph* build(const Points& points, int32_t k, Builder builder, int32_t threads = 1,
             size_t chunk = tarn::kDefaultChunkEntries, tarn::SourceBlock block = {},
             tarn::Metric metric = {}) {
    Graph* g = create_graph();
    g->metric = metric;
    for (size_t i = 0; i < points.size(); ++i) {
        HFV v = fvCreate(static_cast<int32_t>(points[i].size()) + 1);
        for (size_t c = 0; c < points[i].size(); ++c)
            fvSetElement(v, static_cast<int32_t>(c), points[i][c]);
        fvSetElement(v, static_cast<int32_t>(points[i].size()), static_cast<double>(i % 3));
        insert_vertex(g, v, static_cast<int32_t>(i));
    }
    if (builder == Builder::kReference) {
        create_edges(g, k);
    } else if (builder == Builder::kTree &&
               tarn::tree_applies(tarn::graph_rows(tarn::graph_vertices(g), metric))) {
        tarn::create_edges_indexed(g, k, threads, chunk, block);
    } else {
        tarn::create_edges_fast(g, k, threads, chunk, block);
    }
    return g;
}

void release(Graph* g) {
    free_graph(g);
    std::free(g);
}

bool finite(const Points& points) {
    return std::all_of(points.begin(), points.end(), [](const auto& point) {
        return std::all_of(point.begin(), point.end(), [](double x) { return std::isfinite(x); });
    });
}

bool has_nan_distance(const Graph* g) {
    for (const Vertex* v = g->top; v != nullptr; v = v->next)
        for (const Edge* e = v->outn; e != nullptr; e = e->next)
            if (std::isnan(e->dist)) return true;
    return false;
}

// Builds with builder and with `against`, compares every vertex, and returns the builder's
// distance counter.
int32_t expect_same_graph(const Points& points, int32_t k, Builder builder, int32_t threads,
                          const std::string& what, Builder against = Builder::kReference,
                          size_t chunk = tarn::kDefaultChunkEntries, tarn::Metric metric = {}) {
    Graph* expected = build(points, k, against, 1, tarn::kDefaultChunkEntries, {}, metric);
    Graph* built = build(points, k, builder, threads, chunk, {}, metric);
    // Not-a-number distances have no order for the checker to verify (the cosine's come from
    // finite vectors too, where a squared norm overflows).
    if (finite(points) && !has_nan_distance(built)) {
        EXPECT_TRUE(graph_check::consistent(built)) << what;
    }
    // The flat lists of the same builder, threads and chunking, searched in the builder's own
    // order, hold the graph's outbound lists.
    const tarn::Rows rows = tarn::graph_rows(tarn::graph_vertices(built), metric);
    tarn::NeighbourLists lists;
    tarn::FlatListSink sink(lists, static_cast<int32_t>(points.size()), k);
    if (builder == Builder::kTree && tarn::tree_applies(rows)) {
        tarn::search_tree(rows, k, threads, sink, chunk);
    } else {
        tarn::search_tiled(rows, k, threads, sink, chunk);
    }
    // Their distances, measured again from the vectors, are the builder's to the bit, and
    // the k-distance is the last one's.
    int listed = 0;
    for (const Vertex* v = built->top; v != nullptr && listed < 3; v = v->next) {
        size_t at = lists.at(v->id);
        const double* source = rows[static_cast<size_t>(v->id)];
        for (const Edge* edge = v->outn; edge != nullptr; edge = edge->next, ++at) {
            const double measured = tarn::entry_distance(rows, source, lists, at);
            if (edge->to->id == lists.target[at] &&
                std::bit_cast<uint64_t>(edge->dist) == std::bit_cast<uint64_t>(measured) &&
                (edge->next != nullptr ||
                 std::bit_cast<uint64_t>(edge->dist) ==
                     std::bit_cast<uint64_t>(lists.kdist[static_cast<size_t>(v->id)])))
                continue;
            ++listed;
            ADD_FAILURE() << what << ", flat list of vertex " << v->id << " at " << at;
            break;
        }
    }
    int mismatches = 0;
    const Vertex* e = expected->top;
    const Vertex* b = built->top;
    for (; e != nullptr && b != nullptr && mismatches < 3; e = e->next, b = b->next) {
        if (graph_check::describe(e) != graph_check::describe(b)) {
            ++mismatches;
            ADD_FAILURE() << what << ", vertex " << e->id << "\n expected "
                          << graph_check::describe(e) << "\n built    " << graph_check::describe(b);
        }
    }
    const int32_t evaluations = get_dcalc(built);
    release(expected);
    release(built);
    return evaluations;
}

Points fill(int n, int dim, const std::function<double(int point, int axis)>& value) {
    Points points(static_cast<size_t>(n), std::vector<double>(static_cast<size_t>(dim)));
    for (int p = 0; p < n; ++p) {
        for (int a = 0; a < dim; ++a)
            points[static_cast<size_t>(p)][static_cast<size_t>(a)] = value(p, a);
    }
    return points;
}

struct Shape {
    const char* name;
    std::function<Points(std::mt19937_64&, int n, int dim)> make;
};

// Data that stresses the tie rule, the screens and the pruning bounds.
std::vector<Shape> shapes() {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto grid = [](int top) {
        return [top](std::mt19937_64& rng, int n, int dim) {
            std::uniform_int_distribution<int> g(0, top);
            return fill(n, dim, [&](int, int) { return static_cast<double>(g(rng)); });
        };
    };
    // Grid data whose first point holds a non-finite value and with one exact duplicate.
    auto non_finite = [grid](std::vector<double> first) {
        return [grid, first](std::mt19937_64& rng, int n, int dim) {
            Points points = grid(3)(rng, n, dim);
            for (size_t a = 0; a < points[0].size(); ++a)
                points[0][a] = first[a % first.size()];
            if (n > 7) points[static_cast<size_t>(n / 2)] = points[5];
            return points;
        };
    };
    // Distinct points in shuffled order: the first coordinate of each its own multiple of
    // scale, the others random multiples.
    auto spread = [](double scale) {
        return [scale](std::mt19937_64& rng, int n, int dim) {
            std::vector<int> order(static_cast<size_t>(n));
            std::iota(order.begin(), order.end(), 0);
            std::shuffle(order.begin(), order.end(), rng);
            std::uniform_int_distribution<int> g(-9, 9);
            return fill(n, dim, [&](int p, int a) {
                return (a == 0 ? order[static_cast<size_t>(p)] : g(rng)) * scale;
            });
        };
    };
    return {
        {"uniform",
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(-50.0, 50.0);
             return fill(n, dim, [&](int, int) { return u(rng); });
         }},
        {"grid 0..2", grid(2)},  // most distances tie at the k-th
        {"grid 0..9 on two axes",
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_int_distribution<int> g(0, 9);
             return fill(n, dim, [&](int, int a) { return a < 2 ? g(rng) : 0.0; });
         }},
        {"duplicates of a few points",
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(0.0, 1.0);
             Points pool = fill(5, dim, [&](int, int) { return u(rng); });
             std::uniform_int_distribution<size_t> pick(0, 4);
             Points points;
             for (int p = 0; p < n; ++p)
                 points.push_back(pool[pick(rng)]);
             return points;
         }},
        {"all equal", [](std::mt19937_64&, int n,
                         int dim) { return fill(n, dim, [](int, int) { return -3.25; }); }},
        {"all equal but three",  // one leaf that cannot split, ties at the k-th for the others
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(-1.0, 1.0);
             return fill(n, dim, [&](int p, int) { return p % 97 == 1 ? u(rng) : 0.5; });
         }},
        {"unit vectors",  // equal vectors in groups, every other group at one distance
         [](std::mt19937_64&, int n, int dim) {
             return fill(n, dim, [dim](int p, int a) { return p % dim == a ? 1.0 : 0.0; });
         }},
        {"gaussian clusters",
         [](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(0.0, 100.0);
             std::normal_distribution<double> g(0.0, 1.0);
             Points centres = fill(4, dim, [&](int, int) { return u(rng); });
             return fill(n, dim, [&](int p, int a) {
                 return centres[static_cast<size_t>(p % 4)][static_cast<size_t>(a)] + g(rng);
             });
         }},
        {"one line, collinear and sorted",  // every split falls on one axis
         [](std::mt19937_64&, int n, int dim) {
             return fill(n, dim, [](int p, int a) { return a == 0 ? p / 3 : 1.0; });
         }},
        {"wild scales",  // tiny, huge and overflowing squares side by side
         [](std::mt19937_64& rng, int n, int dim) {
             const double scales[] = {1e-310, 1e-160, 1.0,
                                      1e150,  1e300,  std::numeric_limits<double>::max()};
             std::uniform_int_distribution<size_t> pick(0, 5);
             std::uniform_int_distribution<int> g(-2, 2);
             return fill(n, dim, [&](int, int) { return g(rng) * (scales[pick(rng)] / 2); });
         }},
        // Distinct points, in no spatial order, whose squares all overflow (every distance
        // infinite) or all underflow (every distance 0): every target ties at the k-th.
        {"squares all overflow", spread(1e300)},
        {"squares all underflow", spread(1e-170)},
        // Uniform points with every 50th one among points whose squares underflow, then only
        // those; uniform points among ones whose squares overflow.
        {"uniform, then squares underflowing",
         [spread](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(1.0, 2.0);
             Points points = spread(1e-170)(rng, n, dim);
             for (int p = 0; p < n / 2; ++p)
                 if (p % 50 != 0)
                     for (double& x : points[size_t(p)])
                         x = u(rng);
             return points;
         }},
        {"uniform among squares overflowing",
         [spread](std::mt19937_64& rng, int n, int dim) {
             std::uniform_real_distribution<double> u(0.0, 1.0);
             Points points = spread(1e300)(rng, n, dim);
             for (int p = 0; p < n; p += 2)
                 for (double& x : points[size_t(p)])
                     x = u(rng);
             return points;
         }},
        {"not a number first", non_finite({nan, 1.0, 2.0})},
        {"infinities first", non_finite({inf, -inf, 0.0})},
        {"not-a-numbers of either sign",
         [grid, nan](std::mt19937_64& rng, int n, int dim) {
             Points points = grid(3)(rng, n, dim);
             const double negative = std::copysign(nan, -1.0);
             for (size_t p = 0; p < std::min<size_t>(3, points.size()); ++p)
                 for (size_t a = 0; a < points[p].size(); ++a)
                     points[p][a] = (a + p) % 3 == 0 ? nan : (a + p) % 3 == 1 ? negative : 1.0;
             return points;
         }},
        {"labels only", [](std::mt19937_64&, int n, int) { return Points(size_t(n)); }},
    };
}

// The table: every builder on every shape at several sizes, dimensions, k, thread counts and
// chunkings, against `against` (the per-pair reference on small sets, the tiled brute force,
// which matches it, on larger ones).
void expect_builders_match(const std::vector<int>& sizes, Builder against, uint64_t seed,
                           tarn::Metric metric = {}) {
    std::mt19937_64 rng(seed);
    int round = 0;
    for (const Shape& shape : shapes()) {
        for (int n : sizes) {
            const int dim = 1 + (round * 5) % 16;
            const Points points = shape.make(rng, n, dim);
            std::vector<int> ks{1, 2, std::max(1, n / 3), n - 1};
            ks.erase(std::remove_if(ks.begin(), ks.end(), [&](int k) { return k >= n; }), ks.end());
            if (n > 300) ks = {1, 2 + dim};
            for (int k : ks) {
                const int threads = 1 + round % 3;
                // One source a chunk, a few sources a chunk, or the default.
                const size_t chunks[] = {tarn::kDefaultChunkEntries, size_t(k), size_t(k) * 13};
                const size_t chunk = chunks[round % 3];
                ++round;
                for (Builder builder : {Builder::kTiled, Builder::kTree}) {
                    if (builder == against) continue;
                    std::ostringstream what;
                    what << name_of(builder) << ", " << shape.name << " n " << n << " dim " << dim
                         << " k " << k << " threads " << threads << " chunk " << chunk << " "
                         << tarn::metric_name(metric.kind) << " p " << metric.p;
                    expect_same_graph(points, k, builder, threads, what.str(), against, chunk,
                                      metric);
                }
            }
        }
    }
}

// A thread count a user asks for is capped: -j 100000 must not start 100000 threads.
TEST(Construction, ThreadCountsAreCapped) {
    const int32_t online = static_cast<int32_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    const std::pair<int32_t, int32_t> cases[] = {{1, 1},        {0, std::min(online, 256)},
                                                 {256, 256},    {257, 256},
                                                 {100000, 256}, {INT32_MAX, 256}};
    for (const auto& [asked, threads] : cases)
        EXPECT_EQ(tarn::worker_threads(asked), threads) << asked;
}

TEST(Construction, BuildersMatchTheReferenceOnSmallSets) {
    expect_builders_match({2, 3, 9, 40, 150}, Builder::kReference, 2027);
}

// Every metric, on every shape (ties, duplicates, overflow, underflow, non-finite values): the
// cosine on the tiled brute force alone, the tree handing it on as a run does.
TEST(Construction, BuildersMatchTheReferenceForEveryMetric) {
    const std::pair<tarn::Metric, std::vector<int>> rows[] = {
        {{tarn::MetricKind::kManhattan, 2.0}, {3, 40, 120}},
        {{tarn::MetricKind::kChebyshev, 2.0}, {3, 40, 120}},
        {tarn::metric_minkowski(1.5), {3, 70}},  // pow is slow without optimisation
        {tarn::metric_minkowski(3.0), {40}},
        {{tarn::MetricKind::kCosine, 2.0}, {3, 40, 120}},
    };
    for (const auto& [metric, sizes] : rows)
        expect_builders_match(sizes, Builder::kReference, 2029, metric);
}

// A process of a distributed run builds one block of sources: each source of the block gets
// the whole graph's outbound list (targets, order, distances, largest_dist), every other vertex
// none. Both builders, every shape, blocks of every kind (empty, one source, the first and the
// last ones), threads and chunks.
TEST(Construction, ABlockOfSourcesGetsTheWholeGraphsLists) {
    auto outbound = [](const Vertex* v) {  // what describe says of the outbound list only
        std::ostringstream out;
        out << std::bit_cast<uint64_t>(v->largest_dist) << " |";
        for (const Edge* e = v->outn; e != nullptr; e = e->next)
            out << ' ' << e->to->id << ':' << std::bit_cast<uint64_t>(e->dist);
        return out.str();
    };
    const std::string none = "0 |";  // no outbound list, largest_dist still 0
    std::mt19937_64 rng(19);
    int round = 0;
    for (const Shape& shape : shapes()) {
        const int n = 70, dim = 1 + round % 5;
        const Points points = shape.make(rng, n, dim);
        for (int k : {1, 4}) {
            for (Builder builder : {Builder::kTiled, Builder::kTree}) {
                Graph* whole = build(points, k, builder);
                const Array<Vertex*> expected = tarn::graph_vertices(whole);
                for (const tarn::SourceBlock block :
                     {tarn::SourceBlock{0, 0}, {0, 9}, {9, 10}, {10, 47}, {47, n}}) {
                    const int32_t threads = 1 + round % 2;
                    const size_t chunk =
                        round % 2 == 0 ? size_t(k) * 5 : tarn::kDefaultChunkEntries;
                    ++round;
                    Graph* part = build(points, k, builder, threads, chunk, block);
                    const Array<Vertex*> built = tarn::graph_vertices(part);
                    for (int32_t s = 0; s < n; ++s) {
                        const bool own = s >= block.first && s < block.last;
                        EXPECT_EQ(outbound(built[size_t(s)]),
                                  own ? outbound(expected[size_t(s)]) : none)
                            << name_of(builder) << ", " << shape.name << " k " << k << " block "
                            << block.first << ".." << block.last << " source " << s;
                    }
                    release(part);
                }
                release(whole);
            }
        }
    }
}

// A search of chosen sources alone (a region's second search) gives each the list the whole
// search gives it, on every shape the tree applies to: targets, order and k-distance's bits.
TEST(Construction, ASearchOfChosenSourcesGivesTheirWholeLists) {
    struct Chosen final : tarn::ListSink {
        std::map<int32_t, std::string> lists;
        bool in_source_order() const override { return false; }
        void write(const int32_t* sources, const tarn::Mirror* mirrors, int32_t count) override {
            for (int32_t i = 0; i < count; ++i) {
                std::ostringstream out;
                for (int32_t e = 0; e < mirrors[i].count; ++e)
                    out << mirrors[i].kept[e].target << ' ';
                out << std::bit_cast<uint64_t>(mirrors[i].kept[mirrors[i].count - 1].dist);
                lists[sources[i]] = out.str();
            }
        }
    };
    std::mt19937_64 rng(23);
    int searched = 0;
    for (const Shape& shape : shapes()) {
        const int32_t n = 90, k = 4;
        Points points = shape.make(rng, n, 2);
        tarn::Rows rows;
        rows.features = static_cast<int32_t>(points[0].size());  // a shape may keep its own
        for (std::vector<double>& point : points)
            rows.row.push_back(point.data());
        if (!tarn::tree_applies(rows)) continue;
        ++searched;
        tarn::NeighbourLists whole;
        tarn::FlatListSink sink(whole, n, k);
        tarn::search_tree(rows, k, 1, sink);
        Array<int32_t> sources;
        for (int32_t s = n - 1; s >= 0; s -= 3)
            sources.push_back(s);
        Chosen chosen;
        tarn::search_tree_of(rows, k, 2, chosen, sources);
        ASSERT_EQ(chosen.lists.size(), sources.size()) << shape.name;
        for (const auto& [s, got] : chosen.lists) {
            std::ostringstream want;
            for (size_t at = whole.at(s); at < whole.at(s + 1); ++at)
                want << whole.target[at] << ' ';
            want << std::bit_cast<uint64_t>(whole.kdist[size_t(s)]);
            EXPECT_EQ(got, want.str()) << shape.name << " source " << s;
        }
    }
    EXPECT_GE(searched, 5);  // the shapes with finite values
}

// The bound between two boxes never exceeds a distance between vectors inside them, and for a
// box that is one point it is that point's bound to the other box, bit for bit.
TEST(Construction, TheBoundBetweenBoxesIsBelowEveryDistanceAcross) {
    const tarn::Metric metrics[] = {{tarn::MetricKind::kEuclidean, 2.0},
                                    {tarn::MetricKind::kManhattan, 2.0},
                                    {tarn::MetricKind::kChebyshev, 2.0},
                                    tarn::metric_minkowski(3.0)};
    std::mt19937_64 rng(29);
    std::uniform_real_distribution<double> place(-1e3, 1e3), width(0.0, 50.0), share(0.0, 1.0);
    for (const tarn::Metric& metric : metrics) {
        for (int trial = 0; trial < 300; ++trial) {
            const int32_t d = 1 + trial % 4;
            const size_t size = static_cast<size_t>(d);
            std::vector<double> lo1(size), hi1(size), lo2(size), hi2(size), a(size), b(size);
            for (size_t i = 0; i < size; ++i) {
                lo1[i] = place(rng);
                hi1[i] = lo1[i] + (trial % 3 == 0 ? 0.0 : width(rng));
                lo2[i] = trial % 5 == 0 ? lo1[i] : place(rng);  // overlapping sides too
                hi2[i] = lo2[i] + width(rng);
                a[i] = lo1[i] + share(rng) * (hi1[i] - lo1[i]);
                b[i] = std::min(hi2[i], lo2[i] + share(rng) * (hi2[i] - lo2[i]));
                a[i] = std::min(a[i], hi1[i]);
            }
            const double bound =
                tarn::metric_boxes_bound(metric, lo1.data(), hi1.data(), lo2.data(), hi2.data(), d);
            EXPECT_LE(bound, tarn::metric_distance(metric, a.data(), b.data(), d)) << trial;
            EXPECT_LE(bound, tarn::metric_distance(metric, b.data(), a.data(), d)) << trial;
            EXPECT_EQ(std::bit_cast<uint64_t>(tarn::metric_boxes_bound(metric, a.data(), a.data(),
                                                                       lo2.data(), hi2.data(), d)),
                      std::bit_cast<uint64_t>(
                          tarn::metric_box_bound(metric, a.data(), lo2.data(), hi2.data(), d)))
                << trial;
        }
    }
}

TEST(Construction, TheTreeMatchesTheBruteForceOnLargerSets) {
    expect_builders_match({700, 1500}, Builder::kTiled, 99);
}

// Big cells of the tree are split on several threads; the lists are those of one thread, on
// clustered data with duplicates, for every shape the threads can split it into.
TEST(Construction, ATreeBuiltOnThreadsGivesTheSameLists) {
    std::mt19937_64 rng(4);
    std::normal_distribution<double> g(0.0, 1.0);
    const Points points = fill(150000, 2, [&](int p, int a) {
        return p % 10 == 0 ? 1.0 : (p % 3) * 8.0 + g(rng) * (a + 1);
    });
    std::vector<double> values;
    tarn::Rows rows;
    rows.features = 2;
    values.reserve(points.size() * 3);
    for (const auto& point : points)
        values.insert(values.end(), {point[0], point[1], 0.0});
    for (size_t i = 0; i < points.size(); ++i)
        rows.row.push_back(values.data() + 3 * i);
    tarn::NeighbourLists expected;
    for (const int32_t threads : {1, 2, 3}) {
        tarn::NeighbourLists lists;
        tarn::FlatListSink sink(lists, static_cast<int32_t>(points.size()), 6);
        tarn::search_tree(rows, 6, threads, sink);
        if (threads == 1) {
            expected = std::move(lists);
            continue;
        }
        EXPECT_TRUE(lists.target == expected.target) << threads << " threads";
        EXPECT_TRUE(lists.kdist == expected.kdist) << threads << " threads";
    }
}

TEST(Construction, EqualRootsOfDifferentSquaresStayTies) {
    // Far from the origin neighbouring squares often share one root; the rule compares roots,
    // so such candidates tie and the earlier one stays, and the tree must collect a target whose
    // square lies just above the k-th square but whose root equals the k-th distance.
    Points points;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 30; ++j)
            points.push_back({1e8 + i * 0x1p-26, j * 0.25});
    }
    auto square = [](const std::vector<double>& p) { return p[0] * p[0] + p[1] * p[1]; };
    int collisions = 0;
    for (size_t a = 0; a < points.size(); ++a) {
        for (size_t b = a + 1; b < points.size(); ++b) {
            const double sa = square(points[a]), sb = square(points[b]);
            collisions += sa != sb && std::sqrt(sa) == std::sqrt(sb);
        }
    }
    ASSERT_GT(collisions, 0);
    // Farthest first, every nearer candidate meets a kept farthest neighbour that may share its
    // root; then shuffled, with the origin at different places.
    Points farthest = points;
    std::stable_sort(farthest.begin(), farthest.end(),
                     [&](const auto& a, const auto& b) { return square(a) > square(b); });
    farthest.insert(farthest.begin(), {0.0, 0.0});
    std::mt19937_64 rng(5);
    for (int round = 0; round < 4; ++round) {
        Points shuffled = points;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        shuffled.insert(shuffled.begin() + round * 7, {0.0, 0.0});
        for (const Points* set : {&farthest, &shuffled}) {
            for (int k : {1, 2, 5, 17, 60, 120}) {
                for (Builder builder : {Builder::kTiled, Builder::kTree}) {
                    expect_same_graph(*set, k, builder, 1 + k % 2,
                                      std::string(name_of(builder)) + " round " +
                                          std::to_string(round) + " k " + std::to_string(k));
                }
            }
        }
    }
}

TEST(Construction, TheTreeBoundsTiesAndEqualVectors) {
    // The origin and its equal copies see every unit vector at distance 1, far more ties than a
    // search keeps before it trims them; unit vectors see the origin at 1 and each other at √2.
    // Copies of the origin come first, last and in between, so that the targets kept at a tie
    // are not the first found.
    const int dim = 150;
    Points points = fill(dim, dim, [](int p, int a) { return p == a ? 1.0 : 0.0; });
    for (int copy = 0; copy < 6; ++copy)
        points.insert(points.begin() + copy * 31, std::vector<double>(size_t(dim), 0.0));
    for (int k : {1, 2, 5, 7, 40, 155}) {
        expect_same_graph(points, k, Builder::kTree, 1 + k % 2,
                          "unit vectors, k " + std::to_string(k));
    }
}

TEST(Construction, OneNeighbourKeepsTheDistanceToTheFirstTargetAsLargest) {
    // With k = 1 the first target taken is removed without a predecessor, so largest_dist stays
    // at the distance to the first target offered: vertex 0, or vertex 1 for vertex 0 itself.
    const Points points{{10.0}, {0.0}, {7.0}, {1.0}, {6.5}};
    const double first[] = {10.0, 10.0, 3.0, 9.0, 3.5};
    const double nearest[] = {3.0, 1.0, 0.5, 1.0, 0.5};
    for (Builder builder : {Builder::kReference, Builder::kTiled, Builder::kTree}) {
        Graph* g = build(points, 1, builder);
        int i = 0;
        for (const Vertex* v = g->top; v != nullptr; v = v->next, ++i) {
            EXPECT_EQ(v->largest_dist, first[i]) << name_of(builder) << " vertex " << i;
            EXPECT_EQ(v->outn->dist, nearest[i]) << name_of(builder) << " vertex " << i;
        }
        release(g);
    }
}

TEST(Construction, DistanceCountersOfEachBuilder) {
    // The brute force evaluates every ordered pair, as the reference does; the tree counts the
    // evaluations it makes, a small share on well-separated points, the same for every thread
    // count and chunking; data it cannot order goes to the brute force.
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int n = 2000;
    Points points = fill(n, 2, [&](int, int) { return u(rng); });
    EXPECT_EQ(expect_same_graph(points, 5, Builder::kTiled, 2, "tiled", Builder::kTiled),
              n * (n - 1));
    const int32_t tree = expect_same_graph(points, 5, Builder::kTree, 1, "tree", Builder::kTiled);
    EXPECT_GT(tree, n * 5);
    EXPECT_LT(tree, n * (n - 1) / 10);
    EXPECT_EQ(expect_same_graph(points, 5, Builder::kTree, 3, "tree", Builder::kTiled, 5 * 7),
              tree);
    points[0][1] = std::numeric_limits<double>::infinity();
    EXPECT_EQ(expect_same_graph(points, 5, Builder::kTree, 2, "fallback", Builder::kTiled),
              n * (n - 1));
}

TEST(Construction, EveryReportIsTheSameWithAndWithoutTheIndex) {
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
