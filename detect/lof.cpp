#include "detect/lof.h"

#include "driver/parameters.h"

namespace {

// The k-distance of u: the distance to its farthest kept neighbour.
double k_distance(const Vertex* u) {
    return u->outf->dist;
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
