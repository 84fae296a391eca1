#include "vectors/fvector.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using testkit::Report;
using testkit::ReportCapture;

Report at(int32_t code, int32_t line) {
    return testkit::report(code, "fvector.c", line);
}

// A vector owned by the test, destroyed when it goes.
using Vec = std::unique_ptr<Hvec, void (*)(HFV)>;

Vec own(HFV v) {
    return Vec(v, fvDestroy);
}

Vec make(std::initializer_list<double> values) {
    Vec v = own(fvCreate(static_cast<int32_t>(values.size())));
    int32_t i = 0;
    for (double value : values)
        fvSetElement(v.get(), i++, value);
    return v;
}

std::vector<double> values(HFV v) {
    return std::vector<double>(v->vector, v->vector + v->dim);
}

// Results of refused calls in one comparable form; a handle that should not exist is released.
std::string shown(HFV v) {
    if (v == nullptr) return "null";
    fvDestroy(v);
    return "vector";
}
std::string shown(int32_t n) {
    return std::to_string(n);
}
std::string shown(double d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", d);
    return text;
}

// One refused call: what it returns and the reports it makes, in order.
struct Refusal {
    const char* call;
    std::function<std::string()> run;
    std::string result;
    std::vector<Report> reports;
};

void expect_refusals(const std::vector<Refusal>& table) {
    ReportCapture capture;
    for (const Refusal& row : table) {
        capture.clear();
        EXPECT_EQ(row.run(), row.result) << row.call;
        EXPECT_EQ(capture.reports(), row.reports) << row.call;
    }
}

// What a stream opened by open_memstream received.
class Sink {
public:
    Sink() : stream_(open_memstream(&text_, &size_)) {}
    ~Sink() {
        std::fclose(stream_);
        std::free(text_);
    }
    FILE* stream() const { return stream_; }
    std::string text() {
        std::fflush(stream_);
        return std::string(text_, size_);
    }

private:
    char* text_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};

