#include "detect/core.h"

#include "detect/reference.h"
#include "rules/reference.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <span>

#include "base/parameters.h"
#include "base/workers.h"
#include "detect/budget.h"
#include "detect/construct.h"
#include "detect/kdtree.h"
#include "detect/knn.h"
#include "detect/method.h"
#include "detect/overflow.h"
#include "detect/rules.h"
#include "graph/metric.h"
#include "rules/rules.h"
#include "vectors/fvector.h"

namespace tarn {
namespace {

// Walks open at once in a rule or in reading the verdict: lof_main, lof and lrd nest three.
constexpr int32_t kNestedWalks = 4;

// An error whose message is the command line's text, formatted like printf.
__attribute__((format(printf, 2, 3))) Error error(ErrorKind kind, const char* format, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return {kind, text};
}

std::optional<Error> check_neighbourhood(int32_t k, int32_t n) {
    if (k >= n) {
        return error(ErrorKind::kNeighbourhood,
                     "Neighbourhood value is %d too BIG!, it should be smaller than %d\n", k, n);
    }
    if (k < 1) {
        return error(ErrorKind::kNeighbourhood,
                     "Neighbourhood value is %d too small!, it should be at least 1\n", k);
    }
    return std::nullopt;
}

// A loader may accept later lines with more values; for the detector that would put the label
// and the features of different vectors in different columns, so every vector must match the
// first one.
template <typename DimensionOf>
std::optional<Error> check_dimensions(size_t n, DimensionOf dimension_of) {
    const int32_t first = dimension_of(0);
    for (size_t i = 0; i < n; ++i) {
        const int32_t dim = dimension_of(i);
        if (dim != first) {
            return error(ErrorKind::kDimensions,
                         "Vector %zu has %d values, the first vector has %d\n", i + 1, dim, first);
        }
    }
    return std::nullopt;
}

// A graph that cannot fit stops the run now rather than when the system runs out of memory.
// Where the available memory cannot be read, nothing is checked.
// A block's process checks the edges of its own sources only.
std::optional<Error> check_memory(const GraphNeed& need) {
    const MemoryLimit limit = memory_limit();
    if (limit.bytes < 0 || graph_fits(need, limit.bytes)) return std::nullopt;
    constexpr double kMiB = 1024.0 * 1024.0;
    return error(ErrorKind::kMemoryCheck,
                 "The graph needs %.0f MiB of memory, but only %.0f MiB are available%s\n",
                 (need.vectors + need.edges) / kMiB, (need.vectors + limit.bytes) / kMiB,
                 limit.where);
}

// The linked graph's need: its records, the construction, and the rule's working memory.
GraphNeed linked_need(int32_t n, int32_t dim, int32_t k, bool indexed, int32_t threads,
                      const LinkedRule& rule) {
    const double vertices = static_cast<double>(n);
    const double rule_bytes = vertices * rule.vertex_bytes + vertices * k * rule.edge_bytes;
    return graph_need(n, dim, k, indexed, threads, rule_bytes);
}

// Whether the k-d tree builds the graph of rows: with -x, or without -b when choose_method
// expects it to be faster; only where it applies (finite values, a metric with a box bound: not
// the cosine), whatever p asks.
bool use_tree(const Rows& rows, const Parameters* p) {
    const int32_t n = static_cast<int32_t>(rows.size());
    return p->brute != 1 && tree_applies(rows) &&
           (p->index == 1 || choose_method(n, p->k, sample_dimension(rows)) == Method::kTree);
}

// The components a construction's working set counts per vector of dim values: the cosine's
// brute force keeps each vector's norm beside its copy, one component more.
int32_t counted_components(int32_t dim, const Metric& metric) {
    return metric.kind == MetricKind::kCosine ? dim + 1 : dim;
}

Error allocation_error(size_t size) {
    return error(ErrorKind::kAllocation, "Allocation of %zu bytes failed\n", size);
}

// Checks, then builds the edges with the builder p asks for: the tiled brute force with -b,
// the k-d tree with -x, else the one choose_method expects to be faster.
std::optional<Error> build(Graph* graphp, const Parameters* p) {
    const int32_t n = get_nvert(graphp);
    if (std::optional<Error> failure = check_neighbourhood(p->k, n)) return failure;
    const Array<Vertex*> vertices = graph_vertices(graphp);
    auto dimension_of = [&](size_t i) { return fvGetDim(vertices[i]->vector); };
    if (std::optional<Error> failure = check_dimensions(vertices.size(), dimension_of)) {
        return failure;
    }
    if (p->standardise == 1) standardise(vertices);
    const int32_t threads = worker_threads(p->threads);
    const int32_t dim = fvGetDim(vertices[0]->vector);
    graphp->metric = metric_of(p);
    const bool indexed = use_tree(graph_rows(vertices, graphp->metric), p);
    if (std::optional<Error> failure = check_memory(linked_need(
            n, counted_components(dim, graphp->metric), p->k, indexed, threads, linked_rule(p)))) {
        return failure;
    }
    if (indexed) {
        create_edges_indexed(graphp, p->k, threads);
    } else {
        create_edges_fast(graphp, p->k, threads);
    }
    return std::nullopt;
}

// The flat lists of block's sources among rows whose k and dimensions are checked:
// standardised with p->standardise (the columns it could not standardise into notes, when
// given), the memory checked, built with the builder build would take.
std::optional<Error> build_lists(const Rows& rows, const Parameters* p, NeighbourLists* lists,
                                 SourceBlock block = {}, RunNotes* notes = nullptr,
                                 VectorsHeld held = VectorsHeld::kFlat) {
    if (p->standardise == 1) {
        Array<int32_t> unusable = standardise(rows, notes != nullptr ? &notes->scales : nullptr);
        if (notes != nullptr) notes->unstandardised = std::move(unusable);
    }
    const int32_t n = static_cast<int32_t>(rows.size());
    const int32_t threads = worker_threads(p->threads);
    const bool indexed = use_tree(rows, p);
    const int32_t sources = block.last < 0 ? n : block.last - block.first;
    const GraphNeed need =
        lists_need(n, counted_components(rows.features + 1, rows.metric), p->k, indexed, threads,
                   judge_bytes(p, static_cast<double>(n), p->k), sources, held);
    if (std::optional<Error> failure = check_memory(need)) return failure;
    FlatListSink sink(*lists, n, p->k, block);
    if (indexed) {
        search_tree(rows, p->k, threads, sink, kDefaultChunkEntries, block);
    } else {
        search_tiled(rows, p->k, threads, sink, kDefaultChunkEntries, block);
    }
    return std::nullopt;
}

// The rule p selects, on a copy of p: the rules take a writable record and read it only.
void run_rule(Graph* graphp, const Parameters* p) {
    Parameters options = *p;
    reserve_cursors(kNestedWalks);
    linked_rule(p).run(graphp, &options);
    if (p->share > 0) mark_most_outlying(graphp, p);
}

// Runs body under AllocationFailuresThrow, turning a failed allocation into its error.
template <typename Body>
std::optional<Error> reporting(Body body) {
    AllocationFailuresThrow scope;
    try {
        return body();
    } catch (const ConstructionCancelled&) {
        return Error{ErrorKind::kCancelled, "The construction was cancelled\n"};
    } catch (const AllocationFailure& failure) {
        return allocation_error(failure.size());
    } catch (const std::bad_alloc&) {
        return Error{ErrorKind::kAllocation, "Allocation failed\n"};
    }
}

// A caller's rows hold at least their label, when they have one.
std::optional<Error> check_width(int32_t d, bool labelled) {
    if (d >= (labelled ? 1 : 0)) return std::nullopt;
    return error(ErrorKind::kDimensions, "Rows of %d values cannot hold %s\n", d,
                 labelled ? "a label" : "features");
}

// The caller's rows copied into one block of its own (standardisation writes into it), dim
// components each: with the label column (labelled), or each followed by a label of 0.
struct RowBlock {
    Array<double> values;
    Rows rows;
};

void copy_rows(const double* source, int32_t n, int32_t d, bool labelled, Metric metric,
               RowBlock* block) {
    const size_t dim = static_cast<size_t>(labelled ? d : d + 1);
    block->values.assign(static_cast<size_t>(n) * dim, 0.0);
    block->rows.features = static_cast<int32_t>(dim) - 1;
    block->rows.metric = metric;
    block->rows.row.resize(static_cast<size_t>(n));
    for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
        double* row = block->values.data() + i * dim;
        std::copy_n(source + i * static_cast<size_t>(d), d, row);
        block->rows.row[i] = row;
    }
}

// Each row's label: its last component, truncated toward zero.
Array<int32_t> labels_of(const Rows& rows) {
    Array<int32_t> labels(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        labels[i] = label_of(rows[i][rows.features]);
    return labels;
}

// One feature column's mean and standard deviation, the values taken as x · 2^-exponent: in
// doubles, every sum in row order, mean = sum / n, variance = (sum of (x − mean)²) / n, sd =
// sqrt(variance). Scaling by a power of two is exact and every step commutes with it, so
// unless a step overflows or leaves the normal range the result is the unscaled one scaled,
// bit for bit, and the standardised values are the same.
struct Moments {
    double mean = 0.0;
    double sd = 0.0;
    // Neither sum overflowed and the variance is a normal number (or the column constant): the
    // squared deviations lost nothing beyond rounding.
    bool exact = true;
};

Moments moments(const Rows& rows, int32_t c, int32_t exponent) {
    const double n = static_cast<double>(rows.size());
    double sum = 0.0;
    for (const double* x : rows.row)
        sum += scaled_value(x[c], exponent);
    Moments m;
    m.mean = sum / n;
    double squares = 0.0;
    for (const double* x : rows.row) {
        const double deviation = scaled_value(x[c], exponent) - m.mean;
        squares += deviation * deviation;
    }
    const double variance = squares / n;
    m.sd = std::sqrt(variance);
    if (!std::isfinite(squares)) {
        m.exact = false;
    } else if (variance < DBL_MIN) {
        // Deviations below about 1e-154 square to nothing: only a constant column may have none.
        m.exact = std::all_of(rows.row.begin(), rows.row.end(), [&](const double* x) {
            return scaled_value(x[c], exponent) == m.mean;
        });
    }
    return m;
}

// Writes column c as standardise takes it at scale s.
void write_standardised(const Rows& rows, int32_t c, const ColumnScale& s) {
    for (double* x : rows.row)
        x[c] = standardised_value(x[c], s);
}

bool column_finite(const Rows& rows, int32_t c) {
    return std::all_of(rows.row.begin(), rows.row.end(),
                       [c](const double* x) { return std::isfinite(x[c]); });
}

// The exponent e of column c's largest magnitude m = f · 2^e, f in [0.5, 1): at 2^-e every value
// lies in (-1, 1), whose sums neither overflow nor underflow.
int32_t largest_exponent(const Rows& rows, int32_t c) {
    double largest = 0.0;
    for (const double* x : rows.row)
        largest = std::max(largest, std::fabs(x[c]));
    int exponent = 0;
    std::frexp(largest, &exponent);
    return exponent;
}

}  // namespace

Array<int32_t> standardise(const Array<Vertex*>& vertices) {
    return standardise(graph_rows(vertices));
}

Array<int32_t> standardise(const Rows& rows, Array<ColumnScale>* scales) {
    Array<int32_t> unusable;
    if (scales != nullptr) scales->clear();
    if (rows.size() == 0) return unusable;
    for (int32_t c = 0; c < rows.features; ++c) {
        int32_t exponent = 0;
        Moments m = moments(rows, c, 0);
        if (!m.exact && !column_finite(rows, c)) {
            // Its sums are not numbers: every value becomes one, as the arithmetic gives.
            unusable.push_back(c);
        } else if (!m.exact) {
            exponent = largest_exponent(rows, c);
            m = moments(rows, c, exponent);
        }
        const ColumnScale scale{exponent, m.mean, m.sd};
        write_standardised(rows, c, scale);
        if (scales != nullptr) scales->push_back(scale);
    }
    return unusable;
}

void apply_scales(const Rows& rows, const Array<ColumnScale>& scales) {
    for (int32_t c = 0; c < rows.features && static_cast<size_t>(c) < scales.size(); ++c)
        write_standardised(rows, c, scales[static_cast<size_t>(c)]);
}

std::optional<Error> detect_graph(Graph* graphp, const Parameters* p) {
    return reporting([&]() -> std::optional<Error> {
        if (std::optional<Error> failure = build(graphp, p)) return failure;
        run_rule(graphp, p);
        return std::nullopt;
    });
}

namespace {

// The lists of a caller's rows, after the checks: the rows copied into block first.
std::optional<Error> lists_of_rows(const double* rows, int32_t n, int32_t d, bool labelled,
                                   const Parameters* p, RowBlock* block, NeighbourLists* lists,
                                   RunNotes* notes = nullptr) {
    if (std::optional<Error> failure = check_neighbourhood(p->k, n)) return failure;
    if (std::optional<Error> failure = check_width(d, labelled)) return failure;
    copy_rows(rows, n, d, labelled, metric_of(p), block);
    return build_lists(block->rows, p, lists, SourceBlock{}, notes);
}

// The lists of block's sources among vectors of the given dimensions, after the checks.
template <typename DimensionOf>
std::optional<Error> checked_lists(const Rows& rows, DimensionOf dimension_of, const Parameters* p,
                                   NeighbourLists* lists, SourceBlock block = {},
                                   RunNotes* notes = nullptr,
                                   VectorsHeld held = VectorsHeld::kFlat) {
    const int32_t n = static_cast<int32_t>(rows.size());
    if (std::optional<Error> failure = check_neighbourhood(p->k, n)) return failure;
    if (std::optional<Error> failure = check_dimensions(rows.size(), dimension_of)) {
        return failure;
    }
    return build_lists(rows, p, lists, block, notes, held);
}

// detect and detect_features: the rows with or without their label column.
std::optional<Error> detect_rows(const double* rows, int32_t n, int32_t d, bool labelled,
                                 const Parameters* p, Verdict* verdict) {
    return reporting([&]() -> std::optional<Error> {
        RowBlock block;
        NeighbourLists lists;
        if (std::optional<Error> failure = lists_of_rows(rows, n, d, labelled, p, &block, &lists)) {
            return failure;
        }
        judge_lists(block.rows, lists, p, verdict);
        verdict->label = labels_of(block.rows);
        return std::nullopt;
    });
}

// The lists of a loaded set's rows after the checks, and whether their distances overflowed.
std::optional<Error> set_lists(HFSET set, const Rows& rows, const Parameters* p,
                               NeighbourLists* lists, RunNotes* notes) {
    const HFV* vectors = fvsGetVectorBuff(set);
    auto dimension_of = [&](size_t i) { return fvGetDim(vectors[i]); };
    if (std::optional<Error> failure = checked_lists(rows, dimension_of, p, lists, SourceBlock{},
                                                     notes, VectorsHeld::kCarved)) {
        return failure;
    }
    notes->overflow = distances_overflow(rows, *lists);
    return std::nullopt;
}

// The lists of flattened vectors (their k and dimensions checked), and whether their distances
// overflowed.
std::optional<Error> flat_lists(const Rows& rows, const Parameters* p, NeighbourLists* lists,
                                RunNotes* notes) {
    if (std::optional<Error> failure =
            build_lists(rows, p, lists, SourceBlock{}, notes, VectorsHeld::kFeatures)) {
        return failure;
    }
    notes->overflow = distances_overflow(rows, *lists);
    return std::nullopt;
}

// Whether a distance the queries keep overflowed: infinite between finite vectors.
bool kept_overflow(const Rows& reference, const Rows& queries, const QueryLists& lists) {
    const auto finite = [&](size_t i) {
        const double* x = queries[i];
        return std::all_of(x, x + queries.features, [](double v) { return std::isfinite(v); });
    };
    for (size_t i = 0; i < queries.size(); ++i) {
        if (!finite(i)) continue;
        const int32_t row = static_cast<int32_t>(i);
        for (size_t at = lists.out.at(row); at < lists.out.at(row + 1); ++at) {
            if (std::isinf(entry_distance(reference, queries[i], lists.out, at))) return true;
        }
    }
    return false;
}

// Every entry's distance of lists, row after row, into distances (lists.n × lists.k): row i's
// source vector is source[i], its targets' are among rows.
void list_distances(const Rows& rows, double* const* source, const NeighbourLists& lists,
                    int32_t threads, double* distances) {
    auto measure = [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t row = begin; row < end; ++row) {
            for (size_t at = lists.at(row); at < lists.at(row + 1); ++at)
                distances[at] = entry_distance(rows, source[row], lists, at);
        }
    };
    for_each_range(lists.n, 1024, worker_threads(threads), measure);
}

// The verdict's copy of the labels, its pages populated on the run's threads.
void copy_labels(const Array<int32_t>& labels, const Parameters* p, Verdict* verdict) {
    reserve_on_threads(verdict->label, labels.size(), worker_threads(p->threads));
    verdict->label.assign(labels.begin(), labels.end());
}

}  // namespace

