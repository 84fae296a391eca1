// The metrics' keys computed lane by lane, for the builders that measure one source against
// several targets at once (the tiled brute force, the k-d tree's leaves).
//
// A Lanes value holds kLanes doubles; a kernel compiled once per instruction set (TARN_CLONES)
// splits it into the registers that set has. Every lane's arithmetic is its own and is exactly
// metric_key's (graph/metric.h) on that lane's values, in ascending component order, without
// contraction: whatever the width or the instruction set, every lane's key equals metric_key's
// bit for bit.
#ifndef TARN_DETECT_LANES_H
#define TARN_DETECT_LANES_H

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "graph/metric.h"

namespace tarn::lanes {

constexpr int kLanes = 8;
typedef double Lanes __attribute__((vector_size(sizeof(double) * kLanes)));
typedef int64_t Bits __attribute__((vector_size(sizeof(int64_t) * kLanes)));

// The forms of the metrics' keys: accumulate(acc, a, t, p) folds into acc the terms of a source
// component a and a row of target components t; finish(acc, ...) turns a source's keys into
// what the lists compare (the cosine's distance; the key itself otherwise). Vectors pass by
// reference only: a clone must not pass them by value to code of another instruction set.
constexpr int64_t kMagnitude = std::numeric_limits<int64_t>::max();  // all but the sign bit

struct Squares {
    __attribute__((always_inline)) static void accumulate(Lanes& acc, double a, const Lanes& t,
                                                          double) {
        Lanes difference = a - t;
        acc = acc + difference * difference;
    }
};

// |difference| is the difference with its sign bit cleared, as fabs does.
struct Absolute {
    __attribute__((always_inline)) static void accumulate(Lanes& acc, double a, const Lanes& t,
                                                          double) {
        const Lanes difference = a - t;
        acc = acc + __builtin_bit_cast(Lanes, __builtin_bit_cast(Bits, difference) & kMagnitude);
    }
};

// The largest magnitude by its bits (tarn::magnitude_bits), a not-a-number above the rest.
struct Largest {
    __attribute__((always_inline)) static void accumulate(Lanes& acc, double a, const Lanes& t,
                                                          double) {
        const Lanes difference = a - t;
        const Bits x = __builtin_bit_cast(Bits, acc);
        const Bits y = __builtin_bit_cast(Bits, difference) & kMagnitude;
        const Bits greater = y > x;
        acc = __builtin_bit_cast(Lanes, (y & greater) | (x & ~greater));
    }
};

struct Powers {
    __attribute__((always_inline)) static void accumulate(Lanes& acc, double a, const Lanes& t,
                                                          double p) {
        for (int lane = 0; lane < kLanes; ++lane)
            acc[lane] = acc[lane] + std::pow(std::fabs(a - t[lane]), p);
    }
};

// The cosine: the key is the dot product, which finish turns into the distance with the norms.
struct Products {
    __attribute__((always_inline)) static void accumulate(Lanes& acc, double a, const Lanes& t,
                                                          double) {
        acc = acc + a * t;
    }
};

template <typename Form>
__attribute__((always_inline)) inline void finish(Lanes& acc, double source_norm,
                                                  const double* target_norms) {
    if constexpr (std::is_same_v<Form, Products>) {
        for (int lane = 0; lane < kLanes; ++lane) {
            acc[lane] = cosine_of_norms(acc[lane], source_norm, target_norms[lane],
                                        source_norm == 0.0, target_norms[lane] == 0.0);
        }
    } else {
        (void)acc;
        (void)source_norm;
        (void)target_norms;
    }
}

// Whether the sign bit of any lane is set. The shuffles fold eight lanes in three steps.
static_assert(kLanes == 8, "any_negative folds eight lanes");
__attribute__((always_inline)) inline bool any_negative(const Bits& bits) {
    Bits m = bits;
#if defined(__clang__)
    m |= __builtin_shufflevector(m, m, 4, 5, 6, 7, 0, 1, 2, 3);
    m |= __builtin_shufflevector(m, m, 2, 3, 0, 1, 6, 7, 4, 5);
    m |= __builtin_shufflevector(m, m, 1, 0, 3, 2, 5, 4, 7, 6);
#else
    m |= __builtin_shuffle(m, Bits{4, 5, 6, 7, 0, 1, 2, 3});
    m |= __builtin_shuffle(m, Bits{2, 3, 0, 1, 6, 7, 4, 5});
    m |= __builtin_shuffle(m, Bits{1, 0, 3, 2, 5, 4, 7, 6});
#endif
    return m[0] < 0;
}

}  // namespace tarn::lanes

#endif
