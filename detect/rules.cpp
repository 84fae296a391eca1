#include "detect/rules.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>

#include "base/alloc.h"
#include "base/parameters.h"
#include "detect/construct.h"
#include "detect/lof.h"
#include "rules/rules.h"

namespace {

// The value of a vertex of in-degree d > 0 under an incoming-distance rule: the integer quotient
// k / d as a factor (a vertex kept by more than k others gets 0) times the measure.
double incoming_value(int32_t d, const Parameters* p, double measure) {
    return static_cast<double>(p->k / d) * measure;
}

double maxincoming_value(Vertex* v, int32_t d, const Parameters* p) {
    return incoming_value(d, p, maxincoming(v));
}

double meanincoming_value(Vertex* v, int32_t d, const Parameters* p) {
    return incoming_value(d, p, meanincoming(v, p->k));
}

using IncomingValue = double (*)(Vertex* v, int32_t d, const Parameters* p);

// Marks every vertex whose value exceeds the threshold; a vertex of in-degree 0 already
// carries the mark.
void incoming_rule(Graph* g, Parameters* p, IncomingValue value) {
    const double threshold = calcthreshold(g, p->th);
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        const int32_t d = vertex_indegree(v);
        if (d != 0 && value(v, d, p) > threshold) vertex_indegree_set(v, 0);
    }
}

// The ranking score of an incoming-distance rule: its value on the inbound count, which the
// mark leaves alone, and +infinity for a vertex nobody keeps.
double incoming_score(Vertex* v, const Parameters* p, IncomingValue value) {
    const int32_t d = tarn::inbound_count(v);
    return d == 0 ? std::numeric_limits<double>::infinity() : value(v, d, p);
}

double inbound_score(Vertex* v, const Parameters* /*p*/) {
    return static_cast<double>(tarn::inbound_count(v));
}

// Every outbound record's target position, in the order of a walk over each vertex's outbound
// list in vertex order, and how many records name each vertex (first[t + 1]).
struct OutboundTargets {
    tarn::Array<int32_t> target;
    tarn::Array<int32_t> first;
};

constexpr tarn::LinkedRule kLinkedRules[] = {
    {"mutual", [](Graph* g, Parameters*) { tarn::prune_one_way(g); }, inbound_score, 32, 12},
    {"mean", meanin,
     [](Vertex* v, const Parameters* p) { return incoming_score(v, p, meanincoming_value); }, 0, 0},
    {"max", maxin,
     [](Vertex* v, const Parameters* p) { return incoming_score(v, p, maxincoming_value); }, 0, 0},
    {"indegree", kill_unwated_vertexes, inbound_score, 0, 0},
};

// Every other rule (the local outlier factor among them) runs its kernel over the graph's
// outbound lists and leaves its ranking score in the lof field and its marks in the in-degree
// field; it needs the flat lists and their verdict beside the graph.
constexpr tarn::LinkedRule kKernelOverGraph = {
    "", tarn::run_kernel_over_graph, [](Vertex* v, const Parameters*) { return v->lof; },
    64 + tarn::kListVertexBytes, tarn::kListEdgeBytes + 12};

}  // namespace

double findmin(Graph* g) {
    double minimum = DBL_MAX;
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        if (v->outn->dist < minimum) minimum = v->outn->dist;
    }
    return minimum;
}

double findmax(Graph* g) {
    double maximum = 0.0;
    Iterator* it = iterate_start();
    while (Edge* e = iterate_all_edges(g, it)) {
        if (e->dist > maximum) maximum = e->dist;
    }
    return maximum;
}

double maxincoming(Vertex* v) {
    double maximum = 0.0;
    Iterator* it = iterate_start();
    while (Edge* e = iterate_vertex_inbound_edge(v, it)) {
        if (e->dist > maximum) maximum = e->dist;
    }
    return maximum;
}

double meanincoming(Vertex* v, int32_t indegree) {
    double sum = 0.0;
    Iterator* it = iterate_start();
    while (Edge* e = iterate_vertex_inbound_edge(v, it))
        sum += e->dist;
    return sum / static_cast<double>(indegree);
}

double calcthreshold(Graph* g, double th) {
    double minimum = findmin(g);
    double maximum = findmax(g);
    // The minimum is subtracted at the end: (max − min) × th − min.
    return (maximum - minimum) * th - minimum;
}

void maxin(Graph* g, Parameters* p) {
    incoming_rule(g, p, maxincoming_value);
}

void meanin(Graph* g, Parameters* p) {
    incoming_rule(g, p, meanincoming_value);
}

void mknn(Graph* g) {
    Iterator* vertices = iterate_start();
    while (Vertex* v = iterate_vertex(g, vertices)) {
        Iterator* edges = iterate_start();
        while (Edge* e = iterate_vertex_edge(v, edges)) {
            // The walk steps on to the record that followed e, even after e is removed.
            if (!isedge(vertex_edge_to(e), v)) free_edge(v, e);
        }
    }
}

void kill_unwated_vertexes(Graph* g, Parameters* p) {
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        // "At most I", written so that it cannot overflow when I is the largest 32-bit value.
        if (vertex_indegree(v) <= p->I) vertex_indegree_set(v, 0);
    }
}

