#include "detect/reference.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "base/workers.h"
#include "detect/construct.h"
#include "detect/kdtree.h"
#include "graph/metric.h"

namespace tarn {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Reference vectors in a leaf of the tree.
constexpr int32_t kLeafSize = 8;
// Queries a worker takes at a time; each range's inbound records are kept apart until the end.
constexpr int32_t kQueryGrain = 512;

// The distance every builder computes between two rows in the rows' metric, bit for bit, in
// either order.
double measure(const Rows& rows, const double* a, const double* b) {
    return metric_distance(rows.metric, a, b, rows.features);
}

// A cell of the tree over the reference: its vectors order[begin … end), their bounding box,
// and the largest k-distance among them, beyond which no reference keeps a query.
struct Cell {
    int32_t begin;
    int32_t end;
    int32_t low = -1;  // children, -1 for a leaf
    int32_t high = -1;
    double reach = 0.0;
    bool equal = false;  // a leaf of equal vectors, in ascending order
};

class Tree {
public:
    Tree(const Rows& reference, const NeighbourLists& lists, int32_t workers)
        : rows_(reference), lists_(lists), dim_(static_cast<size_t>(reference.features)) {
        order_.resize(reference.size());
        for (size_t i = 0; i < order_.size(); ++i)
            order_[i] = static_cast<int32_t>(i);
        const int32_t n = static_cast<int32_t>(order_.size());
        // The top levels on this thread, then their subtrees on the workers, spliced in order.
        int32_t levels = 0;
        while (workers > 1 && n > kParallelFrom && (1 << levels) < 4 * workers)
            ++levels;
        Array<Subtree> subtrees;
        split(0, n, own_, levels, &subtrees);
        auto build = [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t t = begin; t < end; ++t) {
                Subtree& sub = subtrees[static_cast<size_t>(t)];
                split(sub.begin, sub.end, sub.cells, 0, nullptr);
            }
        };
        for_each_range(static_cast<int32_t>(subtrees.size()), 1, workers, build);
        for (Subtree& sub : subtrees)
            splice(sub);
    }

    // A lower bound of the distance from q to any vector of the cell, as measure computes it
    // (graph/metric.h): never above the distance to a vector inside.
    double bound(const double* q, int32_t cell) const {
        const double* lo = corner(cell);
        return metric_box_bound(rows_.metric, q, lo, lo + dim_, rows_.features);
    }

    // The queries' positions in the order of the leaves they fall into.
    Array<int32_t> order_of(const Rows& queries, int32_t workers) const {
        Array<std::pair<int32_t, int32_t>> leaf(queries.size());
        auto descend = [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t i = begin; i < end; ++i) {
                const double* x = queries[static_cast<size_t>(i)];
                int32_t c = 0;
                while (cell(c).low >= 0)
                    c = low_first(x, c) ? cell(c).low : cell(c).high;
                leaf[static_cast<size_t>(i)] = {c, i};
            }
        };
        for_each_range(static_cast<int32_t>(queries.size()), kQueryGrain, workers, descend);
        std::sort(leaf.begin(), leaf.end());
        Array<int32_t> order(queries.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = leaf[i].second;
        return order;
    }

    const Cell& cell(int32_t c) const { return own_.cell[static_cast<size_t>(c)]; }
    int32_t member(int32_t at) const { return order_[static_cast<size_t>(at)]; }
    // Which child of an inner cell q lies nearer to, by the split component.
    bool low_first(const double* q, int32_t c) const {
        const Cell& inner = cell(c);
        const size_t axis = own_.axis[static_cast<size_t>(c)];
        return q[axis] <= corner(inner.low)[dim_ + axis];
    }

private:
    // Cells, each with its split component and its box, in the order they are made.
    struct Cells {
        Array<Cell> cell;
        Array<size_t> axis;
        Array<double> box;  // per cell the lowest, then the highest, value of each component
    };
    // A subtree built apart: its range of the order and its cells, indexed from its root; the
    // inner cell (of own_) whose child it is.
    struct Subtree {
        int32_t begin;
        int32_t end;
        int32_t parent;
        bool low;
        Cells cells;
    };
    // References below this count build their tree on one thread.
    static constexpr int32_t kParallelFrom = 1 << 16;

