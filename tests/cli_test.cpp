// Process-level tests of the tarn binary's command line: exact output, error text and status.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
    "             -R [reference set or model to score -i against]\n"
    "             -W [model file to save the reference in]\n"
    "             -k [n of neighbours]\n"
    "             -I [indegree]\n"
    "             -m  (MkNN mode)\n"
    "             -M  (mean incoming distance mode)\n"
    "             -X  (max incoming distance mode)\n"
    "             -l  (LOF mode)\n"
    "             -r [rule: indegree|mutual|mean|max|lof|knn|knnw|loop|inflo|cof]\n"
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
    "             -d [euclidean|manhattan|chebyshev|minkowski:P|cosine]\n"
    "             -G [feature columns to plot, as i,j]\n"
    "             -O [table of scores (CSV, TSV), - for standard output]\n"
    "             --output-format [csv|tsv]\n"
    "             --skip [n of lines to leave out first]\n"
    "             --header  (the first row is a header)\n"
    "             --no-header  (the first row is data)\n"
    "             --na [drop|error]  (rows with missing values)\n"
    "             --decimal [,|.]\n"
    "             --id [id column]\n"
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

// Values of tarn's own options that the parser refuses: why on standard error, the usage text,
// status 255. Each value is read whole: a number followed by anything is refused.
TEST(CommandLine, BadValuesOfTarnsOwnOptionsSayWhyAndPrintUsage) {
    const std::string share = " is not a share in (0, 1]\n";
    const std::string number = " is not a number\n";
    const std::string columns = " is not two feature column numbers from 1, as i,j\n";
    const std::string threads = " is not a number of threads";
    const std::string metric =
        " is not a metric: euclidean, manhattan, chebyshev, minkowski:P or cosine\n";
    const std::string exponent = " is not minkowski:P with P a finite number, 1 or more\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-c", "0"}, "'0'" + share},
        {{"-c", "1.0001"}, "'1.0001' is not a share in (0, 1]; for 1.0001 %, give -c 0.010001\n"},
        {{"-c", "5"}, "'5' is not a share in (0, 1]; for 5 %, give -c 0.05\n"},
        {{"-c", "-0.5"}, "'-0.5'" + share},
        {{"-c", "nan"}, "'nan'" + share},
        {{"-c", "1e9"}, "'1e9'" + share},
        {{"-c", "x"}, "'x'" + number},
        {{"-c", "0.05x"}, "'0.05x'" + number},
        {{"-c", ""}, "''" + number},
        {{"-G", "1"}, "'1'" + columns},
        {{"-G", "0,1"}, "'0,1'" + columns},
        {{"-G", "1,-2"}, "'1,-2'" + columns},
        {{"-G", "1,2x"}, "'1,2x'" + columns},
        {{"-G", "1x,2"}, "'1x,2'" + columns},
        {{"-G", ",2"}, "',2'" + columns},
        {{"-G", "1,"}, "'1,'" + columns},
        {{"-G", "1,2,3"}, "'1,2,3'" + columns},
        {{"-G", "4294967298,1"}, "'4294967298,1'" + columns},
        {{"-r", "LOF"},
         "'LOF' is not a rule: indegree, mutual, mean, max, lof, knn, knnw, loop, inflo, cof or "
         "all\n"},
        {{"-j", "2x"}, "'2x'" + threads + "\n"},
        {{"-j", ""}, "''" + threads + "\n"},
        {{"-j", "-1"}, "'-1'" + threads + ": 0 or more\n"},
        {{"-f", "xml"}, "'xml' is not a format: csv, tsv or text\n"},
        {{"--skip", "2x"}, "'2x' is not a number of lines\n"},
        {{"--skip", ""}, "'' is not a number of lines\n"},
        {{"--skip", "-1"}, "'-1' is not a number of lines: 0 or more\n"},
        {{"--skip", "99999999999999999999"}, "'99999999999999999999' is not a number of lines\n"},
        {{"--na", "keep"}, "'keep' is not drop or error\n"},
        {{"--na", "Drop"}, "'Drop' is not drop or error\n"},
        {{"--decimal", ";"}, "';' is not a decimal mark: , or .\n"},
        {{"--decimal", ",,"}, "',,' is not a decimal mark: , or .\n"},
        {{"-d", "Euclidean"}, "'Euclidean'" + metric},
        {{"-d", "minkowski"}, "'minkowski'" + metric},
        {{"-d", "l2"}, "'l2'" + metric},
        {{"-d", ""}, "''" + metric},
        {{"-d", "minkowski:0.5"}, "'minkowski:0.5'" + exponent},
        {{"-d", "minkowski:"}, "'minkowski:'" + exponent},
        {{"-d", "minkowski:3x"}, "'minkowski:3x'" + exponent},
        {{"-d", "minkowski:inf"}, "'minkowski:inf'" + exponent},
        {{"-d", "minkowski:nan"}, "'minkowski:nan'" + exponent},
        {{"-d", "minkowski:-2"}, "'minkowski:-2'" + exponent},
    };
    for (const auto& [args, why] : cases) {
        testkit::Outcome outcome = run_tarn({"-i", "x", args[0], args[1]});
        EXPECT_EQ(outcome.out, kUsage) << args[0] << " " << args[1];
        EXPECT_EQ(outcome.err, "tarn: " + args[0] + ": " + why);
        EXPECT_EQ(outcome.status, 255);
    }
}

// The long options print and end the run with status 0, wherever they stand; -h stays an
// unknown option (above). The help names every option of the usage text, long ones too, without
// its banner.
TEST(CommandLine, HelpAndVersionSucceed) {
    const std::string version = std::string("tarn ") + TARN_VERSION + "\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--help"}, ""},
        {{"-i", "missing", "--help", "-k", "2"}, ""},
        {{"--version"}, version},
        {{"-l", "--version", "-i", "missing"}, version},
    };
    const std::string help = run_tarn({"--help"}).out;
    for (const auto& [args, out] : cases) {
        testkit::Outcome outcome = run_tarn(args);
        EXPECT_EQ(outcome.out, out.empty() ? help : out) << ::testing::PrintToString(args);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
    EXPECT_EQ(help.find("EET 2004"), std::string::npos);
    for (size_t at = kUsage.find(" -"); at != std::string::npos; at = kUsage.find(" -", at + 1)) {
        const size_t end = kUsage.find_first_of(" ,\n", at + 1);
        const std::string option = kUsage.substr(at + 1, end - at - 1);
        // A letter heads its line; a long option may share one (--header, --no-header).
        const std::string written = option.starts_with("--") ? " " + option : "  " + option + " ";
        if (option != "-") {
            EXPECT_NE(help.find(written), std::string::npos) << option;
        }
    }
}

}  // namespace
