// The rule table and the verdict a run leaves: the selected rule, the marks, the ranking scores,
// and the -o report.
#include "detect/rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "detect/init.h"
#include "driver/tarn.h"
#include "tests/graph_check.h"
#include "tests/testkit.h"

namespace {

using namespace tarn;
using testkit::Outcome;
using testkit::run_tarn;
using testkit::TempFile;

// Points on a line at 0, 1, 3 and 10, the last labelled an outlier. With k = 1 the neighbours
// are 1, 0, 1 and 3 (in-degrees 1, 2, 1, 0). With k = 2 they are {1, 3}, {0, 3}, {1, 0} and
// {3, 1}: in-degrees 2, 3, 3, 0; inbound distances {1, 3}, {1, 2, 9}, {3, 2, 7}; the smallest
// nearest distance is 1 and the largest kept one 9, so the threshold of -M and -X is 8T − 1.
const std::string kLine = "0 0\n1 0\n3 0\n10 1\n";

struct Built {
    TempFile file{kLine};
    Parameters* p = init_params();
    Graph* g = nullptr;
    Built(int32_t k, void (*select)(Parameters*)) {
        p->k = k;
        select(p);
        p->instr = const_cast<char*>(file.path().c_str());
        g = init(p);
    }
    ~Built() {
        free_graph(g);
        std::free(g);
        std::free(p);  // instr belongs to the file object
    }
    std::vector<double> scores() const {
        std::vector<double> result;
        for (Vertex* v = g->top; v != nullptr; v = v->next)
            result.push_back(ranking_score(v, p));
        return result;
    }
};

TEST(Verdict, TheFirstSetFlagSelectsTheRule) {
    struct Case {
        int32_t mknn, meanin, maxin, lof;
        RuleKind rule;
    };
    const Case cases[] = {{0, 0, 0, 0, RULE_INDEGREE}, {1, 1, 1, 1, RULE_MKNN},
                          {0, 1, 1, 1, RULE_MEANIN},   {0, 0, 1, 1, RULE_MAXIN},
                          {0, 0, 0, 1, RULE_LOF},      {1, 0, 0, 1, RULE_MKNN}};
    for (const Case& c : cases) {
        Parameters* p = init_params();
        p->mknn = c.mknn;
        p->meanin = c.meanin;
        p->maxin = c.maxin;
        p->lof = c.lof;
        EXPECT_EQ(selected_rule(p).kind, c.rule) << c.mknn << c.meanin << c.maxin << c.lof;
        std::free(p);
    }
    // Lower in-degrees are more outlying; higher values of every other rule.
    for (const Rule& rule : rules()) {
        EXPECT_EQ(rule.higher_is_outlying, rule.kind != RULE_INDEGREE && rule.kind != RULE_MKNN)
            << rule.name;
    }
}

TEST(Verdict, RankingScoresOfEachRule) {
    const double inf = INFINITY;
    struct Case {
        const char* name;
        int32_t k;
        void (*select)(Parameters*);
        std::vector<double> scores;
    };
    const Case cases[] = {
        // The default rule with I = 1 overwrites in-degrees 1 with the mark (-o tests show it);
        // the inbound lists still give the in-degrees after construction.
        {"in-degree", 1, [](Parameters* p) { p->I = 1; }, {1, 2, 1, 0}},
        // Pruning keeps only 0 <-> 1.
        {"mknn", 1, [](Parameters* p) { p->mknn = 1; }, {1, 1, 0, 0}},
        // (2 / in-degree) × largest incoming: 1 × 3, 0 × 9, 0 × 7; nobody keeps 10. The
        // threshold 8 × 0.375 − 1 = 2 is passed by 3 only.
        {"maxin",
         2,
         [](Parameters* p) {
             p->maxin = 1;
             p->th = 0.375;
         },
         {3, 0, 0, inf}},
        // (2 / in-degree) × incoming sum / 2: 1 × 4 / 2 = 2, equal to the threshold, unmarked.
        {"meanin",
         2,
         [](Parameters* p) {
             p->meanin = 1;
             p->th = 0.375;
         },
         {2, 0, 0, inf}},
        {"lof",
         1,
         [](Parameters* p) {
             p->lof = 1;
             p->th = 1.5;
         },
         {1, 1, 2, 3.5}},
    };
    for (const Case& c : cases) {
        Built built(c.k, c.select);
        EXPECT_EQ(built.scores(), c.scores) << c.name;
    }
}

// The report with the mark as a third field; without -o the same lines lack it.
TEST(MarksInTheReport, EveryRuleShowsItsMarks) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"-k", "1"}, "0.000000 0 0\n0.000000 0 0\n0.000000 0 0\n0.000000 1 1\n"},
        {{"-k", "1", "-I", "1"}, "0.000000 0 1\n0.000000 0 0\n0.000000 0 1\n0.000000 1 1\n"},
        {{"-k", "1", "-m"}, "0.000000 0 0\n0.000000 0 0\n0.000000 0 1\n0.000000 1 1\n"},
        {{"-k", "2", "-X", "-T", "0.375"},
         "0.000000 0 1\n0.000000 0 0\n0.000000 0 0\n0.000000 1 1\n"},
        {{"-k", "2", "-M", "-T", "0.375"},
         "0.000000 0 0\n0.000000 0 0\n0.000000 0 0\n0.000000 1 1\n"},
        {{"-k", "1", "-l", "-T", "1.5"},
         "1.000000 0 0\n1.000000 0 0\n2.000000 0 1\n3.500000 1 1\n"},
        {{"-k", "1", "-l"}, "1.000000 0 1\n1.000000 0 1\n2.000000 0 1\n3.500000 1 1\n"},
    };
    TempFile input(kLine);
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", input.path()});
        Outcome plain = run_tarn(args);
        args.push_back("-o");
        Outcome marked = run_tarn(args);
        EXPECT_EQ(marked.out, c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(marked.err, "");
        EXPECT_EQ(marked.status, 0);
        // Dropping the third field gives the report of the same run without -o.
        std::string stripped;
        for (size_t start = 0; start < marked.out.size();) {
            size_t end = marked.out.find('\n', start);
            stripped += marked.out.substr(start, marked.out.rfind(' ', end) - start) + "\n";
            start = end + 1;
        }
        EXPECT_EQ(plain.out, stripped) << ::testing::PrintToString(c.args);
    }
}

