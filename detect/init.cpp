#include "detect/init.h"

#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "detect/budget.h"
#include "detect/kdtree.h"
#include "detect/knn.h"
#include "detect/lof.h"
#include "vectors/fvector.h"

namespace {

// Ends a run that cannot produce a report; nothing has been printed to standard output yet.
[[noreturn]] void stop_run() {
    std::exit(-1);
}

// "-" names standard input, as with other Unix tools; a file called "-" is read as "./-".
bool is_standard_input(const char* name) {
    return std::strcmp(name, "-") == 0;
}

const char* input_name(const char* name) {
    return is_standard_input(name) ? "standard input" : name;
}

HFSET load_input(const char* name) {
    return is_standard_input(name) ? fvsLoadStream(stdin, input_name(name)) : fvsLoad(name);
}

// Hands every vector of the set to a vertex of its own, ids 0 … n − 1 in file order, and
// releases what is left of the set. The vectors move rather than being copied, so that a big
// input is never held twice.
void insert_vertices(Graph* graphp, HFSET set) {
    for (int32_t i = 0; i < fvsGetSize(set); ++i)
        insert_vertex(graphp, fvsGetVector(set, i + 1), i);
    // The vertices own the vectors now: only the set's slots and record remain to release.
    std::free(fvsGetVectorBuff(set));
    std::free(set);
}

void check_neighbourhood(int32_t k, int32_t n) {
    if (k >= n) {
        std::printf("Neighbourhood value is %d too BIG!, it should be smaller than %d\n", k, n);
        stop_run();
    }
    if (k < 1) {
        std::printf("Neighbourhood value is %d too small!, it should be at least 1\n", k);
        stop_run();
    }
}

// The loader accepts later lines with more values; for the detector that would put the label
// and the features of different vectors in different columns, so every vector must match the
// first one.
void check_dimensions(Graph* graphp) {
    const int32_t first = fvGetDim(graphp->top->vector);
    int32_t position = 0;
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(graphp, it)) {
        ++position;
        int32_t dim = fvGetDim(v->vector);
        if (dim != first) {
            std::printf("Vector %d has %d values, the first vector has %d\n", position, dim, first);
            stop_run();
        }
    }
}

// A graph that cannot fit stops the run now rather than when the system runs out of memory.
// Where the available memory cannot be read, nothing is checked.
void check_memory(int32_t n, int32_t dim, int32_t k) {
    const GraphNeed need = graph_need(n, dim, k);
    const MemoryLimit limit = memory_limit();
    if (limit.bytes < 0 || graph_fits(need, limit.bytes)) return;
    constexpr double kMiB = 1024.0 * 1024.0;
    std::printf("The graph needs %.0f MiB of memory, but only %.0f MiB are available%s\n",
                (need.vectors + need.edges) / kMiB, (need.vectors + limit.bytes) / kMiB,
                limit.where);
    stop_run();
}

// The threads a construction gets: as asked, one per online processor for 0, and never more
// than a machine could sensibly run.
int32_t construction_threads(int32_t asked) {
    constexpr int32_t kMostThreads = 256;
    if (asked == 0) asked = static_cast<int32_t>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    return std::min(asked, kMostThreads);
}

void run_rule(Graph* graphp, Parameters* p) {
    if (p->mknn == 1) {
        mknn(graphp);
    } else if (p->meanin == 1) {
        meanin(graphp, p);
    } else if (p->maxin == 1) {
        maxin(graphp, p);
    } else if (p->lof == 1) {
        lof_main(graphp, p);
    } else {
        kill_unwated_vertexes(graphp, p);
    }
}

// The measure of one vertex under the incoming-distance rules.
using IncomingMeasure = double (*)(Vertex* v, int32_t k);

double max_measure(Vertex* v, int32_t /*k*/) {
    return maxincoming(v);
}
double mean_measure(Vertex* v, int32_t k) {
    return meanincoming(v, k);
}

// Marks every vertex whose factor × measure exceeds the threshold. The factor is the integer
// quotient k / in-degree, so a vertex kept by more than k others gets factor 0.
void incoming_rule(Graph* g, Parameters* p, IncomingMeasure measure) {
    const double threshold = calcthreshold(g, p->th);
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        int32_t d = vertex_indegree(v);
        if (d == 0) continue;  // already marked
        double factor = static_cast<double>(p->k / d);
        double value = factor * measure(v, p->k);
        if (value > threshold) vertex_indegree_set(v, 0);
    }
}

}  // namespace

PROGRESSFN construction_progress = nullptr;

Graph* init(Parameters* p) {
    Graph* graphp = create_graph();
    HFSET set = load_input(p->instr);
    if (set == nullptr) {
        std::printf("Cannot load vectors from %s\n", input_name(p->instr));
        stop_run();
    }
    insert_vertices(graphp, set);
    check_neighbourhood(p->k, get_nvert(graphp));
    check_dimensions(graphp);
    check_memory(get_nvert(graphp), fvGetDim(graphp->top->vector), p->k);
    if (p->index == 1) {
        create_edges_indexed(graphp, p->k, construction_threads(p->threads));
    } else {
        create_edges_fast(graphp, p->k, construction_threads(p->threads));
    }
    run_rule(graphp, p);
    return graphp;
}

void create_edges(Graph* graphp, int32_t k) {
    const int32_t total = get_nvert(graphp);
    const int32_t step = total / 256 + 1;
    int32_t done = 0;
    Iterator* sources = iterate_start();
    while (Vertex* fromptr = iterate_vertex(graphp, sources)) {
        Iterator* targets = iterate_start();
        while (Vertex* toptr = iterate_vertex(graphp, targets)) {
            calculate_edge(graphp, fromptr, toptr, k);
        }
        ++done;
        if (construction_progress != nullptr && (done % step == 0 || done == total)) {
            construction_progress(done, total);
        }
    }
}

void calculate_edge(Graph* graphp, Vertex* fromptr, Vertex* toptr, int32_t k) {
    if (fromptr == toptr) return;
    if (fromptr->outdegree < k) {
        insert_edge(graphp, fromptr, toptr, cdist(graphp, fromptr, toptr));
        return;
    }
    double d = cdist(graphp, fromptr, toptr);
    if (d < fromptr->outf->dist) {
        free_edge(fromptr, fromptr->outf);
        insert_edge(graphp, fromptr, toptr, d);
    }
}

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
    incoming_rule(g, p, max_measure);
}

void meanin(Graph* g, Parameters* p) {
    incoming_rule(g, p, mean_measure);
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
