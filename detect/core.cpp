#include "detect/core.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "detect/budget.h"
#include "detect/construct.h"
#include "detect/kdtree.h"
#include "detect/knn.h"
#include "detect/method.h"
#include "detect/rules.h"
#include "driver/parameters.h"
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
std::optional<Error> check_dimensions(const Array<Vertex*>& vertices) {
    const int32_t first = fvGetDim(vertices[0]->vector);
    for (size_t i = 0; i < vertices.size(); ++i) {
        const int32_t dim = fvGetDim(vertices[i]->vector);
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
std::optional<Error> check_memory(int32_t n, int32_t dim, int32_t k, bool indexed, int32_t threads,
                                  const Rule& rule, int32_t sources) {
    const double vertices = static_cast<double>(n);
    const double kept = static_cast<double>(sources < 0 ? n : sources);
    const double rule_bytes = vertices * rule.vertex_bytes + kept * k * rule.edge_bytes;
    const GraphNeed need = graph_need(n, dim, k, indexed, threads, rule_bytes, sources);
    const MemoryLimit limit = memory_limit();
    if (limit.bytes < 0 || graph_fits(need, limit.bytes)) return std::nullopt;
    constexpr double kMiB = 1024.0 * 1024.0;
    return error(ErrorKind::kMemoryCheck,
                 "The graph needs %.0f MiB of memory, but only %.0f MiB are available%s\n",
                 (need.vectors + need.edges) / kMiB, (need.vectors + limit.bytes) / kMiB,
                 limit.where);
}

Error allocation_error(size_t size) {
    return error(ErrorKind::kAllocation, "Allocation of %zu bytes failed\n", size);
}

// Checks, then builds the edges of block's sources with the builder p asks for: the tiled brute
// force with -b, the k-d tree with -x, else the one choose_method expects to be faster. The tree
// only where it applies (finite values): elsewhere the brute force, whatever p asks.
std::optional<Error> build(Graph* graphp, const Parameters* p, SourceBlock block = {}) {
    const int32_t n = get_nvert(graphp);
    if (std::optional<Error> failure = check_neighbourhood(p->k, n)) return failure;
    const Array<Vertex*> vertices = graph_vertices(graphp);
    if (std::optional<Error> failure = check_dimensions(vertices)) return failure;
    if (p->standardise == 1) standardise(vertices);
    const int32_t threads = construction_threads(p->threads);
    const int32_t dim = fvGetDim(vertices[0]->vector);
    const int32_t sources = block.last < 0 ? -1 : block.last - block.first;
    const bool indexed =
        p->brute != 1 && tree_applies(vertices) &&
        (p->index == 1 || choose_method(n, p->k, sample_dimension(vertices)) == Method::kTree);
    if (std::optional<Error> failure =
            check_memory(n, dim, p->k, indexed, threads, selected_rule(p), sources)) {
        return failure;
    }
    if (indexed) {
        create_edges_indexed(graphp, p->k, threads, kDefaultChunkEntries, block);
    } else {
        create_edges_fast(graphp, p->k, threads, kDefaultChunkEntries, block);
    }
    return std::nullopt;
}

// The rule p selects, on a copy of p: the rules take a writable record and read it only.
void run_rule(Graph* graphp, const Parameters* p) {
    Parameters options = *p;
    reserve_cursors(kNestedWalks);
    selected_rule(p).run(graphp, &options);
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

// Frees a graph the core made, whatever way it leaves.
struct OwnedGraph {
    Graph* graph = nullptr;
    ~OwnedGraph() {
        if (graph == nullptr) return;
        free_graph(graph);
        std::free(graph);
    }
};

// One vertex per row, the label column included (insert_vertex moves it into the label), or
// without one (labelled false): the vector then gets a last component of 0, the label 0.
void insert_rows(Graph* graphp, const double* rows, int32_t n, int32_t d, bool labelled) {
    const int32_t dim = labelled ? d : d + 1;
    for (int32_t i = 0; i < n; ++i) {
        HFV v = fvCreateUnreported(dim);
        if (v == nullptr) throw AllocationFailure(sizeof(double) * static_cast<size_t>(dim));
        const double* row = rows + static_cast<size_t>(i) * static_cast<size_t>(d);
        for (int32_t c = 0; c < d; ++c)
            v->vector[c] = row[c];
        if (!labelled) v->vector[d] = 0.0;
        try {
            insert_vertex(graphp, v, i);
        } catch (...) {
            fvDestroy(v);  // not the graph's yet
            throw;
        }
    }
}

void read_verdict(const Array<Vertex*>& vertices, const Parameters* p, Verdict* verdict) {
    const size_t n = vertices.size();
    verdict->lof.resize(n);
    verdict->label.resize(n);
    verdict->marked.resize(n);
    verdict->indegree.resize(n);
    verdict->score.resize(n);
    reserve_cursors(kNestedWalks);
    for (size_t i = 0; i < n; ++i) {
        Vertex* v = vertices[i];
        verdict->lof[i] = v->lof;
        verdict->label[i] = v->flag;
        verdict->marked[i] = vertex_marked(v);
        verdict->indegree[i] = inbound_count(v);
        verdict->score[i] = ranking_score(v, p);
    }
}

}  // namespace

void standardise(const Array<Vertex*>& vertices) {
    if (vertices.empty()) return;
    const double n = static_cast<double>(vertices.size());
    const int32_t features = fvGetDim(vertices[0]->vector) - 1;
    for (int32_t c = 0; c < features; ++c) {
        double sum = 0.0;
        for (Vertex* v : vertices)
            sum += v->vector->vector[c];
        const double mean = sum / n;
        double squares = 0.0;
        for (Vertex* v : vertices) {
            const double deviation = v->vector->vector[c] - mean;
            squares += deviation * deviation;
        }
        const double sd = std::sqrt(squares / n);
        for (Vertex* v : vertices) {
            double& x = v->vector->vector[c];
            x = sd > 0 ? (x - mean) / sd : x - mean;
        }
    }
}

std::optional<Error> detect_graph(Graph* graphp, const Parameters* p) {
    return reporting([&]() -> std::optional<Error> {
        if (std::optional<Error> failure = build(graphp, p)) return failure;
        run_rule(graphp, p);
        return std::nullopt;
    });
}

std::optional<Error> build_block(Graph* graphp, const Parameters* p, SourceBlock block) {
    return reporting([&]() { return build(graphp, p, block); });
}

namespace {

// detect and detect_features: the rows with or without their label column.
std::optional<Error> detect_rows(const double* rows, int32_t n, int32_t d, bool labelled,
                                 const Parameters* p, Verdict* verdict) {
    return reporting([&]() -> std::optional<Error> {
        OwnedGraph owned;
        owned.graph = create_graph();
        insert_rows(owned.graph, rows, n, d, labelled);
        if (std::optional<Error> failure = build(owned.graph, p)) return failure;
        const Array<Vertex*> vertices = graph_vertices(owned.graph);
        verdict->built_indegree.resize(vertices.size());
        for (size_t i = 0; i < vertices.size(); ++i)
            verdict->built_indegree[i] = vertices[i]->indegree;
        run_rule(owned.graph, p);
        read_verdict(vertices, p, verdict);
        return std::nullopt;
    });
}

}  // namespace

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
        OwnedGraph owned;
        owned.graph = create_graph();
        insert_rows(owned.graph, features, n, d, false);
        if (std::optional<Error> failure = build(owned.graph, p)) return failure;
        const Array<Vertex*> vertices = graph_vertices(owned.graph);
        const size_t k = static_cast<size_t>(p->k);
        for (size_t i = 0; i < vertices.size(); ++i) {
            size_t at = i * k;
            for (const Edge* e = vertices[i]->outn; e != nullptr; e = e->next, ++at) {
                distances[at] = e->dist;
                indices[at] = e->to->id;
            }
        }
        return std::nullopt;
    });
}

}  // namespace tarn
