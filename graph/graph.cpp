#include "graph/graph.h"

#include <sys/mman.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>

#include "driver/util.h"

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace {

// Cursors of ended walks, kept for the next walks on the same thread: the local outlier factor
// alone walks n × (k + 1) times, and a walk that finds its cursor here allocates nothing, so it
// cannot fail (tarn::reserve_cursors). A cached cursor is poisoned under AddressSanitizer like
// a released one.
class CursorCache {
public:
    ~CursorCache() {
        while (Iterator* itep = take())
            std::free(itep);
    }
    Iterator* take() {
        if (count_ == 0) return nullptr;
        Iterator* itep = slots_[--count_];
        ASAN_UNPOISON_MEMORY_REGION(itep, sizeof(Iterator));
        return itep;
    }
    bool give(Iterator* itep) {
        if (count_ == kSlots) return false;
        ASAN_POISON_MEMORY_REGION(itep, sizeof(Iterator));
        slots_[count_++] = itep;
        return true;
    }
    int32_t count() const { return count_; }

private:
    static constexpr int32_t kSlots = 8;
    Iterator* slots_[kSlots] = {};
    int32_t count_ = 0;
};

thread_local CursorCache cursor_cache;

// Ends a cursor's life: back to the cache, or released when the cache is full.
void release_cursor(Iterator* itep) {
    if (!cursor_cache.give(itep)) std::free(itep);
}

// The one link and unlink pair behind the vertex list and both edge lists. A list is given by
// its holder's head and tail pointers; nodes carry next and prev; the ends are null.

// Links node into the list right after `after`, or at the head when `after` is null.
template <typename Node>
void link_after(Node*& head, Node*& tail, Node* after, Node* node) {
    node->prev = after;
    node->next = after != nullptr ? after->next : head;
    if (node->next != nullptr)
        node->next->prev = node;
    else
        tail = node;
    if (after != nullptr)
        after->next = node;
    else
        head = node;
}

// Takes node out of the list, joining its neighbours and moving the ends as needed. The node's
// own links are left as they were.
template <typename Node>
void unlink(Node*& head, Node*& tail, Node* node) {
    if (node->prev != nullptr)
        node->prev->next = node->next;
    else
        head = node->next;
    if (node->next != nullptr)
        node->next->prev = node->prev;
    else
        tail = node->prev;
}

// One step of an outbound or inbound walk over the list starting at head. The successor is
// taken when a record is handed out, so the caller may remove that record before the next
// step. The step that finds nothing releases the cursor.
Edge* step_edge_list(Edge* head, Iterator* itep) {
    Edge* candidate = itep->curedge == nullptr ? head : itep->succedge;
    if (candidate == nullptr) {
        release_cursor(itep);
        return nullptr;
    }
    itep->curedge = candidate;
    itep->succedge = candidate->next;
    return candidate;
}

// Vertex and edge records come from process-wide pools instead of an allocation each. A run
// holds n vertices and n × k edge pairs, millions on big files; carved from large slabs that ask
// for transparent huge pages, they cost no allocator header, no call and almost no page faults.
// A freed record goes on its pool's free list, linked through its own next field; when the last
// live record of a pool is freed, every slab of it is released, so a process that has released
// its graphs holds nothing. Under AddressSanitizer a record not in use is poisoned, so a stale
// pointer is caught as before. Like every graph mutation, the pools are single-threaded.
template <typename Record>
class RecordPool {
public:
    Record* take() {
        Record* record = free_;
        if (record != nullptr) {
            free_ = record->next;
            ASAN_UNPOISON_MEMORY_REGION(record, sizeof(Record));
        } else {
            if (newest_ == nullptr || used_ == newest_->capacity) add_slab();
            record = newest_->records() + used_++;
            ASAN_UNPOISON_MEMORY_REGION(record, sizeof(Record));
        }
        ++live_;
        return record;
    }

    void give(Record* record) {
        record->next = free_;
        free_ = record;
        // The link stays readable; the rest of the record is out of bounds until taken again.
        char* bytes = reinterpret_cast<char*>(record);
        ASAN_POISON_MEMORY_REGION(bytes, offsetof(Record, next));
        ASAN_POISON_MEMORY_REGION(bytes + offsetof(Record, prev),
                                  sizeof(Record) - offsetof(Record, prev));
        forget(1);
    }

    // Counts records as released without touching them: free_graph's records of a whole graph,
    // which no list will ever reach again. Their slots are reused once every slab is released.
    void forget(size_t records) {
        live_ -= records;
        if (live_ == 0) release();
    }

private:
    struct Slab {
        Slab* older;
        size_t capacity;  // records after the header
        Record* records() { return reinterpret_cast<Record*>(this + 1); }
    };
    static_assert(sizeof(Slab) % alignof(Record) == 0);
    static_assert(offsetof(Record, prev) == offsetof(Record, next) + sizeof(Record*),
                  "the free-list link is the one field left unpoisoned");

    static constexpr size_t kFirstSlabBytes = size_t{1} << 20;
    static constexpr size_t kLargestSlabBytes = size_t{64} << 20;

    void add_slab() {
        size_t bytes = newest_ == nullptr ? kFirstSlabBytes : slab_bytes_ * 2;
        if (bytes > kLargestSlabBytes) bytes = kLargestSlabBytes;
        auto* slab = static_cast<Slab*>(allocate(bytes, NO_INIT));
        // Advice only: where transparent huge pages are off or unsupported, nothing changes.
        hint_huge_pages(slab, bytes);
        slab->older = newest_;
        slab->capacity = (bytes - sizeof(Slab)) / sizeof(Record);
        ASAN_POISON_MEMORY_REGION(slab->records(), slab->capacity * sizeof(Record));
        newest_ = slab;
        slab_bytes_ = bytes;
        used_ = 0;
    }

    static void hint_huge_pages(void* block, size_t bytes) {
        constexpr uintptr_t kHuge = uintptr_t{2} << 20;
        const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHuge - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }

    void release() {
        while (newest_ != nullptr) {
            Slab* older = newest_->older;
            ASAN_UNPOISON_MEMORY_REGION(newest_->records(), newest_->capacity * sizeof(Record));
            std::free(newest_);
            newest_ = older;
        }
        free_ = nullptr;
        used_ = 0;
        slab_bytes_ = 0;
    }

    Slab* newest_ = nullptr;  // the slab records are carved from; older slabs are full
    size_t used_ = 0;         // records of the newest slab handed out so far
    size_t slab_bytes_ = 0;   // size of the newest slab
    Record* free_ = nullptr;  // released records, linked through next
    size_t live_ = 0;         // records taken and not yet given back or forgotten
};

RecordPool<Vertex> vertex_pool;
RecordPool<Edge> edge_pool;

}  // namespace

