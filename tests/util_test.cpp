#include "driver/util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "tests/testkit.h"

namespace {

using testkit::TempFile;

TEST(Allocate, ZeroFilledBlocksHoldFourByteElements) {
    auto* block = static_cast<int32_t*>(allocate(6, INIT));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(block[i], 0);
    std::free(block);
    void* raw = allocate(0, NO_INIT);
    EXPECT_NE(raw, nullptr);
    std::free(raw);
}

TEST(Allocate, FailureEndsTheProcessWithTheTrueSize) {
    testkit::Outcome outcome =
        testkit::run_in_child([] { allocate(std::numeric_limits<size_t>::max() - 15, NO_INIT); });
    EXPECT_EQ(outcome.out, "Allocation of 18446744073709551600 bytes failed\n");
    EXPECT_EQ(outcome.status, 255);
    // The zero-filled form reports the element count it was given.
    outcome = testkit::run_in_child([] { allocate(size_t{1} << 62, INIT); });
    EXPECT_EQ(outcome.out, "Allocation of 4611686018427387904 bytes failed\n");
    EXPECT_EQ(outcome.status, 255);
}

TEST(Allocate, LineBlocksStartOnALineAndFailLikeTheRest) {
    for (const size_t size : {size_t{1}, size_t{16}, size_t{63}, size_t{64}, size_t{65}}) {
        tarn::OwnLinesArray<char> a(size), b(size);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(a.data()) % 64, 0u) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data()) % 64, 0u) << size;
    }
    tarn::AllocationFailuresThrow throwing;
    EXPECT_THROW(tarn::allocate_lines(std::numeric_limits<size_t>::max() - 15),
                 tarn::AllocationFailure);
}

TEST(Readline, ReportsTheEndOfTheStream) {
    TempFile file("first\nlast");
    FILE* in = std::fopen(file.path().c_str(), "r");
    char buf[256];
    EXPECT_EQ(readline(in, buf), 0);
    EXPECT_STREQ(buf, "first\n");
    EXPECT_NE(readline(in, buf), 0);  // the last line has no newline: end of file reached
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(readline(in, buf), 1);
    std::fclose(in);
}

TEST(Readline, SplitsLinesLongerThanTheBuffer) {
    TempFile file(std::string(300, 'x') + "\n");
    FILE* in = std::fopen(file.path().c_str(), "r");
    char buf[256];
    EXPECT_EQ(readline(in, buf), 0);
    EXPECT_EQ(std::string(buf).size(), 255u);
    EXPECT_EQ(readline(in, buf), 0);
    EXPECT_EQ(std::string(buf), std::string(45, 'x') + "\n");
    std::fclose(in);
}

TEST(Getvector, ParsesColourLinesAndSkipsAnUnterminatedLast) {
    TempFile file("0.5 1.5 2.5 7\n9 8\n1 2 3 4");
    FILE* in = std::fopen(file.path().c_str(), "r");
    float r = -1, g = -1, b = -1;
    int32_t flag = -1;
    EXPECT_EQ(getvector(in, &r, &g, &b, &flag), 1);
    EXPECT_FLOAT_EQ(r, 0.5f);
    EXPECT_FLOAT_EQ(g, 1.5f);
    EXPECT_FLOAT_EQ(b, 2.5f);
    EXPECT_EQ(flag, 7);
    EXPECT_EQ(getvector(in, &r, &g, &b, &flag), 1);  // unmatched fields keep their values
    EXPECT_FLOAT_EQ(r, 9.0f);
    EXPECT_FLOAT_EQ(g, 8.0f);
    EXPECT_FLOAT_EQ(b, 2.5f);
    EXPECT_EQ(flag, 7);
    EXPECT_EQ(getvector(in, &r, &g, &b, &flag), 0);
    EXPECT_FLOAT_EQ(r, 9.0f);
    std::fclose(in);
}

}  // namespace
