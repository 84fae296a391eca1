#include "graph/graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tests/graph_check.h"
#include "tests/testkit.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using testkit::vector_of;

std::vector<Edge*> outbound(const Vertex* v) {
    std::vector<Edge*> records;
    for (Edge* e = v->outn; e != nullptr; e = e->next)
        records.push_back(e);
    return records;
}

std::vector<Edge*> inbound(const Vertex* v) {
    std::vector<Edge*> records;
    for (Edge* e = v->inn; e != nullptr; e = e->next)
        records.push_back(e);
    return records;
}

std::vector<Vertex*> vertex_list(const Graph* g) {
    std::vector<Vertex*> vertices;
    for (Vertex* v = g->top; v != nullptr; v = v->next)
        vertices.push_back(v);
    return vertices;
}

// Every mutation goes through a helper that runs the structural checker right after it.
class GraphTest : public ::testing::Test {
protected:
    ~GraphTest() override {
        free_graph(g_);
        EXPECT_TRUE(graph_check::consistent(g_));
        std::free(g_);
    }
    void check() { EXPECT_TRUE(graph_check::consistent(g_, exact_indegree_, nan_sources_)); }
    Vertex* vertex(std::initializer_list<double> values = {0.0, 0.0}) {
        Vertex* v = insert_vertex(g_, vector_of(values), next_id_++);
        check();
        return v;
    }
    std::vector<Vertex*> vertices(int n) {
        std::vector<Vertex*> made;
        for (int i = 0; i < n; ++i)
            made.push_back(vertex());
        return made;
    }
    Edge* edge(Vertex* from, Vertex* to, double d) {
        Edge* e = insert_edge(g_, from, to, d);
        if (std::isnan(d)) nan_sources_.insert(from);
        check();
        return e;
    }
    void remove_outbound(Vertex* v, Edge* e) {
        free_edge(v, e);
        check();
    }
    void remove_inbound(Vertex* v, Edge* e) {
        free_inbound_edge(v, e);
        check();
    }
    void remove_vertex(Vertex* v) {
        free_vertex(g_, v);
        nan_sources_.erase(v);
        check();
    }
    void reset() {
        free_graph(g_);
        nan_sources_.clear();
        next_id_ = 0;
    }

    Graph* g_ = create_graph();
    int32_t next_id_ = 0;
    bool exact_indegree_ = true;
    std::unordered_set<const Vertex*> nan_sources_;
};

// ---- Graph store ----

TEST_F(GraphTest, InsertedVertexTakesItsLabelAndClearsIt) {
    EXPECT_EQ(g_->total_vert, 0);
    EXPECT_EQ(g_->top, nullptr);
    next_id_ = 5;
    Vertex* v = vertex({1.0, 2.0, 3.7});
    EXPECT_EQ(v->flag, 3);
    EXPECT_EQ(std::vector<double>(v->vector->vector, v->vector->vector + v->vector->dim),
              (std::vector<double>{1.0, 2.0, 0.0}));
    EXPECT_EQ(v->freq, 1);
    EXPECT_EQ(v->lof, 0.0);
    EXPECT_EQ(v->id, 5);
    EXPECT_EQ(v->largest_dist, 0.0);
    EXPECT_EQ(v->edge_lut, nullptr);
    EXPECT_EQ(g_->top, v);
    EXPECT_EQ(g_->bottom, v);
    EXPECT_EQ(get_nvert(g_), 1);
}

TEST_F(GraphTest, LabelConversionIsAlwaysDefined) {
    const double inf = std::numeric_limits<double>::infinity();
    const int32_t max = std::numeric_limits<int32_t>::max();
    const int32_t min = std::numeric_limits<int32_t>::min();
    const struct {
        double last;
        int32_t flag;
    } cases[] = {{3.7, 3},
                 {2.9, 2},
                 {-2.7, -2},
                 {-0.5, 0},
                 {kNaN, 0},
                 {1e12, max},
                 {-1e12, min},
                 {inf, max},
                 {-inf, min},
                 {2147483647.9, max},
                 {2147483648.0, max},
                 {-2147483648.9, min},
                 {-2147483649.0, min}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.last);
        Vertex* v = vertex({c.last});
        EXPECT_EQ(v->flag, c.flag);
        EXPECT_EQ(fvGetElement(v->vector, 0), 0.0);
    }
}

