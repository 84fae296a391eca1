#include "detect/lof.h"

#include <cmath>
#include <limits>

#include "base/parameters.h"
#include "detect/construct.h"

namespace {

// The k-distance of u: the distance to its farthest kept neighbour.
double k_distance(const Vertex* u) {
    return u->outf->dist;
}

// The density of v as lrd defines it, its outbound list walked from the nearest record.
double density(const Vertex* v) {
    double reach = 0.0;
    for (const Edge* e = v->outn; e != nullptr; e = e->next) {
        const double kdist = k_distance(e->to);
        // The reachability distance is the larger of the two; equal or not-a-number values
        // take the edge's own distance.
        reach += e->dist < kdist ? kdist : e->dist;
    }
    return 1 / (reach / static_cast<double>(v->outdegree));
}

// The factor of v as lof defines it, with the density of each vertex from density_of: the
// neighbours' densities summed in list order, divided by v's own, then by the out-degree.
template <typename DensityOf>
double factor(const Vertex* v, DensityOf density_of) {
    const double own = density_of(v);
    double sum = 0.0;
    for (const Edge* e = v->outn; e != nullptr; e = e->next)
        sum += density_of(e->to);
    return (sum / own) / static_cast<double>(v->outdegree);
}

// Whether v's density or a neighbour's is +infinity.
bool meets_infinite_density(const Vertex* v) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    if (density(v) == kInfinity) return true;
    for (const Edge* e = v->outn; e != nullptr; e = e->next) {
        if (density(e->to) == kInfinity) return true;
    }
    return false;
}

}  // namespace

double lrd(Vertex* v) {
    return density(v);
}

double lof(Graph* /*g*/, Vertex* v) {
    return factor(v, density);
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
