#include "detect/construct.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

namespace tarn {

PROGRESSFN construction_progress = nullptr;

namespace {

// What construction_progress is told: how many sources are final, at most about 256 times a
// run. Not always from the calling thread: within a search only worker 0 reports, and when the
// next chunk is searched ahead worker 0 is the thread that searches it. The closing report comes
// from the calling thread after the workers are joined. So report runs on one thread at a time,
// the turns ordered by the thread starts and joins between them, and next_ needs no lock.
class ConstructionProgress {
public:
    explicit ConstructionProgress(int32_t total) : total_(total), step_(total / 256 + 1) {}
    void report(int32_t done) {
        if (construction_progress == nullptr || done < next_) return;
        construction_progress(done, total_);
        next_ = done + step_;
    }

private:
    int32_t total_;
    int32_t step_;
    int32_t next_ = 0;
};

// Searches the sources of one chunk, in the search's order, in groups handed out in turn to
// up to `threads` threads. Returns the distances evaluated.
int64_t search_chunk(NeighbourSearch& search, const int32_t* sources, int32_t count,
                     Mirror* mirrors, int32_t done_before, int32_t threads,
                     ConstructionProgress& progress) {
    std::atomic<int32_t> done{done_before};
    std::atomic<int64_t> evaluations{0};
    auto body = [&](int32_t worker, int32_t begin, int32_t end) {
        evaluations += search.search(worker, sources + begin, end - begin, mirrors + begin);
        const int32_t finished = done.fetch_add(end - begin) + (end - begin);
        if (worker == 0) progress.report(finished);
    };
    for_each_range(count, search.group(), threads, body);
    return evaluations;
}

// Sources ahead of the one being written whose targets are fetched.
constexpr int32_t kAhead = 4;

void prefetch_targets(const Array<Vertex*>& vertices, const Mirror& m) {
    for (int32_t i = 0; i < m.count; ++i)
        __builtin_prefetch(vertices[static_cast<size_t>(m.kept[i].target)]);
}

void prefetch_tails(const Array<Vertex*>& vertices, const Mirror& m) {
    for (int32_t i = 0; i < m.count; ++i) {
        if (const Edge* tail = vertices[static_cast<size_t>(m.kept[i].target)]->inf) {
            __builtin_prefetch(tail);
        }
    }
}

// Writes a chunk's mirrors into the graph, in vertex order, each list appended in its final
// order: every inbound list grows in source order, as under the per-pair construction. The
// targets lie anywhere in memory: a later source's targets, then their inbound tails, are
// fetched while one is written.
class GraphSink final : public ListSink {
public:
    GraphSink(Graph* graphp, const Array<Vertex*>& vertices)
        : graph_(graphp), vertices_(vertices) {}
    bool in_source_order() const override { return true; }
    void write(const int32_t* sources, const Mirror* mirrors, int32_t count) override {
        // The chunk's sources are consecutive; list them by vertex.
        const int32_t first = *std::min_element(sources, sources + count);
        by_vertex_.resize(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i)
            by_vertex_[static_cast<size_t>(sources[i] - first)] = &mirrors[i];
        for (int32_t i = 0; i < count; ++i) {
            if (i + 2 * kAhead < count) prefetch_targets(vertices_, mirror(i + 2 * kAhead));
            if (i + kAhead < count) prefetch_tails(vertices_, mirror(i + kAhead));
            const Mirror& m = mirror(i);
            Vertex* from = vertices_[static_cast<size_t>(first + i)];
            for (int32_t e = 0; e < m.count; ++e) {
                append_edge(graph_, from, vertices_[static_cast<size_t>(m.kept[e].target)],
                            m.kept[e].dist);
            }
            from->largest_dist = m.largest;
        }
    }

private:
    const Mirror& mirror(int32_t i) const { return *by_vertex_[static_cast<size_t>(i)]; }