TEST_F(GraphTest, OrderedInsertionPlacesTiesAndNotANumber) {
    // order: positions, in insertion order, of the records from outn to outf.
    const struct {
        std::vector<double> dists;
        std::vector<int> order;
        double largest;
    } cases[] = {
        {{3.0, 1.0, 2.0}, {1, 2, 0}, 3.0},
        {{1.0, 2.0, 3.0, 2.0}, {0, 3, 1, 2}, 3.0},  // a tie goes in front of the equal record
        {{1.0, 2.0, 2.0}, {0, 2, 1}, 2.0},          // ... so the farthest stays outf
        {{2.0, 2.0, 2.0}, {2, 1, 0}, 2.0},
        {{1.0, kNaN, 0.5, 2.0}, {2, 3, 1, 0}, 2.0},  // not-a-number stops the walk
        {{kNaN, 1.0}, {1, 0}, 1.0},
        {{-1.0}, {0}, 0.0},  // only a strictly greater distance raises largest_dist
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.dists));
        reset();
        Vertex* from = vertex();
        std::vector<Edge*> made;
        for (double d : c.dists)
            made.push_back(edge(from, vertex(), d));
        std::vector<Edge*> expected;
        for (int i : c.order)
            expected.push_back(made[i]);
        EXPECT_EQ(outbound(from), expected);
        EXPECT_EQ(vertex_sedge(from), expected.front());
        EXPECT_EQ(vertex_ledge(from), expected.back());
        EXPECT_EQ(vertex_degree(from), static_cast<int32_t>(made.size()));
        EXPECT_EQ(from->largest_dist, c.largest);
        for (Edge* e : made)
            EXPECT_EQ(vertex_indegree(vertex_edge_to(e)), 1);
    }
}

TEST_F(GraphTest, InboundRecordsKeepInsertionOrder) {
    Vertex* target = vertex();
    std::vector<Edge*> expected;
    for (double d : {5.0, 1.0, 3.0, kNaN})
        expected.push_back(edge(vertex(), target, d)->otherend);
    EXPECT_EQ(inbound(target), expected);
    EXPECT_EQ(vertex_indegree(target), 4);
}

TEST_F(GraphTest, RemovalFromEitherEndFollowsTheLargestDistanceRule) {
    // Remove record i of the list 1.0, 2.0, 3.0 through either of its records.
    for (bool through_inbound : {false, true}) {
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(std::to_string(i) + (through_inbound ? " inbound" : " outbound"));
            reset();
            Vertex* from = vertex();
            std::vector<Vertex*> to = vertices(3);
            std::vector<Edge*> made = {edge(from, to[0], 1.0), edge(from, to[1], 2.0),
                                       edge(from, to[2], 3.0)};
            if (through_inbound)
                remove_inbound(to[i], to[i]->inn);
            else
                remove_outbound(from, made[i]);
            made.erase(made.begin() + i);
            EXPECT_EQ(outbound(from), made);
            EXPECT_EQ(vertex_degree(from), 2);
            EXPECT_EQ(vertex_indegree(to[i]), 0);
            EXPECT_EQ(to[i]->inn, nullptr);
            EXPECT_EQ(from->largest_dist, i == 2 ? 2.0 : 3.0);
        }
    }
    // The only record's removal leaves largest_dist alone.
    reset();
    Vertex* from = vertex();
    remove_outbound(from, edge(from, vertex(), 5.0));
    EXPECT_EQ(from->outn, nullptr);
    EXPECT_EQ(from->outf, nullptr);
    EXPECT_EQ(from->outdegree, 0);
    EXPECT_EQ(from->largest_dist, 5.0);
}