TEST(MutualPruning, TheRunsPruningIsTheSpecifiedOneRecordForRecord) {
    // Every vertex's lists after pruning, inbound orders included, on rows with ties, equal
    // rows and not-a-number distances, and with k up to n − 1.
    int round = 0;
    for (int n : {9, 300}) {
        for (int k : {1, 3, 20, n - 1}) {
            const bool non_finite = round % 2 == 1;
            const auto rows =
                graph_check::awkward_rows(uint64_t(round), n, 1 + round % 3, non_finite);
            ++round;
            Graph* specified = graph_check::graph_of(rows, std::min(k, n - 1));
            Graph* fast = graph_check::graph_of(rows, std::min(k, n - 1));
            mknn(specified);
            prune_one_way(fast);
            // Not-a-number distances have no order for the checker to verify.
            if (!non_finite) {
                EXPECT_TRUE(graph_check::consistent(fast));
            }
            int mismatches = 0;
            for (Vertex *a = specified->top, *b = fast->top; a != nullptr && mismatches < 3;
                 a = a->next, b = b->next) {
                if (graph_check::describe(a) != graph_check::describe(b)) {
                    ++mismatches;
                    ADD_FAILURE() << "n " << n << " k " << k << " vertex " << a->id << "\n "
                                  << graph_check::describe(a) << "\n " << graph_check::describe(b);
                }
            }
            for (Graph* g : {specified, fast}) {
                free_graph(g);
                std::free(g);
            }
        }
    }
}

}  // namespace