// ---- Graph store ----

Graph* create_graph() {
    auto* graphp = static_cast<Graph*>(allocate(sizeof(Graph), NO_INIT));
    graphp->total_vert = 0;
    graphp->dist_calculations = 0;
    graphp->top = nullptr;
    graphp->bottom = nullptr;
    graphp->metric = tarn::Metric{};
    return graphp;
}

Vertex* insert_vertex(Graph* graphp, HFV vector, int32_t id) {
    Vertex* vertp = vertex_pool.take();
    vertp->vector = vector;
    int32_t last = fvGetDim(vector) - 1;
    vertp->flag = tarn::label_of(fvGetElement(vector, last));
    fvSetElement(vector, last, 0.0);
    vertp->freq = 1;
    vertp->lof = 0.0;
    vertp->id = id;
    vertp->largest_dist = 0.0;
    vertp->outdegree = 0;
    vertp->indegree = 0;
    vertp->outn = nullptr;
    vertp->outf = nullptr;
    vertp->inn = nullptr;
    vertp->inf = nullptr;
    vertp->edge_lut = nullptr;
    link_after(graphp->top, graphp->bottom, graphp->bottom, vertp);
    ++graphp->total_vert;
    return vertp;
}

namespace {

// A new edge pair from -> to, counted in both degrees but linked into neither list.
Edge* new_edge_pair(Vertex* from, Vertex* to, double distance) {
    Edge* outbound = edge_pool.take();
    Edge* inbound;
    try {
        inbound = edge_pool.take();
    } catch (...) {
        edge_pool.give(outbound);  // allocate threw (tarn::AllocationFailuresThrow): no half pair
        throw;
    }
    for (Edge* edgep : {outbound, inbound}) {
        edgep->dist = distance;
        edgep->to = to;
        edgep->from = from;
        edgep->next = nullptr;
        edgep->prev = nullptr;
    }
    outbound->otherend = inbound;
    inbound->otherend = outbound;
    ++from->outdegree;
    ++to->indegree;
    return outbound;
}

}  // namespace

Edge* insert_edge(Graph* /*graphp*/, Vertex* from, Vertex* to, double distance) {
    Edge* outbound = new_edge_pair(from, to, distance);
    insert_outbound_edge(from, outbound);
    insert_inbound_edge(to, outbound->otherend);
    return outbound;
}