TEST_F(GraphTest, VertexRemovalTakesEveryEdgeAtIt) {
    std::vector<Vertex*> v = vertices(6);  // v[0] goes; v[1], v[2] targets; v[3..5] sources
    edge(v[0], v[1], 1.0);
    edge(v[0], v[2], 2.0);
    edge(v[3], v[1], 1.0);
    edge(v[3], v[0], 4.0);  // v[3]'s farthest
    edge(v[4], v[0], 1.0);  // v[4]'s nearest
    edge(v[4], v[2], 3.0);
    edge(v[5], v[0], 2.0);  // v[5]'s only
    remove_vertex(v[0]);
    EXPECT_EQ(get_nvert(g_), 5);
    EXPECT_EQ(vertex_indegree(v[1]), 1);
    EXPECT_EQ(vertex_indegree(v[2]), 1);
    EXPECT_EQ(vertex_degree(v[3]), 1);
    EXPECT_EQ(vertex_degree(v[4]), 1);
    EXPECT_EQ(vertex_degree(v[5]), 0);
    EXPECT_EQ(v[3]->largest_dist, 1.0);
    EXPECT_EQ(v[4]->largest_dist, 3.0);
    EXPECT_EQ(v[5]->largest_dist, 2.0);
    // A self edge goes with its vertex.
    edge(v[1], v[1], 0.0);
    remove_vertex(v[1]);
    EXPECT_EQ(vertex_degree(v[3]), 0);
}

TEST_F(GraphTest, VertexRemovalRelinksEveryPosition) {
    for (int position = 0; position < 4; ++position) {
        SCOPED_TRACE(position);
        reset();
        std::vector<Vertex*> v = vertices(4);
        remove_vertex(v[position]);
        v.erase(v.begin() + position);
        EXPECT_EQ(vertex_list(g_), v);
        EXPECT_EQ(get_nvert(g_), 3);
    }
    reset();
    remove_vertex(vertex());
    EXPECT_EQ(g_->top, nullptr);
    EXPECT_EQ(g_->bottom, nullptr);
    EXPECT_EQ(get_nvert(g_), 0);
}

TEST_F(GraphTest, EmptyingKeepsTheRecordAndTheDistanceCount) {
    std::vector<Vertex*> v = vertices(4);
    for (Vertex* from : v)
        for (Vertex* to : v)
            if (from != to) edge(from, to, cdist(g_, from, to));
    EXPECT_EQ(get_dcalc(g_), 12);
    free_graph(g_);
    check();
    EXPECT_EQ(get_nvert(g_), 0);
    EXPECT_EQ(g_->top, nullptr);
    EXPECT_EQ(g_->bottom, nullptr);
    EXPECT_EQ(get_dcalc(g_), 12);
    set_dcalc(g_);
    EXPECT_EQ(get_dcalc(g_), 0);
}

TEST_F(GraphTest, OutlierMarkKeepsCountingDown) {
    Vertex* v = vertex();
    Edge* first = edge(vertex(), v, 1.0);
    edge(vertex(), v, 1.0);
    EXPECT_EQ(vertex_indegree_set(v, 0), 0);
    EXPECT_EQ(vertex_indegree(v), 0);
    exact_indegree_ = false;
    remove_outbound(first->from, first);
    EXPECT_EQ(vertex_indegree(v), -1);
}

TEST_F(GraphTest, EdgeLookUpTableCoversZeroToId) {
    next_id_ = 4;
    Vertex* v = vertex();
    create_edge_lut(v);
    for (int32_t i = 0; i <= 4; ++i)
        EXPECT_EQ(check_edge_lut(v, i), 0);
    update_edge_lut(v, 2);
    for (int32_t i = 0; i <= 4; ++i)
        EXPECT_EQ(check_edge_lut(v, i), i == 2 ? 1 : 0) << i;
    v->edge_lut[3] = 7;  // only exactly 1 counts
    EXPECT_EQ(check_edge_lut(v, 3), 0);
    free_edge_lut(v);
    EXPECT_EQ(v->edge_lut, nullptr);
}

TEST_F(GraphTest, DistanceIsEuclideanSummedInIndexOrder) {
    // In index order each 1 added to 1e16 is lost to rounding, giving exactly 1e8; summing the
    // two ones first would give 1e16 + 2, whose root rounds above 1e8.
    Vertex* a = vertex({1e8, 1.0, 1.0, 9.0});
    Vertex* b = vertex({0.0, 0.0, 0.0, 4.0});  // labels never count
    EXPECT_EQ(cdist(g_, a, b), 1e8);
    EXPECT_EQ(cdist(g_, vertex({0.0, 0.0, 1.0}), vertex({3.0, -4.0, 2.0})), 5.0);
    EXPECT_EQ(cdist(g_, vertex({2.5, 1.0}), vertex({2.5, 7.0})), 0.0);
    EXPECT_EQ(get_dcalc(g_), 3);
    set_dcalc(g_);
    EXPECT_EQ(cdist(g_, b, a), 1e8);
    EXPECT_EQ(get_dcalc(g_), 1);
}

