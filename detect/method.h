// Which exact builder makes the k-nearest-neighbour graph of a run: the tiled brute force or the
// k-d tree. Both build the same graph bit for bit, so the choice only decides the time.
//
// The brute force measures all n × (n − 1) pairs, whatever the data. The tree's searches cost
// little when the data fill few dimensions near each vector and approach the pairs' cost, with
// more bookkeeping, when they fill many. So the choice weighs n against the dimension the data
// seem to fill, estimated on a small sample (sample_dimension); the thresholds come from the
// benchmark grid (bench/grid.sh) and the README gives the table they rest on.
#ifndef TARN_DETECT_METHOD_H
#define TARN_DETECT_METHOD_H

#include <cstdint>
#include <span>

#include "base/alloc.h"
#include "detect/construct.h"

namespace tarn {

enum class Method { kBruteForce, kTree };

// Vectors in the sample of sample_dimension: at most this many.
constexpr int32_t kDimensionSample = 512;

// The vectors sample_dimension reads of n: n / 8, between 11 (or n, when fewer) and
// kDimensionSample. The estimate measures every pair of the sample one by one, about 8 times
// slower per pair than the tiled brute force; so it never costs more than about an eighth of
// the brute force itself, however many features the vectors have.
int32_t sample_size(int32_t n);

// An estimate of the dimension the vectors fill near each other (their features alone): the
// maximum-likelihood estimate from the distances of each of sample_size(n) vectors, evenly
// spaced in row order, to its 10 nearest others in the sample, averaged over the sample
// vectors whose 10 nearest squares are finite. Equal vectors count as filling no dimension,
// and so does a sample whose squares all overflow. At most the number of features; 0 for fewer
// than three vectors. The features are finite values; O(sample_size(n)² × d).
double sample_dimension(const Rows& vectors);

// The row of sample vector i (i < sample_size(n)) among n.
int64_t sample_position(int32_t i, int32_t n);

// The same estimate from the sample's rows themselves, picked at sample_position: what a process
// that holds only some of the vectors computes once the sample is gathered.
double sample_dimension_of(std::span<const double* const> rows, int32_t features);

// The builder expected to be faster for n vectors that fill about `dimension` dimensions
// (sample_dimension), k neighbours each: the tree when the dimension is below a limit that
// rises with log(n / k) up to a ceiling, else the brute force. Both builders use the threads
// alike, so their number does not enter.
Method choose_method(int32_t n, int32_t k, double dimension);

}  // namespace tarn

#endif
