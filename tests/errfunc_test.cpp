#include "measures/errfunc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "tests/testkit.h"

namespace {

using testkit::Report;
using testkit::ReportCapture;

using Set = std::unique_ptr<FVSet, void (*)(HFSET)>;

// A set of the given vectors, all of the first one's dimension.
Set make_set(std::initializer_list<std::initializer_list<double>> rows) {
    Set fvs(fvsCreate(0, static_cast<int32_t>(rows.begin()->size())), fvsDestroy);
    for (std::initializer_list<double> row : rows) {
        HFV fv = fvCreate(static_cast<int32_t>(row.size()));
        int32_t i = 0;
        for (double x : row)
            fvSetElement(fv, i++, x);
        fvsAddVector(fvs.get(), fv);
    }
    return fvs;
}

// A distance function that logs its calls and answers from a table of (codebook vector, test
// vector) pairs; params carries it.
struct Script {
    std::map<std::pair<HFV, HFV>, double> answers;
    std::vector<std::pair<HFV, HFV>> calls;
};

DISTANCE_TYPE scripted(HFV hfv1, HFV hfv2, void* params) {
    auto* script = static_cast<Script*>(params);
    script->calls.emplace_back(hfv1, hfv2);
    return script->answers.at({hfv1, hfv2});
}

Report at(int32_t code, const char* file, int32_t line) {
    return testkit::report(code, file, line);
}

TEST(CodebookError, RefusalsReportTheirCheck) {
    Set full = make_set({{1, 2}}), empty(fvsCreate(1, 2), fvsDestroy);
    Report not_ready{3, "errTSE (Total Squared Error)", "errfunc.c", 153};
    struct Case {
        const char* call;
        DISTANCE_TYPE result;
        std::vector<Report> reports;
    };
    ReportCapture capture;
    auto check = [&](const Case& expected, DISTANCE_TYPE result) {
        EXPECT_EQ(result, expected.result) << expected.call;
        EXPECT_EQ(capture.reports(), expected.reports) << expected.call;
        capture.clear();
    };
    check({"errMSE(null, full)", -1.0, {at(1, "errfunc.c", 69)}},
          errMSE(nullptr, full.get(), nullptr, nullptr));
    check({"errMSE(full, null)", -1.0, {at(1, "errfunc.c", 69)}},
          errMSE(full.get(), nullptr, dfManhattan, nullptr));
    check({"errMSE(empty, full)", 0.0, {at(1, "errfunc.c", 92)}},
          errMSE(empty.get(), full.get(), nullptr, nullptr));
    check({"errMSE(full, empty)", 0.0, {at(1, "errfunc.c", 92)}},
          errMSE(full.get(), empty.get(), nullptr, nullptr));
    check({"errTSE(full, full)", -1.0, {not_ready}},
          errTSE(full.get(), full.get(), dfEuclidean, nullptr));
    check({"errTSE(null, null)", -1.0, {not_ready}}, errTSE(nullptr, nullptr, nullptr, nullptr));
}

TEST(CodebookError, DefaultsToTheScaledEuclideanDistance) {
    ReportCapture capture;
    Set codebook = make_set({{0, 0}}), test_set = make_set({{3, 4}, {0, 0}});
    EXPECT_EQ(errMSE(codebook.get(), test_set.get(), nullptr, nullptr), 0.78125);
    // A repeated codebook vector changes nothing.
    Set doubled = make_set({{0, 0}, {0, 0}});
    EXPECT_EQ(errMSE(doubled.get(), test_set.get(), nullptr, nullptr), 0.78125);
    EXPECT_TRUE(capture.reports().empty());
}

TEST(CodebookError, MeasuresEveryPairTestMajorAndKeepsTheStrictMinimum) {
    Set codebook = make_set({{1}, {2}, {3}}), test_set = make_set({{1}, {2}});
    HFV c1 = fvsGetVector(codebook.get(), 1), c2 = fvsGetVector(codebook.get(), 2),
        c3 = fvsGetVector(codebook.get(), 3);
    HFV t1 = fvsGetVector(test_set.get(), 1), t2 = fvsGetVector(test_set.get(), 2);
    // Test vector 1: a NaN never becomes the minimum (3, NaN, 2 gives 2); test vector 2: 4.
    Script script{{{{c1, t1}, 3.0},
                   {{c2, t1}, NAN},
                   {{c3, t1}, 2.0},
                   {{c1, t2}, 4.0},
                   {{c2, t2}, 4.0},
                   {{c3, t2}, 5.0}},
                  {}};
    EXPECT_EQ(errMSE(codebook.get(), test_set.get(), scripted, &script), 2.0 + 8.0);
    EXPECT_EQ(script.calls, (std::vector<std::pair<HFV, HFV>>{
                                {c1, t1}, {c2, t1}, {c3, t1}, {c1, t2}, {c2, t2}, {c3, t2}}));

    // A NaN from the first codebook vector is never replaced.
    script.answers[{c1, t1}] = NAN;
    EXPECT_TRUE(std::isnan(errMSE(codebook.get(), test_set.get(), scripted, &script)));
}

TEST(CodebookError, FailingDistancesCountAsMinusOne) {
    // Every call refuses the mismatched dimensions and gives -1.0, whose square is 1; ten terms
    // of 1/10 added one by one fall just short of 1.
    Set codebook = make_set({{0, 0}});
    Set test_set = make_set({{0, 0, 0},
                             {1, 1, 1},
                             {2, 2, 2},
                             {3, 3, 3},
                             {4, 4, 4},
                             {5, 5, 5},
                             {6, 6, 6},
                             {7, 7, 7},
                             {8, 8, 8},
                             {9, 9, 9}});
    ReportCapture capture;
    EXPECT_EQ(errMSE(codebook.get(), test_set.get(), nullptr, nullptr), 0.9999999999999999);
    EXPECT_EQ(capture.reports(), std::vector<Report>(10, at(1, "distfunc.c", 69)));
}

}  // namespace
