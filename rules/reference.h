// Scoring new vectors (queries) against a fixed reference set with any rule's kernel.
//
// The reference's quantities (k-distances, densities, in-degrees, the least and greatest
// distances, nPLOF's sum) are those of a run on the reference alone: its kernel runs once over
// the reference block while a recording exchange keeps every value it hands across blocks, in
// call order. The queries' kernel then makes the same calls in the same order (a kernel's calls
// never depend on its data) and each is answered from the recording: a query's neighbours and
// sources are reference vertices, and they hold the reference's values. Only the duplicate
// scores, the share's cut and the count of vertices are the queries' own, summed over the
// queries' blocks by the exchange the caller gives. So each query is scored as if alone, and a
// batch split anywhere gives the same bits.
#ifndef TARN_RULES_REFERENCE_H
#define TARN_RULES_REFERENCE_H

#include "rules/exchange.h"
#include "rules/kernel.h"

struct Parameters;

namespace tarn {

// What the reference's kernel handed across blocks, in call order.
class ReferenceRecord {
public:
    enum class Call { kNeighbours, kSources, kLeast, kGreatest, kTotal, kExactSum };
    struct Entry {
        Call call;
        Array<double> values;  // a neighbours or sources call's values by reference vertex
        double scalar = 0.0;   // the answer of a fold
    };
    Array<Entry> entries;
};

// Runs the rule p selects over the reference block (its lists and inbound index, every
// reference vector) and records what its kernel exchanged. Returns the reference's verdict's
// duplicates (not the queries').
DuplicateScores record_reference(const Block& reference, const Parameters* p,
                                 ReferenceRecord* record, Verdict* verdict);

// Judges a block of queries (rows: the reference's vectors; out: each query's k nearest
// reference vertices; in: the reference vertices that would keep it, with their distances) as
// judge does, the reference's values from record, the queries' own sums and share from
// queries (the exchange of the queries' blocks). Returns the queries' duplicate scores over
// every block.
DuplicateScores judge_queries(const Block& block, const ReferenceRecord& record, Exchange& queries,
                              const Parameters* p, Verdict* verdict);

}  // namespace tarn

#endif
