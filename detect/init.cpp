#include "detect/init.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/parameters.h"
#include "detect/budget.h"
#include "detect/construct.h"
#include "detect/core.h"
#include "vectors/arena.h"
#include "vectors/fvector.h"
#include "vectors/table.h"

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

// Loads p->instr in the format p asks for, keeping the names in *names. A compressed input may
// decompress to no more than the memory the process can still have.
HFSET load_input(Parameters* p, tarn::VectorArena* arena, TableNames* names) {
    const TableFormat format = tarn::input_format(p, arena);
    // The vectors, too, stay within what the process can have: endless input is refused.
    if (arena != nullptr) arena->limit(format.memory);
    const char* name = p->instr;
    return is_standard_input(name) ? tableLoadStream(stdin, input_name(name), &format, names)
                                   : tableLoad(name, &format, names);
}

// Hands every vector of the set to a vertex of its own, ids 0 … n − 1 in file order, and
// releases what is left of the set. The vectors move rather than being copied, so that a big
// input is never held twice.
void insert_vertices(Graph* graphp, HFSET set) {
    for (int32_t i = 0; i < fvsGetSize(set); ++i)
        insert_vertex(graphp, fvsGetVector(set, i + 1), i);
    fvsDestroyHandedOn(set);
}

}  // namespace

namespace tarn {

TableFormat input_format(const Parameters* p, VectorArena* arena) {
    return TableFormat{.kind = p->format,
                       .label = p->label_column,
                       .features = p->feature_columns,
                       .threads = worker_threads(p->threads),
                       .arena = arena,
                       .memory = memory_limit().bytes,
                       .skip = p->skip,
                       .header = p->header,
                       .missing = p->missing,
                       .decimal = p->decimal,
                       .id = p->id_column};
}

void tell_load(const Parameters* p, bool loaded, const TableNames& names) {
    if (!loaded && !names.why.empty()) std::fprintf(stderr, "%s\n", names.why.c_str());
    if (loaded && !names.warning.empty()) std::fprintf(stderr, "tarn: %s\n", names.warning.c_str());
    if (loaded && names.dropped > 0) {
        std::fprintf(stderr, "tarn: %lld %s left out (--na drop)\n",
                     static_cast<long long>(names.dropped),
                     names.dropped == 1 ? "row with a missing value" : "rows with missing values");
    }
    if (!loaded) std::printf("Cannot load vectors from %s\n", input_name(p->instr));
}

HFSET load_vectors(Parameters* p, VectorArena* arena) {
    TableNames unkept;
    TableNames* names = p->names != nullptr ? p->names : &unkept;
    HFSET set = load_input(p, arena, names);
    tell_load(p, set != nullptr, *names);
    return set;
}

}  // namespace tarn

Graph* init(Parameters* p) {
    Graph* graphp = create_graph();
    HFSET set = tarn::load_vectors(p);
    if (set == nullptr) stop_run();
    insert_vertices(graphp, set);
    if (std::optional<tarn::Error> failure = tarn::detect_graph(graphp, p)) {
        std::fputs(failure->message.c_str(), stdout);
        stop_run();
    }
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
        if (tarn::construction_progress != nullptr && (done % step == 0 || done == total)) {
            tarn::construction_progress(done, total);
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