std::optional<Error> flatten_set(HFSET set, const Parameters* p, FlatVectors* flat) {
    return reporting([&]() -> std::optional<Error> {
        const int32_t n = fvsGetSize(set);
        const HFV* vectors = fvsGetVectorBuff(set);
        if (std::optional<Error> failure = check_neighbourhood(p->k, n)) return failure;
        auto dimension_of = [&](size_t i) { return fvGetDim(vectors[i]); };
        if (std::optional<Error> failure = check_dimensions(static_cast<size_t>(n), dimension_of)) {
            return failure;
        }
        const size_t features = static_cast<size_t>(dimension_of(0)) - 1;
        const int32_t threads = worker_threads(p->threads);
        flat->values.resize(static_cast<size_t>(n) * features);  // the copy's workers fill it
        assign_on_threads(flat->labels, static_cast<size_t>(n), 0, threads);
        assign_on_threads(flat->rows.row, static_cast<size_t>(n), static_cast<double*>(nullptr),
                          threads);
        flat->rows.features = static_cast<int32_t>(features);
        flat->rows.metric = metric_of(p);
        auto copy = [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t i = begin; i < end; ++i) {
                const size_t at = static_cast<size_t>(i);
                double* row = flat->values.data() + at * features;
                std::copy_n(vectors[i]->vector, features, row);
                flat->labels[at] = label_of(vectors[i]->vector[features]);
                flat->rows.row[at] = row;
            }
        };
        for_each_range(n, 1 << 14, threads, copy);
        return std::nullopt;
    });
}

