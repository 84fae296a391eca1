// The library's entry point: the verdict of vectors in memory equals, bit for bit, what the
// command line's graph holds for the same vectors, and every failure comes back as an error
// without a word on either stream.
#include "detect/core.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "detect/init.h"
#include "driver/tarn.h"
#include "tests/testkit.h"

namespace {

using testkit::TempFile;

// Seeded points in a few clusters with duplicates and ties on a grid, the last column a label.
std::vector<double> seeded_rows(int32_t n, int32_t d) {
    std::mt19937_64 rng(2027);
    std::uniform_int_distribution<int> grid(0, 6);
    std::vector<double> rows(static_cast<size_t>(n) * static_cast<size_t>(d));
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t c = 0; c + 1 < d; ++c)
            rows[static_cast<size_t>(i * d + c)] = grid(rng) * 0.5 + (i % 3) * 10.0;
        rows[static_cast<size_t>(i * d + d - 1)] = i % 17 == 0 ? 1.0 : 0.0;
    }
    return rows;
}

std::string as_text(const std::vector<double>& rows, int32_t d) {
    std::string text;
    char number[32];
    for (size_t i = 0; i < rows.size(); ++i) {
        std::snprintf(number, sizeof number, "%.17g", rows[i]);
        text += number;
        text += (i + 1) % static_cast<size_t>(d) == 0 ? "\n" : " ";
    }
    return text;
}

uint64_t bits(double x) {
    return std::bit_cast<uint64_t>(x);
}

TEST(Core, TheVerdictIsTheCommandLinesGraphBitForBit) {
    struct Case {
        const char* name;
        void (*set)(Parameters*);
    };
    const Case cases[] = {
        {"in-degree, I = 1", [](Parameters* p) { p->I = 1; }},
        {"mutual", [](Parameters* p) { p->mknn = 1; }},
        {"mean incoming", [](Parameters* p) { p->meanin = 1; }},
        {"max incoming, T = 0.2", [](Parameters* p) { p->maxin = 1, p->th = 0.2; }},
        {"lof", [](Parameters* p) { p->lof = 1; }},
        {"lof -x -j 2", [](Parameters* p) { p->lof = 1, p->index = 1, p->threads = 2; }},
        {"mutual -x", [](Parameters* p) { p->mknn = 1, p->index = 1; }},
    };
    const int32_t n = 120, d = 4;
    const std::vector<double> rows = seeded_rows(n, d);
    TempFile file(as_text(rows, d));
    for (const Case& c : cases) {
        Parameters* p = init_params();
        p->k = 5;
        c.set(p);
        tarn::Verdict verdict;
        ASSERT_FALSE(tarn::detect(rows.data(), n, d, p, &verdict).has_value()) << c.name;
        p->instr = const_cast<char*>(file.path().c_str());
        Graph* g = init(p);
        size_t i = 0;
        for (Vertex* v = g->top; v != nullptr; v = v->next, ++i) {
            EXPECT_EQ(bits(verdict.lof[i]), bits(v->lof)) << c.name << " " << i;
            EXPECT_EQ(verdict.label[i], v->flag) << c.name << " " << i;
            EXPECT_EQ(verdict.marked[i], tarn::vertex_marked(v)) << c.name << " " << i;
            EXPECT_EQ(verdict.indegree[i], tarn::inbound_count(v)) << c.name << " " << i;
            EXPECT_EQ(bits(verdict.score[i]), bits(tarn::ranking_score(v, p))) << c.name;
        }
        EXPECT_EQ(i, static_cast<size_t>(n));
        // Only pruning changes an in-degree after construction.
        EXPECT_EQ(verdict.built_indegree == verdict.indegree, p->mknn == 0) << c.name;
        free_graph(g);
        std::free(g);
        std::free(p);
    }
}

TEST(Core, FailuresComeBackAsErrorsWithoutAWord) {
    struct Case {
        int32_t n, k;
        tarn::ErrorKind kind;
        std::string message;
    };
    const Case cases[] = {
        {4, 4, tarn::ErrorKind::kNeighbourhood,
         "Neighbourhood value is 4 too BIG!, it should be smaller than 4\n"},
        {4, 0, tarn::ErrorKind::kNeighbourhood,
         "Neighbourhood value is 0 too small!, it should be at least 1\n"},
        {0, 3, tarn::ErrorKind::kNeighbourhood,
         "Neighbourhood value is 3 too BIG!, it should be smaller than 0\n"},
    };
    const std::vector<double> rows = seeded_rows(4, 3);
    for (const Case& c : cases) {
        Parameters* p = init_params();
        p->k = c.k;
        tarn::Verdict verdict;
        std::optional<tarn::Error> failure;
        const std::string err = testkit::capture_stderr([&] {
            const std::string out = testkit::capture_stdout(
                [&] { failure = tarn::detect(rows.data(), c.n, 3, p, &verdict); });
            EXPECT_EQ(out, "");
        });
        EXPECT_EQ(err, "");
        ASSERT_TRUE(failure.has_value()) << c.message;
        EXPECT_EQ(failure->kind, c.kind);
        EXPECT_EQ(failure->message, c.message);
        EXPECT_TRUE(verdict.score.empty());
        std::free(p);
    }
}

}  // namespace
