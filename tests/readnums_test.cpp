#include "vectors/readnums.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A readable stream holding text, closed when the object goes.
class Stream {
public:
    explicit Stream(const std::string& text) : file_(std::tmpfile()) {
        std::fwrite(text.data(), 1, text.size(), file_);
        std::rewind(file_);
    }
    ~Stream() { std::fclose(file_); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    FILE* get() const { return file_; }

private:
    FILE* file_;
};

// A reader that releases itself.
struct Reader {
    ReadNums* handle = readnumsCreate();
    ~Reader() { readnumsDestroy(handle); }
};

// Equal as doubles, NaN equal to NaN; the values must come out of strtod bit for bit.
void expect_values(const double* got, const std::vector<double>& want, const std::string& where) {
    for (size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(got[i])) << where << " value " << i;
        else
            EXPECT_EQ(got[i], want[i]) << where << " value " << i;
    }
}

TEST(ReadVector, LineGrammar) {
    struct Case {
        const char* line;
        int32_t expected;            // *Dimensionality passed in
        std::vector<double> values;  // empty: a null result
        int32_t incomplete;
        int32_t errors;
        int32_t dimensionality;  // *Dimensionality afterwards
    };
    const Case cases[] = {
        {"1 2 3", 3, {1, 2, 3}, 0, 0, 3},
        {"1 2", 3, {1, 2}, 1, 0, 2},
        {"1 2 3 4", 3, {1, 2, 3, 4}, 0, 0, 4},
        {"7", 0, {7}, 0, 0, 1},
        {"1, 2, 3", 3, {1, 2, 3}, 0, 0, 3},
        {"1,2,3", 3, {}, 0, 1, 3},
        {"50% 2", 2, {50 * 0.01, 2}, 0, 0, 2},
        {"5%, 7", 2, {5 * 0.01, 7}, 0, 0, 2},
        {"1, , 3", 3, {1, 0, 3}, 0, 0, 3},
        {", 5", 1, {0, 5}, 0, 0, 2},
        {"1 2 # note", 2, {}, 0, 1, 2},
        {"1 2 % note", 2, {}, 0, 1, 2},
        {"1 2 x", 2, {}, 0, 1, 2},
        {"1 NaN 3", 3, {1, kNaN, 3}, 1, 0, 3},
        {"1 nan 3", 3, {1, kNaN, 3}, 0, 0, 3},
        {"-Inf 4", 2, {-kInf, 4}, 1, 0, 2},
        // Further cases of the same grammar.
        {"1,\t2", 2, {1, 2}, 0, 0, 2},
        {"  , 5", 3, {0, 0, 5}, 0, 0, 3},
        {"5", -2, {5}, 0, 0, 1},
        {"INFINITY nan(7) -0x1p-2 1e3", 4, {kInf, kNaN, -0.25, 1000}, 0, 0, 4},
        {"xInf 1", 1, {}, 0, 1, 1},
        {"2 Info", 1, {}, 0, 1, 1},
        {"1e 2", 2, {}, 0, 1, 2},
        {"1%% 2", 2, {}, 0, 1, 2},
        {"1,, 2", 2, {}, 0, 1, 2},
        {"1 2,", 2, {1, 2}, 0, 0, 2},
        {"\v\f1\t\t2   ", 2, {1, 2}, 0, 0, 2},
        {"1\v2\f3", 3, {1, 2, 3}, 0, 0, 3},
        {"\v\f \t", 1, {}, 0, 0, 1},  // white space only: no data line
        {"1 # 2", 2, {}, 0, 1, 2},
        {"% 1 2", 2, {}, 0, 0, 2},  // a comment only: no data line at all
        {"   # 1 2", 2, {}, 0, 0, 2},
        {"1 NaNa", 2, {}, 0, 1, 2},
        {"3 1e400", 2, {3, kInf}, 0, 0, 2},
    };
    // Every line must read the same whatever ends it, the stream's end included.
    for (const char* ending : {"", "\n", "\r\n"}) {
        for (const Case& c : cases) {
            const std::string where = std::string("\"") + c.line + "\" ending " +
                                      std::to_string(std::string(ending).size());
            Stream in(std::string(c.line) + ending);
            Reader reader;
            int32_t dimensionality = c.expected, incomplete = -1, errors = -1;
            const double* got =
                ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors);
            EXPECT_EQ(incomplete, c.incomplete) << where;
            EXPECT_EQ(errors, c.errors) << where;
            EXPECT_EQ(dimensionality, c.dimensionality) << where;
            if (c.values.empty()) {
                EXPECT_EQ(got, nullptr) << where;
                continue;
            }
            ASSERT_NE(got, nullptr) << where;
            expect_values(got, c.values, where);
            // The line was the stream's last: the next call finds no data line.
            dimensionality = 9;
            EXPECT_EQ(ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors),
                      nullptr)
                << where;
            EXPECT_EQ(incomplete, 0) << where;
            EXPECT_EQ(errors, 0) << where;
            EXPECT_EQ(dimensionality, 9) << where;
        }
    }
}