std::optional<Error> detect_flat(const FlatVectors& flat, const Parameters* p, Verdict* verdict,
                                 RunNotes* notes) {
    return reporting([&]() -> std::optional<Error> {
        NeighbourLists lists;
        if (std::optional<Error> failure = flat_lists(flat.rows, p, &lists, notes)) return failure;
        notes->duplicates = judge_lists(flat.rows, lists, p, verdict);
        copy_labels(flat.labels, p, verdict);
        return std::nullopt;
    });
}

std::optional<Error> detect_flat_all(const FlatVectors& flat, const Parameters* p,
                                     Array<Verdict>* verdicts, Array<DuplicateScores>* duplicates,
                                     RunNotes* notes) {
    return reporting([&]() -> std::optional<Error> {
        NeighbourLists lists;
        if (std::optional<Error> failure = flat_lists(flat.rows, p, &lists, notes)) return failure;
        verdicts->resize(rules().size());
        duplicates->resize(rules().size());
        for (size_t r = 0; r < rules().size(); ++r) {
            const Parameters one = with_rule(p, rules()[r]);
            (*duplicates)[r] = judge_lists(flat.rows, lists, &one, &(*verdicts)[r]);
            copy_labels(flat.labels, p, &(*verdicts)[r]);
        }
        return std::nullopt;
    });
}

