// The model file: a reference written and read back bit for bit, and every damaged file refused
// (a changed or missing byte anywhere, a graph that names no vertex) rather than trusted.
#include "detect/model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/testkit.h"

namespace {

using tarn::ModelShape;
using tarn::Reference;

// n vectors of two features and a label, each listing its k successors (mod n).
Reference small_reference(int32_t n, int32_t k, bool standardised) {
    Reference r;
    r.values.resize(static_cast<size_t>(n) * 3);
    for (size_t i = 0; i < r.values.size(); ++i)
        r.values[i] = static_cast<double>(i % 7) * 0.5 - 1.0;
    r.rows.features = 2;
    for (int32_t i = 0; i < n; ++i)
        r.rows.row.push_back(r.values.data() + 3 * i);
    r.lists.n = n;
    r.lists.k = k;
    for (int32_t s = 0; s < n; ++s) {
        for (int32_t j = 1; j <= k; ++j) {
            r.lists.target.push_back((s + j) % n);
        }
        r.lists.kdist.push_back(0.25 * k + s);
    }
    if (standardised) r.notes.scales = {{0, 0.5, 2.0}, {3, -1.0, 0.0}};
    r.notes.unstandardised = {1};
    r.notes.overflow = true;
    return r;
}

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(Model, AReferenceComesBackBitForBit) {
    for (const bool standardised : {false, true}) {
        const Reference written = small_reference(9, 3, standardised);
        const ModelShape shape{3, standardised ? 1 : 0, 0, 2.0};
        testkit::TempFile file("", ".tarn");
        ASSERT_EQ(tarn::write_model(file.path().c_str(), written, shape), std::nullopt);
        ASSERT_TRUE(tarn::is_model(file.path().c_str()));
        Reference read;
        ModelShape got;
        ASSERT_EQ(tarn::read_model(file.path().c_str(), &read, &got), std::nullopt);
        EXPECT_EQ(got.k, 3);
        EXPECT_EQ(got.standardise, shape.standardise);
        EXPECT_EQ(read.values, written.values);
        EXPECT_EQ(read.rows.row[4], read.values.data() + 12);
        EXPECT_EQ(read.lists.target, written.lists.target);
        EXPECT_EQ(read.lists.kdist, written.lists.kdist);
        EXPECT_EQ(read.notes.unstandardised, written.notes.unstandardised);
        EXPECT_TRUE(read.notes.overflow);
        ASSERT_EQ(read.notes.scales.size(), written.notes.scales.size());
        for (size_t c = 0; c < read.notes.scales.size(); ++c) {
            EXPECT_EQ(read.notes.scales[c].exponent, written.notes.scales[c].exponent);
            EXPECT_EQ(read.notes.scales[c].sd, written.notes.scales[c].sd);
        }
    }
}

// Every byte changed, and every length short of the whole, is refused with a reason.
TEST(Model, EveryChangedOrMissingByteIsRefused) {
    testkit::TempFile file("", ".tarn"), damaged("", ".tarn");
    ASSERT_EQ(tarn::write_model(file.path().c_str(), small_reference(6, 2, true), {2, 1, 0, 2.0}),
              std::nullopt);
    const std::string good = bytes_of(file.path());
    auto refused = [&](const std::string& bytes) {
        write_bytes(damaged.path(), bytes);
        Reference read;
        ModelShape shape;
        return tarn::read_model(damaged.path().c_str(), &read, &shape).has_value();
    };
    for (size_t at = 0; at < good.size(); ++at) {
        std::string changed = good;
        changed[at] = static_cast<char>(changed[at] ^ 0x10);
        EXPECT_TRUE(refused(changed)) << "byte " << at;
        EXPECT_TRUE(refused(good.substr(0, at))) << "cut at " << at;
    }
    EXPECT_FALSE(refused(good));
}

// A file whose checksum holds but whose graph names no vertex, or a vertex itself, is refused.
TEST(Model, AGraphThatNamesNoVertexIsRefused) {
    for (const int32_t target : {-1, 6, 0}) {
        Reference bad = small_reference(6, 2, false);
        bad.lists.target[0] = target;  // vertex 0's first neighbour
        testkit::TempFile file("", ".tarn");
        ASSERT_EQ(tarn::write_model(file.path().c_str(), bad, {2, 0, 0, 2.0}), std::nullopt);
        Reference read;
        ModelShape shape;
        EXPECT_EQ(tarn::read_model(file.path().c_str(), &read, &shape), "holds a damaged graph");
    }
}

}  // namespace
