// Whole runs on hostile input: the fuzzing corpus replayed (fuzz/run-afl.sh adds to it) and
// values at the limits of doubles and 32-bit integers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <list>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "errors/errorapi.h"
#include "rules/rules.h"
#include "tests/testkit.h"
#include "vectors/fvector.h"

namespace {

using testkit::Outcome;
using testkit::run_tarn;
using testkit::TempFile;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

int32_t int_label(double value) {
    if (std::isnan(value)) return 0;
    if (value <= -2147483649.0) return INT32_MIN;
    if (value >= 2147483648.0) return INT32_MAX;
    return static_cast<int32_t>(value);
}

// Every number of a picture's attributes and of its tick labels, in the order of the file.
std::vector<double> picture_numbers(const std::string& svg) {
    std::vector<double> numbers;
    const std::regex attribute(R"re(="([^"]*)")re"), tick(R"(>([^<>]*)</text>)");
    const std::regex number(R"([-+]?([0-9]*\.?[0-9]+([eE][-+]?[0-9]+)?|nan|inf)(\([^)]*\))?)",
                            std::regex::icase);
    for (const std::regex& where : {attribute, tick}) {
        for (std::sregex_iterator i(svg.begin(), svg.end(), where), end; i != end; ++i) {
            const std::string text = (*i)[1];
            if (&where == &tick && !std::regex_match(text, number)) continue;  // words
            for (std::sregex_iterator j(text.begin(), text.end(), number); j != end; ++j)
                numbers.push_back(std::strtod(j->str().c_str(), nullptr));
        }
    }
    return numbers;
}

bool all_finite(const std::vector<double>& numbers) {
    return std::all_of(numbers.begin(), numbers.end(), [](double x) { return std::isfinite(x); });
}

// Every corpus input under both fuzzed rules, and under -l built through the spatial index, ends
// one of two ways: status 0 with one report line per vector, labels as loaded; or status 255
// with one message line and no report line. A sanitizer finding or a signal shows as another
// status. The brute force (-b) and the index (-x) give the automatic choice's output byte for
// byte, and so does -l with the evaluation and a picture, whose every number is finite.
TEST(Corpus, EveryInputEndsWithACompleteReportOrAMessage) {
    const std::regex report_line(R"((-?nan|-?inf|-?[0-9]+\.[0-9]{6}) -?[0-9]+)");
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry :
         std::filesystem::directory_iterator(TARN_SOURCE_DIR "/fuzz/corpus/run"))
        inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_GE(inputs.size(), 7u);
    for (const auto& input : inputs) {
        SetReportError([](int32_t, const char*, const char*, int32_t) { return 0; });
        HFSET loaded = fvsLoad(input.c_str());
        SetReportError(ReportErrorDefault);
        Outcome plain_lof{};
        TempFile picture;
        for (const std::vector<std::string>& flags :
             {std::vector<std::string>{}, std::vector<std::string>{"-l"},
              std::vector<std::string>{"-b", "-l"}, std::vector<std::string>{"-x", "-l"},
              std::vector<std::string>{"-l", "-e", "-g", picture.path()}}) {
            std::vector<std::string> args = flags;
            args.insert(args.end(), {"-i", input.string()});
            const Outcome outcome = run_tarn(args);
            const std::vector<std::string> lines = lines_of(outcome.out);
            std::string where = input.filename().string();
            for (const std::string& flag : flags)
                where += " " + flag;
            if (flags.size() == 1) plain_lof = outcome;
            if (flags.size() >= 2) {
                // Neither the builder nor the evaluation and picture change the report.
                EXPECT_EQ(outcome.status, plain_lof.status) << where;
                EXPECT_EQ(outcome.out, plain_lof.out) << where;
            }
            if (flags.size() == 4 && outcome.status == 0) {
                EXPECT_TRUE(all_finite(picture_numbers(picture.read()))) << where;
            }
            ASSERT_TRUE(outcome.status == 0 || outcome.status == 255)
                << where << ": status " << outcome.status << "\n"
                << outcome.err;
            if (outcome.status == 0) {
                ASSERT_NE(loaded, nullptr) << where;
                ASSERT_EQ(static_cast<int32_t>(lines.size()), loaded->vector_number) << where;
                for (size_t i = 0; i < lines.size(); ++i) {
                    EXPECT_TRUE(std::regex_match(lines[i], report_line))
                        << where << ": " << lines[i];
                    const HFV fv = loaded->vectors[i];
                    const int32_t label = int_label(fv->vector[fv->dim - 1]);
                    EXPECT_EQ(lines[i].substr(lines[i].find(' ') + 1), std::to_string(label))
                        << where << " line " << i + 1;
                }
            } else {
                ASSERT_EQ(lines.size(), 1u) << where << ": " << outcome.out;
                EXPECT_FALSE(std::regex_match(lines[0], report_line)) << where;
            }
        }
        fvsDestroy(loaded);
    }
}

// Every rule of the table (-r all) on every corpus input and at the limits of doubles ends with
// a complete report of one score column and one mark per rule, or with one message; the
// sanitizer run checks each kernel on them.
TEST(Corpus, EveryRuleEndsWithACompleteReportOrAMessage) {
    std::vector<std::string> inputs;
    for (const auto& entry :
         std::filesystem::directory_iterator(TARN_SOURCE_DIR "/fuzz/corpus/run"))
        inputs.push_back(entry.path().string());
    std::sort(inputs.begin(), inputs.end());
    std::list<TempFile> extremes;  // files that stay where they are made
    for (const char* text : {"1e308 0\n0 0\n1 0\n3 1\n", "4.9e-324 0\n1e-310 1\n0 1\n",
                             "1.7976931348623157e308 0\n-1.7976931348623157e308 0\n0 0\n",
                             "1 1 0\n1 1 0\n1 1 0\n1 1 1\n", "nan 1 0\n2 inf 1\n3 3 0\n"})
        extremes.emplace_back(text);
    for (const TempFile& file : extremes)
        inputs.push_back(file.path());
    const size_t columns = 2 * tarn::rules().size() + 1;
    for (const std::string& input : inputs) {
        for (const char* k : {"1", "3"}) {
            const Outcome outcome = run_tarn({"-r", "all", "-s", "-o", "-e", "-k", k, "-i", input});
            ASSERT_TRUE(outcome.status == 0 || outcome.status == 255)
                << input << " -k " << k << ": status " << outcome.status << "\n"
                << outcome.err;
            const std::vector<std::string> lines = lines_of(outcome.out);
            if (outcome.status == 255) {
                EXPECT_EQ(lines.size(), 1u) << input;
                continue;
            }
            for (const std::string& line : lines) {
                std::istringstream words(line);
                const auto count = std::distance(std::istream_iterator<std::string>(words),
                                                 std::istream_iterator<std::string>());
                EXPECT_EQ(static_cast<size_t>(count), columns) << input << ": " << line;
            }
        }
    }
}

TEST(Extremes, ValuesAtTheLimitsOfDoubles) {
    struct Case {
        const char* what;
        std::string input;
        std::vector<std::string> args;
        std::string out;
        std::string err = "";
    };
    const std::string overflow =
        "tarn: distances overflow beyond 1.8e308 (coordinates above about 1e154); scale the "
        "data\n";
    const Case cases[] = {
        // 1e308 squared overflows: every distance from the first point is infinite. It keeps
        // the first other point (nothing is strictly nearer than infinity); its density is
        // 1 / infinity = 0, so its score is 1 / 0. The others: k-distances 1, 1, 2; densities
        // 1, 1, 1/2; scores 1, 1, 2.
        {"overflow",
         "1e308 0\n0 0\n1 0\n3 1\n",
         {"-l", "-k", "1"},
         "inf 0\n1.000000 0\n1.000000 0\n2.000000 1\n",
         overflow},
        // The two largest doubles of opposite sign keep each other at infinity: both
        // densities are 0, both scores 0 / 0.
        {"overflow between the two largest doubles",
         "1.7976931348623157e308 0\n-1.7976931348623157e308 0\n0 0\n1 0\n3 1\n",
         {"-l", "-k", "1"},
         "-nan 0\n-nan 0\n1.000000 0\n1.000000 0\n2.000000 1\n",
         overflow},
        // Squares of subnormal differences underflow to 0: every distance is 0, every density
        // infinite, every score infinity over infinity.
        {"subnormals",
         "4.9e-324 0\n1e-310 1\n-2.2250738585072014e-308 0\n0 1\n",
         {"-l", "-k", "1"},
         "-nan 0\n-nan 1\n-nan 0\n-nan 1\n"},
        // Another metric's overflow: Manhattan's sums pass 1.8e308 only near it, Euclidean's
        // squares from 1e154 on; the cosine's squared norms overflow.
        {"manhattan overflow",
         "1e308 0\n-1e308 0\n0 0\n1 1\n",
         {"-d", "manhattan"},
         "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n",
         "tarn: distances overflow beyond 1.8e308; scale the data\n"},
        {"no manhattan overflow at 1e200",
         "1e200 0\n-1e200 0\n0 0\n1 1\n",
         {"-d", "manhattan"},
         "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n"},
        {"cosine norms overflow",
         "1e200 1e200 0\n1 2 0\n3 1 0\n2 2 1\n",
         {"-d", "cosine"},
         "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n",
         "tarn: squared norms overflow beyond 1.8e308 (coordinates above about 1e154): their "
         "cosine distances are not numbers; scale the data\n"},
        {"labels beyond 32 bits saturate, a not-a-number label is 0",
         "0 4294967296\n1 -9e18\n3 2147483648\n10 nan\n4 -2147483649\n",
         {},
         "0.000000 2147483647\n0.000000 -2147483648\n0.000000 2147483647\n0.000000 0\n"
         "0.000000 -2147483648\n"},
    };
    for (const Case& c : cases) {
        TempFile input(c.input);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", input.path()});
        const Outcome outcome = run_tarn(args);
        EXPECT_EQ(outcome.out, c.out) << c.what;
        // Zero distances read as duplicated points, which -l names.
        const bool duplicates = std::string(c.what) == "subnormals";
        EXPECT_EQ(outcome.err, duplicates ? "tarn: 4 vectors have local outlier factor nan and 0 "
                                            "inf: duplicated points (see README)\n"
                                          : c.err)
            << c.what;
        EXPECT_EQ(outcome.status, 0) << c.what;
    }
}

// The overflow warning names the distances a run computes: with -z those of the standardised
// columns, which never overflow; a column -z cannot standardise is named instead.
TEST(Extremes, OverflowingDistancesAreNamedOnce) {
    const std::string warning =
        "tarn: distances overflow beyond 1.8e308 (coordinates above about 1e154); scale the "
        "data\n";
    // Non-finite coordinates are named, and are not overflow.
    const std::string named =
        ": its distances are not numbers or infinite, and so may be the scores they reach; "
        "leave it out or give it a finite value\n";
    const std::string column_1 =
        "tarn: feature column 1 cannot be standardised: it holds NaN or Inf\n";
    struct Case {
        const char* what;
        const char* input;
        bool overflows;
        std::string standardised = "";  // standard error with -z
        std::string non_finite = "";    // the vectors named without -z
    };
    const Case cases[] = {
        {"one column's range overflows", "1e200 0 0\n0 0 0\n1 0 0\n3 1 1\n", true},
        // Each column's range squares to 1e308; only the two far points' sum overflows, and
        // no vector keeps the other.
        {"ranges add up", "0 0 0\n1e154 0 0\n0 1e154 1\n1 1 0\n", true},
        {"spread out but finite", "1e153 0 0\n-1e153 0 0\n0 1e153 0\n1 1 1\n", false},
        {"infinite coordinates are data", "inf 0 0\n0 0 0\n1 0 0\n3 1 1\n", false, column_1,
         "tarn: vector 1 holds inf in feature column 1" + named},
        {"not-a-number coordinates are data", "nan 1e300 0\n0 0 0\n1 0 0\n3 1 1\n", false, column_1,
         "tarn: vector 1 holds nan in feature column 1" + named},
        {"largest doubles apart", "1.7e308 0\n-1.7e308 0\n0 0\n1 1\n", true},
        {"plain data", "0 0\n1 0\n3 0\n10 1\n", false},
        {"largest doubles summed", "1.7e308 1e-170 0\n1.6e308 0 0\n1.5e308 3e-170 0\n0 0 1\n",
         true},
        {"the second column infinite", "1 inf 2 0\n0 0 -inf 0\n1 0 0 0\n3 1 1 1\n", false,
         "tarn: feature column 2 cannot be standardised: it holds NaN or Inf\n"
         "tarn: feature column 3 cannot be standardised: it holds NaN or Inf\n",
         "tarn: vector 1 holds inf in feature column 2" + named +
             "tarn: vector 2 holds -inf in feature column 3" + named},
    };
    // Standardised, the points near 0 of a column holding 1e200 become equal, which -l would
    // name too: -z goes with the other two.
    const std::vector<std::vector<std::string>> runs = {
        {"-l"}, {"-m"}, {"-x"}, {"-m", "-z"}, {"-x", "-z"}};
    for (const Case& c : cases) {
        TempFile input(c.input);
        for (const std::vector<std::string>& run : runs) {
            std::vector<std::string> args = {"-k", "1", "-i", input.path()};
            args.insert(args.end(), run.begin(), run.end());
            const bool standardised = run.size() > 1;
            const Outcome outcome = run_tarn(args);
            // Standardised, a column holding NaN or Inf is named instead of its vectors.
            EXPECT_EQ(outcome.err, standardised  ? c.standardised
                                   : c.overflows ? c.non_finite + warning
                                                 : c.non_finite)
                << c.what << " " << ::testing::PrintToString(run);
            EXPECT_EQ(outcome.status, 0) << c.what;
            EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 4) << c.what;
        }
    }
}

TEST(Extremes, PicturesHoldFiniteNumbersAtEveryScale) {
    const char* const inputs[] = {
        "5e-324 1 0\n5e-324 2 0\n5e-324 3 1\n",
        "0 5e-324 0\n5e-324 0 0\n5e-324 5e-324 1\n",
        "-5e-324 1e-320 0\n5e-324 1e-320 0\n0 1e-320 1\n",
        "1e308 -1e308 0\n1e308 -1e308 0\n1e308 -1e308 1\n",
        "1.7976931348623157e308 0 0\n-1.7976931348623157e308 1 0\n0 inf 1\n",
        "-0 0 0\n0 -0 0\n0 0 1\n",
        "2.2250738585072014e-308 1 0\n2.225073858507201e-308 1 0\n1e-300 1 1\n",
        "5e-324 0\n5e-324 0\n5e-324 1\n",
    };
    for (const char* data : inputs) {
        TempFile input(data), picture;
        const Outcome outcome =
            run_tarn({"-l", "-k", "1", "-i", input.path(), "-g", picture.path()});
        ASSERT_EQ(outcome.status, 0) << data << outcome.err;
        const std::vector<double> numbers = picture_numbers(picture.read());
        EXPECT_GT(numbers.size(), 50u) << data;
        EXPECT_TRUE(std::all_of(numbers.begin(), numbers.end(), [](double x) {
            return std::isfinite(x);
        })) << data;
    }
}

TEST(Extremes, OptionsAtThe32BitLimits) {
    TempFile input("0 0\n1 0\n3 0\n10 1\n");
    const std::string zeros = "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n";
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int status;
    };
    const Case cases[] = {
        {{"-I", "2147483647"}, zeros, 0},
        {{"-I", "-2147483648"}, zeros, 0},
        {{"-I", "99999999999"}, zeros, 0},
        {{"-k", "2147483647", "-l"},
         "Neighbourhood value is 2147483647 too BIG!, it should be smaller than 4\n",
         255},
        {{"-k", "-2147483648"},
         "Neighbourhood value is -2147483648 too small!, it should be at least 1\n",
         255},
        {{"-k", "-99999999999", "-l"},
         "Neighbourhood value is -2147483648 too small!, it should be at least 1\n",
         255},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", input.path()});
        const Outcome outcome = run_tarn(args);
        EXPECT_EQ(outcome.out, c.out) << c.args[1];
        EXPECT_EQ(outcome.status, c.status) << c.args[1];
    }
}

}  // namespace