    Graph* graph_;
    const Array<Vertex*>& vertices_;
    Array<const Mirror*> by_vertex_;
};

// One chunk's sources and the mirrors of their outbound lists, k entries each.
struct ChunkMirrors {
    ChunkMirrors(int32_t chunk, int32_t k)
        : storage(static_cast<size_t>(chunk) * static_cast<size_t>(k)),
          mirrors(static_cast<size_t>(chunk)),
          sources(static_cast<size_t>(chunk)),
          k_(k) {}
    // Takes the sources of order[first, last) with empty mirrors; returns their count.
    int32_t fill(const int32_t* order, int32_t first, int32_t last) {
        for (int32_t i = first; i < last; ++i) {
            const size_t at = static_cast<size_t>(i - first);
            mirrors[at] = {storage.data() + at * static_cast<size_t>(k_), 0, 0.0};
            sources[at] = order[i];
        }
        return last - first;
    }
    // Each worker writes its own at every group: on cache lines no other worker's share.
    OwnLinesArray<Kept> storage;
    OwnLinesArray<Mirror> mirrors;
    OwnLinesArray<int32_t> sources;

private:
    int32_t k_;
};

// Runs a search on a thread of its own while the calling thread writes. The thread fails like
// the one that started it; finish() waits and passes its failure on. Left without finish()
// (the writer failed), it still waits, and the writer's failure is the one that counts. Where
// no thread can be had, the search runs at finish().
template <class Search>
class AheadSearch {
public:
    explicit AheadSearch(Search& search) : search_(search) {
        const bool throwing = AllocationFailuresThrow::active();
        try {
            thread_ = std::thread([this, throwing]() {
                std::optional<AllocationFailuresThrow> scope;
                if (throwing) scope.emplace();
                try {
                    search_();
                } catch (...) {
                    failure_ = std::current_exception();
                }
            });
        } catch (const std::exception&) {
            // No thread (system_error, bad_alloc): the search waits for finish().
        }
    }
    AheadSearch(const AheadSearch&) = delete;
    AheadSearch& operator=(const AheadSearch&) = delete;
    ~AheadSearch() {
        if (thread_.joinable()) thread_.join();
    }
    void finish() {
        if (!thread_.joinable()) {
            search_();
            return;
        }
        thread_.join();
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    Search& search_;
    std::thread thread_;
    std::exception_ptr failure_;
};

void add_evaluations(Graph* graphp, int64_t evaluations) {
    const int64_t total = graphp->dist_calculations + evaluations;
    graphp->dist_calculations =
        static_cast<int32_t>(std::min<int64_t>(total, std::numeric_limits<int32_t>::max()));
}

// Searches every source of order, in that order, in groups handed out in turn to up to
// `threads` threads; each worker writes its groups into sink, which keeps each source's list
// apart, right after searching them. No chunk boundary stops the workers, and the mirrors are
// one group's per worker. Searching on a thread of its own per chunk, as the linked graph's
// overlap does, slows every search down (measured: a third more time per search at a million
// points). Returns the distances evaluated.
int64_t search_into(NeighbourSearch& search, const Array<int32_t>& order, int32_t k,
                    int32_t threads, ListSink& sink) {
    const int32_t total = static_cast<int32_t>(order.size());
    const int32_t group = search.group();
    Array<ChunkMirrors> workers;
    workers.reserve(static_cast<size_t>(threads));
    for (int32_t w = 0; w < threads; ++w)
        workers.emplace_back(group, k);
    search.prepare(threads);
    sink.start();
    ConstructionProgress progress(total);
    std::atomic<int32_t> done{0};
    std::atomic<int64_t> evaluations{0};
    auto body = [&](int32_t worker, int32_t begin, int32_t end) {
        ChunkMirrors& mirrors = workers[static_cast<size_t>(worker)];
        const int32_t count = mirrors.fill(order.data(), begin, end);
        evaluations += search.search(worker, mirrors.sources.data(), count, mirrors.mirrors.data());
        sink.write(mirrors.sources.data(), mirrors.mirrors.data(), count);
        const int32_t finished = done.fetch_add(count) + count;
        if (worker == 0) progress.report(finished);
    };
    for_each_range(total, group, threads, body);
    progress.report(total);
    return evaluations;
}

}  // namespace

FlatListSink::FlatListSink(NeighbourLists& lists, int32_t n, int32_t k, SourceBlock block)
    : lists_(lists), first_(block.first) {
    lists_.n = block.last < 0 ? n : block.last - block.first;
    lists_.k = k;
}

void FlatListSink::start() {
    const size_t entries = static_cast<size_t>(lists_.n) * static_cast<size_t>(lists_.k);
    lists_.target.resize(entries);
    lists_.kdist.resize(static_cast<size_t>(lists_.n));
}

void FlatListSink::write(const int32_t* sources, const Mirror* mirrors, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const Mirror& m = mirrors[i];
        assert(m.count == lists_.k);  // every entry of the unfilled lists is written
        const int32_t row = sources[i] - first_;
        size_t at = lists_.at(row);
        for (int32_t e = 0; e < m.count; ++e, ++at)
            lists_.target[at] = m.kept[e].target;
        lists_.kdist[static_cast<size_t>(row)] = m.kept[m.count - 1].dist;
    }
}

void FlatListSink::searched(Array<int32_t>& order) {
    if (std::is_sorted(order.begin(), order.end())) return;
    for (int32_t& source : order)
        source -= first_;
    lists_.order = std::move(order);
}

void NeighbourSearch::order(int32_t* /*sources*/, int32_t /*count*/) const {}

Array<Vertex*> graph_vertices(Graph* graphp) {
    Array<Vertex*> vertices;
    // Reserved before the walk, so that no allocation can fail while a cursor is open.
    vertices.reserve(static_cast<size_t>(get_nvert(graphp)));
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(graphp, it))
        vertices.push_back(v);
    return vertices;
}

