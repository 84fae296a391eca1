// The block and parallel load of a regular text file against the stream load of the same bytes:
// the same vectors bit for bit, the same reports and the same "Problem in line" text, for every
// count of parts (so that the split points fall everywhere: inside long lines, on blank and
// comment lines, right before a bad line) and for blocks smaller than a line, with the vectors
// allocated one by one or carved from an arena.
#include "vectors/textload.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/testkit.h"
#include "vectors/arena.h"

namespace {

using testkit::ReportCapture;
using testkit::TempFile;

// What a load left: its vectors' bits, its reports and its standard error.
struct Result {
    bool loaded = false;
    int32_t size = 0;  // the set's vector_size
    std::vector<std::vector<uint64_t>> rows;
    std::vector<testkit::Report> reports;
    std::string err;
    bool operator==(const Result&) const = default;
};

// Keeps what the load left and releases the set; a set carved from arena must hold only vectors
// the arena carved.
Result keep(HFSET set, const ReportCapture& capture, std::string err,
            const tarn::VectorArena* arena = nullptr) {
    Result result;
    result.loaded = set != nullptr;
    for (int32_t p = 0; set != nullptr && p < set->vector_number; ++p) {
        const HFV v = set->vectors[p];
        std::vector<uint64_t> row(static_cast<size_t>(v->dim));
        std::memcpy(row.data(), v->vector, row.size() * sizeof(double));
        result.rows.push_back(std::move(row));
        EXPECT_TRUE(arena == nullptr || arena->owns(v)) << "vector " << p + 1;
    }
    if (set != nullptr) result.size = set->vector_size;
    tarn::release_set(set, arena);
    result.reports = capture.reports();
    result.err = std::move(err);
    return result;
}

Result stream_load(const std::string& path) {
    ReportCapture capture;
    HFSET set = nullptr;
    const std::string err = testkit::capture_stderr([&] {
        FILE* file = std::fopen(path.c_str(), "r");
        set = fvsLoadStream(file, "input");
        std::fclose(file);
    });
    return keep(set, capture, err);
}

Result block_load(const std::string& path, int32_t threads, size_t block, bool carve) {
    ReportCapture capture;
    tarn::VectorArena arena;
    HFSET set = nullptr;
    const std::string err = testkit::capture_stderr([&] {
        const int fd = open(path.c_str(), O_RDONLY);
        tarn::TextLoad how;
        how.threads = threads;
        how.least_part = 1;
        how.block = block;
        how.arena = carve ? &arena : nullptr;
        set = tarn::text_load(fd, "input", 0, how);
        close(fd);
    });
    return keep(set, capture, err, carve ? &arena : nullptr);
}

// The file read as `ranges` runs of lines apart, each on two threads, as processes read it: the
// runs' accounts followed in file order, their vectors kept in turn when the whole read well.
Result range_load(const std::string& path, size_t ranges, size_t block) {
    ReportCapture capture;
    Result result;
    result.err = testkit::capture_stderr([&] {
        const int fd = open(path.c_str(), O_RDONLY);
        const size_t bytes = static_cast<size_t>(lseek(fd, 0, SEEK_END));
        tarn::TextLoad how;
        how.threads = 2;
        how.least_part = 1;
        how.block = block;
        tarn::TextLines whole;
        std::vector<HFSET> sets;
        for (size_t r = 0; r < ranges; ++r) {
            tarn::TextLines lines;
            sets.push_back(
                tarn::text_load_lines(fd, 0, bytes, tarn::text_split(0, bytes, ranges, r),
                                      tarn::text_split(0, bytes, ranges, r + 1), how, &lines));
            whole = tarn::text_follow(whole, lines);
        }
        int32_t long_line = 0;
        result.loaded = !tarn::text_report(whole, "input", &long_line);
        if (result.loaded) result.size = whole.first_count;
        for (HFSET set : sets) {
            for (int32_t p = 0; result.loaded && set != nullptr && p < set->vector_number; ++p) {
                const HFV v = set->vectors[p];
                std::vector<uint64_t> row(static_cast<size_t>(v->dim));
                std::memcpy(row.data(), v->vector, row.size() * sizeof(double));
                result.rows.push_back(std::move(row));
            }
            fvsDestroy(set);
        }
        close(fd);
    });
    result.reports = capture.reports();
    return result;
}

// Every count of parts from 1 to 7 and three block sizes give the stream load's result, and so
// do runs of lines read apart and joined, 1 to 5 of them.
void expect_as_streamed(const std::string& text, const std::string& name) {
    TempFile file(text);
    const Result want = stream_load(file.path());
    for (const size_t block : {size_t{16}, size_t{1} << 20}) {
        for (size_t ranges = 1; ranges <= 5; ++ranges) {
            EXPECT_EQ(range_load(file.path(), ranges, block), want)
                << name << ", " << ranges << " runs read apart, blocks of " << block
                << "; expected " << (want.loaded ? "a set" : want.err);
        }
    }
    for (const size_t block : {size_t{16}, size_t{100}, size_t{1} << 20}) {
        for (int32_t threads = 1; threads <= 7; ++threads) {
            for (const bool carve : {false, true}) {
                EXPECT_EQ(block_load(file.path(), threads, block, carve), want)
                    << name << ", " << threads << " parts, blocks of " << block
                    << (carve ? ", carved" : "") << "; expected "
                    << (want.loaded ? "a set" : want.err);
            }
        }
    }
}

TEST(TextLoad, EveryCountOfPartsLoadsAsTheStreamDoes) {
    static const char kNulLine[] = "1 2 0\n3 4 0\n% a\0b\n5 6 0\n";
    const std::string long_line = [] {
        std::string line;
        for (int i = 0; i < 700; ++i)
            line += std::to_string(i) + ".5 ";
        return line + "1\n";
    }();
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"blank, comment and CRLF lines", "% a comment\n1 2 0\n\n  \r\n3, 4, 1\r\n# x\n5 6% 0\n"},
        {"no line feed at the end", "1 2 0\n3 4 1\n5 6 0"},
        {"growing lines", "1 2\n3 4 5\n6 7 8 9\n10 11 12 13 14\n"},
        {"long lines on split points", "1 2 1\n" + long_line + long_line + long_line},
        {"a long line too short", "1 2 3 1\n" + long_line + "1 2 3\n"},
        {"an empty file", ""},
        {"only comments and blank lines", "% one\n\n# two\n   \n"},
        {"a bad line early and another late", "1 2 0\n1,2 0\n3 4 0\n5 6 0\n7 8\n9 10 0\n"},
        {"a short line late only", "1 2 0\n3 4 0\n5 6 0\n7 8 0\n9 10 0\n11 0\n"},
        {"a short line after blank lines", "1 2 0\n3 4 0\n\n\n\n\n\n\n5 0\n6 7 0\n"},
        {"NaN on a later line", "1 2 0\n\n\n\n\n3 4 0\n5 NaN 0\n"},
        {"Inf after comments only before", "% head\n% more\n% more\n1 Inf 0\n3 4 0\n"},
        {"a NUL byte in a comment line", std::string(kNulLine, sizeof kNulLine - 1)},
        {"numbers of every kind", "0x1p3 -inf nan 1e-320 +.5 -0 50% 1e400\n1 2 3 4 5 6 7 8\n"},
        {"malformed first line", "x 1 2\n1 2 3\n"},
        {"a comma without white space late", "1 2 0\n3 4 0\n5 6 0\n7 8 0\n9,10 0\n"},
    };
    for (const Case& c : cases)
        expect_as_streamed(c.text, c.name);
}

