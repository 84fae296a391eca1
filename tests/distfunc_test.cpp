#include "measures/distfunc.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using testkit::Report;

// A distance with the lines of its two argument checks.
struct Measure {
    const char* name;
    DISTFUNC fn;
    int32_t shape_line;
    int32_t data_line;
};

const Measure measures[] = {
    {"dfEuclidean", dfEuclidean, 69, 78},
    {"dfEuclideanSquared", dfEuclideanSquared, 131, 140},
    {"dfManhattan", dfManhattan, 203, 212},
    {"dfMaximum", dfMaximum, 258, 267},
};

TEST(Distance, UnusableVectorsGiveMinusOneAfterOneReport) {
    double xy[2] = {0, 0}, xyz[3] = {0, 0, 0};
    Hvec pair{2, 1, xy}, triple{3, 1, xyz}, empty{0, 1, xy}, negative{-1, 1, xy};
    Hvec hollow{2, 1, nullptr};
    struct Case {
        const char* what;
        HFV hfv1;
        HFV hfv2;
        bool data_check;  // refused by the second check rather than the first
    };
    const Case cases[] = {
        {"null first", nullptr, &pair, false},
        {"null second", &pair, nullptr, false},
        {"dimension 0", &empty, &empty, false},
        {"negative dimension", &negative, &negative, false},
        {"dimensions differ", &pair, &triple, false},
        {"first has no components", &hollow, &pair, true},
        {"second has no components", &pair, &hollow, true},
    };
    testkit::ReportCapture capture;
    for (const Measure& m : measures) {
        for (const Case& c : cases) {
            capture.clear();
            EXPECT_EQ(m.fn(c.hfv1, c.hfv2, nullptr), -1.0) << m.name << ": " << c.what;
            Report expected =
                testkit::report(1, "distfunc.c", c.data_check ? m.data_line : m.shape_line);
            EXPECT_EQ(capture.reports(), std::vector<Report>{expected}) << m.name << ": " << c.what;
        }
    }
}

TEST(Distance, EachCarriesItsOwnScaling) {
    double origin[2] = {0, 0}, point[2] = {3, 4};
    Hvec a{2, 1, origin}, b{2, 1, point};
    testkit::ReportCapture capture;
    EXPECT_EQ(dfEuclidean(&a, &b, nullptr), 1.25);
    EXPECT_EQ(dfEuclideanSquared(&a, &b, nullptr), std::ldexp(25.0, -34));
    EXPECT_EQ(dfManhattan(&a, &b, nullptr), 1.75);
    EXPECT_EQ(dfMaximum(&a, &b, nullptr), 2.0);
    for (const Measure& m : measures)
        EXPECT_EQ(m.fn(&b, &b, nullptr), 0.0) << m.name;

    // Differences are scaled before they are squared or summed, so these stay finite where the
    // unscaled square or sum would overflow.
    double huge[2] = {DBL_MAX, DBL_MAX}, far[1] = {1e155}, near[1] = {0};
    Hvec h{2, 1, huge}, f{1, 1, far}, n{1, 1, near};
    EXPECT_EQ(dfManhattan(&a, &h, nullptr), DBL_MAX / 2);
    EXPECT_EQ(dfEuclidean(&n, &f, nullptr), 1e155 / 4);
    EXPECT_TRUE(capture.reports().empty());
}

TEST(Distance, MaximumHandsOverOnNotANumber) {
    double zero[2] = {0, 0}, nan_first[2] = {NAN, 1}, nan_last[2] = {1, NAN};
    Hvec z{2, 1, zero}, first{2, 1, nan_first}, last{2, 1, nan_last};
    EXPECT_EQ(dfMaximum(&first, &z, nullptr), 0.5);  // the next term replaces a NaN
    EXPECT_TRUE(std::isnan(dfMaximum(&last, &z, nullptr)));
}

}  // namespace
