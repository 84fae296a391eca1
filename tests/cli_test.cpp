// Process-level tests of the tarn binary's command line: exact output, error text and status.
#include <gtest/gtest.h>

#include <string>

#include "tests/testkit.h"

namespace {

using testkit::run_tarn;

const std::string kUsage =
    "Wed Nov 17 15:58:03 EET 2004\n"
    "tarn: outlier detection on the k-nearest-neighbour graph of a vector file\n"
    "prints one line per vector: its score and its label (the last column)\n"
    "\n"
    "usage: tarn  -i [ts]\n"
    "             -i -  (read the vectors from standard input)\n"
    "             -k [n of neighbours]\n"
    "             -I [indegree]\n"
    "             -m  (MkNN mode)\n"
    "             -M  (mean incoming distance mode)\n"
    "             -X  (max incoming distance mode)\n"
    "             -l  (LOF mode)\n"
    "             -T  [Threshold]\n"
    "             -j [n of threads, 0 for all processors]\n"
    "             -o  (print outlier marks)\n"
    "             -e  (evaluate against the labels)\n"
    "             -P [outlier label]\n"
    "             -g [svg plot file]\n"
    "             -x  (exact spatial index)\n"
    "             -b  (tiled brute force)\n"
    "             -f [csv|tsv|text]\n"
    "             -L [label column or none]\n"
    "             -F [feature columns]\n"
    "             -s  (print the rule's score)\n"
    "             -c [share of the most outlying to mark]\n"
    "             -z  (standardise the features)\n"
    "             -G [feature columns to plot, as i,j]\n"
    "             --help, --version\n";

TEST(CommandLine, NoArgumentsAsksForAnInputFile) {
    testkit::Outcome outcome = run_tarn({});
    EXPECT_EQ(outcome.out, "No input file set!\n" + kUsage);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 255);
}

TEST(CommandLine, BadOptionsPrintTheParserDiagnosticAndUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string diagnostic;
    };
    const std::string binary = TARN_BINARY;
    const Case cases[] = {
        {{"-h"}, binary + ": invalid option -- 'h'\n"},
        {{"-N", "5"}, binary + ": invalid option -- 'N'\n"},
        {{"-i", "x", "-k"}, binary + ": option requires an argument -- 'k'\n"},
        {{"-q", "-i", "x"}, binary + ": invalid option -- 'q'\n"},
    };
    for (const Case& c : cases) {
        testkit::Outcome outcome = run_tarn(c.args);
        EXPECT_EQ(outcome.out, kUsage) << c.args[0];
        EXPECT_EQ(outcome.err, c.diagnostic);
        EXPECT_EQ(outcome.status, 255);
    }
}

// Values the parser refuses itself: no diagnostic, the usage text, status 255.
TEST(CommandLine, BadValuesOfTheVerdictOptionsPrintUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {"-c", "0"},    {"-c", "1.0001"}, {"-c", "-0.5"}, {"-c", "nan"},
        {"-c", "x"},    {"-G", "1"},      {"-G", "0,1"},  {"-G", "1,-2"},
        {"-G", "1,2x"}, {"-G", ",2"},     {"-G", "1,"},   {"-G", "4294967298,1"},
    };
    for (const auto& args : cases) {
        testkit::Outcome outcome = run_tarn({"-i", "x", args[0], args[1]});
        EXPECT_EQ(outcome.out, kUsage) << args[0] << " " << args[1];
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 255);
    }
}

// The long options print and end the run with status 0, wherever they stand; -h stays an
// unknown option (above).
TEST(CommandLine, HelpAndVersionSucceed) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {{"--help"}, kUsage},
        {{"-i", "missing", "--help", "-k", "2"}, kUsage},
        {{"--version"}, std::string("tarn ") + TARN_VERSION + "\n"},
        {{"-l", "--version", "-i", "missing"}, std::string("tarn ") + TARN_VERSION + "\n"},
    };
    for (const Case& c : cases) {
        testkit::Outcome outcome = run_tarn(c.args);
        EXPECT_EQ(outcome.out, c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

}  // namespace