// Runs fn in a child process whose address space may grow by 64 MiB at most, so that a large
// allocation fails there; reports go to the default hook, that is the child's standard error.
testkit::Outcome with_scarce_memory(const std::function<void()>& fn) {
    return testkit::run_in_child([&] {
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        rlimit rl{limit + (rlim_t{64} << 20), limit + (rlim_t{64} << 20)};
        if (pages == 0 || setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(3);
        fn();
    });
}

// ---- single vectors ----

TEST(Vector, RefusalsReportTheirCheckAndLeaveTheArgumentsAlone) {
    Vec a = make({1, 2}), b = make({3, 4}), c = make({5, 6, 7});
    Sink sink;
    HFV none = nullptr;
    std::vector<Refusal> table = {
        {"fvCreate(0)", [] { return shown(fvCreate(0)); }, "null", {at(1, 55)}},
        {"fvCreate(-5)", [] { return shown(fvCreate(-5)); }, "null", {at(1, 55)}},
        {"fvCreateWithData(0)",
         [] { return shown(fvCreateWithData(0, nullptr)); },
         "null",
         {at(1, 98)}},
        {"fvCreateCopy(null)",
         [&] { return shown(fvCreateCopy(none)); },
         "null",
         {at(1, 356), at(1, 55), at(12, 135)}},
        {"fvCreateCat(null, null)",
         [&] { return shown(fvCreateCat(none, none)); },
         "null",
         {at(1, 356), at(1, 356), at(1, 55), at(12, 173)}},
        {"fvCreateDifference(null, a)",
         [&] { return shown(fvCreateDifference(none, a.get())); },
         "null",
         {at(1, 209)}},
        {"fvCreateDifference(a, null)",
         [&] { return shown(fvCreateDifference(a.get(), none)); },
         "null",
         {at(1, 215)}},
        {"fvCreateDifference(a, c)",
         [&] { return shown(fvCreateDifference(a.get(), c.get())); },
         "null",
         {at(1, 223)}},
        {"fvCreateSum(a, c)",
         [&] { return shown(fvCreateSum(a.get(), c.get())); },
         "null",
         {at(1, 262)}},
        {"fvCreateSum(null, a)",
         [&] { return shown(fvCreateSum(none, a.get())); },
         "null",
         {at(1, 356), at(1, 262)}},
        {"fvCreateSum(null, null)",
         [&] { return shown(fvCreateSum(none, none)); },
         "null",
         {at(1, 356), at(1, 356), at(1, 55), at(12, 269)}},
        {"fvCat(null, b, c)",
         [&] { return shown(fvCat(none, b.get(), c.get())); },
         "0",
         {at(1, 318)}},
        {"fvCat(a, b, null)",
         [&] { return shown(fvCat(a.get(), b.get(), none)); },
         "0",
         {at(1, 318)}},
        {"fvCat(a, b, c)",
         [&] { return shown(fvCat(a.get(), b.get(), c.get())); },
         "0",
         {at(1, 327)}},
        {"fvGetDim(null)", [&] { return shown(fvGetDim(none)); }, "0", {at(1, 356)}},
        {"fvGetFreq(null)", [&] { return shown(fvGetFreq(none)); }, "0", {at(1, 374)}},
        {"fvDifference(a, b, null)",
         [&] { return shown(fvDifference(a.get(), b.get(), none)); },
         "0",
         {at(1, 446)}},
        {"fvDifference(a, c, b)",
         [&] { return shown(fvDifference(a.get(), c.get(), b.get())); },
         "0",
         {at(1, 453)}},
        {"fvDifference(a, b, c)",
         [&] { return shown(fvDifference(a.get(), b.get(), c.get())); },
         "0",
         {at(1, 453)}},
        {"fvSum(null, b, a)",
         [&] { return shown(fvSum(none, b.get(), a.get())); },
         "0",
         {at(1, 486)}},
        {"fvSum(a, c, b)",
         [&] { return shown(fvSum(a.get(), c.get(), b.get())); },
         "0",
         {at(1, 493)}},
        {"fvSum(a, b, c)",
         [&] { return shown(fvSum(a.get(), b.get(), c.get())); },
         "0",
         {at(1, 493)}},
        {"fvInnerProduct(a, c)",
         [&] { return shown(fvInnerProduct(a.get(), c.get())); },
         "0.0",
         {at(27, 530)}},
        {"fvInnerProduct(null, a)",
         [&] { return shown(fvInnerProduct(none, a.get())); },
         "0.0",
         {at(1, 356), at(27, 530)}},
        {"fvMultiply(a, c, b)",
         [&] { return shown(fvMultiply(a.get(), c.get(), b.get())); },
         "0",
         {at(27, 569)}},
        {"fvMultiply(c, c, a)",
         [&] { return shown(fvMultiply(c.get(), c.get(), a.get())); },
         "0",
         {at(27, 569)}},
        {"fvMultiply(a, b, null)",
         [&] { return shown(fvMultiply(a.get(), b.get(), none)); },
         "0",
         {at(1, 356), at(27, 569)}},
        {"fvMultiplyScalar(null, 2)",
         [&] { return shown(fvMultiplyScalar(none, 2.0)); },
         "0",
         {at(1, 356)}},
        {"fvAddFraction(a, c, 2)",
         [&] { return shown(fvAddFraction(a.get(), c.get(), 2)); },
         "0",
         {at(27, 648)}},
        {"fvAddFraction(a, null, 2)",
         [&] { return shown(fvAddFraction(a.get(), none, 2)); },
         "0",
         {at(1, 356), at(27, 648)}},
        {"fvPrint(null, a)", [&] { return shown(fvPrint(nullptr, a.get())); }, "0", {at(1, 678)}},
        {"fvPrint(sink, null)",
         [&] { return shown(fvPrint(sink.stream(), none)); },
         "0",
         {at(1, 678)}},
    };
    expect_refusals(table);
    EXPECT_EQ(values(a.get()), (std::vector<double>{1, 2}));
    EXPECT_EQ(values(b.get()), (std::vector<double>{3, 4}));
    EXPECT_EQ(values(c.get()), (std::vector<double>{5, 6, 7}));
    EXPECT_EQ(sink.text(), "");
}

TEST(Vector, CreatorsStartAtFrequencyOneAndCopyDeeply) {
    ReportCapture capture;
    Vec v = make({1.5, -2});
    EXPECT_EQ(fvGetDim(v.get()), 2);
    EXPECT_EQ(fvGetFreq(v.get()), 1);
    EXPECT_EQ(fvSetFreq(v.get(), 7), 0);
    EXPECT_EQ(fvGetFreq(v.get()), 7);
    EXPECT_EQ(fvGetElement(v.get(), 1), -2.0);

    Vec copy = own(fvCreateCopy(v.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(values(copy.get()), values(v.get()));
    EXPECT_EQ(fvGetFreq(copy.get()), 1);
    EXPECT_EQ(fvSetElement(v.get(), 0, 9), 0);
    EXPECT_EQ(fvGetElement(copy.get(), 0), 1.5);  // the copy has its own components

    auto* data = static_cast<double*>(std::malloc(3 * sizeof(double)));
    data[2] = 4.25;
    Vec adopted = own(fvCreateWithData(3, data));
    ASSERT_NE(adopted, nullptr);
    EXPECT_EQ(adopted->vector, data);
    EXPECT_EQ(fvGetDim(adopted.get()), 3);
    EXPECT_EQ(fvGetFreq(adopted.get()), 1);
    EXPECT_EQ(fvGetElement(adopted.get(), 2), 4.25);
    EXPECT_TRUE(capture.reports().empty());
}

TEST(Vector, NewVectorsCombineTheirSources) {
    ReportCapture capture;
    Vec a = make({5, 1}), b = make({2, 4}), c = make({7, 8, 9});
    EXPECT_EQ(values(own(fvCreateDifference(a.get(), b.get())).get()),
              (std::vector<double>{3, -3}));
    EXPECT_EQ(values(own(fvCreateSum(a.get(), b.get())).get()), (std::vector<double>{7, 5}));
    Vec cat = own(fvCreateCat(a.get(), c.get()));
    EXPECT_EQ(values(cat.get()), (std::vector<double>{5, 1, 7, 8, 9}));
    EXPECT_EQ(fvGetFreq(cat.get()), 1);
    EXPECT_TRUE(capture.reports().empty());

    // A missing first part is reported and counts as empty: the result copies the second.
    Vec tail = own(fvCreateCat(nullptr, c.get()));
    EXPECT_EQ(capture.reports(), (std::vector<Report>{at(1, 356)}));
    EXPECT_EQ(values(tail.get()), values(c.get()));
}

TEST(Vector, ElementWiseOperationsMayWriteIntoAnInput) {
    ReportCapture capture;
    Vec a = make({5, 1}), b = make({2, 4});
    EXPECT_EQ(fvDifference(a.get(), b.get(), a.get()), 1);
    EXPECT_EQ(values(a.get()), (std::vector<double>{3, -3}));
    EXPECT_EQ(fvSum(a.get(), b.get(), b.get()), 1);
    EXPECT_EQ(values(b.get()), (std::vector<double>{5, 1}));
    EXPECT_EQ(fvMultiply(a.get(), b.get(), a.get()), 1);
    EXPECT_EQ(values(a.get()), (std::vector<double>{15, -3}));

    // A longer product receives dim(v1) components and keeps the rest.
    Vec prod = make({0, 0, 42});
    EXPECT_EQ(fvMultiply(a.get(), b.get(), prod.get()), 1);
    EXPECT_EQ(values(prod.get()), (std::vector<double>{75, -3, 42}));

    Vec joined = make({0, 0, 0, 0});
    EXPECT_EQ(fvCat(a.get(), b.get(), joined.get()), 1);
    EXPECT_EQ(values(joined.get()), (std::vector<double>{15, -3, 5, 1}));

    EXPECT_EQ(fvMultiplyScalar(b.get(), -0.5), 0);  // 0 even on success
    EXPECT_EQ(values(b.get()), (std::vector<double>{-2.5, -0.5}));
    EXPECT_TRUE(capture.reports().empty());
}

TEST(Vector, InnerProductAndFractionFollowTheirArithmetic) {
    ReportCapture capture;
    EXPECT_EQ(fvInnerProduct(make({1, 2, 3}).get(), make({4, 5, 6}).get()), 32.0);
    // Summed in index order: 1 + 1e16 rounds back to 1e16, so the total is 0, not 1.
    EXPECT_EQ(fvInnerProduct(make({1, 1e16, -1e16}).get(), make({1, 1, 1}).get()), 0.0);

    Vec v = make({1, 1});
    EXPECT_EQ(fvAddFraction(v.get(), make({2, 6}).get(), 4), 1);
    EXPECT_EQ(values(v.get()), (std::vector<double>{1.5, 2.5}));
    Vec w = make({1, 1, 1});
    EXPECT_EQ(fvAddFraction(w.get(), make({2, -6, 0}).get(), 0), 1);
    EXPECT_EQ(w->vector[0], std::numeric_limits<double>::infinity());
    EXPECT_EQ(w->vector[1], -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(w->vector[2]));
    EXPECT_TRUE(capture.reports().empty());
}

TEST(Vector, PrintWritesEachComponentWithoutALineEnd) {
    Sink sink;
    EXPECT_EQ(fvPrint(sink.stream(), make({1, 2.5, -3}).get()), 1);
    EXPECT_EQ(sink.text(), " 1.000000 2.500000 -3.000000");
}

TEST(Vector, FailedAllocationIsReportedNotFatal) {
    testkit::Outcome outcome = with_scarce_memory([] {
        std::printf("%s", fvCreate(std::numeric_limits<int32_t>::max()) ? "vector" : "null");
    });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "null");
    EXPECT_EQ(outcome.err, "fvector.c (69): error 2 (Not enough memory to continue)\n");
}

}  // namespace