// ---- Graph traversal ----

std::vector<Vertex*> walk_vertices(Graph* g) {
    std::vector<Vertex*> seen;
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it))
        seen.push_back(v);
    return seen;
}

template <typename Step, typename Source>
std::vector<Edge*> walk_edges(Step step, Source* source) {
    std::vector<Edge*> seen;
    Iterator* it = iterate_start();
    while (Edge* e = step(source, it))
        seen.push_back(e);
    return seen;
}

TEST_F(GraphTest, ListWalksVisitEveryItemOnce) {
    EXPECT_TRUE(walk_vertices(g_).empty());
    std::vector<Vertex*> v = vertices(3);
    EXPECT_EQ(walk_vertices(g_), v);
    EXPECT_TRUE(walk_edges(iterate_vertex_edge, v[0]).empty());
    EXPECT_TRUE(walk_edges(iterate_vertex_inbound_edge, v[0]).empty());
    Edge* far = edge(v[0], v[1], 3.0);
    Edge* near = edge(v[0], v[2], 1.0);
    Edge* mid = edge(v[0], v[0], 2.0);
    Edge* back = edge(v[2], v[0], 0.5);
    EXPECT_EQ(walk_edges(iterate_vertex_edge, v[0]), (std::vector<Edge*>{near, mid, far}));
    EXPECT_EQ(walk_edges(iterate_vertex_inbound_edge, v[0]),
              (std::vector<Edge*>{mid->otherend, back->otherend}));
}

TEST_F(GraphTest, CurrentRecordMayBeRemovedDuringAnOutboundWalk) {
    // Every subset of the list 1.0, 2.0, 3.0 removed as it is handed out.
    for (unsigned mask = 0; mask < 8; ++mask) {
        SCOPED_TRACE(mask);
        reset();
        Vertex* from = vertex();
        std::vector<Edge*> made;
        for (double d : {1.0, 2.0, 3.0})
            made.push_back(edge(from, vertex(), d));
        std::vector<Edge*> seen, kept;
        Iterator* it = iterate_start();
        for (unsigned i = 0; Edge* e = iterate_vertex_edge(from, it); ++i) {
            seen.push_back(e);
            if ((mask >> i & 1u) != 0)
                remove_outbound(from, e);
            else
                kept.push_back(e);
        }
        EXPECT_EQ(seen, made);
        EXPECT_EQ(outbound(from), kept);
    }
}

TEST_F(GraphTest, RecordsOfOneGraphOutliveTheRemovalsAndReleaseOfAnother) {
    // The other graph's pair must survive this graph's churn and its release; under
    // AddressSanitizer a record released too early fails the reads at the end.
    Graph* other = create_graph();
    Vertex* a = insert_vertex(other, vector_of({0.0, 0.0}), 0);
    Vertex* b = insert_vertex(other, vector_of({1.0, 0.0}), 1);
    Edge* kept = insert_edge(other, a, b, 1.0);
    std::vector<Vertex*> v = vertices(3);
    for (int round = 0; round < 100; ++round) {
        Edge* first = edge(v[0], v[1], round);
        edge(v[1], v[2], round);
        edge(v[2], v[0], round);
        remove_outbound(v[0], first);
        remove_inbound(v[2], v[2]->inn);
    }
    EXPECT_EQ(vertex_degree(v[2]), 100);
    reset();
    EXPECT_EQ(a->outn, kept);
    EXPECT_EQ(kept->dist, 1.0);
    EXPECT_EQ(kept->otherend, b->inn);
    EXPECT_EQ(b->inn->from, a);
    EXPECT_TRUE(graph_check::consistent(other));
    free_graph(other);
    std::free(other);
}

#if defined(__SANITIZE_ADDRESS__)
#define TARN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_ASAN 1
#endif
#endif

