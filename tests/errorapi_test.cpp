#include "errors/errorapi.h"

#include <gtest/gtest.h>

#include "tests/testkit.h"

namespace {

using testkit::capture_stderr;
using testkit::capture_stdout;

TEST(ErrorApi, MessagesCoverExactlyTheTable) {
    struct Case {
        int32_t code;
        const char* message;
    };
    const Case cases[] = {
        {0, "Fatal error"},
        {1, "Function parameter has invalid value"},
        {4, "Can't open file"},
        {20, "Creating Discrete Cosine Tranformation processor failed"},
        {27, "Vector dimensions do not agree"},
        {35, "Metric space indexing nearest neighbour search function has failed"},
        {59, "Computation of new centroids has failed during GLA iteration"},
        {60, "Unknown error"},
        {-1, "Unknown error"},
        {1000000, "Unknown error"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(GetErrorString(c.code), c.message) << c.code;
}

TEST(ErrorApi, EveryCodeInRangeHasItsOwnMessage) {
    for (int32_t code = 0; code < 60; ++code) {
        EXPECT_STRNE(GetErrorString(code), "Unknown error") << code;
        if (code > 0) {
            EXPECT_STRNE(GetErrorString(code), GetErrorString(code - 1)) << code;
        }
    }
}

TEST(ErrorApi, DefaultReportIsOneExactLine) {
    EXPECT_EQ(capture_stderr(
                  [] { ReportErrorDefault(4, "file_name is empty string", "fvector.c", 1192); }),
              "fvector.c (1192): error 4 (Can't open file): file_name is empty string\n");
    EXPECT_EQ(capture_stderr([] { ReportErrorDefault(99, nullptr, "distfunc.c", 69); }),
              "distfunc.c (69): error 99 (Unknown error)\n");
    EXPECT_EQ(capture_stderr([] { ReportErrorDefault(1, "", "errfunc.c", 92); }),
              "errfunc.c (92): error 1 (Function parameter has invalid value): \n");
}

TEST(ErrorApi, ReportHookStartsAsTheDefaultAndCanBeReplaced) {
    EXPECT_EQ(ReportError, &ReportErrorDefault);
    EXPECT_EQ(LogEvent, &LogEventDefault);
    std::string err = capture_stderr([] {
        testkit::ReportCapture capture;
        ReportError(7, nullptr, "fvector.c", 1207);
        ASSERT_EQ(capture.reports().size(), 1u);
        EXPECT_EQ(capture.reports()[0], testkit::report(7, "fvector.c", 1207));
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(ReportError, &ReportErrorDefault);
}

TEST(ErrorApi, SetReportErrorStoresAndReturnsZero) {
    ERRFN before = ReportError;
    auto silent = [](int32_t, const char*, const char*, int32_t) -> int32_t { return 5; };
    EXPECT_EQ(SetReportError(silent), 0);
    EXPECT_EQ(ReportError, static_cast<ERRFN>(silent));
    SetReportError(before);
}

TEST(ErrorApi, DefaultEventLogWritesNonNullTextToStandardOutput) {
    int32_t result = -1;
    EXPECT_EQ(capture_stdout([&] { result = LogEventDefault("loaded 5 vectors"); }),
              "loaded 5 vectors\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(capture_stdout([&] { result = LogEventDefault(nullptr); }), "");
    EXPECT_EQ(result, 0);
}

}  // namespace
