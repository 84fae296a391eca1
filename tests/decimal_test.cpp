// The fast decimal path against strtod in the C locale: the same bits and the same end on
// every string it accepts, boundary cases (many digits, subnormals, the ends of the exponent
// range, leading zeros, signs) and many seeded random strings.
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
    if (!read_decimal(text.c_str(), text.c_str() + text.size(), &value, &end)) return false;
    char* want_end;
    const double want = strtod_l(text.c_str(), &want_end, c_locale());
    EXPECT_EQ(bits(value), bits(want)) << '"' << text << '"';
    EXPECT_EQ(end - text.c_str(), want_end - text.c_str()) << '"' << text << '"';
    return true;
}

TEST(Decimal, EdgeCasesAgreeWithStrtod) {
    const std::string many_nines(800, '9');
    const std::string zeros(400, '0');
    struct Case {
        std::string text;
        bool fast;  // whether the fast path takes it
    };
    const Case cases[] = {
        {"0", true},
        {"-0", true},
        {"+0.000", true},
        {"0.1", true},
        {"-12.5", true},
        {"5.", true},
        {".25", true},
        {"+.5", true},
        {"1.5abc", true},
        {"12,", true},
        {"50%", true},
        {"3.14159 2", true},
        {"9007199254740993", true},  // 2^53 + 1, a tie rounded to even
        {"1.7976931348623157e308", true},
        {"1.7976931348623158e308", true},  // rounds down to the largest double
        {"1.7976931348623159e308", true},  // rounds up to infinity
        {"1e309", true},
        {"-1e99999999999999999999", true},
        {"2.2250738585072011e-308", true},  // just below the smallest normal
        {"4.9406564584124654e-324", true},  // the smallest subnormal
        {"2.4703282292062327e-324", true},  // just below half of it: 0
        {"2.4703282292062328e-324", true},  // just above: the smallest subnormal
        {"1e-400", true},
        {"0e99999999999", true},
        {"1e-2147483649", true},
        {"1" + zeros + "e-400", true},
        {"0." + zeros + "1e400", true},
        {"000000000000000000000000000001.5", true},
        {"-0.000000000000000000000000001e27", true},
        {many_nines, true},
        {"0." + many_nines, true},
        {"1." + zeros + "1", true},
        {"1e5", true},
        {"1E-3", true},
        {"1.5e", true},  // the "e" is not part of the number
        {"1.5e+", true},
        {"2E+x", true},
        {"1.e5", true},
        {"0x1p3", false},
        {"-0X10", false},
        {"0x", false},
        {".", false},
        {"-", false},
        {"+", false},
        {"-.", false},
        {".e5", false},
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

TEST(Decimal, EndsWhereTheTextEnds) {
    // A bound inside the digits stops the number there, as a NUL there would stop strtod.
    const char text[] = "12.5e3";
    double value = 0;
    const char* end = nullptr;
    ASSERT_TRUE(read_decimal(text, text + 4, &value, &end));
    EXPECT_EQ(value, 12.5);
    EXPECT_EQ(end, text + 4);
}

TEST(Decimal, SeededRandomStringsAgreeWithStrtod) {
    std::mt19937_64 random(20261208);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); };
    auto digits = [&](int most) {
        std::string s;
        for (int i = pick(most + 1); i > 0; --i)
            s += static_cast<char>('0' + pick(10));
        return s;
    };
    const char* tails[] = {"", "", "", " ", ",", "%", "e", "x", ".", "a", "\n"};
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
        // Mostly short numbers; now and then long ones, exponents near the ends of the range
        // (subnormals, overflow) and digits far past what a double holds.
        text += digits(pick(4) == 0 ? 40 : 8);
        if (pick(3) != 0) text += '.' + digits(pick(4) == 0 ? 40 : 9);
        if (pick(3) == 0) {
            const int ranges[] = {3, 30, 330};
            text += "eE"[pick(2)];
            text += pick(2) == 0 ? "-" : pick(2) == 0 ? "+" : "";
            text += std::to_string(pick(ranges[pick(3)]));
        }
        text += tails[pick(sizeof tails / sizeof *tails)];
        if (agrees(text)) ++fast;
        if (HasFailure()) return;
    }
    EXPECT_GT(fast, kStrings / 2);  // the fast path is exercised, not bypassed
}

}  // namespace
