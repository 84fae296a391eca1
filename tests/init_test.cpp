#include "detect/init.h"
#include "driver/tarn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "tests/graph_check.h"
#include "vectors/fvector.h"

namespace {

// A vertex whose vector holds the given values followed by a label column of 0.
Vertex* add_point(Graph* g, std::vector<double> values, int32_t id) {
    values.push_back(0.0);
    HFV v = fvCreate(static_cast<int32_t>(values.size()));
    for (size_t i = 0; i < values.size(); ++i)
        fvSetElement(v, static_cast<int32_t>(i), values[i]);
    return insert_vertex(g, v, id);
}

std::vector<Vertex*> outbound_targets(Vertex* v) {
    std::vector<Vertex*> targets;
    for (Edge* e = v->outn; e != nullptr; e = e->next)
        targets.push_back(e->to);
    return targets;
}

struct GraphFixture : ::testing::Test {
    Graph* g = create_graph();
    Parameters* p = init_params();
    ~GraphFixture() override {
        free_graph(g);
        std::free(g);
        std::free(p);
    }
};

using Construction = GraphFixture;

TEST_F(Construction, TiesAtTheFarthestDistanceKeepTheEarlierCandidate) {
    // Distances from A to B, C, D offered in that order, k = 2.
    struct Case {
        double b, c, d;
        int kept_first, kept_second;  // indices into {B, C, D}, nearest first
    };
    const Case cases[] = {{5, -5, 3, 2, 1},   // 5, 5, 3: D displaces B, the earlier 5
                          {3, 5, -5, 0, 1}};  // 3, 5, 5: D is not below the kept 5
    for (const Case& c : cases) {
        Graph* graph = create_graph();
        Vertex* a = add_point(graph, {0}, 0);
        Vertex* others[] = {add_point(graph, {c.b}, 1), add_point(graph, {c.c}, 2),
                            add_point(graph, {c.d}, 3)};
        for (Vertex* to : others)
            calculate_edge(graph, a, to, 2);
        EXPECT_EQ(outbound_targets(a),
                  (std::vector<Vertex*>{others[c.kept_first], others[c.kept_second]}));
        EXPECT_EQ(get_dcalc(graph), 3);
        free_graph(graph);
        std::free(graph);
    }
}

// A reference of the candidate rule on plain arrays: the kept list of one source in outbound
// order, built by offering every target in insertion order.
struct Kept {
    double dist;
    int target;
    long stamp;  // global order of acceptance, which orders the inbound lists
};

std::vector<std::vector<Kept>> reference_selection(const std::vector<std::vector<double>>& pts,
                                                   int k) {
    std::vector<std::vector<Kept>> kept(pts.size());
    long stamp = 0;
    for (size_t s = 0; s < pts.size(); ++s) {
        for (size_t t = 0; t < pts.size(); ++t) {
            if (s == t) continue;
            double sum = 0.0;
            for (size_t i = 0; i < pts[s].size(); ++i) {
                double diff = pts[s][i] - pts[t][i];
                sum += diff * diff;
            }
            double d = std::sqrt(sum);
            std::vector<Kept>& list = kept[s];
            if (static_cast<int>(list.size()) == k) {
                if (!(d < list.back().dist)) continue;
                list.pop_back();
            }
            size_t at = 0;
            while (at < list.size() && d > list[at].dist)
                ++at;
            list.insert(list.begin() + static_cast<long>(at), {d, static_cast<int>(t), stamp++});
        }
    }
    return kept;
}

TEST_F(Construction, KeepsWhatTheCandidateRuleKeepsOnTiedIntegerData) {
    std::mt19937 rng(7);
    for (int round = 0; round < 12; ++round) {
        const int n = 10 + round * 4, dim = 1 + round % 3, k = 1 + round % (n - 1);
        std::uniform_int_distribution<int> coordinate(0, 3);
        std::vector<std::vector<double>> pts(n, std::vector<double>(dim));
        Graph* graph = create_graph();
        std::vector<Vertex*> vertices;
        for (int i = 0; i < n; ++i) {
            for (double& x : pts[i])
                x = coordinate(rng);
            vertices.push_back(add_point(graph, pts[i], i));
        }
        create_edges(graph, k);
        EXPECT_EQ(get_dcalc(graph), n * (n - 1));
        EXPECT_TRUE(graph_check::consistent(graph));

        auto expected = reference_selection(pts, k);
        std::vector<std::vector<const Kept*>> inbound(n);
        for (int s = 0; s < n; ++s) {
            std::vector<Vertex*> targets;
            std::vector<double> dists;
            for (const Kept& kept : expected[s]) {
                targets.push_back(vertices[kept.target]);
                dists.push_back(kept.dist);
                inbound[kept.target].push_back(&kept);
            }
            EXPECT_EQ(outbound_targets(vertices[s]), targets) << "source " << s;
            std::vector<double> actual;
            for (Edge* e = vertices[s]->outn; e != nullptr; e = e->next)
                actual.push_back(e->dist);
            EXPECT_EQ(actual, dists);
        }
        for (int t = 0; t < n; ++t) {
            std::sort(inbound[t].begin(), inbound[t].end(),
                      [](const Kept* x, const Kept* y) { return x->stamp < y->stamp; });
            std::vector<double> expected_in, actual_in;
            for (const Kept* kept : inbound[t])
                expected_in.push_back(kept->dist);
            for (Edge* e = vertices[t]->inn; e != nullptr; e = e->next)
                actual_in.push_back(e->dist);
            EXPECT_EQ(actual_in, expected_in) << "target " << t;
        }
        free_graph(graph);
        std::free(graph);
    }
}

// a → b (1), b → a (1), c → b (3): the k = 1 graph of three points on a line at 0, 1 and 4.
struct SmallGraph {
    SmallGraph(const SmallGraph&) = delete;
    Graph* g = create_graph();
    Parameters* p = init_params();
    Vertex* a = add_point(g, {0}, 0);
    Vertex* b = add_point(g, {1}, 1);
    Vertex* c = add_point(g, {4}, 2);
    SmallGraph() {
        p->k = 1;
        create_edges(g, 1);
    }
    ~SmallGraph() {
        free_graph(g);
        std::free(g);
        std::free(p);
    }
};

TEST(SmallGraphRules, MutualPruningRemovesOnlyOneWayEdges) {
    SmallGraph fixture;
    auto& [g, p, a, b, c] = fixture;
    mknn(g);
    EXPECT_TRUE(graph_check::consistent(g));
    EXPECT_EQ(outbound_targets(a), std::vector<Vertex*>{b});
    EXPECT_EQ(outbound_targets(b), std::vector<Vertex*>{a});
    EXPECT_EQ(outbound_targets(c), std::vector<Vertex*>{});
    EXPECT_EQ(vertex_indegree(a), 1);
    EXPECT_EQ(vertex_indegree(b), 1);
    EXPECT_EQ(vertex_indegree(c), 0);
}

TEST(SmallGraphRules, ThresholdSubtractsTheMinimumAtTheEnd) {
    SmallGraph fixture;
    auto& [g, p, a, b, c] = fixture;
    EXPECT_EQ(findmin(g), 1.0);
    EXPECT_EQ(findmax(g), 3.0);
    EXPECT_EQ(calcthreshold(g, 0.5), 0.0);  // (3 − 1) × 0.5 − 1
    EXPECT_EQ(calcthreshold(g, 0.0), -1.0);
    EXPECT_EQ(maxincoming(b), 3.0);
    EXPECT_EQ(meanincoming(b, 1), 4.0);
    EXPECT_EQ(meanincoming(b, 4), 1.0);
    EXPECT_EQ(maxincoming(c), 0.0);
}

TEST(SmallGraphRules, IncomingRulesUseTheIntegerFactorAndStrictComparison) {
    struct Case {
        bool mean;
        double th;
        int32_t marks[3];  // in-degrees of a, b, c afterwards
    };
    // Values with k = 1: a has in-degree 1 (factor 1, incoming 1.0), b in-degree 2 (factor 0),
    // c in-degree 0 (skipped). Threshold = 2 × th − 1.
    const Case cases[] = {
        {false, 1.0, {1, 2, 0}},  // threshold 1: a's value 1 is not above it
        {false, 0.9, {0, 2, 0}},  // threshold 0.8: a marked; b's value 0 is not
        {true, 1.0, {1, 2, 0}},   // mean: 1 / k = 1, same as max here
        {true, 0.25, {0, 0, 0}},  // threshold -0.5: b's value 0 is above it
    };
    for (const Case& row : cases) {
        SmallGraph fresh;
        fresh.p->th = row.th;
        if (row.mean) {
            meanin(fresh.g, fresh.p);
        } else {
            maxin(fresh.g, fresh.p);
        }
        EXPECT_EQ(vertex_indegree(fresh.a), row.marks[0]) << row.th;
        EXPECT_EQ(vertex_indegree(fresh.b), row.marks[1]) << row.th;
        EXPECT_EQ(vertex_indegree(fresh.c), row.marks[2]) << row.th;
    }
}

TEST(SmallGraphRules, DefaultRuleMarksInDegreesUpToTheLimit) {
    struct Case {
        int32_t limit;
        int32_t marks[3];
    };
    const Case cases[] = {{0, {1, 2, 0}},
                          {1, {0, 2, 0}},
                          {2, {0, 0, 0}},
                          {-1, {1, 2, 0}},
                          {std::numeric_limits<int32_t>::max(), {0, 0, 0}},
                          {std::numeric_limits<int32_t>::min(), {1, 2, 0}}};
    for (const Case& row : cases) {
        SmallGraph fresh;
        fresh.p->I = row.limit;
        kill_unwated_vertexes(fresh.g, fresh.p);
        EXPECT_EQ(vertex_indegree(fresh.a), row.marks[0]) << row.limit;
        EXPECT_EQ(vertex_indegree(fresh.b), row.marks[1]) << row.limit;
        EXPECT_EQ(vertex_indegree(fresh.c), row.marks[2]) << row.limit;
    }
}

}  // namespace