TEST(ReadVector, SkipsBlankAndCommentLinesButCountsThem) {
    Stream in("\n \t\r\n# comment\n   % 1 2 3\n4 5\n\n6\n");
    Reader reader;
    ResetLineCounter(reader.handle, 0);
    int32_t dimensionality = 0, incomplete, errors;
    const double* got = ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors);
    ASSERT_NE(got, nullptr);
    expect_values(got, {4, 5}, "first");
    EXPECT_EQ(CurrentLineNumber(reader.handle), 5);
    got = ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors);
    ASSERT_NE(got, nullptr);
    expect_values(got, {6}, "second");
    EXPECT_EQ(incomplete, 1);  // one value where two were expected
    EXPECT_EQ(CurrentLineNumber(reader.handle), 7);
    EXPECT_EQ(ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors), nullptr);
    EXPECT_EQ(CurrentLineNumber(reader.handle), 7);
}

TEST(ReadVector, CounterStopsAtAMalformedLine) {
    Stream in("1 2\n# c\n1,2\n3 4\n");
    Reader reader;
    ResetLineCounter(reader.handle, 0);
    int32_t dimensionality = 0, incomplete, errors;
    ASSERT_NE(ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors), nullptr);
    EXPECT_EQ(ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors), nullptr);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(CurrentLineNumber(reader.handle), 3);
}

TEST(ReadTextFileLine, LongLineIsReadWholeAfterDoublingAndCountedOnce) {
    const std::string long_line = std::string(4999, 'x') + "\n";
    Stream in("a\n" + long_line + "b");
    Reader reader;
    EXPECT_EQ(reader.handle->Buffer, nullptr);
    EXPECT_STREQ(ReadTextFileLine(reader.handle, in.get()), "a\n");
    EXPECT_EQ(CurrentLineNumber(reader.handle), 2);
    EXPECT_EQ(ReadTextFileLine(reader.handle, in.get()), long_line);
    EXPECT_EQ(reader.handle->BufSize, 8192);
    EXPECT_EQ(CurrentLineNumber(reader.handle), 3);
    EXPECT_STREQ(ReadTextFileLine(reader.handle, in.get()), "b");
    EXPECT_EQ(reader.handle->BufSize, 8192);  // the buffer is kept, not shrunk
    EXPECT_EQ(ReadTextFileLine(reader.handle, in.get()), nullptr);
    EXPECT_EQ(CurrentLineNumber(reader.handle), 4);
}

TEST(ReadTextFileLine, LongLineOnAStreamThatCannotGoBack) {
    const std::string long_line = std::string(3000, 'y') + "\n";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string text = long_line + "z\n";
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fds[1]);
    FILE* in = fdopen(fds[0], "r");
    Reader reader;
    EXPECT_EQ(ReadTextFileLine(reader.handle, in), long_line);
    EXPECT_STREQ(ReadTextFileLine(reader.handle, in), "z\n");
    EXPECT_EQ(CurrentLineNumber(reader.handle), 3);
    std::fclose(in);
}

TEST(ReadVector, ManyNumbersGrowTheNumberBufferOnce) {
    std::string line;
    std::vector<double> want;
    for (int i = 1; i <= 1500; ++i) {
        line += std::to_string(i) + (i % 2 ? ", " : "\t");
        want.push_back(i);
    }
    Stream in(line + "\n8 9\n");
    Reader reader;
    int32_t dimensionality = 1500, incomplete, errors;
    const double* got = ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(dimensionality, 1500);
    EXPECT_EQ(incomplete, 0);
    expect_values(got, want, "long");
    EXPECT_EQ(reader.handle->BufVectorSize, 2048);
    EXPECT_EQ(reader.handle->BufSize, 8192);  // the 6900-character line also grew the line buffer
    got = ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors);
    ASSERT_NE(got, nullptr);
    expect_values(got, {8, 9}, "short");
    EXPECT_EQ(reader.handle->BufVectorSize, 2048);
}

