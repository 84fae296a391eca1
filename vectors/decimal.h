// Fast reading of the plain decimal numbers that make up most vector files. The result is
// strtod's in the C locale, bit for bit and with the same end; whatever the fast path is not
// sure of is left to strtod.
#ifndef TARN_VECTORS_DECIMAL_H
#define TARN_VECTORS_DECIMAL_H

namespace tarn {

// Reads an optional sign, digits and an optional fraction ("-12.5", "3.", ".25") at text.
// True, with *value and *end as strtod would set them, when the number has at most 19
// significant digits forming a mantissa of at most 2^53, at most 22 fraction digits, and is not
// followed by an exponent or a hexadecimal mark. Then mantissa and power of ten are both exact
// doubles and one correctly rounded division gives the correctly rounded value, as strtod does.
// False otherwise (white space first, an exponent, hexadecimal, infinity, not-a-number, no
// digit at all, too many digits), with *value and *end untouched.
bool read_plain_decimal(const char* text, double* value, const char** end);

}  // namespace tarn

#endif
