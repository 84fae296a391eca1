// Process-level tests of whole runs: the exact report, the stops with their messages, statuses.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using testkit::Outcome;
using testkit::run_tarn;
using testkit::TempFile;

Outcome run_on(const std::string& contents, std::vector<std::string> args) {
    TempFile input(contents);
    args.insert(args.begin(), {"-i", input.path()});
    return run_tarn(args);
}

// Four points on a line at 0, 1, 3 and 10, the last labelled an outlier. With k = 1 the
// neighbours are 1, 0, 1 and 3; k-distances 1, 1, 2, 7; densities 1, 1, 1/2, 1/7; so the
// scores are 1, 1, 2 and 0.5 × 7.
const std::string kLine = "0 0\n1 0\n3 0\n10 1\n";

TEST(Run, LocalOutlierFactorScoresAreReportedInFileOrder) {
    Outcome outcome = run_on(kLine, {"-l", "-k", "1"});
    EXPECT_EQ(outcome.out, "1.000000 0\n1.000000 0\n2.000000 0\n3.500000 1\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

TEST(Run, OtherRulesReportZeroScoresWhateverTheyMark) {
    const std::string zeros = "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n";
    const std::vector<std::vector<std::string>> rules = {
        {},           {"-I", "2"},         {"-m"},
        {"-M"},       {"-X", "-T", "0.5"}, {"-k", "3"},
        {"-l", "-m"}, {"-M", "-l"},        {"-X", "-l", "-k", "2"}};
    for (const auto& rule : rules) {
        Outcome outcome = run_on(kLine, rule);
        EXPECT_EQ(outcome.out, zeros) << ::testing::PrintToString(rule);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST(Run, LabelsTruncateTowardZero) {
    Outcome outcome =
        run_on("% two features and a label\n1 2 3.7\n4, 5, -2.7\n\n7 1 2.9\n0 0 0\n", {});
    EXPECT_EQ(outcome.out, "0.000000 3\n0.000000 -2\n0.000000 2\n0.000000 0\n");
    EXPECT_EQ(outcome.status, 0);
}

TEST(Run, ZeroDistancesGiveInfiniteAndNotANumberScores) {
    // Three equal points have infinite density; their scores are infinity over infinity.
    Outcome outcome = run_on("0 0\n0 0\n0 0\n5 1\n", {"-l", "-k", "2"});
    EXPECT_EQ(outcome.out, "-nan 0\n-nan 0\n-nan 0\ninf 1\n");
    EXPECT_EQ(outcome.status, 0);
}

// The duplicates warning: once on standard error, under -l only, and only when zero
// reachability distances made a score not-a-number or infinite.
TEST(Run, DuplicatedPointsAreNamedOnStandardError) {
    const std::string warning =
        "tarn: 3 vectors have local outlier factor nan and 1 inf: duplicated points (see README)\n";
    struct Case {
        std::string contents;
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {"0 0\n0 0\n0 0\n5 1\n", {"-l", "-k", "2"}, warning},
        {"0 0\n0 0\n0 0\n5 1\n", {"-l", "-k", "2", "-c", "0.5", "-s", "-o"}, warning},
        {"0 0\n0 0\n0 0\n5 1\n", {"-k", "2"}, ""},
        {"0 0\n0 0\n0 0\n5 1\n", {"-M", "-k", "2", "-s"}, ""},
        // An infinite score, no duplicate; the infinite coordinate is named.
        {"Inf 0\n1 0\n2 0\n3 0\n",
         {"-l", "-k", "1"},
         "tarn: vector 1 holds inf in feature column 1: its distances are not numbers or "
         "infinite, and so may be the scores they reach; leave it out or give it a finite value\n"},
        {kLine, {"-l", "-k", "1"}, ""},
    };
    for (const Case& c : cases) {
        Outcome outcome = run_on(c.contents, c.args);
        EXPECT_EQ(outcome.err, c.err) << ::testing::PrintToString(c.args);
        EXPECT_EQ(outcome.status, 0);
    }
}

// -z: the same report, bit for bit, whatever builds the graph (the automatic choice, -x, -b) and
// on any number of threads; and it does change the scale.
TEST(Run, StandardisedRunsAgreeUnderThreadsAndTheIndex) {
    std::mt19937_64 rng(16);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::string text;
    char line[96];
    for (int i = 0; i < 400; ++i) {
        // Columns on scales 1000 and 0.01 around different means, a constant one, a label.
        std::snprintf(line, sizeof line, "%.9g %.9g 7 %d\n", 5000 + 1000 * normal(rng),
                      0.01 * normal(rng) - 3, i % 50 == 0 ? 1 : 0);
        text += line;
    }
    const std::vector<std::vector<std::string>> builds = {{"-j", "2"}, {"-x"}, {"-x", "-j", "2"},
                                                          {"-j", "0"}, {"-b"}, {"-b", "-j", "2"},
                                                          {"-x", "-b"}};
    const Outcome reference = run_on(text, {"-l", "-k", "7", "-z", "-s"});
    ASSERT_EQ(reference.status, 0);
    for (const auto& build : builds) {
        std::vector<std::string> args = {"-l", "-k", "7", "-z", "-s"};
        args.insert(args.end(), build.begin(), build.end());
        EXPECT_EQ(run_on(text, args).out, reference.out) << ::testing::PrintToString(build);
    }
    EXPECT_NE(run_on(text, {"-l", "-k", "7", "-s"}).out, reference.out);
}

TEST(Run, StopsBeforeTheReportWithAMessage) {
    struct Case {
        std::string contents;
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {"1 0\n2 0\n3 0\n", {}, "Neighbourhood value is 3 too BIG!, it should be smaller than 3\n"},
        {"1 0\n2 0\n", {}, "Neighbourhood value is 3 too BIG!, it should be smaller than 2\n"},
        {"1 0\n", {"-k", "1"}, "Neighbourhood value is 1 too BIG!, it should be smaller than 1\n"},
        {"1 0\n2 0\n3 0\n",
         {"-k", "0"},
         "Neighbourhood value is 0 too small!, it should be at least 1\n"},
        {"1 0\n2 0\n3 0\n",
         {"-k", "-1"},
         "Neighbourhood value is -1 too small!, it should be at least 1\n"},
        {"1 0\n2 0\n3 0\n",
         {"-k", "99999999999"},
         "Neighbourhood value is 2147483647 too BIG!, it should be smaller than 3\n"},
        {"1 0\n2 0\n3 4 0\n4 5 0\n",
         {"-k", "1"},
         "Vector 3 has 3 values, the first vector has 2\n"},
    };
    for (const Case& c : cases) {
        Outcome outcome = run_on(c.contents, c.args);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 255);
    }
}

TEST(Run, AFileThatCannotBeLoadedIsNamed) {
    Outcome missing = run_tarn({"-i", "/nonexistent/points.txt"});
    EXPECT_EQ(missing.err,
              "fvector.c (1198): error 4 (Can't open file): /nonexistent/points.txt\n");
    EXPECT_EQ(missing.out, "Cannot load vectors from /nonexistent/points.txt\n");
    EXPECT_EQ(missing.status, 255);

    Outcome empty_name = run_tarn({"-i", ""});
    EXPECT_EQ(empty_name.err,
              "fvector.c (1192): error 4 (Can't open file): file_name is empty string\n");
    EXPECT_EQ(empty_name.out, "Cannot load vectors from \n");
    EXPECT_EQ(empty_name.status, 255);

    Outcome empty = run_on("# nothing but a comment\n\n", {});
    EXPECT_EQ(empty.err, "fvector.c (1207): error 7 (Empty file)\n");
    EXPECT_EQ(empty.status, 255);

    TempFile malformed_file("1 0\n2 0\n# fine so far\n1,2 0\n");
    Outcome malformed = run_tarn({"-k", "1", "-i", malformed_file.path()});
    EXPECT_EQ(malformed.err,
              "Problem in line 4\nfvector.c (1224): error 6 (Invalid file format)\n"
              "line 4: a comma must be followed by white space in the text format (use -f csv)\n");
    EXPECT_EQ(malformed.out, "Cannot load vectors from " + malformed_file.path() + "\n");
    EXPECT_EQ(malformed.status, 255);
}

TEST(Run, ANulByteMakesItsLineMalformed) {
    // Read as C text, each of these lines would lose what follows its NUL: a labelled outlier
    // would vanish, a label would read 0 instead of 1.
    using namespace std::string_literals;
    struct Case {
        std::string contents;
        int line;
    };
    const Case cases[] = {{"0 0\n1 0\n2 0\n\0 9 1\n"s, 4},
                          {"0 0\n1 0\n5 5 0\0 1\n"s, 3},
                          {"# a comment\0\n0 0\n1 0\n"s, 1},
                          {"0 0\n1 0\n2 0\n3 1\0"s, 4}};
    for (const Case& c : cases) {
        TempFile input(c.contents);
        Outcome outcome = run_tarn({"-k", "1", "-i", input.path()});
        const std::string line = std::to_string(c.line);
        EXPECT_EQ(outcome.err, "Problem in line " + line +
                                   "\nfvector.c (1224): error 6 (Invalid file format)\nline " +
                                   line + " holds a NUL byte\n");
        EXPECT_EQ(outcome.out, "Cannot load vectors from " + input.path() + "\n");
        EXPECT_EQ(outcome.status, 255);
    }
}

TEST(Run, ThePictureNeverReplacesTheInput) {
    // However -g reaches the input file, the run stops before reading it and leaves it alone.
    TempFile data(kLine);
    const std::string link = data.path() + ".link", hard = data.path() + ".hard";
    ASSERT_EQ(symlink(data.path().c_str(), link.c_str()), 0);
    ASSERT_EQ(::link(data.path().c_str(), hard.c_str()), 0);
    const std::vector<std::vector<std::string>> cases = {{"-i", data.path(), "-g", data.path()},
                                                         {"-i", data.path(), "-g", link},
                                                         {"-i", link, "-g", hard},
                                                         {"-i", "-", "-g", data.path()},
                                                         {"-i", "-", "-g", "/dev/stdin"},
                                                         {"-i", "/dev/stdin", "-g", hard}};
    for (const auto& args : cases) {
        TempFile err;
        const Outcome outcome = testkit::run_tarn_redirected(args, data.path(), err.path());
        EXPECT_EQ(err.read(), "Cannot write the plot to " + args[3] + ": it is the input file\n")
            << args[1] << " " << args[3];
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.status, 255);
        EXPECT_EQ(data.read(), kLine);
    }
    std::remove(link.c_str());
    std::remove(hard.c_str());
}

TEST(Run, APictureReplacesAnOlderOneOnlyWhenComplete) {
    // Writes beyond 2 KiB fail (SIGXFSZ ignored, so the write returns EFBIG): the 4 KiB picture
    // cannot be written whole and the older picture stays. Without the limit it is replaced.
    char folder_template[] = "/tmp/tarn-plot-XXXXXX";
    const std::string folder = mkdtemp(folder_template);
    const std::string picture = folder + "/p.svg";
    TempFile data(kLine);
    for (const bool limited : {true, false}) {
        std::ofstream(picture) << "older picture\n";
        const Outcome outcome = testkit::run_in_child([&] {
            if (limited) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit size{2048, 2048};
                setrlimit(RLIMIT_FSIZE, &size);
            }
            execl(TARN_BINARY, TARN_BINARY, "-k", "1", "-i", data.path().c_str(), "-g",
                  picture.c_str(), static_cast<char*>(nullptr));
        });
        const std::string svg = testkit::read_file(picture);
        if (limited) {
            EXPECT_EQ(outcome.err, "Cannot write the plot to " + picture + ": File too large\n");
            EXPECT_EQ(outcome.out, "");
            EXPECT_EQ(outcome.status, 255);
            EXPECT_EQ(svg, "older picture\n");
        } else {
            EXPECT_EQ(outcome.status, 0);
            EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
        }
        size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
            ++entries;
        EXPECT_EQ(entries, 1u) << "a partial picture was left beside the target";
    }
    std::filesystem::remove_all(folder);
}

TEST(Run, TheEvaluationIsAResultLikeTheReport) {
    // With -e a standard error that takes no writes fails the run after the report; without
    // -e nothing is written there and the run succeeds as before.
    const std::string report = "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n";
    TempFile data(kLine);
    struct Case {
        std::vector<std::string> args;
        std::string err_path;  // "" closes standard error
        int status;
    };
    const Case cases[] = {{{"-e"}, "/dev/full", 255},
                          {{"-e"}, "", 255},
                          {{"-e", "-g", data.path() + ".svg"}, "", 255},
                          {{}, "/dev/full", 0},
                          {{}, "", 0}};
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-k", "1", "-i", data.path()});
        const Outcome outcome = testkit::run_tarn_redirected(args, "/dev/null", c.err_path);
        EXPECT_EQ(outcome.out, report) << c.err_path;
        EXPECT_EQ(outcome.status, c.status) << c.err_path << " " << c.args.size();
    }
    std::remove((data.path() + ".svg").c_str());
}

