// The library's entry point: the verdict of vectors in memory equals, bit for bit, what the
// command line's graph holds for the same vectors, and every failure comes back as an error
// without a word on either stream.
#include "detect/core.h"

#include <gtest/gtest.h>

#include <getopt.h>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "detect/construct.h"
#include "detect/init.h"
#include "detect/overflow.h"
#include "driver/evaluate.h"
#include "driver/plot.h"
#include "driver/run.h"
#include "driver/tarn.h"
#include "tests/testkit.h"
#include "vectors/table.h"

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
        {"lof -z -c", [](Parameters* p) { p->lof = 1, p->standardise = 1, p->share = 0.05; }},
        {"in-degree -c -x", [](Parameters* p) { p->share = 0.1, p->index = 1; }},
        {"max incoming -z -j 2",
         [](Parameters* p) { p->maxin = 1, p->standardise = 1, p->threads = 2; }},
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
        int32_t n, k, d;
        tarn::ErrorKind kind;
        std::string message;
    };
    const Case cases[] = {
        {4, 4, 3, tarn::ErrorKind::kNeighbourhood,
         "Neighbourhood value is 4 too BIG!, it should be smaller than 4\n"},
        {4, 0, 3, tarn::ErrorKind::kNeighbourhood,
         "Neighbourhood value is 0 too small!, it should be at least 1\n"},
        {0, 3, 3, tarn::ErrorKind::kNeighbourhood,
         "Neighbourhood value is 3 too BIG!, it should be smaller than 0\n"},
        {4, 2, 0, tarn::ErrorKind::kDimensions, "Rows of 0 values cannot hold a label\n"},
    };
    const std::vector<double> rows = seeded_rows(4, 3);
    for (const Case& c : cases) {
        Parameters* p = init_params();
        p->k = c.k;
        tarn::Verdict verdict;
        std::optional<tarn::Error> failure;
        const std::string err = testkit::capture_stderr([&] {
            const std::string out = testkit::capture_stdout(
                [&] { failure = tarn::detect(rows.data(), c.n, c.d, p, &verdict); });
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

// The features alone: the same verdict as the rows with a label column of zeros, and the
// neighbour lists the graph holds, nearest first, for each builder and thread count.
TEST(Core, FeaturesWithoutLabelsGiveTheSameVerdictAndTheGraphsLists) {
    const int32_t n = 150, d = 3;
    const std::vector<double> features = seeded_rows(n, d);
    std::vector<double> rows;
    for (int32_t i = 0; i < n; ++i) {
        rows.insert(rows.end(), features.begin() + i * d, features.begin() + (i + 1) * d);
        rows.push_back(0.0);
    }
    TempFile file(as_text(rows, d + 1));
    for (const auto& [index, threads] :
         {std::pair{0, 1}, std::pair{1, 1}, std::pair{0, 2}, std::pair{1, 2}}) {
        Parameters* p = init_params();
        p->k = 6, p->lof = 1, p->index = index, p->threads = threads;
        tarn::Verdict labelled, bare;
        ASSERT_FALSE(tarn::detect(rows.data(), n, d + 1, p, &labelled).has_value());
        ASSERT_FALSE(tarn::detect_features(features.data(), n, d, p, &bare).has_value());
        EXPECT_TRUE(labelled.lof == bare.lof && labelled.marked == bare.marked);
        std::vector<double> distances(static_cast<size_t>(n * p->k));
        std::vector<int32_t> indices(distances.size());
        ASSERT_FALSE(tarn::neighbours(features.data(), n, d, p, distances.data(), indices.data()));
        p->instr = const_cast<char*>(file.path().c_str());
        Graph* g = init(p);
        size_t at = 0;
        for (Vertex* v = g->top; v != nullptr; v = v->next) {
            for (Edge* e = v->outn; e != nullptr; e = e->next, ++at) {
                EXPECT_EQ(bits(distances[at]), bits(e->dist)) << index << threads << " " << at;
                EXPECT_EQ(indices[at], e->to->id) << index << threads << " " << at;
            }
        }
        EXPECT_EQ(at, distances.size());
        free_graph(g);
        std::free(g);
        std::free(p);
    }
}

// The option rows of tests/rule_options.txt, under which the differential tests run every rule.
std::vector<std::vector<std::string>> option_rows() {
    std::ifstream file(TARN_SOURCE_DIR "/tests/rule_options.txt");
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        rows.emplace_back(std::istream_iterator<std::string>(words),
                          std::istream_iterator<std::string>());
    }
    return rows;
}

// The command line's run as the linked graph gives it: the library's init, then its verdict
// through the run's after-detection sequence.
void linked_run(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>("tarn")};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    optind = 0;
    Parameters* p = init_params();
    TableNames names;
    p->names = &names;
    parse_params(p, static_cast<int>(argv.size() - 1), argv.data());
    open_files(p);
    Graph* g = init(p);
    const tarn::Rows rows = tarn::graph_rows(tarn::graph_vertices(g), g->metric);
    // After standardising, a column holds a value that is not finite only when it held one
    // before.
    tarn::Array<int32_t> unusable;
    for (int32_t c = 0; p->standardise == 1 && c < rows.features; ++c) {
        if (std::any_of(rows.row.begin(), rows.row.end(),
                        [c](const double* x) { return !std::isfinite(x[c]); }))
            unusable.push_back(c);
    }
    // Whether distances overflow is the rows' own answer: lists only shorten its search.
    const bool overflow = tarn::distances_overflow(rows, tarn::NeighbourLists{});
    const tarn::Verdict verdict = tarn::linked_verdict(g, p);
    const tarn::Finished finished{rows, verdict, overflow, tarn::duplicate_scores(g), unusable};
    tarn::LocalOutlet outlet;
    std::exit(tarn::finish_run(finished, p, outlet));
}

// The command line keeps its neighbours in flat lists; every byte it writes (report, marks,
// ranking scores, warnings, evaluation, picture, messages and status) is what the linked
// graph gives, on every fuzzing input and on seeded data with clusters, ties and duplicates.
TEST(Core, TheCommandLineWritesWhatTheLinkedGraphGives) {
    std::vector<std::string> inputs;
    for (const auto& entry :
         std::filesystem::directory_iterator(TARN_SOURCE_DIR "/fuzz/corpus/run"))
        inputs.push_back(entry.path().string());
    std::sort(inputs.begin(), inputs.end());
    const size_t corpus = inputs.size();
    const std::vector<double> rows = seeded_rows(300, 4);
    TempFile seeded(as_text(rows, 4)), seeded_nan("nan 1 2 0\n" + as_text(rows, 4));
    inputs.push_back(seeded.path());
    inputs.push_back(seeded_nan.path());
    TempFile picture, linked_picture;
    const std::vector<std::vector<std::string>> option_table = option_rows();
    ASSERT_GE(option_table.size(), 5u);
    size_t turn = 0;  // the corpus takes the (row, rule) pairs in turn, two an input
    for (size_t i = 0; i < inputs.size(); ++i) {
        for (const std::vector<std::string>& options : option_table) {
            for (const tarn::Rule& rule : tarn::rules()) {
                if (i < corpus && turn++ % (option_table.size() * tarn::rules().size() / 2) != 0)
                    continue;
                std::vector<std::string> args = {"-r", rule.key};
                args.insert(args.end(), options.begin(), options.end());
                args.insert(args.end(), {"-i", inputs[i]});
                std::vector<std::string> linked_args = args;
                const auto at = std::find(args.begin(), args.end(), "PICTURE") - args.begin();
                const bool pictured = static_cast<size_t>(at) < args.size();
                if (pictured) {
                    args[static_cast<size_t>(at)] = picture.path();
                    linked_args[static_cast<size_t>(at)] = linked_picture.path();
                }
                const testkit::Outcome flat = testkit::run_tarn(args);
                const testkit::Outcome linked =
                    testkit::run_in_child([&] { linked_run(linked_args); });
                std::string where = inputs[i];
                for (const std::string& arg : args)
                    where += " " + arg;
                EXPECT_EQ(flat.status, linked.status) << where;
                EXPECT_EQ(flat.out, linked.out) << where;
                EXPECT_EQ(flat.err, linked.err) << where;
                if (pictured) {
                    EXPECT_EQ(picture.read(), linked_picture.read()) << where;
                }
            }
        }
    }
}

// A cancelled construction comes back as its error, everything released (the sanitizer run
// checks), and the next detection runs once the request is withdrawn.
TEST(Core, ACancelledConstructionComesBackAsAnError) {
    const std::vector<double> rows = seeded_rows(200, 3);
    for (const int32_t index : {0, 1}) {
        Parameters* p = init_params();
        p->index = index, p->lof = 1;
        tarn::Verdict verdict;
        tarn::cancel_construction = true;
        const std::optional<tarn::Error> failure = tarn::detect(rows.data(), 200, 3, p, &verdict);
        tarn::cancel_construction = false;
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->kind, tarn::ErrorKind::kCancelled);
        EXPECT_TRUE(verdict.score.empty());
        EXPECT_FALSE(tarn::detect(rows.data(), 200, 3, p, &verdict).has_value());
        std::free(p);
    }
}