// Seeded random files of blank, comment, CRLF and data lines, each with one fault (or none)
// placed anywhere: the first bad line in file order is the one reported.
TEST(TextLoad, SeededRandomFilesWithFaultsLoadAsTheStreamDoes) {
    std::mt19937_64 random(20261209);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); };
    for (int file = 0; file < 40; ++file) {
        const int lines = 20 + pick(60);
        const int fault = pick(lines + lines / 2);  // past the end: no fault
        std::string text;
        for (int line = 0; line < lines; ++line) {
            switch (pick(8)) {
                case 0:
                    text += "\n";
                    continue;
                case 1:
                    text += "% comment " + std::to_string(line) + "\n";
                    continue;
                default:
                    break;
            }
            std::string data;
            for (int v = 0; v < 3; ++v)
                data += std::to_string(pick(1000)) + "." + std::to_string(pick(100)) + " ";
            if (line == fault)
                data = pick(3) == 0 ? "1 2\n" : pick(2) == 0 ? "1,2 3 4" : "NaN 1 2 3";
            text += data + (pick(4) == 0 ? "0\r\n" : "0\n");
        }
        expect_as_streamed(text, "random file " + std::to_string(file));
        if (HasFailure()) return;
    }
}

// The command line reads a file of more than twice the least part on -j threads: the same
// report and the same message for a bad line wherever it lies, as with one thread.
TEST(TextLoad, TheCommandLineReadsABigFileOnItsThreadsAsOnOne) {
    std::string good;
    for (int i = 0; good.size() < (size_t{9} << 20); ++i)
        good += std::to_string(i % 1000) + ".25 " + std::to_string(i % 7) + " " +
                std::to_string(i % 2) + "\n";
    const size_t middle = good.find('\n', good.size() / 2) + 1;
    const std::string texts[] = {good, good.substr(0, middle) + "1 2\n" + good.substr(middle),
                                 good + "1 2 x\n", "1,2 0\n" + good};
    for (const std::string& text : texts) {
        TempFile file(text);
        // k beyond n stops a run right after the load.
        const testkit::Outcome one = testkit::run_tarn({"-k", "2147483647", "-i", file.path()});
        const testkit::Outcome two =
            testkit::run_tarn({"-j", "2", "-k", "2147483647", "-i", file.path()});
        EXPECT_EQ(one.status, 255);
        EXPECT_EQ(two.out, one.out);
        EXPECT_EQ(two.err, one.err);
        EXPECT_EQ(two.status, one.status);
    }
}

}  // namespace
