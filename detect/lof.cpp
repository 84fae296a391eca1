#include "detect/lof.h"

#include <cmath>
#include <limits>

#include "driver/parameters.h"

namespace {

// The k-distance of u: the distance to its farthest kept neighbour.
double k_distance(const Vertex* u) {
    return u->outf->dist;
}

// Whether v's density or a neighbour's is +infinity.
bool meets_infinite_density(Vertex* v) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    if (lrd(v) == kInfinity) return true;
    // A plain walk of the outbound list, which may stop half way.
    for (Edge* e = v->outn; e != nullptr; e = e->next) {
        if (lrd(vertex_edge_to(e)) == kInfinity) return true;
    }
    return false;
}

}  // namespace

double lrd(Vertex* v) {
    double reach = 0.0;
    Iterator* it = iterate_start();
    while (Edge* e = iterate_vertex_edge(v, it)) {
        double kdist = k_distance(vertex_edge_to(e));
        // The reachability distance is the larger of the two; equal or not-a-number values
        // take the edge's own distance.
        reach += e->dist < kdist ? kdist : e->dist;
    }
    return 1 / (reach / static_cast<double>(v->outdegree));
}

double lof(Graph* /*g*/, Vertex* v) {
    double lrdv = lrd(v);
    double lrdknn = 0.0;
    Iterator* it = iterate_start();
    while (Edge* e = iterate_vertex_edge(v, it))
        lrdknn += lrd(vertex_edge_to(e));
    return (lrdknn / lrdv) / static_cast<double>(v->outdegree);
}

int32_t lof_main(Graph* g, Parameters* p) {
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        v->lof = lof(g, v);
        if (v->lof > p->th) vertex_indegree_set(v, 0);
    }
    return 0;
}

namespace tarn {

DuplicateScores duplicate_scores(Graph* g) {
    DuplicateScores counts{0, 0};
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        if (std::isfinite(v->lof) || !meets_infinite_density(v)) continue;
        if (std::isnan(v->lof)) {
            ++counts.nan;
        } else if (v->lof > 0) {
            ++counts.inf;
        }
    }
    return counts;
}

}  // namespace tarn
