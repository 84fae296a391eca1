// The table of scores (-O): its exact text for each kind of label, its format, and its failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using testkit::Outcome;
using testkit::run_tarn;
using testkit::TempFile;

// Four points on a line at 0, 1, 3 and 10: with k = 1 their factors are 1, 1, 2 and 3.5.
const std::string kLine = "0 0\n1 0\n3 0\n10 1\n";

TEST(Scores, EachRowHoldsTheIdScoreMarkLabelAndClass) {
    TempFile text(kLine), classes("x,class\n0,a\n1,\"b,c\"\n3,\"say \"\"d\"\"\"\n10,a\n", ".csv");
    TempFile extremes("0 0\n0 0\n1e300 0\n", ".txt");
    struct Case {
        std::string input;
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {text.path(),
         {"-l", "-k", "1", "-T", "1.5", "-O", "-"},
         "id,score,mark,label,class\n1,1,0,0,\n2,1,0,0,\n3,2,1,0,\n4,3.5,1,1,\n"},
        // The ranking score, whatever -s says; the default rule's is the in-degree.
        {text.path(),
         {"-k", "1", "-s", "-O", "-", "--output-format", "tsv"},
         "id\tscore\tmark\tlabel\tclass\n1\t1\t0\t0\t\n2\t2\t0\t0\t\n3\t1\t0\t0\t\n4\t0\t1\t1\t\n"},
        // Class names quoted where they hold the delimiter or a quote.
        {classes.path(),
         {"-l", "-k", "1", "-c", "0.25", "-O", "-"},
         "id,score,mark,label,class\n1,1,0,0,a\n2,1,0,1,\"b,c\"\n3,2,0,2,\"say \"\"d\"\"\"\n"
         "4,3.5,1,0,a\n"},
        {classes.path(),
         {"-l", "-k", "1", "-O", "-", "--output-format", "tsv"},
         "id\tscore\tmark\tlabel\tclass\n1\t1\t1\t0\ta\n2\t1\t1\t1\tb,c\n"
         "3\t2\t1\t2\t\"say \"\"d\"\"\"\n4\t3.5\t1\t0\ta\n"},
        // Scores that are not numbers as they come.
        {extremes.path(),
         {"-l", "-k", "1", "-O", "-"},
         "id,score,mark,label,class\n1,-nan,0,0,\n2,-nan,0,0,\n3,inf,1,0,\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", c.input});
        const Outcome outcome = run_tarn(args);
        EXPECT_EQ(outcome.out, c.out) << ::testing::PrintToString(c.args);
        EXPECT_EQ(outcome.status, 0);
    }
}

// The id column holds the input's ids (--id, R's row names, pandas' index) or each vector's data
// row, which rows left out for missing values keep: the scores stay those of the rows kept.
TEST(Scores, TheIdColumnKeepsEachRowsIdentity) {
    const std::string kept =
        "id,score,mark,label,class\n%1,1,0,0,\n%2,1,0,0,\n%4,2,1,0,\n%5,3.5,1,1,\n";
    struct Case {
        std::string contents;
        std::string suffix;
        std::vector<std::string> args;
        std::vector<std::string> ids;  // %1, %2, %4 and %5 in kept
        std::string err;
    };
    const std::string dropped = "tarn: 1 row with a missing value left out (--na drop)\n";
    const Case cases[] = {
        {"x,label\n0,0\n1,0\nNA,0\n3,0\n10,1\n",
         ".csv",
         {"--na", "drop"},
         {"1", "2", "4", "5"},
         dropped},
        {"x,label\n0,0\n1,0\n3,0\n10,1\n", ".csv", {}, {"1", "2", "3", "4"}, ""},
        {"\"\",\"x\",\"label\"\n\"a\",0,0\n\"b\",1,0\n\"c\",,0\n\"d\",3,0\n\"e\",10,1\n",
         ".csv",
         {"--na", "drop"},
         {"a", "b", "d", "e"},
         dropped},
        {"\"x\" \"label\"\n\"New York\" 0 0\n\"b\" 1 0\n\"c\" 3 0\n\"d\" 10 1\n",
         ".txt",
         {"-f", "csv"},
         {"New York", "b", "c", "d"},
         ""},
        {",x,label\n7,0,0\n8,1,0\n9,3,0\n10,10,1\n", ".csv", {}, {"7", "8", "9", "10"}, ""},
        {"name;x;label\n\"a,1\";0;0\nb;1;0\nc;3,0;0\nd;10;1\n",
         ".csv",
         {"--id", "name"},
         {"\"a,1\"", "b", "c", "d"},
         ""},
    };
    for (const Case& c : cases) {
        TempFile input(c.contents, c.suffix);
        std::vector<std::string> args = {"-l", "-k", "1", "-T", "1.5", "-i", input.path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome report = run_tarn(args);
        args.insert(args.end(), {"-O", "-"});
        const Outcome outcome = run_tarn(args);
        std::string out = kept;
        for (size_t i = 0; i < 4; ++i)
            out.replace(out.find("%" + std::string(1, "1245"[i])), 2, c.ids[i]);
        EXPECT_EQ(outcome.out, out) << c.contents;
        EXPECT_EQ(outcome.err, c.err) << c.contents;
        EXPECT_EQ(outcome.status, 0);
        // The report has no id: the ids go to the table alone.
        EXPECT_EQ(report.out, "1.000000 0\n1.000000 0\n2.000000 0\n3.500000 1\n") << c.contents;
    }
}

TEST(Scores, TheFileReplacesTheReportAndFailuresStopTheRun) {
    TempFile input(kLine);
    const std::string tsv = input.path() + ".TSV";
    Outcome outcome = run_tarn({"-l", "-k", "1", "-i", input.path(), "-O", tsv});
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(testkit::read_file(tsv).substr(0, 30), "id\tscore\tmark\tlabel\tclass\n1\t1\t");
    std::remove(tsv.c_str());
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-O", input.path()},
         "Cannot write the scores to " + input.path() + ": it is the input file\n"},
        {{"-O", "/dev/full"}, "Cannot write the scores to /dev/full: No space left on device\n"},
        {{"-O", "/nonexistent/s.csv"},
         "Cannot write the scores to /nonexistent/s.csv: No such file or directory\n"},
        {{"-O", "-", "--output-format", "xlsx"},
         "tarn: --output-format: 'xlsx' is not a table format: csv or tsv\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-k", "1", "-i", input.path()});
        outcome = run_tarn(args);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.status, 255);
        EXPECT_EQ(outcome.out.find("id,"), std::string::npos);
    }
    EXPECT_EQ(testkit::read_file(input.path()), kLine);
}

}  // namespace
