// Structural checker of the neighbour graph for tests: run it after every mutation.
#ifndef TARN_TESTS_GRAPH_CHECK_H
#define TARN_TESTS_GRAPH_CHECK_H

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "detect/knn.h"
#include "graph/graph.h"
#include "vectors/fvector.h"

namespace graph_check {

// The k-nearest-neighbour graph of rows (vertex i labelled i % 2), built by the tiled brute
// force, which builds the per-pair construction's graph bit for bit. The caller releases it
// with free_graph and free.
inline Graph* graph_of(const std::vector<std::vector<double>>& rows, int32_t k) {
    Graph* g = create_graph();
    for (size_t i = 0; i < rows.size(); ++i) {
        const int32_t dim = static_cast<int32_t>(rows[i].size());
        HFV v = fvCreate(dim + 1);
        for (int32_t c = 0; c < dim; ++c)
            fvSetElement(v, c, rows[i][static_cast<size_t>(c)]);
        fvSetElement(v, dim, static_cast<double>(i % 2));
        insert_vertex(g, v, static_cast<int32_t>(i));
    }
    tarn::create_edges_fast(g, k, 1);
    return g;
}

// Seeded rows that give a rule every awkward case: d columns of small integers (ties at every
// distance, equal rows, zero distances), and with `non_finite` a few rows holding an infinite
// or not-a-number value.
inline std::vector<std::vector<double>> awkward_rows(uint64_t seed, int n, int d, bool non_finite) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> small(0, 4);
    std::vector<std::vector<double>> rows(static_cast<size_t>(n));
    for (auto& row : rows) {
        for (int c = 0; c < d; ++c)
            row.push_back(small(rng));
    }
    if (non_finite) {
        rows[3][0] = std::numeric_limits<double>::quiet_NaN();
        rows[static_cast<size_t>(n / 2)][0] = std::numeric_limits<double>::infinity();
        rows[static_cast<size_t>(n - 1)][0] = -std::numeric_limits<double>::infinity();
    }
    return rows;
}

namespace detail {

template <typename Node, typename Visit>
::testing::AssertionResult check_list(const char* what, int32_t owner, Node* head, Node* tail,
                                      int32_t& length, Visit visit) {
    std::unordered_set<const Node*> seen;
    Node* before = nullptr;
    length = 0;
    for (Node* node = head; node != nullptr; node = node->next) {
        if (!seen.insert(node).second)
            return ::testing::AssertionFailure() << what << " of " << owner << " loops";
        if (node->prev != before)
            return ::testing::AssertionFailure()
                   << what << " of " << owner << ": prev wrong at position " << length;
        if (::testing::AssertionResult ok = visit(node); !ok) return ok;
        before = node;
        ++length;
    }
    if (tail != before)
        return ::testing::AssertionFailure() << what << " of " << owner << ": tail wrong";
    return ::testing::AssertionSuccess();
}

}  // namespace detail

// Every list doubly linked both ways with its head and tail right; total_vert, outdegree and
// (when exact_indegree) indegree equal to the list lengths; partners pointing at each other
// with the same dist bits, to and from, each in the right list of the right vertex and only
// at vertices of this graph; outbound lists in non-decreasing distance. A vertex that ever
// held a not-a-number outbound distance belongs in `unordered`: such a record stops ordered
// insertion early and the list may stay out of order after the record goes.
inline ::testing::AssertionResult consistent(
    const Graph* graphp, bool exact_indegree = true,
    const std::unordered_set<const Vertex*>& unordered = {}) {
    using ::testing::AssertionFailure;
    using ::testing::AssertionSuccess;
    std::unordered_set<const Vertex*> vertices;
    int32_t count = 0;
    ::testing::AssertionResult ok = detail::check_list("vertex list", -1, graphp->top,
                                                       graphp->bottom, count, [&](const Vertex* v) {
                                                           vertices.insert(v);
                                                           return AssertionSuccess();
                                                       });
    if (!ok) return ok;
    if (count != graphp->total_vert)
        return AssertionFailure() << "total_vert " << graphp->total_vert << ", list " << count;

    auto pairs_up = [&](const Edge* e) -> ::testing::AssertionResult {
        const Edge* partner = e->otherend;
        if (partner == nullptr || partner->otherend != e)
            return AssertionFailure() << "record without a partner pointing back";
        if (std::bit_cast<uint64_t>(partner->dist) != std::bit_cast<uint64_t>(e->dist) ||
            partner->to != e->to || partner->from != e->from)
            return AssertionFailure() << "partners disagree";
        if (vertices.count(e->to) == 0 || vertices.count(e->from) == 0)
            return AssertionFailure() << "record refers to a vertex outside the graph";
        return AssertionSuccess();
    };
    std::unordered_set<const Edge*> outbound, inbound;
    for (const Vertex* v : vertices) {
        const Edge* before = nullptr;
        int32_t length = 0;
        ok = detail::check_list(
            "outbound list", v->id, v->outn, v->outf, length,
            [&](const Edge* e) -> ::testing::AssertionResult {
                if (e->from != v) return AssertionFailure() << "wrong from";
                if (before != nullptr && unordered.count(v) == 0 && !(before->dist <= e->dist))
                    return AssertionFailure() << "outbound order broken";
                before = e;
                outbound.insert(e);
                return pairs_up(e);
            });
        if (!ok) return ok;
        if (length != v->outdegree)
            return AssertionFailure()
                   << "outdegree of " << v->id << " is " << v->outdegree << ", list " << length;
        ok = detail::check_list("inbound list", v->id, v->inn, v->inf, length,
                                [&](const Edge* e) -> ::testing::AssertionResult {
                                    if (e->to != v) return AssertionFailure() << "wrong to";
                                    inbound.insert(e);
                                    return pairs_up(e);
                                });
        if (!ok) return ok;
        if (exact_indegree && length != v->indegree)
            return AssertionFailure()
                   << "indegree of " << v->id << " is " << v->indegree << ", list " << length;
    }
    // Each pair has one record in an outbound list and the other in an inbound list.
    for (const Edge* e : outbound)
        if (inbound.count(e) != 0 || inbound.count(e->otherend) == 0)
            return AssertionFailure() << "outbound record whose partner is not inbound";
    if (outbound.size() != inbound.size())
        return AssertionFailure() << outbound.size() << " outbound, " << inbound.size()
                                  << " inbound records";
    return AssertionSuccess();
}

inline  // Every record of a vertex as text: targets or sources by id, distances by their bits.
    std::string
    describe(const Vertex* v) {
    std::ostringstream out;
    out << "out " << v->outdegree << " in " << v->indegree << " largest "
        << std::bit_cast<uint64_t>(v->largest_dist) << " |";
    for (const Edge* e = v->outn; e != nullptr; e = e->next) {
        out << ' ' << e->to->id << ':' << std::bit_cast<uint64_t>(e->dist);
    }
    out << " |";
    for (const Edge* e = v->inn; e != nullptr; e = e->next) {
        out << ' ' << e->from->id << ':' << std::bit_cast<uint64_t>(e->dist);
    }
    return out.str();
}

}  // namespace graph_check

#endif
