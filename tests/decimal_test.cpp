// The fast decimal path against strtod in the C locale: the same bits and the same end on
// every string it accepts, edge cases and many seeded random strings.
#include "vectors/decimal.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

using namespace tarn;

locale_t c_locale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

uint64_t bits(double value) {
    uint64_t b;
    std::memcpy(&b, &value, sizeof b);
    return b;
}

// Whether the fast path took text; when it did, it must agree with strtod exactly.
bool agrees(const std::string& text) {
    double value = 0;
    const char* end = nullptr;
    if (!read_plain_decimal(text.c_str(), &value, &end)) return false;
    char* want_end;
    const double want = strtod_l(text.c_str(), &want_end, c_locale());
    EXPECT_EQ(bits(value), bits(want)) << '"' << text << '"';
    EXPECT_EQ(end - text.c_str(), want_end - text.c_str()) << '"' << text << '"';
    return true;
}

TEST(PlainDecimal, EdgeCases) {
    struct Case {
        const char* text;
        bool fast;  // whether the fast path may take it
    };
    const Case cases[] = {
        {"0", true},
        {"-0", true},
        {"+0.000", true},
        {"0.1", true},
        {"0.3", true},
        {"-12.5", true},
        {"5.", true},
        {".25", true},
        {"+.5", true},
        {"1.5abc", true},
        {"12,", true},
        {"50%", true},
        {"3.14159 2", true},
        {"9007199254740992", true},  // 2^53
        {"9007199254740993", false},
        {"900719925474099.3", false},
        {"1.797693134862315", true},
        {"4.940656458412465", true},
        {"1.7976931348623157", false},           // 17 digits, past 2^53
        {"0000000000000000000000000001", true},  // leading zeros are not significant
        {"1234567890123456789", false},          // 19 digits, past 2^53
        {"0.0000000000000000000001", true},      // 22 fraction digits
        {"0.00000000000000000000001", false},    // 23
        {"1.00000000000000000000", false},       // 21 significant digits
        {"1e5", false},
        {"1E-3", false},
        {"1.5e", false},
        {"0x1p3", false},
        {"0X10", false},
        {".", false},
        {"-", false},
        {"+", false},
        {"-.", false},
        {"", false},
        {" 1", false},
        {"inf", false},
        {"-Infinity", false},
        {"nan", false},
        {"NaN(1)", false},
        {"--1", false},
        {"+-1", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(agrees(c.text), c.fast) << '"' << c.text << '"';
}

TEST(PlainDecimal, SeededRandomStringsAgreeWithStrtod) {
    std::mt19937_64 random(20261208);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); };
    auto digits = [&](int most) {
        std::string s;
        for (int i = pick(most + 1); i > 0; --i)
            s += static_cast<char>('0' + pick(10));
        return s;
    };
    const char* tails[] = {"", "", "", " ", ",", "%", "e", "e5", "E-2", "x", ".", "a", "\n"};
    int fast = 0;
    constexpr int kStrings = 200000;
    for (int i = 0; i < kStrings; ++i) {
        std::string text;
        switch (pick(4)) {
            case 0:
                text += '-';
                break;
            case 1:
                text += '+';
                break;
            default:
                break;
        }
        // Short numbers most of the time, so that the fast path's limits are crossed often.
        text += digits(pick(4) == 0 ? 24 : 8);
        if (pick(3) != 0) text += '.' + digits(pick(4) == 0 ? 26 : 9);
        text += tails[pick(sizeof tails / sizeof *tails)];
        if (agrees(text)) ++fast;
        if (HasFailure()) return;
    }
    EXPECT_GT(fast, kStrings / 3);  // the fast path is exercised, not bypassed
}

}  // namespace
