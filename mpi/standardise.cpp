#include "mpi/standardise.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <span>

#include "mpi/exchange.h"

namespace tarn::mpi {

namespace {

// The column sums of term(c, x) over every vector's features, in vertex order.
template <typename Term>
Array<double> column_sums(const VectorRun& block, size_t features, Term term) {
    Array<double> sums;
    step([&] { sums.assign(features, 0.0); });
    const size_t width = features + 1;
    in_rank_order(sums, [&](std::span<double> running) {
        for (size_t at = 0; at < block.values.size(); at += width) {
            for (size_t c = 0; c < features; ++c)
                running[c] += term(c, block.values[at + c]);
        }
    });
    return sums;
}

// Each column's moments with its values at 2^-exponents[c], in standardise's arithmetic:
// mean = sum / n, variance = (sum of (x − mean)²) / n, sd = sqrt(variance). exact[c] is 0 where
// a sum overflowed, or where the variance left the normal range while the values differ:
// such a column is taken again at the exponent of its largest magnitude.
Array<ColumnScale> moments(const VectorRun& block, const Array<int32_t>& exponents,
                           Array<double>* exact) {
    const size_t features = exponents.size();
    const double n = static_cast<double>(block.n);
    Array<ColumnScale> scales;
    step([&] { scales.resize(features); });
    const Array<double> sums = column_sums(
        block, features, [&](size_t c, double x) { return scaled_value(x, exponents[c]); });
    for (size_t c = 0; c < features; ++c)
        scales[c] = {exponents[c], sums[c] / n, 0.0};
    const Array<double> squares = column_sums(block, features, [&](size_t c, double x) {
        const double deviation = scaled_value(x, exponents[c]) - scales[c].mean;
        return deviation * deviation;
    });
    Array<double> differs;  // 1 where a column with a subnormal variance holds two values
    step([&] { differs.assign(features, 0.0); });
    const size_t width = features + 1;
    for (size_t c = 0; c < features; ++c) {
        const double variance = squares[c] / n;
        scales[c].sd = std::sqrt(variance);
        if (!std::isfinite(squares[c]) || variance >= DBL_MIN) continue;
        for (size_t at = c; at < block.values.size() && differs[c] == 0; at += width) {
            if (scaled_value(block.values[at], exponents[c]) != scales[c].mean) differs[c] = 1;
        }
    }
    greatest(differs);
    step([&] { exact->resize(features); });
    for (size_t c = 0; c < features; ++c)
        (*exact)[c] = std::isfinite(squares[c]) && differs[c] == 0 ? 1 : 0;
    return scales;
}

}  // namespace

Array<ColumnScale> input_scales(const VectorRun& block, int32_t features) {
    const size_t columns = static_cast<size_t>(features);
    Array<int32_t> exponents;
    step([&] { exponents.assign(columns, 0); });
    Array<double> exact;
    Array<ColumnScale> scales = moments(block, exponents, &exact);
    if (std::all_of(exact.begin(), exact.end(), [](double e) { return e == 1; })) return scales;
    // Every feature is finite here: an inexact column is taken again at 2^-e, e the exponent
    // of its largest magnitude m = f · 2^e, f in [0.5, 1), where no sum overflows.
    Array<double> largest;
    step([&] { largest.assign(columns, 0.0); });
    for (size_t at = 0; at < block.values.size(); at += columns + 1) {
        for (size_t c = 0; c < columns; ++c)
            largest[c] = std::max(largest[c], std::fabs(block.values[at + c]));
    }
    greatest(largest);
    for (size_t c = 0; c < columns; ++c) {
        int exponent = 0;
        std::frexp(largest[c], &exponent);
        if (exact[c] == 0) exponents[c] = exponent;
    }
    return moments(block, exponents, &exact);
}

void apply_scales(VectorRun& block, const Array<ColumnScale>& scales) {
    const size_t features = scales.size();
    if (features == 0) return;  // nothing to standardise: no pass over the values
    for (size_t at = 0; at < block.values.size(); at += features + 1) {
        for (size_t c = 0; c < features; ++c)
            block.values[at + c] = standardised_value(block.values[at + c], scales[c]);
    }
}

}  // namespace tarn::mpi
