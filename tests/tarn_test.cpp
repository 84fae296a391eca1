#include "driver/tarn.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "graph/graph.h"
#include "rules/rules.h"
#include "tests/testkit.h"
#include "vectors/fvector.h"

namespace {

// Parses a command line into fresh defaults. getopt keeps global state between calls; setting
// optind to 0 makes glibc start over completely.
struct Parsed {
    Parameters* p;
    explicit Parsed(const std::vector<const char*>& words) : p(init_params()) {
        std::vector<std::string> storage{"tarn"};
        storage.insert(storage.end(), words.begin(), words.end());
        std::vector<char*> argv;
        for (std::string& word : storage)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        optind = 0;
        parse_params(p, static_cast<int>(storage.size()), argv.data());
    }
    ~Parsed() {
        std::free(p->instr);
        std::free(p);
    }
};

TEST(Parameters, DefaultsBeforeAnyOption) {
    Parsed parsed({"-i", "data.txt"});
    const Parameters& p = *parsed.p;
    EXPECT_EQ(p.k, 3);
    EXPECT_EQ(p.I, 0);
    EXPECT_EQ(p.cb_size, 0);
    EXPECT_EQ(p.dist_calc, 0);
    EXPECT_EQ(p.mknn + p.meanin + p.lof + p.maxin, 0);
    EXPECT_EQ(p.th, 0.0);
    EXPECT_STREQ(p.instr, "data.txt");
    EXPECT_EQ(p.outstr, nullptr);
    EXPECT_EQ(p.infile, nullptr);
    EXPECT_EQ(p.outfile, nullptr);
}

TEST(Parameters, NumbersConvertLikeAtoiAndAtofButSaturate) {
    struct Case {
        const char* k;
        int32_t expected;
    };
    const int32_t max = std::numeric_limits<int32_t>::max();
    const int32_t min = std::numeric_limits<int32_t>::min();
    const Case cases[] = {{"2.9", 2},          {"-1", -1},
                          {"abc", 0},          {"  7x", 7},
                          {"+12", 12},         {"2147483647", max},
                          {"2147483648", max}, {"99999999999999999999", max},
                          {"-2147483649", min}};
    for (const Case& c : cases) {
        Parsed parsed({"-k", c.k, "-I", c.k});
        EXPECT_EQ(parsed.p->k, c.expected) << c.k;
        EXPECT_EQ(parsed.p->I, c.expected) << c.k;
    }
    EXPECT_EQ(Parsed({"-T", "1e-1"}).p->th, 0.1);
    EXPECT_EQ(Parsed({"-T", "x"}).p->th, 0.0);
    EXPECT_EQ(Parsed({"-T2.5"}).p->th, 2.5);  // an argument may be attached to its letter
}

TEST(Parameters, FlagsAndRepeatedOptions) {
    Parsed parsed({"-i", "first", "-m", "-M", "-X", "-l", "-ik2", "-k", "5", "-k", "6", "extra"});
    const Parameters& p = *parsed.p;
    EXPECT_EQ(p.mknn, 1);
    EXPECT_EQ(p.meanin, 1);
    EXPECT_EQ(p.maxin, 1);
    EXPECT_EQ(p.lof, 1);
    EXPECT_STREQ(p.instr, "k2");  // the second -i replaces the first
    EXPECT_EQ(p.k, 6);
}

// -x forces the tree, -b the brute force, neither leaves the choice to the run; of the two, the
// later one decides.
TEST(Parameters, BuilderOptions) {
    struct Case {
        std::vector<const char*> args;
        int32_t index, brute;
    };
    const Case cases[] = {
        {{"-i", "data.txt"}, 0, 0},
        {{"-x", "-i", "data.txt"}, 1, 0},
        {{"-xl", "-j", "2"}, 1, 0},
        {{"-b"}, 0, 1},
        {{"-x", "-b"}, 0, 1},
        {{"-b", "-x"}, 1, 0},
        {{"-bx"}, 1, 0},
        {{"-lxb", "-k", "4"}, 0, 1},
    };
    for (const Case& c : cases) {
        Parsed parsed(c.args);
        EXPECT_EQ(parsed.p->index, c.index) << ::testing::PrintToString(c.args);
        EXPECT_EQ(parsed.p->brute, c.brute) << ::testing::PrintToString(c.args);
    }
}

TEST(Parameters, VerdictOptions) {
    Parsed defaults({"-i", "data.txt"});
    EXPECT_EQ(defaults.p->marks, 0);
    EXPECT_EQ(defaults.p->evaluate, 0);
    EXPECT_EQ(defaults.p->outlier_label, 1);
    EXPECT_EQ(defaults.p->plotstr, nullptr);

    Parsed parsed({"-o", "-e", "-P", "-7", "-g", "first.svg", "-gsecond.svg", "-P2x"});
    EXPECT_EQ(parsed.p->marks, 1);
    EXPECT_EQ(parsed.p->evaluate, 1);
    EXPECT_EQ(parsed.p->outlier_label, 2);          // the later -P wins, read like atoi
    EXPECT_STREQ(parsed.p->plotstr, "second.svg");  // the second -g replaces the first
    std::free(parsed.p->plotstr);
}

TEST(Parameters, EmptyInputNamePassesTheCheck) {
    Parsed parsed({"-i", ""});
    EXPECT_STREQ(parsed.p->instr, "");
    testkit::Outcome outcome = testkit::run_in_child([&] { open_files(parsed.p); });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "");
}

