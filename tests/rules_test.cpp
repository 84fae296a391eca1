// The rule table and the verdict a run leaves: the selected rule, the marks, the ranking scores,
// and the -o report.
#include "detect/rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <numbers>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "detect/core.h"
#include "detect/init.h"
#include "driver/tarn.h"
#include "rules/exact_sum.h"
#include "rules/rules.h"
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
        std::string rule;
    };
    const Case cases[] = {{0, 0, 0, 0, "indegree"}, {1, 1, 1, 1, "mutual"}, {0, 1, 1, 1, "mean"},
                          {0, 0, 1, 1, "max"},      {0, 0, 0, 1, "lof"},    {1, 0, 0, 1, "mutual"}};
    for (const Case& c : cases) {
        Parameters* p = init_params();
        p->mknn = c.mknn;
        p->meanin = c.meanin;
        p->maxin = c.maxin;
        p->lof = c.lof;
        EXPECT_EQ(selected_rule(p).key, c.rule) << c.mknn << c.meanin << c.maxin << c.lof;
        std::free(p);
    }
    // Lower in-degrees are more outlying; higher values of every other rule.
    for (const Rule& rule : rules()) {
        const std::string key = rule.key;
        EXPECT_EQ(rule.higher_is_outlying, key != "indegree" && key != "mutual") << key;
        EXPECT_EQ(rule_by_key(rule.key), &rule) << key;
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

// -s puts the ranking score of the rule in the first field, rounded like the local outlier
// factor: ties, in-degree 0 (+infinity for -M and -X), not-a-number from duplicated points.
TEST(ScoresInTheReport, EveryRulePrintsItsRankingScore) {
    const std::string kDuplicates = "0 0\n0 0\n0 0\n5 1\n";
    struct Case {
        std::string input;
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {kLine, {"-k", "1", "-I", "1"}, "1.000000 0\n2.000000 0\n1.000000 0\n0.000000 1\n"},
        {kLine, {"-k", "1", "-m"}, "1.000000 0\n1.000000 0\n0.000000 0\n0.000000 1\n"},
        {kLine, {"-k", "2", "-X"}, "3.000000 0\n0.000000 0\n0.000000 0\ninf 1\n"},
        {kLine, {"-k", "2", "-M"}, "2.000000 0\n0.000000 0\n0.000000 0\ninf 1\n"},
        {kLine, {"-k", "1", "-l"}, "1.000000 0\n1.000000 0\n2.000000 0\n3.500000 1\n"},
        {kDuplicates, {"-k", "2", "-l"}, "-nan 0\n-nan 0\n-nan 0\ninf 1\n"},
        // Every pair at distance 0: in-degree 2 each, incoming measures 0.
        {kDuplicates, {"-k", "2", "-M"}, "0.000000 0\n0.000000 0\n0.000000 0\ninf 1\n"},
        // Rounded to single precision like every score: 123.4567891 prints as 123.456787.
        {"0 0\n123.4567891 0\n300 0\n", {"-k", "1", "-M"}, "123.456787 0\n0.000000 0\ninf 0\n"},
    };
    for (const Case& c : cases) {
        TempFile input(c.input);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", input.path(), "-s"});
        Outcome outcome = run_tarn(args);
        EXPECT_EQ(outcome.out, c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST(MostOutlyingShare, CountsRoundUpButNotForDecimalNoise) {
    struct Case {
        double share;
        int32_t n, count;
    };
    const Case cases[] = {
        {0.07, 100, 7},  {0.29, 100, 29}, {0.1, 30, 3},           {0.05, 100, 5}, {0.3, 10, 3},
        {0.051, 100, 6}, {0.5, 3, 2},     {0.001, 10, 1},         {1e-300, 5, 1}, {1, 7, 7},
        {0.999, 10, 10}, {0.5, 2, 1},     {0.07, 1000000, 70000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(share_count(c.share, c.n), c.count) << c.share << " × " << c.n;
}

// -c marks by the ranking score: ties with the last one taken all marked, not-a-number never,
// -e counts the same marks.
TEST(MostOutlyingShare, MarksTheTopShareOfTheRankingScore) {
    const std::string kDuplicates = "0 0\n0 0\n0 0\n5 1\n";
    struct Case {
        std::string input;
        std::vector<std::string> args;
        std::string marks;  // the third report field of each vector
    };
    const Case cases[] = {
        // Local outlier factors 1, 1, 2, 3.5.
        {kLine, {"-l", "-k", "1", "-c", "0.25"}, "0001"},
        {kLine, {"-l", "-k", "1", "-c", "0.5"}, "0011"},
        {kLine, {"-l", "-k", "1", "-c", "0.51"}, "1111"},  // 3 taken, the fourth tied
        {kLine, {"-l", "-k", "1", "-T", "100", "-c", "1"}, "1111"},
        // In-degrees 1, 2, 1, 0, lower first: the second taken ties with the first vector.
        {kLine, {"-k", "1", "-c", "0.5"}, "1011"},
        {kLine, {"-k", "1", "-I", "5", "-c", "0.25"}, "0001"},  // -I gives way to -c
        // In-degree after pruning 1, 1, 0, 0.
        {kLine, {"-m", "-k", "1", "-c", "0.25"}, "0011"},
        // -X: 3, 0, 0, +infinity.
        {kLine, {"-X", "-k", "2", "-c", "0.5"}, "1001"},
        // Not-a-number never, even when the share asks for every vector.
        {kDuplicates, {"-l", "-k", "2", "-c", "1"}, "0001"},
        {kDuplicates, {"-l", "-k", "2", "-c", "0.25"}, "0001"},
        // n = 2: the two tie.
        {"0 0\n1 1\n", {"-l", "-k", "1", "-c", "0.5"}, "11"},
        {"0 0\n1 1\n", {"-k", "1", "-c", "0.01"}, "11"},
    };
    for (const Case& c : cases) {
        TempFile input(c.input);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", input.path(), "-o", "-e"});
        Outcome outcome = run_tarn(args);
        std::string got;
        for (size_t end = outcome.out.find('\n'); end != std::string::npos;
             end = outcome.out.find('\n', end + 1))
            got += outcome.out[end - 1];
        EXPECT_EQ(got, c.marks) << ::testing::PrintToString(c.args);
        const size_t marked = static_cast<size_t>(std::count(got.begin(), got.end(), '1'));
        EXPECT_NE(outcome.err.find("\nmarked: " + std::to_string(marked) + ","), std::string::npos)
            << outcome.err;
        EXPECT_EQ(outcome.status, 0);
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

// The out-lists of n vectors of d features, as tarn::neighbours gives them, for the references.
struct Lists {
    int32_t n, k, d;
    std::vector<double> features, dist;
    std::vector<int32_t> index;
    double at(int32_t p, int32_t j) const { return dist[size_t(p * k + j)]; }
    int32_t target(int32_t p, int32_t j) const { return index[size_t(p * k + j)]; }
    // The squared differences summed in feature order, then the root: the builders' order.
    double between(int32_t a, int32_t b) const {
        double sum = 0.0;
        for (int32_t c = 0; c < d; ++c) {
            const double difference = features[size_t(a * d + c)] - features[size_t(b * d + c)];
            sum += difference * difference;
        }
        return std::sqrt(sum);
    }
};

// The references, straight from the definitions, sums in the order the rules document.
std::vector<double> distance_reference(const Lists& g, bool sum) {
    std::vector<double> score(size_t(g.n), 0.0);
    for (int32_t p = 0; p < g.n; ++p) {
        for (int32_t j = sum ? 0 : g.k - 1; j < g.k; ++j)
            score[size_t(p)] += g.at(p, j);
    }
    return score;
}

// nPLOF from a plain sum in vertex order: the rule's exact sum may differ in the last bits.
std::vector<double> loop_reference(const Lists& g) {
    std::vector<double> pdist, plof;
    for (int32_t p = 0; p < g.n; ++p) {
        double squares = 0.0;
        for (int32_t j = 0; j < g.k; ++j)
            squares += g.at(p, j) * g.at(p, j);
        pdist.push_back(3 * std::sqrt(squares / g.k));
    }
    double sum = 0.0, finite = 0.0;
    for (int32_t p = 0; p < g.n; ++p) {
        double around = 0.0;
        for (int32_t j = 0; j < g.k; ++j)
            around += pdist[size_t(g.target(p, j))];
        plof.push_back(pdist[size_t(p)] / (around / g.k) - 1);
        if (std::isfinite(plof.back())) sum += plof.back() * plof.back(), ++finite;
    }
    const double norm = 3 * std::sqrt(sum / finite);
    std::vector<double> score;
    for (const double x : plof) {
        const double e = std::erf(x / (norm * std::numbers::sqrt2));
        score.push_back(norm == 0 && std::isfinite(x) ? 0.0 : std::isnan(e) ? e : std::max(0.0, e));
    }
    return score;
}

std::vector<double> inflo_reference(const Lists& g) {
    std::vector<std::set<int32_t>> space(size_t(g.n));
    for (int32_t p = 0; p < g.n; ++p) {
        for (int32_t j = 0; j < g.k; ++j) {
            space[size_t(p)].insert(g.target(p, j));
            space[size_t(g.target(p, j))].insert(p);
        }
    }
    std::vector<double> score;
    for (int32_t p = 0; p < g.n; ++p) {
        double sum = 0.0;
        for (const int32_t o : space[size_t(p)])
            sum += 1 / g.at(o, g.k - 1);
        score.push_back((sum / double(space[size_t(p)].size())) / (1 / g.at(p, g.k - 1)));
    }
    return score;
}

// Each step takes the neighbour whose least distance to the path so far is smallest, the
// earlier on a tie, the least recomputed over the whole path every time.
std::vector<double> cof_reference(const Lists& g) {
    std::vector<double> ac;
    for (int32_t p = 0; p < g.n; ++p) {
        std::vector<int32_t> path;
        std::vector<bool> taken(size_t(g.k), false);
        double sum = 0.0;
        for (int32_t i = 1; i <= g.k; ++i) {
            int32_t next = -1;
            double e = INFINITY;
            for (int32_t j = 0; j < g.k; ++j) {
                double least = g.at(p, j);
                for (const int32_t on : path)
                    least = std::min(least, g.between(on, g.target(p, j)));
                if (!taken[size_t(j)] && (next < 0 || least < e)) next = j, e = least;
            }
            taken[size_t(next)] = true;
            path.push_back(g.target(p, next));
            sum += e * (double(2 * (g.k + 1 - i)) / double(int64_t(g.k) * (g.k + 1)));
        }
        ac.push_back(sum);
    }
    std::vector<double> score;
    for (int32_t p = 0; p < g.n; ++p) {
        double around = 0.0;
        for (int32_t j = 0; j < g.k; ++j)
            around += ac[size_t(g.target(p, j))];
        score.push_back((g.k * ac[size_t(p)]) / around);
    }
    return score;
}

bool same_bits(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) ||
           std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// Seeded features: Gaussian (no ties), or small integers (ties and equal vectors everywhere).
std::vector<double> seeded_features(bool ties, int32_t n, int32_t d) {
    std::mt19937_64 rng(uint64_t(n * 7 + d + ties));
    std::normal_distribution<double> gauss;
    std::vector<double> features;
    for (const auto& row : graph_check::awkward_rows(uint64_t(n), n, d, false)) {
        for (const double x : row)
            features.push_back(ties ? x : gauss(rng));
    }
    return features;
}

// The text file of features with a label column of 0.
std::string as_file(const std::vector<double>& features, int32_t d) {
    std::string text;
    for (size_t i = 0; i < features.size(); ++i) {
        char value[32];
        std::snprintf(value, sizeof value, "%.17g", features[i]);
        text += value + std::string((i + 1) % size_t(d) == 0 ? " 0\n" : " ");
    }
    return text;
}

TEST(ScoreRules, EachRuleScoresAsItsReference) {
    struct Case {
        const char* key;
        std::vector<double> (*reference)(const Lists&);
        double tolerance;  // 0: the same bits, the reference summing in the rule's order
    };
    const Case cases[] = {
        {"knn", [](const Lists& g) { return distance_reference(g, false); }, 0},
        {"knnw", [](const Lists& g) { return distance_reference(g, true); }, 0},
        {"loop", loop_reference, 1e-14},
        {"inflo", inflo_reference, 0},
        {"cof", cof_reference, 0},
    };
    constexpr int32_t n = 40, d = 2;
    for (const Case& c : cases) {
        for (const bool ties : {false, true}) {
            for (const int32_t k : {1, 4, n - 1}) {
                Lists g{n,
                        k,
                        d,
                        seeded_features(ties, n, d),
                        std::vector<double>(size_t(n * k)),
                        std::vector<int32_t>(size_t(n * k))};
                Parameters* p = init_params();
                p->k = k;
                p->*rule_by_key(c.key)->flag = 1;
                Verdict verdict;
                ASSERT_FALSE(
                    tarn::neighbours(g.features.data(), n, d, p, g.dist.data(), g.index.data()));
                ASSERT_FALSE(detect_features(g.features.data(), n, d, p, &verdict));
                std::free(p);
                const std::vector<double> expected = c.reference(g);
                int32_t nan = 0, inf = 0;
                for (size_t i = 0; i < size_t(n); ++i) {
                    const double got = verdict.score[i];
                    EXPECT_TRUE(same_bits(got, expected[i]) ||
                                std::fabs(got - expected[i]) <= c.tolerance)
                        << c.key << " ties " << ties << " k " << k << " vertex " << i << ": " << got
                        << " against " << expected[i];
                    EXPECT_TRUE(same_bits(verdict.lof[i], got));
                    nan += std::isnan(expected[i]);
                    inf += std::isinf(expected[i]);
                }
                // With equal vectors and one neighbour, the factors divide zeros by zeros.
                const std::string key = c.key;
                if (ties && k == 1 && key != "knn" && key != "knnw") {
                    EXPECT_GT(nan, 0) << c.key;
                }
                if (!ties || k == n - 1) continue;
                // The run counts every such score (no coordinate here is infinite or not a
                // number, so equal vectors made them all).
                TempFile input(as_file(g.features, d));
                const Outcome outcome =
                    run_tarn({"-r", c.key, "-k", std::to_string(k), "-i", input.path()});
                std::string warning;
                if (nan + inf > 0) {
                    warning = "tarn: " + std::to_string(nan) + " vectors have " +
                              rule_by_key(c.key)->score_name + " nan and " + std::to_string(inf) +
                              " inf";
                }
                EXPECT_EQ(outcome.err.substr(0, warning.size()), warning) << c.key << " k " << k;
                EXPECT_EQ(outcome.err.empty(), warning.empty()) << outcome.err;
            }
        }
    }
}

// The threads, the k-d tree and the tiled brute force give the same bytes.
TEST(ScoreRules, TheSameReportWhateverTheThreadsAndTheBuilder) {
    constexpr int32_t n = 3000, d = 2;  // more vertices than a kernel's worker takes at a time
    TempFile input(as_file(seeded_features(false, n, d), d));
    const std::vector<std::vector<std::string>> options = {
        {"-j", "1"}, {"-j", "2"}, {"-j", "3"}, {"-x"}, {"-b"}};
    for (const char* key : {"knn", "knnw", "loop", "inflo", "cof"}) {
        std::string first;
        for (const std::vector<std::string>& more : options) {
            std::vector<std::string> args = {"-r", key, "-k", "5", "-s", "-o", "-i", input.path()};
            args.insert(args.end(), more.begin(), more.end());
            const Outcome outcome = run_tarn(args);
            EXPECT_EQ(outcome.status, 0) << outcome.err;
            if (first.empty()) first = outcome.out;
            EXPECT_EQ(outcome.out, first) << key << " " << more[0];
        }
        EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), n) << key;
    }
}

// Adding in doubles drops each 1 beside 2^53; the exact sum keeps them, in any order and any
// grouping, down to the least subnormal.
TEST(ScoreRules, TheExactSumIsTheSameBitsInAnyOrder) {
    std::vector<double> values(1000, 1.0);
    values.push_back(std::ldexp(1.0, 53));
    values.insert(values.end(), 3, std::numeric_limits<double>::denorm_min());
    std::mt19937_64 rng(7);
    for (int i = 0; i < 1000; ++i)
        values.push_back(
            std::ldexp(std::uniform_real_distribution<double>(0, 1)(rng), i % 400 - 200));
    ExactSum forward;
    for (const double x : values)
        forward.add(x);
    std::shuffle(values.begin(), values.end(), rng);
    ExactSum parts[3];
    for (size_t i = 0; i < values.size(); ++i)
        parts[i * 3 / values.size()].add(values[i]);
    ExactSum::Digits folded{};
    for (const ExactSum& part : parts) {
        for (size_t i = 0; i < folded.size(); ++i)
            folded[i] += part.digits()[i];
    }
    EXPECT_TRUE(same_bits(ExactSum(folded).value(), forward.value()));
    ExactSum small;
    for (const double x : {std::ldexp(1.0, 53), 1.0, 1.0, 1.0, 1.0})
        small.add(x);
    EXPECT_EQ(small.value(), std::ldexp(1.0, 53) + 4);
    ExactSum least;
    for (int i = 0; i < 3; ++i)
        least.add(std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(least.value(), 3 * std::numeric_limits<double>::denorm_min());
}

}  // namespace

namespace {

// The words of each line of text.
std::vector<std::vector<std::string>> words_of(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        lines.emplace_back(std::istream_iterator<std::string>(words),
                           std::istream_iterator<std::string>());
    }
    return lines;
}

}  // namespace

// -r all: column r of the report is what -r KEY prints first (with and without -s), its marks
// are -r KEY's, and -e compares every rule on one line each.
TEST(EveryRule, EachColumnIsThatRulesOwnRun) {
    // n points on a coarse grid (ties, duplicates), every 9th labelled 1.
    auto grid = [](uint32_t n, uint32_t x) {
        std::string text;
        for (uint32_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            text += std::to_string(x >> 28) + " " + std::to_string((x >> 20) % 11) + " " +
                    std::to_string(i % 9 == 0 ? 1 : 0) + "\n";
        }
        return text;
    };
    TempFile input(grid(120, 7)), reference(grid(150, 11));
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{"-o"}, {"-o", "-s"}, {"-o", "-s", "-R", reference.path()}}) {
        std::vector<std::string> args = {"-k", "4", "-e", "-i", input.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<std::string> all = args;
        all.insert(all.end(), {"-r", "all"});
        const Outcome every = run_tarn(all);
        ASSERT_EQ(every.status, 0) << every.out << every.err;
        const auto columns = words_of(every.out);
        auto comparison = words_of(every.err);
        std::erase_if(comparison, [](const auto& line) { return line[0] == "tarn:"; });
        ASSERT_EQ(comparison.size(), rules().size() + 2);
        const size_t count = rules().size();
        for (size_t r = 0; r < count; ++r) {
            std::vector<std::string> one = args;
            one.insert(one.end(), {"-r", rules()[r].key});
            const auto lines = words_of(run_tarn(one).out);
            ASSERT_EQ(lines.size(), columns.size());
            for (size_t i = 0; i < lines.size(); ++i) {
                EXPECT_EQ(columns[i][r], lines[i][0]) << rules()[r].key << " line " << i;
                EXPECT_EQ(columns[i][count + 1 + r], lines[i][2]) << rules()[r].key;
            }
            EXPECT_EQ(comparison[r + 2].back(), rules()[r].key);
        }
    }
}

// PLOFs whose squares overflow (a cluster 1e-152 wide, one vector 1000 away) still give
// probabilities: the far vector the highest, the cluster 0 (never -0).
TEST(ScoreRules, LocalOutlierProbabilityWherePlofSquaresOverflow) {
    TempFile input("0 0\n1e-152 0\n2e-152 0\n3e-152 0\n4e-152 0\n5e-152 0\n1000 1\n");
    const Outcome run = run_tarn({"-r", "loop", "-s", "-k", "3", "-i", input.path()});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = words_of(run.out);
    ASSERT_EQ(lines.size(), 7u);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_LT(std::stod(lines[i][0]), 1e-100) << i;
        EXPECT_NE(lines[i][0][0], '-') << i;
    }
    EXPECT_GT(std::stod(lines[6][0]), 0.5);
}