TEST(Run, StrayWordsAndOptionsAreNamedAndLeftOut) {
    TempFile data(kLine), other("1 0\n");
    const std::string report = "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n";
    struct Case {
        std::vector<std::string> words;
        std::string err;
    };
    const Case cases[] = {
        {{"result.svg"},
         "tarn: ignoring 'result.svg': not an option (did you mean -g result.svg?)\n"},
        {{"PLOT.SVG"}, "tarn: ignoring 'PLOT.SVG': not an option (did you mean -g PLOT.SVG?)\n"},
        {{other.path()},
         "tarn: ignoring '" + other.path() + "': not an option (did you mean -i " + other.path() +
             "?)\n"},
        {{"5", "/", "-"},
         "tarn: ignoring '5': not an option\ntarn: ignoring '/': not an option\n"
         "tarn: ignoring '-': not an option\n"},
        {{"--", "-l"}, "tarn: ignoring '-l': not an option\n"},
        // An option that only a picture reads, without a picture.
        {{"-G", "2,1"}, "tarn: ignoring -G 2,1: no picture is asked for (-g file.svg)\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"-k", "1", "-i", data.path()};
        args.insert(args.end(), c.words.begin(), c.words.end());
        const Outcome outcome = run_tarn(args);
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.out, report);
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST(Run, LargestAcceptedNeighbourhoodIsOneLessThanTheCount) {
    // k = n − 1 on (0, 0), (3, 0), (0, 4): every vertex keeps both others. k-distances 4, 5, 5;
    // densities 1/5, 1/4.5, 1/4.5; scores (2/4.5) × 5 / 2, (1/5 + 1/4.5) × 4.5 / 2 twice.
    Outcome outcome = run_on("0 0 0\n3 0 0\n0 4 1\n", {"-l", "-k", "2"});
    EXPECT_EQ(outcome.out, "1.111111 0\n0.950000 0\n0.950000 1\n");
    EXPECT_EQ(outcome.status, 0);
}

TEST(Run, ShippedSampleFlagsThePlantedOutliers) {
    Outcome outcome = run_tarn({"-l", "-k", "10", "-i", TARN_SOURCE_DIR "/examples/sample.txt"});
    ASSERT_EQ(outcome.status, 0);
    // Every planted outlier (label 1) scores above every inlier of the sample.
    double lowest_outlier = 1e300, highest_inlier = 0;
    size_t lines = 0;
    for (size_t start = 0; start < outcome.out.size(); ++lines) {
        size_t end = outcome.out.find('\n', start);
        double score = std::stod(outcome.out.substr(start, end - start));
        int label = std::stoi(outcome.out.substr(outcome.out.find(' ', start) + 1));
        if (label == 1) lowest_outlier = std::min(lowest_outlier, score);
        if (label == 0) highest_inlier = std::max(highest_inlier, score);
        start = end + 1;
    }
    EXPECT_EQ(lines, 308u);
    EXPECT_GT(lowest_outlier, highest_inlier);
}

// Address space limits (ulimit -v) at which the run can no longer have all it needs, with the
// brute force and with the k-d tree: each run either completes or ends with one message (the
// load's, the memory check's naming the limit, or the allocation's past it) and status 255,
// never with a crash; some limit stops a run after its load.
TEST(Run, ExhaustedMemoryEndsWithTheAllocationMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves its shadow memory beyond any such limit";
#else
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> digits(0, 999);
    std::string text;
    for (int line = 0; line < 1000; ++line) {
        for (int c = 0; c < 400; ++c)
            text += "0." + std::to_string(digits(rng)) + " ";
        text += "0\n";
    }
    TempFile input(text);
    const std::regex stop(
        "(Allocation of [0-9]+ bytes failed|Cannot load vectors from .*|The graph needs [0-9]+ MiB "
        "of memory, but only [0-9]+ MiB are available under the address-space limit [(]ulimit "
        "-v[)])\n");
    for (const char* method : {"-b", "-x"}) {
        int exhausted = 0;
        for (rlim_t kib = 12000; kib <= 96000; kib += 2000) {
            const Outcome outcome = testkit::run_in_child([&] {
                const rlimit limit{kib * 1024, kib * 1024};
                setrlimit(RLIMIT_AS, &limit);
                execl(TARN_BINARY, "tarn", "-k", "100", "-i", input.path().c_str(), method,
                      nullptr);
                _exit(126);
            });
            if (outcome.status == 0) {
                EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 1000);
                break;  // more room completes too
            }
            EXPECT_EQ(outcome.status, 255) << method << " " << kib << " KiB";
            EXPECT_TRUE(std::regex_match(outcome.out, stop)) << outcome.out;
            exhausted += outcome.out.rfind("Cannot load", 0) != 0 ? 1 : 0;
        }
        EXPECT_GT(exhausted, 0) << method;
    }
#endif
}

}  // namespace