#if defined(TARN_ASAN)
TEST_F(GraphTest, ReleasedRecordsCannotBeReadUnderAddressSanitizer) {
    // A second pair keeps the records' slab alive, so the read hits a poisoned record; once the
    // last pair goes, the slab itself is released.
    Vertex* from = vertex();
    Edge* e = edge(from, vertex(), 2.0);
    edge(from, vertex(), 3.0);
    remove_outbound(from, e);
    EXPECT_DEATH(std::printf("%f\n", e->dist), "use-after-poison");
    Vertex* gone = vertex();
    remove_vertex(gone);
    EXPECT_DEATH(std::printf("%d\n", gone->id), "use-after-poison");
    reset();
    EXPECT_DEATH(std::printf("%f\n", e->dist), "heap-use-after-free");
}
#endif

class WalkTest : public GraphTest {
protected:
    // A fresh graph of vertices with the given numbers of outbound records; returns the
    // records vertex by vertex, nearest first (ascending insertion appends each at the tail).
    std::vector<Edge*> build(const std::vector<int>& counts) {
        reset();
        std::vector<Vertex*> v = vertices(static_cast<int>(counts.size()));
        std::vector<Edge*> records;
        for (size_t i = 0; i < counts.size(); ++i)
            for (int j = 1; j <= counts[i]; ++j)
                records.push_back(edge(v[i], v[0], j));
        return records;
    }
};

TEST_F(WalkTest, AllEdgesWalkSkipsVerticesWithoutRecords) {
    EXPECT_TRUE(walk_edges(iterate_all_edges, g_).empty());
    for (const std::vector<int>& counts :
         {std::vector<int>{2, 0, 1, 3}, {0, 0, 2}, {0, 0, 0}, {1, 1}}) {
        SCOPED_TRACE(::testing::PrintToString(counts));
        std::vector<Edge*> records = build(counts);
        EXPECT_EQ(walk_edges(iterate_all_edges, g_), records);
    }
}

TEST_F(WalkTest, EdgeWalkStopsAtTheFirstVertexWithoutRecords) {
    EXPECT_TRUE(walk_edges(iterate_edge, g_).empty());  // no vertices at all
    const struct {
        std::vector<int> counts;
        size_t returned;
    } cases[] = {{{2, 0, 1}, 2}, {{0, 3}, 0}, {{1, 2, 1}, 4}, {{2, 1, 0}, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.counts));
        std::vector<Edge*> records = build(c.counts);
        records.resize(c.returned);
        EXPECT_EQ(walk_edges(iterate_edge, g_), records);
    }
}

TEST_F(WalkTest, FindNextEdgeSearchesAfterTheGivenVertex) {
    std::vector<Edge*> records = build({0, 2, 0, 1, 0});
    std::vector<Vertex*> v = vertex_list(g_);
    EXPECT_EQ(find_next_edge(g_, nullptr), records[0]);
    EXPECT_EQ(find_next_edge(g_, v[0]), records[0]);
    EXPECT_EQ(find_next_edge(g_, v[1]), records[2]);
    EXPECT_EQ(find_next_edge(g_, v[3]), nullptr);
    EXPECT_EQ(find_next_edge(g_, v[4]), nullptr);
}

TEST_F(GraphTest, IsedgeLooksOnlyAtTheSourcesRecords) {
    std::vector<Vertex*> v = vertices(3);
    edge(v[0], v[2], 1.0);
    edge(v[0], v[1], 2.0);
    edge(v[2], v[1], 1.0);
    EXPECT_EQ(isedge(v[0], v[1]), 1);
    EXPECT_EQ(isedge(v[0], v[2]), 1);
    EXPECT_EQ(isedge(v[1], v[0]), 0);
    EXPECT_EQ(isedge(v[2], v[0]), 0);
    EXPECT_EQ(isedge(v[0], v[0]), 0);
}

TEST_F(GraphTest, PrintsOneLinePerVertex) {
    Vertex* a = vertex({1.5, 1.0});
    EXPECT_EQ(testkit::capture_stdout([&] { print_vertex(a); }),
              " 1.500000 0.000000 1 0.000000 \n");
    Vertex* b = vertex({-2.0, 0.25, -7.9});
    b->lof = 1.125;
    EXPECT_EQ(testkit::capture_stdout([&] { print_graph(g_); }),
              " 1.500000 0.000000 1 0.000000 \n"
              " -2.000000 0.250000 0.000000 -7 1.125000 \n");
}

// ---- Randomized run against a reference model ----

