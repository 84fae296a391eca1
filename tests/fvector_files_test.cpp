// Loading and saving vector sets through real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/testkit.h"
#include "vectors/fvector.h"

namespace {

using testkit::capture_stderr;
using testkit::Report;
using testkit::ReportCapture;
using testkit::TempFile;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Rows = std::vector<std::vector<double>>;

size_t open_descriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator()));
}

// The rows of a set, each of the vector's own dimension.
Rows rows_of(HFSET fvs) {
    Rows rows;
    for (int32_t p = 0; p < fvs->vector_number; ++p) {
        HFV fv = fvs->vectors[p];
        rows.emplace_back(fv->vector, fv->vector + fv->dim);
    }
    return rows;
}

// Equal values, NaN equal to NaN.
bool same(const Rows& a, const Rows& b) {
    if (a.size() != b.size()) return false;
    for (size_t r = 0; r < a.size(); ++r) {
        if (a[r].size() != b[r].size()) return false;
        for (size_t i = 0; i < a[r].size(); ++i)
            if (!(a[r][i] == b[r][i] || (std::isnan(a[r][i]) && std::isnan(b[r][i])))) return false;
    }
    return true;
}

// A set made of the rows, vector_size the first row's length.
HFSET make_set(const Rows& rows, int32_t capacity = 1) {
    HFSET fvs = fvsCreate(capacity, static_cast<int32_t>(rows[0].size()));
    for (const auto& row : rows) {
        HFV fv = fvCreate(static_cast<int32_t>(row.size()));
        for (size_t i = 0; i < row.size(); ++i)
            fv->vector[i] = row[i];
        fvsAddVector(fvs, fv);
    }
    return fvs;
}

std::string numbers(int count, const char* separator) {
    std::string text;
    for (int i = 1; i <= count; ++i)
        text += std::to_string(i % 10) + separator;
    return text;
}

Rows sequence_row(int count) {
    Rows rows(1);
    for (int i = 1; i <= count; ++i)
        rows[0].push_back(i % 10);
    return rows;
}

TEST(FvsLoad, FileRules) {
    struct Case {
        std::string name;
        std::string text;
        Rows rows;             // the loaded set; empty when the load must fail
        int32_t code;          // the report of a failed load
        int32_t problem_line;  // the line in "Problem in line", 0 for none
    };
    const std::string long_line = numbers(1250, " ");  // 5000 characters
    Rows long_rows = {{1, 2}};
    long_rows.push_back(sequence_row(1250)[0]);
    const std::vector<Case> cases = {
        {"worked example",
         "% sample: two features and a label\n0.5 1.0 0\n2.5, 50% 1\n",
         {{0.5, 1.0, 0}, {2.5, 50 * 0.01, 1}},
         0,
         0},
        {"shorter fourth line", "% sample\n0.5 1.0 0\n2.5, 50% 1\n7 8\n", {}, 6, 4},
        {"comments and blanks only", "# a\n\n  \t\n% b\n", {}, 7, 0},
        {"zero bytes", "", {}, 7, 0},
        {"growing lines",
         "1 2 3\n1 2 3 4\n1 2 3 4 5\n",
         {{1, 2, 3}, {1, 2, 3, 4}, {1, 2, 3, 4, 5}},
         0,
         0},
        {"shrinking after growing", "1 2 3\n1 2 3 4\n1 2 3\n", {}, 6, 3},
        {"NaN on the first line", "1 NaN 3\n4 5 6\n", {{1, kNaN, 3}, {4, 5, 6}}, 0, 0},
        {"NaN on a later line", "4 5 6\n1 NaN 3\n", {}, 6, 2},
        {"Inf on the first line", "-Inf 2\n3 4\n", {{-kInf, 2}, {3, 4}}, 0, 0},
        {"Inf on a later line", "1 2\n\n3 Inf\n", {}, 6, 3},
        {"lower-case words are values", "1 2\ninf nan\n", {{1, 2}, {kInf, kNaN}}, 0, 0},
        {"malformed first line", "1,2\n3 4\n", {}, 6, 1},
        {"malformed later line", "1 2\n3 4 x\n", {}, 6, 2},
        {"lines counted with comments", "# a\n% b\n1 2\n3 4\n5\n", {}, 6, 5},
        {"CR LF", "1 2\r\n# c\r\n3 4\r\n", {{1, 2}, {3, 4}}, 0, 0},
        {"no final line end", "1 2\n3 4", {{1, 2}, {3, 4}}, 0, 0},
        {"5000-character line", "1 2\n" + long_line + "\n", long_rows, 0, 0},
        {"1500 numbers", numbers(1500, ", ") + "\n", sequence_row(1500), 0, 0},
    };
    for (const Case& c : cases) {
        TempFile file(c.text);
        const size_t descriptors = open_descriptors();
        ReportCapture capture;
        HFSET fvs = nullptr;
        const std::string err = capture_stderr([&] { fvs = fvsLoad(file.path().c_str()); });
        EXPECT_EQ(open_descriptors(), descriptors) << c.name << ": file left open";
        if (c.rows.empty()) {
            EXPECT_EQ(fvs, nullptr) << c.name;
            const int32_t line = c.code == 7 ? 1207 : 1224;
            EXPECT_EQ(capture.reports(),
                      std::vector<Report>{testkit::report(c.code, "fvector.c", line)})
                << c.name;
            EXPECT_EQ(err, c.problem_line
                               ? "Problem in line " + std::to_string(c.problem_line) + "\n"
                               : "")
                << c.name;
            fvsDestroy(fvs);
            continue;
        }
        ASSERT_NE(fvs, nullptr) << c.name;
        EXPECT_TRUE(capture.reports().empty()) << c.name;
        EXPECT_EQ(err, "") << c.name;
        EXPECT_TRUE(same(rows_of(fvs), c.rows)) << c.name;
        EXPECT_EQ(fvs->vector_size, static_cast<int32_t>(c.rows[0].size())) << c.name;
        int32_t capacity = 1;  // from 1, doubling when full
        while (capacity < fvs->vector_number)
            capacity *= 2;
        EXPECT_EQ(fvs->array_size, capacity) << c.name;
        for (int32_t p = 0; p < fvs->vector_number; ++p)
            EXPECT_EQ(fvs->vectors[p]->freq, 1) << c.name;
        fvsDestroy(fvs);
    }
}