void insert_outbound_edge(Vertex* from, Edge* edgep) {
    // Pass only records the new distance strictly exceeds: equal distances and any
    // not-a-number comparison stop the walk, so the record goes in front of them.
    Edge* passed = nullptr;
    for (Edge* e = from->outn; e != nullptr && edgep->dist > e->dist; e = e->next)
        passed = e;
    link_after(from->outn, from->outf, passed, edgep);
    if (edgep->dist > from->largest_dist) from->largest_dist = edgep->dist;
}

void insert_inbound_edge(Vertex* to, Edge* edgep) {
    link_after(to->inn, to->inf, to->inf, edgep);
}

void free_edge(Vertex* vertp, Edge* edgep) {
    free_outbound_edge(vertp, edgep);
}

void free_outbound_edge(Vertex* vertp, Edge* edgep) {
    if (edgep == vertp->outf && edgep->prev != nullptr) vertp->largest_dist = edgep->prev->dist;
    --vertp->outdegree;
    unlink(vertp->outn, vertp->outf, edgep);
    // Clearing the partner's link first makes the partner's removal stop after one step.
    if (Edge* partner = edgep->otherend; partner != nullptr) {
        partner->otherend = nullptr;
        free_inbound_edge(edgep->to, partner);
    }
    edge_pool.give(edgep);
}

void free_inbound_edge(Vertex* vertp, Edge* edgep) {
    --vertp->indegree;
    unlink(vertp->inn, vertp->inf, edgep);
    if (Edge* partner = edgep->otherend; partner != nullptr) {
        partner->otherend = nullptr;
        free_outbound_edge(edgep->from, partner);
    }
    edge_pool.give(edgep);
}

void free_vertex(Graph* graphp, Vertex* vertp) {
    while (vertp->outn != nullptr)
        free_outbound_edge(vertp, vertp->outn);
    while (vertp->inn != nullptr)
        free_inbound_edge(vertp, vertp->inn);
    --graphp->total_vert;
    unlink(graphp->top, graphp->bottom, vertp);
    fvDestroy(vertp->vector);
    vertex_pool.give(vertp);
}

void free_graph(Graph* graphp) {
    // Every vertex goes, so no list needs unlinking: each pair is counted once from its source,
    // and no record at another vertex is touched.
    size_t records = 0;
    size_t vertices = 0;
    for (Vertex* vertp = graphp->top; vertp != nullptr; vertp = vertp->next) {
        records += 2 * static_cast<size_t>(vertp->outdegree);
        ++vertices;
        fvDestroy(vertp->vector);
    }
    graphp->top = nullptr;
    graphp->bottom = nullptr;
    graphp->total_vert = 0;
    edge_pool.forget(records);
    vertex_pool.forget(vertices);
}

int32_t vertex_degree(Vertex* vertp) {
    return vertp->outdegree;
}

int32_t vertex_indegree(Vertex* vertp) {
    return vertp->indegree;
}

int32_t vertex_indegree_set(Vertex* v, int32_t indegree) {
    v->indegree = indegree;
    return 0;
}

Edge* vertex_sedge(Vertex* vertp) {
    return vertp->outn;
}

Edge* vertex_ledge(Vertex* vertp) {
    return vertp->outf;
}

Vertex* vertex_edge_to(Edge* edgep) {
    return edgep->to;
}

void create_edge_lut(Vertex* vertp) {
    vertp->edge_lut = static_cast<int32_t*>(allocate(static_cast<size_t>(vertp->id) + 1, INIT));
}

void free_edge_lut(Vertex* vertp) {
    std::free(vertp->edge_lut);
    vertp->edge_lut = nullptr;
}

int32_t check_edge_lut(Vertex* vertp, int32_t id) {
    return vertp->edge_lut[id] == 1 ? 1 : 0;
}

void update_edge_lut(Vertex* vertp, int32_t id) {
    vertp->edge_lut[id] = 1;
}

int32_t get_nvert(Graph* graphp) {
    return graphp->total_vert;
}

void set_dcalc(Graph* graphp) {
    graphp->dist_calculations = 0;
}

int32_t get_dcalc(Graph* graphp) {
    return graphp->dist_calculations;
}

// ---- Graph traversal ----

Iterator* iterate_start() {
    Iterator* itep = cursor_cache.take();
    if (itep == nullptr) itep = static_cast<Iterator*>(allocate(sizeof(Iterator), NO_INIT));
    itep->curvert = nullptr;
    itep->curedge = nullptr;
    itep->succedge = nullptr;
    return itep;
}

