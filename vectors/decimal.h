// Fast reading of the decimal numbers that make up most vector files, through fast_float. The
// result is strtod's in the C locale (in the default rounding mode), bit for bit and with the
// same end; whatever the fast path does not read exactly as strtod does is left to strtod.
#ifndef TARN_VECTORS_DECIMAL_H
#define TARN_VECTORS_DECIMAL_H

namespace tarn {

// Reads a decimal number at text, the text ending at last at the latest: an optional sign,
// digits with an optional point (at least one digit), an optional exponent. True, with *value
// and *end as strtod would set them, when the text starts with the sign or a digit or a point,
// is not hexadecimal and the number is at most kLongestDecimal characters long. False otherwise
// (white space first, hexadecimal, infinity, not-a-number, no digit at all, a longer number),
// with *value and *end untouched: the caller asks strtod.
bool read_decimal(const char* text, const char* last, double* value, const char** end);

// Longer numbers go to strtod: an exponent of fast_float saturates past 2^28, which a number
// of fewer characters cannot bring back into range with leading or trailing zeros.
constexpr long kLongestDecimal = 1L << 24;

}  // namespace tarn

#endif