    const double* corner(int32_t cell) const {
        return own_.box.data() + static_cast<size_t>(cell) * 2 * dim_;
    }

    // The cell of order_[begin … end) into cells and its subtree; `levels` levels down, with
    // subtrees given, the children's ranges are left to be built apart.
    int32_t split(int32_t begin, int32_t end, Cells& cells, int32_t levels,
                  Array<Subtree>* subtrees) {
        const int32_t at = static_cast<int32_t>(cells.cell.size());
        cells.cell.push_back({begin, end});
        cells.axis.push_back(0);
        cells.box.resize(cells.box.size() + 2 * dim_);
        double* lo = cells.box.data() + static_cast<size_t>(at) * 2 * dim_;
        double* hi = lo + dim_;
        std::fill(lo, hi, kInfinity);
        std::fill(hi, hi + dim_, -kInfinity);
        double reach = 0.0;
        for (int32_t j = begin; j < end; ++j) {
            const double* x = rows_[static_cast<size_t>(order_[static_cast<size_t>(j)])];
            for (size_t i = 0; i < dim_; ++i) {
                lo[i] = std::min(lo[i], x[i]);
                hi[i] = std::max(hi[i], x[i]);
            }
            reach =
                std::max(reach, lists_.kdist[static_cast<size_t>(order_[static_cast<size_t>(j)])]);
        }
        cells.cell[static_cast<size_t>(at)].reach = reach;
        if (end - begin <= kLeafSize) return at;
        size_t axis = 0;
        for (size_t i = 1; i < dim_; ++i) {
            if (hi[i] - lo[i] > hi[axis] - lo[axis]) axis = i;
        }
        if (!(hi[axis] > lo[axis])) {  // equal vectors: one leaf, however many
            std::sort(order_.begin() + begin, order_.begin() + end);
            cells.cell[static_cast<size_t>(at)].equal = true;
            return at;
        }
        cells.axis[static_cast<size_t>(at)] = axis;
        const int32_t middle = begin + (end - begin) / 2;
        std::nth_element(order_.begin() + begin, order_.begin() + middle, order_.begin() + end,
                         [&](int32_t a, int32_t b) {
                             const double xa = rows_[static_cast<size_t>(a)][axis];
                             const double xb = rows_[static_cast<size_t>(b)][axis];
                             return xa < xb || (xa == xb && a < b);
                         });
        if (subtrees != nullptr && levels <= 1) {
            subtrees->push_back({begin, middle, at, true, {}});
            subtrees->push_back({middle, end, at, false, {}});
            return at;
        }
        const int32_t low = split(begin, middle, cells, levels - 1, subtrees);
        const int32_t high = split(middle, end, cells, levels - 1, subtrees);
        cells.cell[static_cast<size_t>(at)].low = low;
        cells.cell[static_cast<size_t>(at)].high = high;
        return at;
    }

    // Appends a subtree's cells to own_, its root the child of its parent.
    void splice(Subtree& sub) {
        const int32_t base = static_cast<int32_t>(own_.cell.size());
        for (Cell c : sub.cells.cell) {
            if (c.low >= 0) {
                c.low += base;
                c.high += base;
            }
            own_.cell.push_back(c);
        }
        own_.axis.insert(own_.axis.end(), sub.cells.axis.begin(), sub.cells.axis.end());
        own_.box.insert(own_.box.end(), sub.cells.box.begin(), sub.cells.box.end());
        Cell& parent = own_.cell[static_cast<size_t>(sub.parent)];
        (sub.low ? parent.low : parent.high) = base;
        sub.cells = Cells();
    }

    const Rows& rows_;
    const NeighbourLists& lists_;
    const size_t dim_;
    Array<int32_t> order_;
    Cells own_;
};

// A reference vertex met by a search, with its distance to the query.
struct Met {
    double dist;
    int32_t vertex;
};

bool by_vertex(const Met& a, const Met& b) {
    return a.vertex < b.vertex;
}

// One worker's searches. A query's list: the k-th smallest distance D is found with a heap
// while every reference within the current D is collected; the candidate rule then runs over
// the collected ones within the final D in index order. A farther reference never displaces
// one of those and never changes their order, so that gives the list a scan of every
// reference gives.
class Search {
public:
    Search(const Tree* tree, const Rows& reference, const NeighbourLists& lists)
        : tree_(tree), reference_(reference), lists_(lists), kept_(static_cast<size_t>(lists.k)) {}