// The reference model: plain vectors in the documented orders. A new outbound record goes in
// front of the first record whose distance it does not strictly exceed; inbound records are
// appended; largest_dist rises on a strictly greater insertion and drops to the predecessor's
// distance when the farthest of several records goes.
struct Model {
    struct Lists {
        std::vector<Edge*> out, in;
        double largest = 0.0;
    };
    std::vector<Vertex*> order;
    std::unordered_map<Vertex*, Lists> at;

    void add_edge(Edge* e) {
        std::vector<Edge*>& out = at[e->from].out;
        auto stop =
            std::find_if(out.begin(), out.end(), [&](Edge* x) { return !(e->dist > x->dist); });
        out.insert(stop, e);
        at[e->to].in.push_back(e->otherend);
        if (e->dist > at[e->from].largest) at[e->from].largest = e->dist;
    }
    // Call before the pair is freed.
    void remove_pair(Edge* out_record) {
        Lists& source = at[out_record->from];
        if (source.out.size() > 1 && source.out.back() == out_record)
            source.largest = source.out[source.out.size() - 2]->dist;
        std::erase(source.out, out_record);
        std::erase(at[out_record->to].in, out_record->otherend);
    }
    void remove_vertex(Vertex* v) {
        while (!at[v].out.empty())
            remove_pair(at[v].out.front());
        while (!at[v].in.empty())
            remove_pair(at[v].in.front()->otherend);
        at.erase(v);
        std::erase(order, v);
    }
};

TEST_F(GraphTest, RandomMutationsKeepEveryInvariant) {
    std::mt19937 rng(20261208u);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const double dists[] = {0.0, 0.5, 1.0, 1.0, 1.5, 2.0, 2.0, 3.0, kNaN};
    Model model;
    auto compare = [&] {
        ASSERT_EQ(vertex_list(g_), model.order);
        for (Vertex* v : model.order) {
            ASSERT_EQ(outbound(v), model.at[v].out);
            ASSERT_EQ(inbound(v), model.at[v].in);
            ASSERT_EQ(std::bit_cast<uint64_t>(v->largest_dist),
                      std::bit_cast<uint64_t>(model.at[v].largest));
        }
    };
    auto any_vertex = [&] { return model.order[pick(model.order.size())]; };
    size_t removals[4] = {};
    for (int step = 0; step < 6000 && !HasFatalFailure(); ++step) {
        unsigned op = static_cast<unsigned>(pick(100));
        if (model.order.size() < 2 || (op < 8 && model.order.size() < 40)) {
            Vertex* v = vertex({static_cast<double>(step), static_cast<double>(step % 3)});
            model.order.push_back(v);
            model.at[v];
        } else if (op < 55) {
            // Occasionally a not-a-number distance; self edges and parallel edges too.
            double d = dists[pick(pick(20) == 0 ? 9 : 8)];
            model.add_edge(edge(any_vertex(), any_vertex(), d));
        } else if (op < 95) {
            Vertex* v = any_vertex();
            if (op < 70 && !model.at[v].out.empty()) {
                Edge* e = model.at[v].out[pick(model.at[v].out.size())];
                model.remove_pair(e);
                remove_outbound(v, e);
                ++removals[0];
            } else if (op < 85 && !model.at[v].in.empty()) {
                Edge* e = model.at[v].in[pick(model.at[v].in.size())];
                model.remove_pair(e->otherend);
                remove_inbound(v, e);
                ++removals[1];
            } else if (!model.at[v].out.empty()) {
                // An outbound walk that drops about half of the records as it meets them.
                std::vector<Edge*> expected = model.at[v].out, seen;
                Iterator* it = iterate_start();
                while (Edge* e = iterate_vertex_edge(v, it)) {
                    seen.push_back(e);
                    if (pick(2) == 0) {
                        model.remove_pair(e);
                        remove_outbound(v, e);
                        ++removals[2];
                    }
                }
                ASSERT_EQ(seen, expected);
            }
        } else {
            Vertex* v = any_vertex();
            model.remove_vertex(v);
            remove_vertex(v);
            ++removals[3];
        }
        compare();
    }
    // Every kind of removal happened often enough to matter.
    for (size_t count : removals)
        EXPECT_GT(count, 50u);
    free_graph(g_);
    check();
}

}  // namespace
