// The k-nearest-neighbour graph in flat arrays, and the five rules over it.
//
// A run that only wants the verdict needs no linked records: every vertex keeps exactly k
// neighbours, so the outbound lists fit one n × k array of targets and one of distances, and
// every inbound list is the sources that name a vertex, in source order, which a pass over the
// outbound lists in source order visits in exactly that order. Each rule here reads these
// arrays and gives every score, mark and in-degree bit for bit as the same rule over the linked
// graph (detect/rules.h, detect/lof.h): the same operations on the same values in the same order.
#ifndef TARN_DETECT_COMPACT_H
#define TARN_DETECT_COMPACT_H

#include <cstddef>
#include <cstdint>

#include "base/alloc.h"
#include "detect/construct.h"
#include "detect/lof.h"

struct Parameters;

namespace tarn {

// The outbound lists of n vertices, k each (1 <= k < n): row s of both arrays is vertex s's
// list, nearest first, in the order the graph keeps it. (A distributed run's process holds the
// rows of its block's sources only: n is then the block's size.)
struct NeighbourLists {
    int32_t n = 0;
    int32_t k = 0;
    // Every entry is written by the construction before anything reads it: the arrays are not
    // filled when they are sized, so that the construction's threads touch their memory first.
    UnfilledArray<int32_t> target;  // n × k vertex positions
    UnfilledArray<double> dist;     // n × k distances

    size_t at(int32_t s) const { return static_cast<size_t>(s) * static_cast<size_t>(k); }
};

// Bytes a NeighbourLists takes per kept edge.
constexpr double kListEdgeBytes = sizeof(int32_t) + sizeof(double);

// Where a construction writes the NeighbourLists of block's sources among n vertices, k
// each: row i holds source block.first + i (every vertex by default). The arrays are allocated
// when the construction starts.
class FlatListSink final : public ListSink {
public:
    FlatListSink(NeighbourLists& lists, int32_t n, int32_t k, SourceBlock block = {});
    void start() override;
    bool in_source_order() const override { return false; }
    void write(const int32_t* sources, const Mirror* mirrors, int32_t count) override;

private:
    NeighbourLists& lists_;
    int32_t first_;
};

// The verdict of a run, one entry per vector in input order.
struct Verdict {
    Array<double> lof;              // the stored score: the local outlier factor, 0 unless -l
    Array<int32_t> label;           // the last column truncated toward zero
    Array<int32_t> marked;          // 1 for the outlier mark, else 0
    Array<int32_t> built_indegree;  // in-degree after construction
    Array<int32_t> indegree;        // in-degree the rule saw (after pruning for -m)
    Array<double> score;            // the rule's ranking score
};

// Runs the rule p selects over lists, then with p->share replaces its marks by the most
// outlying share, as mark_most_outlying does on the graph. Fills every field of verdict but
// label. Returns, for -l, the scores that duplicated points made not-a-number or infinite
// (duplicate_scores); zeros otherwise. The densities and scores of -l run on p->threads threads.
DuplicateScores judge_lists(const NeighbourLists& lists, const Parameters* p, Verdict* verdict);

// The working memory of judge_lists beyond the lists and the verdict, for n vertices at k.
double judge_bytes(const Parameters* p, double n, double k);

}  // namespace tarn

#endif