std::optional<Error> build_reference(HFSET set, const Parameters* p, Reference* reference) {
    return reporting([&]() -> std::optional<Error> {
        reference->rows = set_rows(set, metric_of(p));
        return set_lists(set, reference->rows, p, &reference->lists, &reference->notes);
    });
}

namespace {

// The queries' lists once, then the rule of each of runs over them into verdicts[r] and
// duplicates[r].
std::optional<Error> score_runs(const Reference& reference, const Rows& queries,
                                std::span<const Parameters> runs, Exchange& exchange,
                                Verdict* verdicts, DuplicateScores* duplicates, RunNotes* notes) {
    return reporting([&]() -> std::optional<Error> {
        const Parameters* p = &runs[0];
        const double n = static_cast<double>(reference.rows.size());
        const double q = static_cast<double>(queries.size());
        // The queries' lists and verdicts, and the reference's values a rule hands across
        // (a few per reference vector, as its kernel's working memory).
        const double need = query_lists_bytes(n, q, queries.features, p->k) +
                            judge_bytes(p, q, p->k) + judge_bytes(p, n, p->k);
        if (std::optional<Error> failure = check_memory({0.0, need})) return failure;
        const QueryLists lists =
            query_lists(reference.rows, reference.lists, queries, p->brute == 1, p->threads);
        const Block asked{lists.out, lists.in, reference.rows, queries.row.data()};
        for (size_t r = 0; r < runs.size(); ++r) {
            const InboundIndex in = inbound_index(reference.lists, selected_rule(&runs[r]).inbound,
                                                  reference.rows, worker_threads(p->threads));
            ReferenceRecord record;
            Verdict own;
            record_reference({reference.lists, in, reference.rows, reference.rows.row.data()},
                             &runs[r], &record, &own);
            duplicates[r] = judge_queries(asked, record, exchange, &runs[r], &verdicts[r]);
            verdicts[r].label = labels_of(queries);
        }
        notes->overflow = reference.notes.overflow || kept_overflow(reference.rows, queries, lists);
        notes->unstandardised = reference.notes.unstandardised;
        return std::nullopt;
    });
}

}  // namespace

