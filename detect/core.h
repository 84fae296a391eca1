// The detector's entry point for every caller: the library's front door.
//
// Vectors already in memory go in, with a Parameters record for the options (k, I, th, the rule
// flags, threads, the builder: index, brute); the verdict comes out, or an error with its kind and
// the text the command line prints for it. Nothing here ends the process or prints: exhausted
// memory comes back as an error like any other failure, everything allocated is released, and the
// reporting hooks are not called. The command line (detect_flat) and init are callers; they print
// what comes back. Every caller but detect_graph's gets the flat lists of graph/lists.h, never
// the linked graph.
//
// One detection at a time per process: the graph store's records come from process-wide pools,
// and a construction's cancel flag is process-wide.
#ifndef TARN_DETECT_CORE_H
#define TARN_DETECT_CORE_H

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "base/alloc.h"
#include "detect/construct.h"
#include "detect/lof.h"
#include "graph/graph.h"
#include "graph/lists.h"
#include "rules/rules.h"
#include "vectors/fvector.h"

struct Parameters;

namespace tarn {

enum class ErrorKind {
    kNeighbourhood,  // k is not in 1 … n − 1
    kDimensions,     // the vectors differ in dimension, or rows cannot hold their label
    kMemoryCheck,    // the graph would need more memory than the machine can give
    kAllocation,     // an allocation failed
    kCancelled,      // cancel_construction (detect/construct.h) stopped the construction
};

struct Error {
    ErrorKind kind;
    std::string message;  // the command line's message, one line with its newline
};

// How standardise took one feature column: each value x became (x · 2^-exponent − mean) / sd,
// or x · 2^-exponent − mean where sd is 0.
struct ColumnScale {
    int32_t exponent;
    double mean;
    double sd;
};

// x · 2^-exponent, exactly unless it falls below the normal range: a value of a column that
// standardise takes at 2^-exponent.
inline double scaled_value(double x, int32_t exponent) {
    return exponent == 0 ? x : std::ldexp(x, -exponent);
}

// What standardise writes for the value x of a column it took as s.
inline double standardised_value(double x, const ColumnScale& s) {
    const double value = scaled_value(x, s.exponent);
    return s.sd > 0 ? (value - s.mean) / s.sd : value - s.mean;
}

// What the command line's run reports besides the verdict.
struct RunNotes {
    bool overflow = false;                // distances_overflow of the vectors and their lists
    DuplicateScores duplicates = {0, 0};  // with -l, the scores duplicated points made non-finite
    Array<int32_t> unstandardised;        // with -z, what standardise could not standardise
    Array<ColumnScale> scales;            // with -z, how each feature column was taken
};

// Standardises the feature columns of the vertices (every component but the last, which holds
// the label's 0): each becomes (x − mean) / sd, a constant column (sd 0) x − mean. In doubles,
// column by column, every sum in vertex order: mean = sum / n, variance = (sum of (x − mean)²)
// / n, sd = sqrt(variance), then one subtraction and one division per value. So the result is
// the same to the bit however the graph is built afterwards. Where that overflows (values
// beyond about 1e154) or the variance underflows (deviations below about 1e-154), the column
// is first divided by the power of two of its largest magnitude, exactly, and the same steps
// run on the quotients: any finite column is standardised. Every step commutes with an exact
// scaling, so a column multiplied by a power of two standardises to the same bits wherever no
// nonzero squared deviation underflows. Returns the columns (from 0, ascending)
// holding a not-a-number or infinite value: they keep no finite value. The vertices need one
// dimension.
Array<int32_t> standardise(const Array<Vertex*>& vertices);

// The same over rows: their features, column by column, written in place; given scales, each
// column's scale is kept there, so that other rows can be taken the same way.
Array<int32_t> standardise(const Rows& rows, Array<ColumnScale>* scales = nullptr);

// Takes the features of rows as standardise took the columns of scales, bit for bit.
void apply_scales(const Rows& rows, const Array<ColumnScale>& scales);

// Builds the k-nearest-neighbour graph of graphp's vertices (inserted in order, no edges yet)
// after checking k, the dimensions and the memory the graph needs (standardising the features
// first with p->standardise), then runs the one rule p selects, and with p->share replaces its
// marks by the most outlying share (mark_most_outlying). On failure the error comes back and graphp
// holds its vertices and whatever edges it had got; the caller releases it as always.
std::optional<Error> detect_graph(Graph* graphp, const Parameters* p);

// The memory check of a process that holds a share of a distributed run's vectors (share
// vectors of `features` features, with their lists and the rule's working memory), and `extra`
// bytes of its way's own.
std::optional<Error> check_share_memory(int32_t share, int32_t features, const Parameters* p,
                                        double extra = 0.0);

// What detect_flat does up to the rule, for one process of a distributed run: n vectors whose
// rows hold dims[i] values each (the label last), the same checks (the memory check weighs only
// the lists of block's sources), the same standardisation, and the outbound lists of block's
// sources built against every vector, exactly as the whole run builds them: row i of lists is
// source block.first + i. Runs no rule. Given notes, their unstandardised columns are set.
std::optional<Error> build_block(const Rows& rows, const int32_t* dims, const Parameters* p,
                                 SourceBlock block, NeighbourLists* lists,
                                 RunNotes* notes = nullptr);

// A loaded set's features copied side by side into one array, row after row, and their labels
// beside them, after the checks the command line's detection makes first (k, then the vectors'
// dimensions, with their messages): the set can be released before the graph is built, and
// each vector then takes its features' bytes, a 4-byte label and a row pointer instead of a
// record, a set's slot and a row pointer beside all its values. The set is left as it was.
struct FlatVectors {
    UnfilledArray<double> values;  // the features, rows.features per vector
    Array<int32_t> labels;         // each vector's last value, truncated toward zero
    Rows rows;                     // rows.row[i] is vector i's place in values
};
std::optional<Error> flatten_set(HFSET set, const Parameters* p, FlatVectors* flat);

// The command line's detection over flattened vectors, without the linked graph: the same
// checks in the same order as detect_graph (the memory check weighing the flat lists of
// graph/lists.h instead), the features standardised in place with p->standardise, the lists
// built and the rule run over them. Every verdict field is what detect_graph leaves in a graph
// of the same vectors.
std::optional<Error> detect_flat(const FlatVectors& flat, const Parameters* p, Verdict* verdict,
                                 RunNotes* notes);

// detect_flat for -r all: the lists once (the memory check weighing every rule's verdict), then
// every rule of the table in table order over the same lists: verdicts[r] and duplicates[r] are
// rules()[r]'s.
std::optional<Error> detect_flat_all(const FlatVectors& flat, const Parameters* p,
                                     Array<Verdict>* verdicts, Array<DuplicateScores>* duplicates,
                                     RunNotes* notes);

// A reference set, built once, against which new vectors (queries) are scored: its vectors as
// the rule sees them (standardised with -z), their lists, and the notes of its build (the
// columns' scales with -z, the unstandardised columns, overflow).
struct Reference {
    Array<double> values;  // the vectors' values where the reference owns them (a saved model)
    Rows rows;
    NeighbourLists lists;
    RunNotes notes;
};

// The reference of a loaded set, with detect_flat's checks and standardisation; the set keeps
// its vectors, which the reference's rows point into.
std::optional<Error> build_reference(HFSET set, const Parameters* p, Reference* reference);

// Scores each of a loaded set of queries against the reference (detect/reference.h,
// rules/reference.h): every verdict field as a run would leave it for a vertex of the
// reference's graph that no other vertex lists but those that would keep it. Queries of
// another width than the reference's are a kDimensions error. With -z the queries are taken as
// the reference's columns were. The set's values are standardised in place.
std::optional<Error> detect_queries(const Reference& reference, HFSET queries, const Parameters* p,
                                    Verdict* verdict, RunNotes* notes);

// detect_queries for -r all: every rule of the table in table order, verdicts[r] and
// duplicates[r] rules()[r]'s.
std::optional<Error> detect_queries_all(const Reference& reference, HFSET queries,
                                        const Parameters* p, Array<Verdict>* verdicts,
                                        Array<DuplicateScores>* duplicates, RunNotes* notes);

// Whether q queries of dims[i] values each (the label last) match the reference's width.
std::optional<Error> check_query_widths(const Reference& reference, const int32_t* dims, int32_t q);

// The same for a block of queries of checked width (standardised already with -z), their own
// sums and share over exchange.
std::optional<Error> score_queries(const Reference& reference, const Rows& queries,
                                   const Parameters* p, Exchange& exchange, Verdict* verdict,
                                   RunNotes* notes);

// score_queries for -r all: every rule of the table in table order over the same lists.
std::optional<Error> score_queries_all(const Reference& reference, const Rows& queries,
                                       const Parameters* p, Exchange& exchange,
                                       Array<Verdict>* verdicts, Array<DuplicateScores>* duplicates,
                                       RunNotes* notes);

// Detects outliers among n vectors of d doubles each, rows one after the other, the last
// column the label (never part of a distance). Fills verdict on success. Rows without room for
// the label (d < 1) are a kDimensions error.
std::optional<Error> detect(const double* rows, int32_t n, int32_t d, const Parameters* p,
                            Verdict* verdict);

// The same for n vectors of d features each without a label column: every label is 0.
std::optional<Error> detect_features(const double* features, int32_t n, int32_t d,
                                     const Parameters* p, Verdict* verdict);

// detect_features's verdict for q vectors (queries) of d features each scored against a
// reference of n vectors (detect_queries); every label is 0.
std::optional<Error> detect_features_against(const double* reference, int32_t n,
                                             const double* queries, int32_t q, int32_t d,
                                             const Parameters* p, Verdict* verdict);

// Each query's k nearest reference vectors as neighbours lists them (indices are reference
// positions): the outbound list a query gets against the reference.
std::optional<Error> neighbours_against(const double* reference, int32_t n, const double* queries,
                                        int32_t q, int32_t d, const Parameters* p,
                                        double* distances, int32_t* indices);

// Builds the graph of n vectors of d features each (no label column) as detect does, checks
// included, and runs no rule. Row i of distances and of indices (n × p->k each, the caller's)
// receives vertex i's outbound list, nearest first, in the graph's order (an equally distant
// neighbour stands in front of those kept before it). Indices are vector positions from 0.
std::optional<Error> neighbours(const double* features, int32_t n, int32_t d, const Parameters* p,
                                double* distances, int32_t* indices);

}  // namespace tarn

#endif
