#include "vectors/decimal.h"

#include <cstdint>

namespace {

// The powers of ten that are exact doubles.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMostFractionDigits = 22;
constexpr int kMostDigits = 19;  // any 19 digits fit 64 bits
constexpr uint64_t kExactMantissa = uint64_t{1} << 53;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

namespace tarn {

bool read_plain_decimal(const char* text, double* value, const char** end) {
    const char* p = text;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    uint64_t mantissa = 0;
    int significant = 0;  // digits from the first nonzero one on
    int fraction = 0;
    bool any = false;
    // One loop for both parts: after the point, every digit also counts as a fraction digit.
    for (bool after_point = false;; ++p) {
        if (is_digit(*p)) {
            any = true;
            if (mantissa != 0 || *p != '0') {
                if (++significant > kMostDigits) return false;
            }
            mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
            if (after_point) ++fraction;
        } else if (*p == '.' && !after_point) {
            after_point = true;
        } else {
            break;
        }
    }
    if (!any) return false;
    if (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X') return false;
    if (mantissa > kExactMantissa || fraction > kMostFractionDigits) return false;
    double magnitude = static_cast<double>(mantissa);
    if (fraction > 0) magnitude /= kPowersOfTen[fraction];
    *value = negative ? -magnitude : magnitude;
    *end = p;
    return true;
}

}  // namespace tarn