std::optional<Error> score_queries(const Reference& reference, const Rows& queries,
                                   const Parameters* p, Exchange& exchange, Verdict* verdict,
                                   RunNotes* notes) {
    return score_runs(reference, queries, std::span<const Parameters>(p, 1), exchange, verdict,
                      &notes->duplicates, notes);
}

std::optional<Error> score_queries_all(const Reference& reference, const Rows& queries,
                                       const Parameters* p, Exchange& exchange,
                                       Array<Verdict>* verdicts, Array<DuplicateScores>* duplicates,
                                       RunNotes* notes) {
    Array<Parameters> runs;
    for (const Rule& rule : rules())
        runs.push_back(with_rule(p, rule));
    verdicts->resize(runs.size());
    duplicates->resize(runs.size());
    return score_runs(reference, queries, runs, exchange, verdicts->data(), duplicates->data(),
                      notes);
}

std::optional<Error> check_query_widths(const Reference& reference, const int32_t* dims,
                                        int32_t q) {
    const int32_t width = reference.rows.features + 1;
    for (int32_t i = 0; i < q; ++i) {
        if (dims[i] != width) {
            return error(ErrorKind::kDimensions,
                         "Vector %d has %d values, the reference's vectors have %d\n", i + 1,
                         dims[i], width);
        }
    }
    return std::nullopt;
}

