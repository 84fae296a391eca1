#include "vectors/fvector.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

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

// A row of a refusal table; the call's text names the row. A macro because only the
// preprocessor can turn the call into its text.
// clang-format off
#define REFUSAL(call, result, ...) Refusal{#call, [&] { return shown(call); }, result, {__VA_ARGS__}}
// clang-format on

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

// A set owned by the test, destroyed with its vectors when it goes.
using Set = std::unique_ptr<FVSet, void (*)(HFSET)>;

Set own(HFSET fvs) {
    return Set(fvs, fvsDestroy);
}

// A set of nominal dimension vector_size and the given capacity holding the rows in order.
Set make_set(int32_t vector_size, int32_t capacity,
             std::initializer_list<std::initializer_list<double>> rows) {
    Set fvs = own(fvsCreate(capacity, vector_size));
    for (std::initializer_list<double> row : rows)
        fvsAddVector(fvs.get(), make(row).release());
    return fvs;
}

std::vector<std::vector<double>> contents(HFSET fvs) {
    std::vector<std::vector<double>> rows;
    for (int32_t num = 1; num <= fvs->vector_number; ++num)
        rows.push_back(values(fvsGetVector(fvs, num)));
    return rows;
}

// The set's structure: held slots non-null, every other slot null, count within capacity.
void expect_well_formed(HFSET fvs) {
    ASSERT_LE(fvs->vector_number, fvs->array_size);
    for (int32_t i = 0; i < fvs->array_size; ++i)
        EXPECT_EQ(fvs->vectors[i] != nullptr, i < fvs->vector_number) << "slot " << i;
}

std::string shown(HFSET fvs) {
    if (fvs == nullptr) return "null";
    fvsDestroy(fvs);
    return "set";
}
std::string shown(HFV* slots) {
    return slots == nullptr ? "null" : "slots";
}
// A handle the set lends, which the test must not release.
std::string lent(HFV v) {
    return v == nullptr ? "null" : "vector";
}
std::string shown(const std::string& text) {
    return text;
}

// Runs fn in a child process whose address space may grow by 16 MiB at most, so that a larger
// allocation fails there; reports go to the default hook, that is the child's standard error.
// Under AddressSanitizer the child then looks for leaks and writes " leak" to its standard output
// when it finds one.
testkit::Outcome with_scarce_memory(const std::function<void()>& fn) {
    return testkit::run_in_child([&] {
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        rlimit saved{};
        getrlimit(RLIMIT_AS, &saved);
        rlimit scarce = saved;
        scarce.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                          (rlim_t{16} << 20);
        if (pages == 0 || setrlimit(RLIMIT_AS, &scarce) != 0) std::_Exit(3);
        fn();
        setrlimit(RLIMIT_AS, &saved);
#ifdef __SANITIZE_ADDRESS__
        if (__lsan_do_recoverable_leak_check() != 0) std::printf(" leak");
#endif
    });
}

// ---- single vectors ----

