#include "vectors/decimal.h"

#include <fast_float/fast_float.h>

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

namespace tarn {

bool read_decimal(const char* text, const char* last, double* value, const char** end) {
    // fast_float takes no "+" and reads "-inf" and "nan" as strtod does not always (their
    // payloads, their ends): the sign is read here, and only a digit or a point may follow it.
    const char* p = text;
    const bool negative = p < last && *p == '-';
    if (p < last && (*p == '-' || *p == '+')) ++p;
    if (p == last || !(is_digit(*p) || *p == '.')) return false;
    double magnitude;
    const fast_float::from_chars_result read = fast_float::from_chars(p, last, magnitude);
    if (read.ec != std::errc()) return false;
    // "0x1p3": fast_float stops at the "x", strtod reads a hexadecimal number.
    if (read.ptr < last && (*read.ptr == 'x' || *read.ptr == 'X')) return false;
    if (read.ptr - text > kLongestDecimal) return false;
    *value = negative ? -magnitude : magnitude;
    *end = read.ptr;
    return true;
}

}  // namespace tarn