    // Fills q's list (its k targets, its k-distance into *kdist) and appends the reference
    // vertices that would keep q, ascending, with their distances.
    void search(const double* q, double* kdist, int32_t* target, Array<Met>& records) {
        query_ = q;
        heap_.clear();
        found_.clear();
        if (tree_ == nullptr) {
            for (int32_t r = 0; r < lists_.n; ++r)
                found_.push_back({measure(reference_, q, reference_[static_cast<size_t>(r)]), r});
            replay(kdist, target);
            for (int32_t r = 0; r < lists_.n; ++r)
                offer_keeper(q, r, records);
            return;
        }
        const size_t from = records.size();
        visit(0, records);
        std::sort(records.begin() + static_cast<std::ptrdiff_t>(from), records.end(), by_vertex);
        replay(kdist, target);
    }

private:
    double reach() const {
        return heap_.size() < static_cast<size_t>(lists_.k) ? kInfinity : heap_.front();
    }

    // One walk for both: a cell is searched for q's list while its box lies within the k-th
    // distance as it stands, and for the references that keep q while its box is nearer than
    // their largest k-distance. The tree holds finite values only, where a distance is the same
    // in either order, so one measure serves both.
    void visit(int32_t c, Array<Met>& records) {
        const Cell& cell = tree_->cell(c);
        const double bound = tree_->bound(query_, c);
        const bool near = bound <= reach();
        const bool kept = bound < cell.reach;
        if (!near && !kept) return;
        if (cell.low >= 0) {
            const bool low = tree_->low_first(query_, c);
            visit(low ? cell.low : cell.high, records);
            visit(low ? cell.high : cell.low, records);
            return;
        }
        // Equal vectors are equally distant, and of those the candidate rule can keep only the
        // k of lowest index: any later one meets a list of k no farther.
        const int32_t offered = cell.equal ? std::min(cell.end, cell.begin + lists_.k) : cell.end;
        double d = 0.0;
        for (int32_t at = cell.begin; at < cell.end; ++at) {
            const int32_t r = tree_->member(at);
            if (!cell.equal || at == cell.begin)
                d = measure(reference_, query_, reference_[static_cast<size_t>(r)]);
            if (near && at < offered) meet(d, r);
            if (kept && d < lists_.kdist[static_cast<size_t>(r)]) records.push_back({d, r});
        }
    }

    void meet(double d, int32_t r) {
        const size_t k = static_cast<size_t>(lists_.k);
        if (heap_.size() < k) {
            heap_.push_back(d);
            std::push_heap(heap_.begin(), heap_.end());
        } else if (d < heap_.front()) {
            std::pop_heap(heap_.begin(), heap_.end());
            heap_.back() = d;
            std::push_heap(heap_.begin(), heap_.end());
        }
        if (!(d <= reach())) return;
        found_.push_back({d, r});
        if (found_.size() >= 4 * k + 64) drop_beyond_reach();
    }

    void drop_beyond_reach() {
        const double d = reach();
        found_.erase(std::remove_if(found_.begin(), found_.end(),
                                    [d](const Met& m) { return !(m.dist <= d); }),
                     found_.end());
    }

    // The candidate rule over the collected references in index order.
    void replay(double* kdist, int32_t* target) {
        if (tree_ != nullptr) {
            drop_beyond_reach();
            std::sort(found_.begin(), found_.end(), by_vertex);
        }
        Mirror m{kept_.data(), 0, 0.0};
        for (const Met& met : found_)
            mirror_offer(m, lists_.k, met.dist, met.dist, met.vertex);
        for (int32_t j = 0; j < lists_.k; ++j)
            target[j] = kept_[static_cast<size_t>(j)].target;
        *kdist = kept_[static_cast<size_t>(lists_.k - 1)].dist;
    }

    void offer_keeper(const double* q, int32_t r, Array<Met>& records) const {
        const double d = measure(reference_, reference_[static_cast<size_t>(r)], q);
        if (d < lists_.kdist[static_cast<size_t>(r)]) records.push_back({d, r});
    }

    const Tree* tree_;
    const Rows& reference_;
    const NeighbourLists& lists_;
    const double* query_ = nullptr;
    Array<double> heap_;  // max-heap of the k smallest distances met
    Array<Met> found_;    // every reference met within the k-th distance as it stood
    Array<Kept> kept_;    // the mirror of the list being settled
};