namespace {

// The set's rows as queries of the reference: their widths checked, standardised with -z as the
// reference's columns were.
std::optional<Error> query_rows(const Reference& reference, HFSET queries, const Parameters* p,
                                Rows* rows) {
    Array<int32_t> dims(static_cast<size_t>(fvsGetSize(queries)));
    for (size_t i = 0; i < dims.size(); ++i)
        dims[i] = fvGetDim(fvsGetVectorBuff(queries)[i]);
    if (std::optional<Error> failure =
            check_query_widths(reference, dims.data(), static_cast<int32_t>(dims.size()))) {
        return failure;
    }
    *rows = set_rows(queries, metric_of(p));
    if (p->standardise == 1) apply_scales(*rows, reference.notes.scales);
    return std::nullopt;
}

}  // namespace

std::optional<Error> detect_queries(const Reference& reference, HFSET queries, const Parameters* p,
                                    Verdict* verdict, RunNotes* notes) {
    Rows rows;
    if (std::optional<Error> failure = query_rows(reference, queries, p, &rows)) return failure;
    LocalExchange exchange(static_cast<int32_t>(rows.size()));
    return score_queries(reference, rows, p, exchange, verdict, notes);
}

std::optional<Error> detect_queries_all(const Reference& reference, HFSET queries,
                                        const Parameters* p, Array<Verdict>* verdicts,
                                        Array<DuplicateScores>* duplicates, RunNotes* notes) {
    Rows rows;
    if (std::optional<Error> failure = query_rows(reference, queries, p, &rows)) return failure;
    LocalExchange exchange(static_cast<int32_t>(rows.size()));
    return score_queries_all(reference, rows, p, exchange, verdicts, duplicates, notes);
}