TEST(ReadVector, ANulByteAnywhereMakesTheLineMalformed) {
    // Each text holds one line with a NUL byte: that line is malformed wherever the NUL is, even
    // in a blank or comment line, and the next read goes on at the following line.
    struct Case {
        std::string text;
        int32_t bad_line;  // the line with the NUL
    };
    using namespace std::string_literals;
    const std::string long_tail = std::string(3000, 'q') + "\n";
    const Case cases[] = {
        {"\0 9 9\n3\n"s, 1},
        {"5 5 0\0 1\n3\n"s, 1},
        {"1 2\n5 5 0\0\n3\n"s, 2},
        {"# note\0\n3\n"s, 1},
        {"\n \0\n3\n"s, 2},
        {"1 2\n5 5\0"s, 2},  // the stream's last line, no line feed
        {"1 2\n\0"s, 2},
        {"1 2\0"s + long_tail + "3\n", 1},
        {std::string(2000, ' ') + "\0"s + long_tail + "3\n", 1},
        {"1 2\n" + std::string(3000, ' ') + "7\0\n3\n"s, 2},
    };
    for (const Case& c : cases) {
        const std::string where = "bad line " + std::to_string(c.bad_line) + ", " +
                                  std::to_string(c.text.size()) + " bytes";
        Stream in(c.text);
        Reader reader;
        ResetLineCounter(reader.handle, 0);
        int32_t dimensionality = 0, incomplete = -1, errors = -1;
        const double* got = nullptr;
        do {
            got = ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors);
        } while (got != nullptr);
        EXPECT_EQ(errors, 1) << where;
        EXPECT_EQ(CurrentLineNumber(reader.handle), c.bad_line) << where;
        got = ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors);
        if (c.text.find("3\n") == std::string::npos) {
            EXPECT_EQ(got, nullptr) << where;
            EXPECT_EQ(errors, 0) << where;
        } else {
            ASSERT_NE(got, nullptr) << where;
            expect_values(got, {3}, where);
            EXPECT_EQ(CurrentLineNumber(reader.handle), c.bad_line + 1) << where;
        }
    }
}

TEST(ReadVector, ReadErrorEndsReadingLikeTheEnd) {
    FILE* directory = std::fopen("/", "r");  // opens, but every read fails
    ASSERT_NE(directory, nullptr);
    Reader reader;
    int32_t dimensionality = -1, incomplete = -1, errors = -1;
    EXPECT_EQ(ReadVector(reader.handle, directory, &dimensionality, &incomplete, &errors), nullptr);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(incomplete, 0);
    EXPECT_EQ(dimensionality, 1);
    EXPECT_EQ(CurrentLineNumber(reader.handle), 1);
    std::fclose(directory);
}

TEST(ReadNums, CreateAllocatesBuffersOnFirstUse) {
    Reader reader;
    ASSERT_NE(reader.handle, nullptr);
    EXPECT_EQ(reader.handle->LineNumber, 1);
    EXPECT_EQ(reader.handle->BufSize, 1024);
    EXPECT_EQ(reader.handle->BufVectorSize, 1024);
    EXPECT_EQ(reader.handle->BufferVector, nullptr);
    Stream in("");
    int32_t dimensionality = 0, incomplete, errors;
    EXPECT_EQ(ReadVector(reader.handle, in.get(), &dimensionality, &incomplete, &errors), nullptr);
    EXPECT_NE(reader.handle->BufferVector, nullptr);
    EXPECT_EQ(CurrentLineNumber(reader.handle), 1);
    ResetLineCounter(reader.handle, 41);
    EXPECT_EQ(CurrentLineNumber(reader.handle), 41);
    EXPECT_EQ(readnumsDestroy(readnumsCreate()), 0);
}

// readnumsStrtod reads a C text without knowing its length: numbers of every length around its
// fast path's window, an exponent cut anywhere, give strtod's value and end.
TEST(ReadnumsStrtod, NumbersOfAnyLengthAsStrtodReadsThem) {
    for (size_t digits = 100; digits < 140; ++digits) {
        for (const char* tail : {"", "e5", "e-5", "e+5", ".5e1", " 2"}) {
            const std::string text = "1" + std::string(digits, '0') + tail;
            char* end;
            char* want_end;
            const double value = readnumsStrtod(text.c_str(), &end);
            const double want = std::strtod(text.c_str(), &want_end);
            EXPECT_EQ(value, want) << text;
            EXPECT_EQ(end, want_end) << text;
        }
    }
}

}  // namespace