// Standardising by hand: column 1 holds 1, 3, 8 (mean 4, variance (9 + 1 + 16) / 3), column 2
// is constant and only centred; the label column stays 0.
TEST(Core, StandardiseCentresAndScalesEachFeatureColumn) {
    Graph* g = create_graph();
    const double rows[3][3] = {{1, 2, 0}, {3, 2, 1}, {8, 2, 0}};
    for (int32_t i = 0; i < 3; ++i)
        insert_vertex(g, testkit::vector_of({rows[i][0], rows[i][1], rows[i][2]}), i);
    tarn::standardise(tarn::graph_vertices(g));
    const double sd = std::sqrt(26.0 / 3.0);
    const double expected[3][3] = {{-3 / sd, 0, 0}, {-1 / sd, 0, 0}, {4 / sd, 0, 0}};
    size_t i = 0;
    for (Vertex* v = g->top; v != nullptr; v = v->next, ++i) {
        for (int32_t c = 0; c < 3; ++c)
            EXPECT_EQ(bits(v->vector->vector[c]), bits(expected[i][c])) << i << " " << c;
    }
    free_graph(g);
    std::free(g);
}

// -z on a column at any scale: whole numbers with an outlier 8 deviations out, multiplied by a
// power of two (exactly, subnormals included) standardise to the bits of the column itself,
// whether the plain sums overflow, underflow or neither; multiplied by other factors the
// outlier still scores highest. Column 0 and a column of ties stay beside it.
TEST(Core, StandardisingDoesNotDependOnTheScaleOfAColumn) {
    struct Case {
        double scale;
        bool power_of_two;
    };
    const Case cases[] = {
        {std::ldexp(1.0, -1074), true},
        {std::ldexp(1.0, -1000), true},
        {std::ldexp(1.0, -600), true},
        {std::ldexp(1.0, 300), true},
        {std::ldexp(1.0, 600), true},
        {std::ldexp(1.0, 1000), true},
        {1e-170, false},
        {1e200, false},
        {1e304, false},
    };
    const int32_t n = 300, d = 4, planted = 123;
    std::mt19937_64 rng(8);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> rows(static_cast<size_t>(n * d));
    for (int32_t i = 0; i < n; ++i) {
        rows[size_t(i * d)] = normal(rng);
        rows[size_t(i * d + 1)] = std::round(1000.0 * (i == planted ? 8.0 : normal(rng)));
        rows[size_t(i * d + 2)] = i % 5;
    }
    auto standardised = [&](double scale) {
        std::vector<double> copy = rows;
        tarn::Rows view;
        view.features = d - 1;
        for (int32_t i = 0; i < n; ++i) {
            copy[size_t(i * d + 1)] *= scale;
            view.row.push_back(copy.data() + i * d);
        }
        EXPECT_TRUE(tarn::standardise(view).empty()) << scale;
        return copy;
    };
    const std::vector<double> reference = standardised(1.0);
    for (const Case& c : cases) {
        const std::vector<double> values = standardised(c.scale);
        if (c.power_of_two) {
            size_t differ = 0;
            for (size_t at = 0; at < values.size(); ++at)
                differ += bits(values[at]) != bits(reference[at]);
            EXPECT_EQ(differ, 0u) << c.scale;
        }
        std::vector<double> scaled = rows;
        for (int32_t i = 0; i < n; ++i)
            scaled[size_t(i * d + 1)] *= c.scale;
        Parameters* p = init_params();
        p->k = 10, p->lof = 1, p->standardise = 1;
        tarn::Verdict verdict;
        ASSERT_FALSE(tarn::detect(scaled.data(), n, d, p, &verdict).has_value());
        const auto top = std::max_element(verdict.score.begin(), verdict.score.end());
        EXPECT_EQ(top - verdict.score.begin(), planted) << c.scale;
        std::free(p);
    }
}

}  // namespace
