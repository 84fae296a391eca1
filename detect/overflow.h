// Whether a run's distances overflowed: coordinates beyond about 1e154 square to more than the
// largest double, and every distance they enter becomes infinite.
#ifndef TARN_DETECT_OVERFLOW_H
#define TARN_DETECT_OVERFLOW_H

#include "detect/compact.h"
#include "detect/construct.h"
#include "graph/graph.h"

namespace tarn {

// True when some pair of vertices of g, both with finite coordinates only, has a squared
// distance, summed column by column in file order as the construction sums it, that overflows
// to infinity. Pairs with an infinite or not-a-number coordinate have their distance from the
// data and are left out. Costs O(n × d) when the columns' ranges rule overflow out or prove it
// (the common cases); otherwise the kept edges are looked at and, if none settles it, every
// pair is measured until one overflows. Reads g only; the distance counter is left alone.
bool distances_overflow(Graph* g);

// The same for rows (their features) and the lists built from them.
bool distances_overflow(const Rows& rows, const NeighbourLists& lists);

}  // namespace tarn

#endif