namespace {

// A caller's reference rows built into a reference (kept holds its rows) and its query rows
// copied into asked, standardised as the reference's columns were.
std::optional<Error> caller_reference(const double* reference, int32_t n, const double* queries,
                                      int32_t q, int32_t d, const Parameters* p, RowBlock* kept,
                                      RowBlock* asked, Reference* built) {
    if (std::optional<Error> failure =
            lists_of_rows(reference, n, d, false, p, kept, &built->lists, &built->notes)) {
        return failure;
    }
    built->rows = kept->rows;
    copy_rows(queries, q, d, false, metric_of(p), asked);
    if (p->standardise == 1) apply_scales(asked->rows, built->notes.scales);
    return std::nullopt;
}

}  // namespace

std::optional<Error> detect_features_against(const double* reference, int32_t n,
                                             const double* queries, int32_t q, int32_t d,
                                             const Parameters* p, Verdict* verdict) {
    return reporting([&]() -> std::optional<Error> {
        Reference built;
        RowBlock kept, asked;
        if (std::optional<Error> failure =
                caller_reference(reference, n, queries, q, d, p, &kept, &asked, &built)) {
            return failure;
        }
        LocalExchange exchange(q);
        RunNotes notes;
        return score_queries(built, asked.rows, p, exchange, verdict, &notes);
    });
}

std::optional<Error> neighbours_against(const double* reference, int32_t n, const double* queries,
                                        int32_t q, int32_t d, const Parameters* p,
                                        double* distances, int32_t* indices) {
    return reporting([&]() -> std::optional<Error> {
        Reference built;
        RowBlock kept, asked;
        if (std::optional<Error> failure =
                caller_reference(reference, n, queries, q, d, p, &kept, &asked, &built)) {
            return failure;
        }
        const QueryLists lists =
            query_lists(built.rows, built.lists, asked.rows, p->brute == 1, p->threads);
        list_distances(built.rows, asked.rows.row.data(), lists.out, p->threads, distances);
        std::copy(lists.out.target.begin(), lists.out.target.end(), indices);
        return std::nullopt;
    });
}

std::optional<Error> check_share_memory(int32_t share, int32_t features, const Parameters* p,
                                        double extra) {
    return reporting([&]() -> std::optional<Error> {
        const Metric metric = metric_of(p);
        GraphNeed need = lists_need(
            share, counted_components(features + 1, metric), p->k, true, worker_threads(p->threads),
            judge_bytes(p, static_cast<double>(share), p->k), share, VectorsHeld::kFeatures);
        need.edges += extra;
        return check_memory(need);
    });
}

std::optional<Error> build_block(const Rows& rows, const int32_t* dims, const Parameters* p,
                                 SourceBlock block, NeighbourLists* lists, RunNotes* notes) {
    return reporting([&]() {
        return checked_lists(
            rows, [&](size_t i) { return dims[i]; }, p, lists, block, notes);
    });
}

std::optional<Error> detect(const double* rows, int32_t n, int32_t d, const Parameters* p,
                            Verdict* verdict) {
    return detect_rows(rows, n, d, true, p, verdict);
}

std::optional<Error> detect_features(const double* features, int32_t n, int32_t d,
                                     const Parameters* p, Verdict* verdict) {
    return detect_rows(features, n, d, false, p, verdict);
}

std::optional<Error> neighbours(const double* features, int32_t n, int32_t d, const Parameters* p,
                                double* distances, int32_t* indices) {
    return reporting([&]() -> std::optional<Error> {
        RowBlock block;
        NeighbourLists lists;
        if (std::optional<Error> failure =
                lists_of_rows(features, n, d, false, p, &block, &lists)) {
            return failure;
        }
        list_distances(block.rows, block.rows.row.data(), lists, p->threads, distances);
        std::copy(lists.target.begin(), lists.target.end(), indices);
        return std::nullopt;
    });
}

}  // namespace tarn