namespace tarn {

const LinkedRule& linked_rule(const Parameters* p) {
    const char* key = selected_rule(p).key;
    for (const LinkedRule& rule : kLinkedRules) {
        if (std::strcmp(rule.key, key) == 0) return rule;
    }
    return kKernelOverGraph;
}

namespace {

OutboundTargets outbound_targets(const Array<Vertex*>& vertices) {
    const size_t n = vertices.size();
    // Vertex positions by record address.
    Array<Vertex*> by_address = vertices;
    std::sort(by_address.begin(), by_address.end(), std::less<Vertex*>());
    Array<int32_t> position_of(n);
    auto slot = [&](const Vertex* v) {
        return static_cast<size_t>(
            std::lower_bound(by_address.begin(), by_address.end(), v, std::less<const Vertex*>()) -
            by_address.begin());
    };
    for (size_t i = 0; i < n; ++i)
        position_of[slot(vertices[i])] = static_cast<int32_t>(i);
    OutboundTargets out;
    out.first.assign(n + 1, 0);
    for (const Vertex* v : vertices) {
        for (const Edge* e = v->outn; e != nullptr; e = e->next) {
            out.target.push_back(position_of[slot(e->to)]);
            ++out.first[static_cast<size_t>(out.target.back()) + 1];
        }
    }
    return out;
}

}  // namespace

void run_kernel_over_graph(Graph* g, Parameters* p) {
    const Array<Vertex*> vertices = graph_vertices(g);
    const OutboundTargets out = outbound_targets(vertices);
    NeighbourLists lists;
    lists.n = static_cast<int32_t>(vertices.size());
    // A graph as built: every vertex keeps as many neighbours as the first.
    lists.k = vertices.empty() ? 0 : vertices[0]->outdegree;
    lists.target.assign(out.target.begin(), out.target.end());
    lists.kdist.reserve(vertices.size());
    for (const Vertex* v : vertices)
        lists.kdist.push_back(v->outf->dist);
    Verdict verdict;
    judge_lists(graph_rows(vertices, g->metric), lists, p, &verdict);
    for (size_t i = 0; i < vertices.size(); ++i) {
        vertices[i]->lof = verdict.score[i];
        // The in-degree field is the mark: an unmarked vertex nobody keeps holds 1 instead.
        const int32_t unmarked = std::max(inbound_count(vertices[i]), 1);
        vertex_indegree_set(vertices[i], verdict.marked[i] == 1 ? 0 : unmarked);
    }
}

void prune_one_way(Graph* g) {
    const Array<Vertex*> vertices = graph_vertices(g);
    const size_t n = vertices.size();
    // Every outbound record's target position in walk order, and from them every vertex's
    // keepers (the sources of its inbound records) in source order: read from the outbound
    // lists, whose records lie together, rather than from the scattered inbound records.
    const OutboundTargets out = outbound_targets(vertices);
    const Array<int32_t>& targets = out.target;
    Array<int32_t> first = out.first;
    for (size_t i = 0; i < n; ++i)
        first[i + 1] += first[i];
    Array<int32_t> keepers(targets.size());
    Array<int32_t> next_keeper(first.begin(), first.end() - 1);
    for (size_t i = 0, at = 0; i < n; ++i) {
        for (int32_t d = 0; d < vertices[i]->outdegree; ++d, ++at) {
            const size_t t = static_cast<size_t>(targets[at]);
            keepers[static_cast<size_t>(next_keeper[t]++)] = static_cast<int32_t>(i);
        }
    }
    // v keeps u exactly when u keeps v in the graph as built: an earlier removal of u → v would
    // have needed v → u to be absent. v's own list is intact until v's turn.
    Array<int32_t> kept_by(n, -1);
    for (size_t i = 0, at = 0; i < n; ++i) {
        for (int32_t j = first[i]; j < first[i + 1]; ++j)
            kept_by[static_cast<size_t>(keepers[static_cast<size_t>(j)])] = static_cast<int32_t>(i);
        Vertex* v = vertices[i];
        for (Edge* e = v->outn; e != nullptr; ++at) {
            Edge* next = e->next;  // e may go
            if (kept_by[static_cast<size_t>(targets[at])] != static_cast<int32_t>(i)) {
                free_edge(v, e);
            }
            e = next;
        }
    }
}

Verdict linked_verdict(Graph* g, const Parameters* p) {
    const LinkedRule& rule = linked_rule(p);
    Verdict verdict;
    for (Vertex* v : graph_vertices(g)) {
        verdict.lof.push_back(v->lof);
        verdict.label.push_back(v->flag);
        verdict.marked.push_back(vertex_marked(v));
        verdict.indegree.push_back(inbound_count(v));
        verdict.score.push_back(rule.score(v, p));
    }
    verdict.built_indegree = verdict.indegree;
    return verdict;
}

int32_t vertex_marked(const Vertex* v) {
    return v->indegree <= 0 ? 1 : 0;
}

int32_t inbound_count(Vertex* v) {
    int32_t count = 0;
    Iterator* it = iterate_start();
    while (iterate_vertex_inbound_edge(v, it) != nullptr)
        ++count;
    return count;
}

double ranking_score(Vertex* v, const Parameters* p) {
    return linked_rule(p).score(v, p);
}

}  // namespace tarn

namespace tarn {

void mark_most_outlying(Graph* g, const Parameters* p) {
    const LinkedRule& linked = linked_rule(p);
    const Rule& rule = selected_rule(p);
    // Scores turned so that higher is more outlying; not-a-number ones take no place.
    auto outlying = [&](Vertex* v) {
        const double score = linked.score(v, p);
        return rule.higher_is_outlying ? score : -score;
    };
    Array<double> ranked;
    ranked.reserve(static_cast<size_t>(get_nvert(g)));
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        const double score = outlying(v);
        if (!std::isnan(score)) ranked.push_back(score);
    }
    const size_t wanted = static_cast<size_t>(share_count(p->share, get_nvert(g)));
    const ShareCut cut = cut_at(ranked, std::min(wanted, ranked.size()));
    it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        const bool marked = cut.any && outlying(v) >= cut.at;
        vertex_indegree_set(v, marked ? 0 : std::max(inbound_count(v), 1));
    }
}

}  // namespace tarn
