#include "detect/lof.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "detect/init.h"
#include "detect/rules.h"
#include "driver/tarn.h"
#include "tests/graph_check.h"
#include "vectors/fvector.h"

namespace {

struct LofFixture : ::testing::Test {
    Graph* g = create_graph();
    Parameters* p = init_params();
    ~LofFixture() override {
        free_graph(g);
        std::free(g);
        std::free(p);
    }
    // Builds the k-nearest-neighbour graph of points on a line (the label column is 0).
    std::vector<Vertex*> line(const std::vector<double>& xs, int32_t k) {
        std::vector<Vertex*> vertices;
        for (double x : xs) {
            HFV v = fvCreate(2);
            fvSetElement(v, 0, x);
            fvSetElement(v, 1, 0.0);
            vertices.push_back(insert_vertex(g, v, static_cast<int32_t>(vertices.size())));
        }
        p->k = k;
        create_edges(g, k);
        return vertices;
    }
};

TEST_F(LofFixture, ScoresOfASmallGraphAndTheThreshold) {
    // k = 1 on 0, 1, 4: a → b (1), b → a (1), c → b (3); densities 1, 1, 1/3.
    std::vector<Vertex*> v = line({0, 1, 4}, 1);
    EXPECT_EQ(lrd(v[0]), 1.0);
    EXPECT_EQ(lrd(v[2]), 1.0 / 3.0);
    p->th = 2.0;
    EXPECT_EQ(lof_main(g, p), 0);
    EXPECT_EQ(v[0]->lof, 1.0);
    EXPECT_EQ(v[1]->lof, 1.0);
    EXPECT_EQ(v[2]->lof, 3.0);
    EXPECT_EQ(vertex_indegree(v[0]), 1);  // unmarked
    EXPECT_EQ(vertex_indegree(v[1]), 2);
    EXPECT_EQ(vertex_indegree(v[2]), 0);  // 3 > 2: marked
}

TEST_F(LofFixture, ReachDistanceUsesTheNeighboursKDistance) {
    // k = 1 on 0, 1, 3, 10: k-distances 1, 1, 2, 7; densities 1, 1, 1/2, 1/7.
    std::vector<Vertex*> v = line({0, 1, 3, 10}, 1);
    p->th = 1.0;
    lof_main(g, p);
    EXPECT_EQ(v[2]->lof, 2.0);
    EXPECT_EQ(v[3]->lof, 3.5);
    EXPECT_EQ(vertex_indegree(v[0]), 1);  // a score equal to the threshold does not mark
}

TEST_F(LofFixture, ZeroDistancesGiveInfiniteDensitiesAndUnmarkedNotANumber) {
    // Three equal points and one at 5, k = 2: the equal points have infinite density.
    std::vector<Vertex*> v = line({0, 0, 0, 5}, 2);
    EXPECT_TRUE(std::isinf(lrd(v[0])));
    EXPECT_EQ(lrd(v[3]), 0.2);
    lof_main(g, p);
    EXPECT_TRUE(std::isnan(v[0]->lof));
    EXPECT_TRUE(std::isinf(v[3]->lof));
    EXPECT_NE(vertex_indegree(v[0]), 0);  // not-a-number never marks
    EXPECT_EQ(vertex_indegree(v[3]), 0);
}

TEST_F(LofFixture, EqualDistancesEverywhereScoreExactlyOne) {
    std::vector<Vertex*> v = line({0, 1, 2, 3, 4, 5}, 1);  // every kept edge has length 1
    std::vector<int32_t> before;
    for (Vertex* vertex : v)
        before.push_back(vertex_indegree(vertex));
    p->th = 1.0;
    lof_main(g, p);
    for (size_t i = 0; i < v.size(); ++i) {
        EXPECT_EQ(v[i]->lof, 1.0);
        EXPECT_EQ(vertex_indegree(v[i]), before[i]);  // a score equal to the limit marks nothing
    }
}

// Only scores that an infinite density made non-finite count, each kind apart.
TEST_F(LofFixture, DuplicateScoresCountWhatZeroReachabilityMade) {
    struct Case {
        std::vector<double> xs;
        int32_t k, nan, inf;
    };
    const Case cases[] = {
        {{0, 1, 3, 10}, 1, 0, 0},       {{0, 0, 0, 5}, 2, 3, 1},
        {{0, 0, 5, 6, 9}, 1, 2, 0},  // a pair nobody else keeps
        {{0, 0, 1}, 1, 2, 1},        // 1 keeps the first 0: a finite density over an infinite one
        {{INFINITY, 1, 2, 3}, 1, 0, 0},  // infinite, but from a distance, not a duplicate
    };
    for (const Case& c : cases) {
        free_graph(g);
        line(c.xs, c.k);
        lof_main(g, p);
        const tarn::DuplicateScores counts = tarn::duplicate_scores(g);
        EXPECT_EQ(counts.nan, c.nan) << ::testing::PrintToString(c.xs);
        EXPECT_EQ(counts.inf, c.inf) << ::testing::PrintToString(c.xs);
    }
}

TEST(LofRule, EveryScoreAndMarkIsTheSpecifiedRulesBitForBit) {
    // Small integer rows tie at every distance and repeat (infinite densities, infinite and
    // not-a-number scores); non-finite values give not-a-number distances. More vertices than
    // a thread takes at a time, so every thread count splits the work.
    Parameters* p = init_params();
    int round = 0;
    for (int n : {12, 2600}) {
        for (int d : {1, 2, 3}) {
            for (int k : {1, 4, 9}) {
                const bool non_finite = round % 2 == 1;
                const auto rows = graph_check::awkward_rows(uint64_t(round), n, d, non_finite);
                p->th = round % 3 == 0 ? 1.0 : 1.25;
                p->threads = 1 + round % 3;
                ++round;
                Graph* specified = graph_check::graph_of(rows, k);
                Graph* fast = graph_check::graph_of(rows, k);
                lof_main(specified, p);
                p->lof = 1;
                tarn::run_kernel_over_graph(fast, p);
                int mismatches = 0;
                for (Vertex *a = specified->top, *b = fast->top; a != nullptr && mismatches < 3;
                     a = a->next, b = b->next) {
                    if (std::bit_cast<uint64_t>(a->lof) != std::bit_cast<uint64_t>(b->lof) ||
                        a->indegree != b->indegree) {
                        ++mismatches;
                        ADD_FAILURE() << "n " << n << " d " << d << " k " << k << " threads "
                                      << p->threads << " vertex " << a->id << ": " << a->lof << " "
                                      << a->indegree << " against " << b->lof << " " << b->indegree;
                    }
                }
                for (Graph* g : {specified, fast}) {
                    free_graph(g);
                    std::free(g);
                }
            }
        }
    }
    std::free(p);
}

}  // namespace