TEST(Report, ScoresAreRoundedToSinglePrecision) {
    Graph* g = create_graph();
    const double scores[] = {123.4567891, 1e39, -0.0, 0.5};
    for (int32_t i = 0; i < 4; ++i) {
        HFV v = fvCreate(1);
        fvSetElement(v, 0, i - 1.5);  // labels -1.5, -0.5, 0.5, 1.5 truncate to -1, 0, 0, 1
        insert_vertex(g, v, i)->lof = scores[i];
    }
    Parameters* p = init_params();
    const std::string report = "123.456787 -1\ninf 0\n-0.000000 0\n0.500000 1\n";
    EXPECT_EQ(testkit::capture_stdout([&] { EXPECT_EQ(print_results(g, p), 0); }), report);
    // The report depends on the graph alone: without parameters it is the same.
    EXPECT_EQ(testkit::capture_stdout([&] { EXPECT_EQ(print_results(g, nullptr), 0); }), report);
    free_graph(g);
    std::free(g);
    std::free(p);
}

// The report formatted in blocks on threads is the line-by-line report, over several windows of
// blocks, with scores whose lines outgrow a short buffer (3e38 prints 39 digits).
TEST(Report, ThreadsFormatTheSameLinesInTheSameOrder) {
    const int32_t n = 150001;
    std::vector<double> score(n);
    std::vector<int32_t> label(n), marked(n);
    for (int32_t i = 0; i < n; ++i) {
        score[i] = i % 1000 == 7 ? -3e38 : i * 0.37;
        label[i] = i % 5 - 2;
        marked[i] = i % 3 == 0 ? 1 : 0;
    }
    for (const int32_t marks : {0, 1}) {
        Parameters* p = init_params();
        p->marks = marks;
        const std::string expected = testkit::capture_stdout([&] {
            for (int32_t i = 0; i < n; ++i)
                tarn::print_report_line(score[i], label[i], marked[i], p);
        });
        for (const int32_t threads : {1, 2, 3}) {
            p->threads = threads;
            EXPECT_EQ(testkit::capture_stdout([&] {
                          tarn::print_report(score.data(), label.data(), marked.data(), n, p);
                      }),
                      expected)
                << threads << " threads, marks " << marks;
        }
        std::free(p);
    }
}

// A report line is printf's "%f %d[ %d]\n" of the score rounded to single precision, or
// "%.9g ..." of the double for a rule with precise scores, over the values whose formatting is
// hard: not-a-number of either sign, infinities, -0, roundings at the sixth decimal, a float's
// largest value (39 digits), subnormals, and the labels' extremes.
TEST(Report, LinesArePrintfsFormats) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double scores[] = {nan,       -nan,       HUGE_VAL,  -HUGE_VAL, -0.0,       0.0,
                             0.0000005, 2.5e-7,     1.5e-6,    3.4e38,    -3e38,      1e300,
                             5e-324,    123.456787, 0.1 + 0.2, 1e-310,    12345678.9, 1.0 / 3};
    const int32_t labels[] = {0, -1, INT32_MAX, INT32_MIN};
    for (const bool precise : {false, true}) {
        for (const int32_t marks : {0, 1}) {
            Parameters* p = init_params();
            p->marks = marks;
            if (precise) p->knn = 1;
            ASSERT_EQ(tarn::selected_rule(p).precise_score, precise);
            std::string expected;
            for (const double score : scores) {
                for (const int32_t label : labels) {
                    char line[128];
                    const double shown =
                        precise ? score : static_cast<double>(static_cast<float>(score));
                    std::snprintf(line, sizeof line, precise ? "%.9g %d" : "%f %d", shown, label);
                    expected += line;
                    expected += marks == 1 ? (label < 0 ? " 1\n" : " 0\n") : "\n";
                }
            }
            EXPECT_EQ(testkit::capture_stdout([&] {
                          for (const double score : scores) {
                              for (const int32_t label : labels)
                                  tarn::print_report_line(score, label, label < 0 ? 1 : 0, p);
                          }
                      }),
                      expected)
                << "precise " << precise << ", marks " << marks;
            std::free(p);
        }
    }
}

TEST(Prtime, PrintsOneTimingLine) {
    std::string out = testkit::capture_stdout([] { prtime(setwatch(), 42); });
    EXPECT_EQ(out.substr(0, 6), "Time: ");
    EXPECT_NE(out.find(" DCalc: 42\n"), std::string::npos) << out;
}

}  // namespace