Rows graph_rows(const Array<Vertex*>& vertices, Metric metric) {
    Rows rows;
    rows.metric = metric;
    rows.row.reserve(vertices.size());
    for (Vertex* v : vertices)
        rows.row.push_back(v->vector->vector);
    rows.features = vertices.empty() ? 0 : vertices[0]->vector->dim - 1;
    return rows;
}

Rows set_rows(HFSET set, Metric metric) {
    const HFV* vectors = fvsGetVectorBuff(set);
    Rows rows;
    rows.metric = metric;
    rows.row.resize(static_cast<size_t>(fvsGetSize(set)));
    for (size_t i = 0; i < rows.size(); ++i)
        rows.row[i] = vectors[i]->vector;
    rows.features = rows.size() > 0 ? fvGetDim(vectors[0]) - 1 : 0;
    return rows;
}

void build_neighbours(Graph* graphp, const Array<Vertex*>& vertices, int32_t k, int32_t threads,
                      size_t chunk_entries, NeighbourSearch& search, SourceBlock block) {
    GraphSink sink(graphp, vertices);
    add_evaluations(graphp, build_lists(static_cast<int32_t>(vertices.size()), k, threads,
                                        chunk_entries, search, sink, block));
}

int64_t build_lists(int32_t vectors, int32_t k, int32_t threads, size_t chunk_entries,
                    NeighbourSearch& search, ListSink& sink, SourceBlock block) {
    const int32_t n = block.last < 0 ? vectors : block.last;
    const int32_t total = n - block.first;
    const size_t per_chunk = std::max<size_t>(chunk_entries / static_cast<size_t>(k), 1);
    const int32_t chunk =
        static_cast<int32_t>(std::min<size_t>(per_chunk, size_t(std::max(total, 1))));
    // The sources in the order they are searched: a sink in source order gets chunks of
    // consecutive sources, each chunk in the search's order; any other sink gets every source
    // in the search's order, so that consecutive searches meet the same data.
    Array<int32_t> order(static_cast<size_t>(std::max(total, 0)));
    for (int32_t i = 0; i < total; ++i)
        order[static_cast<size_t>(i)] = block.first + i;
    if (!sink.in_source_order()) return build_lists_of(k, threads, search, sink, std::move(order));
    // Two chunks' mirrors: with more than one thread the next chunk is searched while this one
    // is written into the graph. The chunks are still written one after the other, so the lists
    // are the same.
    const bool overlapped = threads > 1 && total > chunk;
    ChunkMirrors chunks[2] = {ChunkMirrors(chunk, k), ChunkMirrors(overlapped ? chunk : 0, k)};
    search.prepare(threads);
    sink.start();
    ConstructionProgress progress(total);
    int64_t evaluations = 0;
    int32_t counts[2] = {0, 0};
    auto search_from = [&](int32_t slot, int32_t first) {
        ChunkMirrors& mirrors = chunks[slot];
        counts[slot] = mirrors.fill(order.data(), first, std::min(total, first + chunk));
        search.order(mirrors.sources.data(), counts[slot]);
        evaluations += search_chunk(search, mirrors.sources.data(), counts[slot],
                                    mirrors.mirrors.data(), first, threads, progress);
    };
    auto write = [&](int32_t slot) {
        sink.write(chunks[slot].sources.data(), chunks[slot].mirrors.data(), counts[slot]);
    };
    int32_t current = 0;
    if (total > 0) search_from(0, 0);
    for (int32_t first = 0; first < total; first += chunk) {
        const int32_t last = std::min(total, first + chunk);
        const int32_t next = overlapped ? current ^ 1 : current;
        if (last < total && overlapped) {
            auto search_next = [&]() { search_from(next, last); };
            AheadSearch ahead(search_next);
            write(current);
            ahead.finish();
        } else {
            write(current);
            if (last < total) search_from(next, last);
        }
        current = next;
    }
    progress.report(total);
    return evaluations;
}

int64_t build_lists_of(int32_t k, int32_t threads, NeighbourSearch& search, ListSink& sink,
                       Array<int32_t> sources) {
    assert(!sink.in_source_order());
    search.order(sources.data(), static_cast<int32_t>(sources.size()));
    const int64_t evaluations = search_into(search, sources, k, threads, sink);
    sink.searched(sources);
    return evaluations;
}

}  // namespace tarn