Vertex* iterate_vertex(Graph* graphp, Iterator* itep) {
    // Reads curvert->next at step time, so a vertex preset by find_next_edge is continued from.
    Vertex* candidate = itep->curvert == nullptr ? graphp->top : itep->curvert->next;
    if (candidate == nullptr) {
        release_cursor(itep);
        return nullptr;
    }
    itep->curvert = candidate;
    return candidate;
}

Edge* iterate_vertex_edge(Vertex* vertp, Iterator* itep) {
    return step_edge_list(vertp->outn, itep);
}

Edge* iterate_vertex_inbound_edge(Vertex* vertp, Iterator* itep) {
    return step_edge_list(vertp->inn, itep);
}

Edge* iterate_all_edges(Graph* graphp, Iterator* itep) {
    Edge* candidate;
    if (itep->curedge == nullptr)
        candidate = find_next_edge(graphp, nullptr);
    else if (itep->curedge->next != nullptr)
        candidate = itep->curedge->next;
    else
        candidate = find_next_edge(graphp, itep->curedge->from);
    if (candidate == nullptr) {
        release_cursor(itep);
        return nullptr;
    }
    itep->curedge = candidate;
    return candidate;
}

Edge* iterate_edge(Graph* graphp, Iterator* itep) {
    Edge* candidate = nullptr;
    if (itep->curedge == nullptr) {
        if (graphp->top != nullptr) candidate = graphp->top->outn;
    } else if (itep->curedge->next != nullptr) {
        candidate = itep->curedge->next;
    } else if (itep->curedge->from->next != nullptr) {
        candidate = itep->curedge->from->next->outn;
    }
    if (candidate == nullptr) {
        release_cursor(itep);
        return nullptr;
    }
    itep->curedge = candidate;
    return candidate;
}

Edge* find_next_edge(Graph* graphp, Vertex* vertp) {
    Iterator* itep = iterate_start();
    itep->curvert = vertp;
    while (Vertex* candidate = iterate_vertex(graphp, itep)) {
        if (candidate->outn != nullptr) {
            release_cursor(itep);
            return candidate->outn;
        }
    }
    return nullptr;
}

int32_t isedge(Vertex* fromp, Vertex* top) {
    Iterator* itep = iterate_start();
    while (Edge* edgep = iterate_vertex_edge(fromp, itep)) {
        if (vertex_edge_to(edgep) == top) {
            release_cursor(itep);
            return 1;
        }
    }
    return 0;
}

void print_graph(Graph* graphp) {
    Iterator* itep = iterate_start();
    while (Vertex* vertp = iterate_vertex(graphp, itep))
        print_vertex(vertp);
}

void print_vertex(Vertex* vertp) {
    fvPrint(stdout, vertp->vector);
    std::printf(" %d %f ", vertp->flag, vertp->lof);
    std::printf("\n");
}

// ---- Neighbour distance ----

double cdist(Graph* graphp, Vertex* from, Vertex* to) {
    // The counter is 32 bits wide; from 46,341 vectors on a run makes more evaluations than it
    // can hold, so it stops at its largest value instead of overflowing.
    if (graphp->dist_calculations < std::numeric_limits<int32_t>::max()) {
        ++graphp->dist_calculations;
    }
    // The label's place is 0 in both vectors and changes no metric's bits.
    return tarn::metric_distance(graphp->metric, from->vector->vector, to->vector->vector,
                                 from->vector->dim);
}

namespace tarn {

int32_t label_of(double value) {
    constexpr double kBelowMin = -2147483649.0;  // truncates below INT32_MIN
    constexpr double kAboveMax = 2147483648.0;   // truncates above INT32_MAX
    if (std::isnan(value)) return 0;
    if (value <= kBelowMin) return std::numeric_limits<int32_t>::min();
    if (value >= kAboveMax) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

Edge* append_edge(Graph* /*graphp*/, Vertex* from, Vertex* to, double distance) {
    Edge* outbound = new_edge_pair(from, to, distance);
    link_after(from->outn, from->outf, from->outf, outbound);
    insert_inbound_edge(to, outbound->otherend);
    return outbound;
}

void reserve_cursors(int32_t count) {
    while (cursor_cache.count() < count) {
        if (!cursor_cache.give(static_cast<Iterator*>(allocate(sizeof(Iterator), NO_INIT)))) break;
    }
}

}  // namespace tarn