TEST(FvsLoad, ProblemLineComesBeforeTheReport) {
    TempFile file("1 2 3\n1 2 3 4\n1 2 3\n");
    const std::string err =
        capture_stderr([&] { EXPECT_EQ(fvsLoad(file.path().c_str()), nullptr); });
    EXPECT_EQ(err, "Problem in line 3\nfvector.c (1224): error 6 (Invalid file format)\n");
}

TEST(FvsLoad, Refusals) {
    const std::string missing = "/nonexistent-folder/vectors.txt";
    struct Case {
        const char* name;
        Report report;
    };
    const Case cases[] = {
        {nullptr, {4, "file_name == NULL", "fvector.c", 1187}},
        {"", {4, "file_name is empty string", "fvector.c", 1192}},
        {missing.c_str(), {4, missing, "fvector.c", 1198}},
    };
    for (const Case& c : cases) {
        ReportCapture capture;
        const std::string err = capture_stderr([&] { EXPECT_EQ(fvsLoad(c.name), nullptr); });
        EXPECT_EQ(capture.reports(), std::vector<Report>{c.report});
        EXPECT_EQ(err, "");
    }
}

TEST(FvsLoadStream, PipeGivesTheSetAFileGives) {
    // Lines longer than the reader's first buffer of 1024 characters, which a pipe cannot
    // read twice.
    std::string text = "# long lines\n";
    for (int row = 0; row < 3; ++row)
        text += numbers(700, row == 1 ? ", " : " ") + "\n";
    TempFile file(text);
    HFSET from_file = fvsLoad(file.path().c_str());
    ASSERT_NE(from_file, nullptr);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_LT(text.size(), 65536u);  // fits the pipe's buffer, so no writer process is needed
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    FILE* stream = fdopen(fds[0], "r");
    HFSET from_pipe = fvsLoadStream(stream, "the pipe");
    std::fclose(stream);
    ASSERT_NE(from_pipe, nullptr);
    EXPECT_TRUE(same(rows_of(from_pipe), rows_of(from_file)));
    EXPECT_EQ(from_pipe->vector_size, 700);
    fvsDestroy(from_file);
    fvsDestroy(from_pipe);
}