TEST(Vector, RefusalsReportTheirCheckAndLeaveTheArgumentsAlone) {
    Vec va = make({1, 2}), vb = make({3, 4}), vc = make({5, 6, 7});
    HFV a = va.get(), b = vb.get(), c = vc.get(), none = nullptr;
    Sink sink;
    FILE* out = sink.stream();
    expect_refusals({
        REFUSAL(fvCreate(0), "null", at(1, 55)),
        REFUSAL(fvCreate(-5), "null", at(1, 55)),
        REFUSAL(fvCreateWithData(0, nullptr), "null", at(1, 98)),
        REFUSAL(fvCreateCopy(none), "null", at(1, 356), at(1, 55), at(12, 135)),
        REFUSAL(fvCreateCat(none, none), "null", at(1, 356), at(1, 356), at(1, 55), at(12, 173)),
        REFUSAL(fvCreateDifference(none, a), "null", at(1, 209)),
        REFUSAL(fvCreateDifference(a, none), "null", at(1, 215)),
        REFUSAL(fvCreateDifference(a, c), "null", at(1, 223)),
        REFUSAL(fvCreateSum(a, c), "null", at(1, 262)),
        REFUSAL(fvCreateSum(none, a), "null", at(1, 356), at(1, 262)),
        REFUSAL(fvCreateSum(none, none), "null", at(1, 356), at(1, 356), at(1, 55), at(12, 269)),
        REFUSAL(fvCat(none, b, c), "0", at(1, 318)),
        REFUSAL(fvCat(a, b, none), "0", at(1, 318)),
        REFUSAL(fvCat(a, b, c), "0", at(1, 327)),
        REFUSAL(fvGetDim(none), "0", at(1, 356)),
        REFUSAL(fvGetFreq(none), "0", at(1, 374)),
        REFUSAL(fvDifference(a, b, none), "0", at(1, 446)),
        REFUSAL(fvDifference(a, c, b), "0", at(1, 453)),
        REFUSAL(fvDifference(a, b, c), "0", at(1, 453)),
        REFUSAL(fvSum(none, b, a), "0", at(1, 486)),
        REFUSAL(fvSum(a, c, b), "0", at(1, 493)),
        REFUSAL(fvSum(a, b, c), "0", at(1, 493)),
        REFUSAL(fvInnerProduct(a, c), "0.0", at(27, 530)),
        REFUSAL(fvInnerProduct(none, a), "0.0", at(1, 356), at(27, 530)),
        REFUSAL(fvMultiply(a, c, b), "0", at(27, 569)),
        REFUSAL(fvMultiply(c, c, a), "0", at(27, 569)),  // product too short
        REFUSAL(fvMultiply(a, b, none), "0", at(1, 356), at(27, 569)),
        REFUSAL(fvMultiplyScalar(none, 2.0), "0", at(1, 356)),
        REFUSAL(fvAddFraction(a, c, 2), "0", at(27, 648)),
        REFUSAL(fvAddFraction(a, none, 2), "0", at(1, 356), at(27, 648)),
        REFUSAL(fvPrint(nullptr, a), "0", at(1, 678)),
        REFUSAL(fvPrint(out, none), "0", at(1, 678)),
    });
    EXPECT_EQ(values(a), (std::vector<double>{1, 2}));
    EXPECT_EQ(values(b), (std::vector<double>{3, 4}));
    EXPECT_EQ(values(c), (std::vector<double>{5, 6, 7}));
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

// ---- vector sets ----

TEST(VectorSet, RefusalsReportTheirCheckAndLeaveTheSetAlone) {
    Set fvs = make_set(2, 2, {{1, 2}, {3, 4}});
    Set empty_set = own(fvsCreate(1, 2));
    Vec offered = make({5, 6});
    HFSET s = fvs.get(), empty = empty_set.get(), no_set = nullptr;
    HFV w = offered.get(), none = nullptr;
    HFV held[2] = {s->vectors[0], s->vectors[1]};
    Sink sink;
    FILE* out = sink.stream();
    expect_refusals({
        REFUSAL(fvsCreate(10, 0), "null", at(1, 721)),
        REFUSAL(fvsCreate(10, -1), "null", at(1, 721)),
        REFUSAL(fvsAddVector(no_set, w), "0", at(1, 817)),
        REFUSAL(fvsAddVector(s, none), "0", at(1, 817)),
        REFUSAL(fvsAddVectorCopy(s, none), "0", at(1, 356), at(1, 55), at(12, 135), at(13, 873)),
        REFUSAL(fvsAddVectorCopy(no_set, w), "0", at(1, 817), at(29, 880)),
        REFUSAL(fvsRemoveVector(no_set, 1), "-1", at(1, 909)),
        REFUSAL(fvsRemoveVector(empty, 1), "-1", at(1, 915)),
        REFUSAL(fvsRemoveVector(s, 3), "-1", at(1, 922)),
        REFUSAL(fvsRemoveVector(s, 0), "-1", at(1, 922)),
        REFUSAL(fvsInsertVector(no_set, w, 1), "0", at(1, 976)),
        REFUSAL(fvsInsertVector(s, none, 1), "0", at(1, 976)),
        REFUSAL(fvsInsertVector(s, w, 3), "0", at(1, 976)),
        REFUSAL(fvsInsertVector(s, w, 0), "0", at(1, 976)),
        REFUSAL(fvsInsertVector(empty, w, 1), "0", at(1, 976)),
        REFUSAL(fvsReplaceVector(no_set, w, 1), "0", at(1, 1030)),
        REFUSAL(fvsReplaceVector(s, none, 1), "0", at(1, 1030)),
        REFUSAL(fvsReplaceVector(s, w, 3), "0", at(1, 1030)),
        REFUSAL(fvsReplaceVector(s, w, 0), "0", at(1, 1030)),
        REFUSAL(fvsGetSize(no_set), "0", at(1, 1055)),
        REFUSAL(fvsGetVectorSize(no_set), "0", at(1, 1082)),
        REFUSAL(lent(fvsGetVector(no_set, 1)), "null", at(1, 1117)),
        REFUSAL(lent(fvsGetVector(s, 0)), "null", at(1, 1123)),
        REFUSAL(lent(fvsGetVector(s, 3)), "null", at(1, 1123)),
        REFUSAL(fvsCopyVector(no_set, 1), "null", at(1, 1152)),
        REFUSAL(fvsCopyVector(s, 0), "null", at(1, 1152)),
        REFUSAL(fvsCopyVector(s, 3), "null", at(1, 1152)),
        REFUSAL(fvsCopy(no_set), "null", at(1, 1317)),
        REFUSAL(fvsMerge(no_set, no_set), "null", at(1, 1359)),
        REFUSAL(fvsMerge(s, s), "null", at(1, 1359)),
        REFUSAL(fvsSetSize(no_set, 1), "0", at(1, 1457)),
        REFUSAL(fvsSetSize(s, 0), "0", at(1, 1457)),
        REFUSAL(fvsSetSize(s, 3), "0", at(1, 1457)),  // past the capacity
        REFUSAL(fvsSetVectorSize(no_set, 1), "0", at(1, 1490)),
        REFUSAL(fvsSetVectorSize(s, 0), "0", at(1, 1490)),
        REFUSAL(fvsGetVectorBuff(no_set), "null", at(1, 1517)),
        REFUSAL(fvsPrintVector(out, no_set, 1), "0", at(1, 1546)),
        REFUSAL(fvsPrintVector(out, s, 3), "0", at(1, 1123), at(32, 1553)),
        REFUSAL(fvsPrint(out, no_set), "0", at(1, 1591)),
        // fvPrint refuses the missing stream once per vector; the set's printout still succeeds.
        REFUSAL(fvsPrint(nullptr, s), "1", at(1, 678), at(1, 678)),
    });
    EXPECT_EQ(s->vector_number, 2);
    EXPECT_EQ(s->array_size, 2);
    EXPECT_EQ(s->vector_size, 2);
    EXPECT_EQ(s->vectors[0], held[0]);
    EXPECT_EQ(s->vectors[1], held[1]);
    EXPECT_EQ(contents(s), (std::vector<std::vector<double>>{{1, 2}, {3, 4}}));
    expect_well_formed(s);
    expect_well_formed(empty);
    EXPECT_EQ(values(w), (std::vector<double>{5, 6}));  // still the test's, released by it
    EXPECT_EQ(sink.text(), "");
}

TEST(VectorSet, AppendingDoublesTheCapacityAndClearsNewSlots) {
    ReportCapture capture;
    Set preset = own(fvsCreate(0, 3));
    EXPECT_EQ(fvsGetSize(preset.get()), 0);
    EXPECT_EQ(preset->array_size, 50);
    EXPECT_EQ(fvsGetVectorSize(preset.get()), 3);
    expect_well_formed(preset.get());

    Set fvs = own(fvsCreate(1, 1));
    std::vector<int32_t> counts, capacities;
    for (double x : {1, 2, 3, 4, 5}) {
        counts.push_back(fvsAddVector(fvs.get(), make({x}).release()));
        capacities.push_back(fvs->array_size);
        expect_well_formed(fvs.get());
    }
    EXPECT_EQ(counts, (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(capacities, (std::vector<int32_t>{1, 2, 4, 4, 8}));

    // An appended copy is a new vector of frequency 1; the original stays the caller's.
    Vec original = make({6});
    fvSetFreq(original.get(), 7);
    EXPECT_EQ(fvsAddVectorCopy(fvs.get(), original.get()), 6);
    EXPECT_NE(fvsGetVector(fvs.get(), 6), original.get());
    EXPECT_EQ(fvGetFreq(fvsGetVector(fvs.get(), 6)), 1);
    EXPECT_EQ(contents(fvs.get()),
              (std::vector<std::vector<double>>{{1}, {2}, {3}, {4}, {5}, {6}}));
    EXPECT_TRUE(capture.reports().empty());
}

TEST(VectorSet, RemoveInsertAndReplaceMoveHandlesByPosition) {
    ReportCapture capture;
    Set fvs = make_set(1, 2, {{1}, {2}, {3}});
    HFV first = fvsGetVector(fvs.get(), 1), third = fvsGetVector(fvs.get(), 3);
    EXPECT_EQ(fvsRemoveVector(fvs.get(), 2), 2);
    EXPECT_EQ(fvsGetVector(fvs.get(), 1), first);
    EXPECT_EQ(fvsGetVector(fvs.get(), 2), third);
    expect_well_formed(fvs.get());

    // The set [1, 3] is full at capacity 4 after two inserts; a third insert grows it.
    EXPECT_EQ(fvsInsertVector(fvs.get(), make({0}).release(), 1), 3);
    EXPECT_EQ(fvsInsertVector(fvs.get(), make({2}).release(), 3), 4);
    EXPECT_EQ(fvs->array_size, 4);
    EXPECT_EQ(fvsInsertVector(fvs.get(), make({-1}).release(), 1), 5);
    EXPECT_EQ(fvs->array_size, 8);
    EXPECT_EQ(contents(fvs.get()), (std::vector<std::vector<double>>{{-1}, {0}, {1}, {2}, {3}}));
    expect_well_formed(fvs.get());

    EXPECT_EQ(fvsReplaceVector(fvs.get(), make({9}).release(), 5), 5);
    HFV kept = fvsGetVector(fvs.get(), 2);
    EXPECT_EQ(fvsReplaceVector(fvs.get(), kept, 2), 5);  // putting a vector back keeps it
    EXPECT_EQ(contents(fvs.get()), (std::vector<std::vector<double>>{{-1}, {0}, {1}, {2}, {9}}));

    for (int32_t expected = 4; expected >= 0; --expected)
        EXPECT_EQ(fvsRemoveVector(fvs.get(), 1), expected);
    expect_well_formed(fvs.get());
    EXPECT_TRUE(capture.reports().empty());
}

TEST(VectorSet, CopiesAreDeepAndOutliveTheirSource) {
    ReportCapture capture;
    Set source = make_set(2, 0, {{1, 2}, {3, 4}, {5, 6}});
    fvSetFreq(fvsGetVector(source.get(), 2), 7);
    EXPECT_EQ(fvsGetVector(source.get(), 2), source->vectors[1]);  // lent, not copied

    Vec one = own(fvsCopyVector(source.get(), 2));
    EXPECT_NE(one.get(), source->vectors[1]);
    EXPECT_EQ(values(one.get()), (std::vector<double>{3, 4}));
    EXPECT_EQ(fvGetFreq(one.get()), 1);

    Set copy = own(fvsCopy(source.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->array_size, 3);
    EXPECT_EQ(fvsGetVectorSize(copy.get()), 2);
    for (int32_t num = 1; num <= 3; ++num) {
        EXPECT_NE(fvsGetVector(copy.get(), num), fvsGetVector(source.get(), num));
        EXPECT_EQ(fvGetFreq(fvsGetVector(copy.get(), num)), 1);
    }
    source.reset();
    EXPECT_EQ(contents(copy.get()), (std::vector<std::vector<double>>{{1, 2}, {3, 4}, {5, 6}}));

    Set empty_copy = own(fvsCopy(own(fvsCreate(4, 2)).get()));
    EXPECT_EQ(fvsGetSize(empty_copy.get()), 0);
    EXPECT_EQ(empty_copy->array_size, 50);
    EXPECT_TRUE(capture.reports().empty());
}

TEST(VectorSet, MergeMovesTheSecondSetBehindTheFirst) {
    ReportCapture capture;
    Set first = make_set(2, 4, {{1, 1}, {2, 2}, {3, 3}});
    Set second = make_set(5, 2, {{4, 4}, {5, 5}});
    HFSET merged = fvsMerge(first.get(), second.release());
    EXPECT_EQ(merged, first.get());
    EXPECT_EQ(first->array_size, 8);
    EXPECT_EQ(fvsGetVectorSize(merged), 2);
    EXPECT_EQ(contents(merged),
              (std::vector<std::vector<double>>{{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}}));
    expect_well_formed(merged);

    // Several doublings are made with one resize; a set with room is not resized.
    Set small = make_set(1, 1, {{1}});
    EXPECT_EQ(fvsMerge(small.get(), make_set(1, 5, {{2}, {3}, {4}, {5}, {6}}).release()),
              small.get());
    EXPECT_EQ(small->array_size, 8);
    EXPECT_EQ(fvsMerge(small.get(), make_set(1, 1, {{7}}).release()), small.get());
    EXPECT_EQ(small->array_size, 8);
    EXPECT_EQ(fvsGetSize(small.get()), 7);
    expect_well_formed(small.get());

    // An empty or missing side yields the other set; the empty one is destroyed.
    EXPECT_EQ(fvsMerge(small.get(), own(fvsCreate(1, 1)).release()), small.get());
    EXPECT_EQ(fvsMerge(own(fvsCreate(1, 1)).release(), small.get()), small.get());
    EXPECT_EQ(fvsMerge(nullptr, small.get()), small.get());
    EXPECT_EQ(fvsMerge(small.get(), nullptr), small.get());
    Set both_empty = own(fvsCreate(3, 1));
    EXPECT_EQ(fvsMerge(both_empty.get(), own(fvsCreate(1, 1)).release()), both_empty.get());
    EXPECT_EQ(fvsGetSize(small.get()), 7);
    EXPECT_TRUE(capture.reports().empty());
}

TEST(VectorSet, CountAndDimensionCanBeSetThroughTheLentSlots) {
    ReportCapture capture;
    Set fvs = own(fvsCreate(3, 1));
    HFV* slots = fvsGetVectorBuff(fvs.get());
    EXPECT_EQ(slots, fvs->vectors);
    for (int32_t i = 0; i < 3; ++i)
        slots[i] = make({double(i)}).release();
    EXPECT_EQ(fvsSetSize(fvs.get(), 3), 1);
    EXPECT_EQ(fvsGetSize(fvs.get()), 3);
    EXPECT_EQ(fvsSetVectorSize(fvs.get(), 4), 1);
    EXPECT_EQ(fvsGetVectorSize(fvs.get()), 4);
    EXPECT_EQ(contents(fvs.get()), (std::vector<std::vector<double>>{{0}, {1}, {2}}));
    EXPECT_TRUE(capture.reports().empty());
}

TEST(VectorSet, PrintoutsFollowTheirFormats) {
    Set fvs = make_set(2, 0, {{7, 8, 9}, {1, 2, 3}});
    Sink line;
    EXPECT_EQ(fvsPrintVector(line.stream(), fvs.get(), 2), 1);
    EXPECT_EQ(line.text(), "vector 2: 1.000000 2.000000\n");  // vector_size components

    Sink all;
    EXPECT_EQ(fvsPrint(all.stream(), make_set(1, 0, {{1}, {2, -0.5}}).get()), 1);
    EXPECT_EQ(all.text(), " 1.000000 2.000000 -0.500000");  // each vector's own dim
}

TEST(VectorSet, FailedAllocationsLeaveEverythingWithItsOwner) {
    // A full set whose slot array (32 MiB) cannot double within the child's 16 MiB: every slot
    // lends the same vector, and the test takes the set apart again by hand.
    const int32_t capacity = 1 << 22;
    Set big = own(fvsCreate(capacity, 1));
    Vec shared = make({1});
    std::fill_n(fvsGetVectorBuff(big.get()), capacity, shared.get());
    fvsSetSize(big.get(), capacity);
    Set other = make_set(1, 1, {{2}});
    Vec offered = make({3});

    testkit::Outcome outcome = with_scarce_memory([&] {
        std::printf("%s", fvsMerge(big.get(), other.get()) ? "set" : "null");
        std::printf(" %d", fvsAddVector(big.get(), offered.get()));
        std::printf(" %d", fvsInsertVector(big.get(), offered.get(), 1));
        std::printf(" %d %d %d", fvsGetSize(big.get()), big->array_size, fvsGetSize(other.get()));
        std::printf(" %s", fvsCreate(std::numeric_limits<int32_t>::max(), 1) ? "set" : "null");
    });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "null 0 0 4194304 4194304 1 null");
    EXPECT_EQ(outcome.err,
              "fvector.c (1400): error 2 (Not enough memory to continue)\n"
              "fvector.c (829): error 2 (Not enough memory to continue)\n"
              "fvector.c (984): error 2 (Not enough memory to continue)\n"
              "fvector.c (746): error 2 (Not enough memory to continue)\n");
    std::fill_n(fvsGetVectorBuff(big.get()), capacity, nullptr);
    big->vector_number = 0;
    shared.reset();

    // A copy that fails part way is discarded whole, and what it had made is released.
    Set source = own(fvsCreate(2, 1));
    fvsAddVector(source.get(), make({1}).release());
    fvsAddVector(source.get(), own(fvCreate(capacity)).release());
    outcome = with_scarce_memory([&] {
        HFSET copy = fvsCopy(source.get());
        std::printf("%s", copy ? "set" : "null");
    });
    EXPECT_EQ(outcome.out, "null");
    EXPECT_EQ(outcome.err,
              "fvector.c (69): error 2 (Not enough memory to continue)\n"
              "fvector.c (135): error 12 (Vector creating failed)\n");
}

}  // namespace
