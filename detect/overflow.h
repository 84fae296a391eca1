// Whether a run's distances overflowed: coordinates beyond about 1e154 square to more than the
// largest double, and every distance they enter becomes infinite.
#ifndef TARN_DETECT_OVERFLOW_H
#define TARN_DETECT_OVERFLOW_H

#include "detect/construct.h"
#include "graph/lists.h"

namespace tarn {

// True when some pair of rows, both with finite features only, has a squared distance (the
// metric's key), summed column by column in file order as the construction sums it, that
// overflows to infinity; for the cosine, when some such row's squared norm does.
// Pairs with an infinite or not-a-number coordinate have their distance from the data and are
// left out. Costs O(n × d) when the columns' ranges rule overflow out or prove it (the common
// cases); otherwise the lists built from the rows are looked at and, if no kept distance
// settles it, every pair is measured until one overflows. The answer is the rows' own: the
// lists (any, even none) only shorten the search.
bool distances_overflow(const Rows& rows, const NeighbourLists& lists);

}  // namespace tarn

#endif
