// The exact sum of finite doubles, whatever the order of the additions and however they are
// grouped: a fixed-point number spanning every double's range (2^-1074 up to the sum of 2^31
// of the largest), held in 32-bit digits with room for carries. A fold over blocks (a
// distributed run's processes) adds the blocks' digits, so the sum is the same bits on one
// process and on any number of them, which a sum of per-block partial sums in doubles is not.
#ifndef TARN_RULES_EXACT_SUM_H
#define TARN_RULES_EXACT_SUM_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarn {

class ExactSum {
public:
    // Digit i weighs 2^(32 i − 1074).
    static constexpr size_t kDigits = 68;
    using Digits = std::array<int64_t, kDigits>;

    ExactSum() = default;
    // The sum whose digits are these (carried or not), e.g. the digit-wise sum of other sums.
    explicit ExactSum(const Digits& digits) : digits_(digits) {}

    // Adds x, which must be finite.
    void add(double x);

    // The digits carried: each in [0, 2^32) but the last, which takes the sign. The one
    // representation of the exact value, however it was reached.
    Digits digits() const;

    // The exact sum in a double: the carried digits added from the most significant down, so a
    // function of the exact value alone (within a few units in the last place of it; +infinity
    // beyond the largest double).
    double value() const;

private:
    Digits digits_{};
    int32_t since_carry_ = 0;  // additions since the digits were last carried
};

}  // namespace tarn

#endif