TEST(FvsLoadStream, RefusalsNameTheInput) {
    struct Case {
        const char* what;
        FILE* stream;
        std::vector<Report> reports;
        std::string err;
    };
    FILE* directory = std::fopen("/", "r");  // opens, but every read fails
    ASSERT_NE(directory, nullptr);
    TempFile empty("# no data\n"), bad("1 2\n1,2\n");
    FILE* empty_stream = std::fopen(empty.path().c_str(), "r");
    FILE* bad_stream = std::fopen(bad.path().c_str(), "r");
    const Case cases[] = {
        {"null", nullptr, {{4, "input", "fvector.c", 1195}}, ""},
        {"read error", directory, {{5, "input", "fvector.c", 1227}}, ""},
        {"empty", empty_stream, {testkit::report(7, "fvector.c", 1207)}, ""},
        {"bad line", bad_stream, {testkit::report(6, "fvector.c", 1224)}, "Problem in line 2\n"},
    };
    for (const Case& c : cases) {
        ReportCapture capture;
        const std::string err =
            capture_stderr([&] { EXPECT_EQ(fvsLoadStream(c.stream, "input"), nullptr); });
        EXPECT_EQ(capture.reports(), c.reports) << c.what;
        EXPECT_EQ(err, c.err) << c.what;
        if (c.stream != nullptr) {
            EXPECT_NE(fcntl(fileno(c.stream), F_GETFD), -1) << c.what << ": the stream stays open";
            std::fclose(c.stream);
        }
    }
}

TEST(FvsSave, WritesFiveDecimalsAndABlankPerComponent) {
    HFSET fvs = make_set({{123.456789, -0.5, 0}, {2.5, 0.5, 1, 99}}, 4);
    fvsSetSize(fvs, 3);  // a slot without a vector is skipped
    TempFile file;
    ReportCapture capture;
    EXPECT_EQ(fvsSave(fvs, file.path().c_str()), 1);
    EXPECT_EQ(file.read(), "123.45679 -0.50000 0.00000 \n2.50000 0.50000 1.00000 \n");
    EXPECT_TRUE(capture.reports().empty());
    fvsSetSize(fvs, 2);  // fvsDestroy must not meet the empty slot
    fvsDestroy(fvs);
}

TEST(FvsSave, Refusals) {
    HFSET fvs = make_set({{1}});
    TempFile file;
    const std::string unwritable = "/nonexistent-folder/out.txt";
    ReportCapture capture;
    EXPECT_EQ(fvsSave(nullptr, file.path().c_str()), 0);
    EXPECT_EQ(fvsSave(fvs, nullptr), 0);
    EXPECT_EQ(fvsSave(fvs, unwritable.c_str()), 0);
    EXPECT_EQ(capture.reports(), (std::vector<Report>{testkit::report(1, "fvector.c", 1262),
                                                      testkit::report(1, "fvector.c", 1262),
                                                      {4, unwritable, "fvector.c", 1271}}));
    fvsDestroy(fvs);
}

// Seeded random sets survive a save and a load as their values rounded to five decimals.
TEST(FvsSave, SaveThenLoadRoundTrips) {
    std::mt19937 random(20240617);
    std::uniform_real_distribution<double> value(-1000.0, 1000.0);
    for (int round = 0; round < 20; ++round) {
        const int dim = 1 + round % 7;
        Rows rows(static_cast<size_t>(1 + round * 3),
                  std::vector<double>(static_cast<size_t>(dim)));
        for (auto& row : rows)
            for (double& v : row)
                v = value(random);
        HFSET saved = make_set(rows);
        TempFile file;
        ASSERT_EQ(fvsSave(saved, file.path().c_str()), 1);
        HFSET loaded = fvsLoad(file.path().c_str());
        ASSERT_NE(loaded, nullptr) << round;
        EXPECT_EQ(loaded->vector_number, saved->vector_number);
        EXPECT_EQ(loaded->vector_size, saved->vector_size);
        Rows rounded = rows;
        for (auto& row : rounded)
            for (double& v : row) {
                char text[64];
                std::snprintf(text, sizeof text, "%.5f", v);
                v = std::strtod(text, nullptr);
            }
        EXPECT_TRUE(same(rows_of(loaded), rounded)) << round;
        fvsDestroy(saved);
        fvsDestroy(loaded);
    }
}

}  // namespace
