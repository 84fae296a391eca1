#include "rules/exact_sum.h"

#include <cmath>

namespace tarn {
namespace {

constexpr int kDigitBits = 32;
constexpr int64_t kDigitBase = int64_t{1} << kDigitBits;
constexpr uint64_t kDigitMask = (uint64_t{1} << kDigitBits) - 1;
// The least double's exponent: digit 0's lowest bit weighs 2^-1074.
constexpr int kLeastExponent = -1074;
// One addition adds less than 2^33 to any digit: the digits hold 2^28 additions beyond a
// carried value without leaving 63 bits.
constexpr int32_t kAdditionsPerCarry = int32_t{1} << 28;

// Every digit but the last brought into [0, 2^32), the excess (floored) carried upward.
void carry(ExactSum::Digits& digits) {
    for (size_t i = 0; i + 1 < digits.size(); ++i) {
        const int64_t excess = digits[i] >> kDigitBits;
        digits[i] -= excess * kDigitBase;
        digits[i + 1] += excess;
    }
}

}  // namespace

void ExactSum::add(double x) {
    if (x == 0) return;
    if (since_carry_ == kAdditionsPerCarry) {
        carry(digits_);
        since_carry_ = 0;
    }
    ++since_carry_;
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(x), &exponent);  // in [0.5, 1)
    uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
    // The weight of the mantissa's lowest bit, in bits above 2^-1074. A subnormal's mantissa
    // has at least as many trailing zero bits as are shifted out.
    int position = exponent - 53 - kLeastExponent;
    if (position < 0) {
        mantissa >>= -position;
        position = 0;
    }
    const size_t at = static_cast<size_t>(position / kDigitBits);
    const int shift = position % kDigitBits;
    const uint64_t low = (mantissa & kDigitMask) << shift;    // at most 63 bits
    const uint64_t high = (mantissa >> kDigitBits) << shift;  // at most 52 bits
    const int64_t sign = x < 0 ? -1 : 1;
    digits_[at] += sign * static_cast<int64_t>(low & kDigitMask);
    digits_[at + 1] += sign * static_cast<int64_t>((low >> kDigitBits) + (high & kDigitMask));
    digits_[at + 2] += sign * static_cast<int64_t>(high >> kDigitBits);
}

ExactSum::Digits ExactSum::digits() const {
    Digits carried = digits_;
    carry(carried);
    return carried;
}

double ExactSum::value() const {
    const Digits carried = digits();
    double sum = 0.0;
    for (size_t i = kDigits; i-- > 0;) {
        const int weight = static_cast<int>(i) * kDigitBits + kLeastExponent;
        sum += std::ldexp(static_cast<double>(carried[i]), weight);
    }
    return sum;
}

}  // namespace tarn