bool finite_rows(const Rows& rows) {
    return rows.size() == 0 || tree_applies(rows);
}

}  // namespace

QueryLists query_lists(const Rows& reference, const NeighbourLists& lists, const Rows& queries,
                       bool brute, int32_t threads) {
    const int32_t workers = worker_threads(threads);
    const bool indexed = !brute && metric_has_box_bound(reference.metric) &&
                         tree_applies(reference) && finite_rows(queries);
    std::optional<Tree> tree;
    if (indexed) tree.emplace(reference, lists, workers);
    QueryLists result;
    const int32_t q = static_cast<int32_t>(queries.size());
    const size_t k = static_cast<size_t>(lists.k);
    result.out.n = q;
    result.out.k = lists.k;
    result.out.target.resize(static_cast<size_t>(q) * k);
    result.out.kdist.resize(static_cast<size_t>(q));
    // Queries near each other search the same cells: taken in the tree's order, one after the
    // other they find them in the cache. Which order changes no result.
    const Array<int32_t> order = indexed ? tree->order_of(queries, workers) : Array<int32_t>();
    const int32_t ranges = (q + kQueryGrain - 1) / kQueryGrain;
    Array<Array<Met>> records(static_cast<size_t>(ranges));
    Array<int32_t> counts(static_cast<size_t>(q));
    Array<Search> searches;
    for (int32_t w = 0; w < workers; ++w)
        searches.emplace_back(indexed ? &*tree : nullptr, reference, lists);
    auto search = [&](int32_t worker, int32_t begin, int32_t end) {
        Search& s = searches[static_cast<size_t>(worker)];
        for (int32_t range = begin; range < end; ++range) {
            Array<Met>& mine = records[static_cast<size_t>(range)];
            const int32_t last = std::min(q, (range + 1) * kQueryGrain);
            for (int32_t at = range * kQueryGrain; at < last; ++at) {
                const int32_t i = indexed ? order[static_cast<size_t>(at)] : at;
                const double* x = queries[static_cast<size_t>(i)];
                const size_t row = static_cast<size_t>(i) * k;
                const size_t before = mine.size();
                s.search(x, result.out.kdist.data() + static_cast<size_t>(i),
                         result.out.target.data() + row, mine);
                counts[static_cast<size_t>(i)] = static_cast<int32_t>(mine.size() - before);
            }
        }
    };
    for_each_range(ranges, 1, workers, search);
    InboundIndex& in = result.in;
    in.first.resize(static_cast<size_t>(q) + 1);
    for (size_t i = 0; i < counts.size(); ++i)
        in.first[i + 1] = in.first[i] + counts[i];
    in.source.resize(static_cast<size_t>(in.first.back()));
    in.dist.resize(in.source.size());
    // Each range's records, query after query in the order searched, go to their places.
    auto place = [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t range = begin; range < end; ++range) {
            const Array<Met>& mine = records[static_cast<size_t>(range)];
            size_t from = 0;
            const int32_t last = std::min(q, (range + 1) * kQueryGrain);
            for (int32_t at = range * kQueryGrain; at < last; ++at) {
                const size_t i = static_cast<size_t>(indexed ? order[static_cast<size_t>(at)] : at);
                for (size_t to = static_cast<size_t>(in.first[i]);
                     to < static_cast<size_t>(in.first[i + 1]); ++to, ++from) {
                    in.source[to] = mine[from].vertex;
                    in.dist[to] = mine[from].dist;
                }
            }
            Array<Met>().swap(records[static_cast<size_t>(range)]);
        }
    };
    for_each_range(ranges, 1, workers, place);
    return result;
}

double query_lists_bytes(double n, double q, int32_t dim, int32_t k) {
    const double tree =
        n * (sizeof(int32_t) +
             2.0 * (sizeof(Cell) + 2.0 * dim * sizeof(double) + sizeof(size_t)) / kLeafSize);
    const double records = q * k * (sizeof(int32_t) + sizeof(double) + sizeof(Met));
    return tree + q * (k * kListEdgeBytes + kListVertexBytes) + records + (q + 1) * sizeof(int64_t);
}

}  // namespace tarn
