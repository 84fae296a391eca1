#include "detect/kdtree.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "detect/lanes.h"

namespace {

using tarn::Array;
using tarn::Metric;
using tarn::MetricKind;
using tarn::Mirror;
using namespace tarn::lanes;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLargest = std::numeric_limits<double>::max();

// A cell holding more vectors than this is split (unless its vectors are all equal).
constexpr int32_t kLeafSize = 32;

// Leaves keep their entries' vectors in blocks of kBlock slots, component-major inside a block
// (component i of slot j at block[i × kBlock + j], a leaf's last block padded with 0), so that
// one load brings the same component of several entries.
constexpr int32_t kBlock = 8;

// block_keys reads a block's component row as kVectorsPerBlock Lanes values (detect/lanes.h);
// every lane's key is its own, so neither kLanes nor kBlock changes a computed bit.
static_assert(kBlock % kLanes == 0, "a block's component row is whole vector values");
constexpr int32_t kVectorsPerBlock = kBlock / kLanes;

// A cell of the tree. Every vector of the low child has its split-axis component at most
// split, every vector of the high child at least split.
struct Node {
    int32_t begin;  // first entry of the cell (a vertex position while the tree is built)
    int32_t end;    // one past the last
    int32_t low;    // child nodes, -1 for a leaf
    int32_t high;
    int32_t block;   // a leaf's first block in Tree::blocks
    int32_t box;     // a leaf's place among the leaves, where its bounding box is kept
    int32_t axis;    // split component
    int32_t lowest;  // the lowest vertex index among the cell's vectors
    double split;    // split value, a component of one of the cell's vectors
};

// The leaves' vectors without their label column (0 on every vector, it adds nothing to a sum)
// in blocks in tree order, and every leaf's bounding box; a source's own vector is read from the
// caller's rows. The tree holds entries: an entry is one vector of a
// leaf, or all the vectors of a leaf whose vectors are equal (a leaf that cannot split), so
// that any number of equal vectors costs one distance and bounded work per search. Equal
// vectors give every source the same square bit for bit, so one square serves them all.
struct Tree {
    int32_t dim = 0;
    Metric metric;                       // one with a key and a box bound
    int32_t widest_leaf = 0;             // entries in the largest leaf
    const tarn::Rows* rows = nullptr;    // the vectors by vertex index, the caller's
    tarn::UnfilledArray<double> blocks;  // the leaves' blocks: dim × kBlock values each
    Array<double> boxes;     // per leaf the lowest, then the highest, value of each component
    Array<int32_t> members;  // vertex indices by entry, ascending inside an entry
    Array<int32_t> first;    // entry e holds members[first[e] … first[e + 1])
    Array<Node> nodes;       // nodes[0] is the root

    size_t width() const { return static_cast<size_t>(dim); }
    // The features of vertex v. The vectors of an entry are equal (-0 and 0 alike), and so are
    // the squares of their differences to anything, bit for bit.
    const double* vector(int32_t v) const { return (*rows)[static_cast<size_t>(v)]; }
    const double* low_corner(const Node& leaf) const {
        return boxes.data() + static_cast<size_t>(leaf.box) * 2 * width();
    }
    const double* block(int32_t block) const {
        return blocks.data() + static_cast<size_t>(block) * width() * kBlock;
    }
};

class Builder {
public:
    // Copies the vectors once, in vertex order at first; the splits then move each vector with
    // its index, so that a cell's vectors always lie side by side in the copy and every pass
    // over a cell reads memory in order, however large the set.
    Builder(const tarn::Rows& rows, Tree& tree, int32_t threads)
        : tree_(tree), points_(rows.size() * tree.width()), order_(rows.size()), threads_(threads) {
        const size_t dim = tree_.width();
        auto copy = [&](int32_t, int32_t begin, int32_t end) {
            for (size_t i = static_cast<size_t>(begin); i < static_cast<size_t>(end); ++i) {
                order_[i] = static_cast<int32_t>(i);
                const double* x = rows[i];
                std::copy(x, x + dim, points_.begin() + static_cast<std::ptrdiff_t>(i * dim));
            }
        };
        tarn::for_each_range(static_cast<int32_t>(order_.size()), kCopyGrain, threads_, copy);
    }

    void build() {
        const size_t dim = tree_.width();
        Cells cells;
        cells.nodes.reserve(4 * order_.size() / kLeafSize + 1);
        cells.boxes.reserve(cells.nodes.capacity() * 2 * dim);
        node(0, static_cast<int32_t>(order_.size()), cells, threads_);
        tree_.nodes = std::move(cells.nodes);
        make_entries(cells.boxes);
        int32_t block_count = 0;
        Array<int32_t> leaves;
        for (Node& n : tree_.nodes) {
            if (n.low >= 0) continue;
            n.block = block_count;
            n.box = static_cast<int32_t>(leaves.size());
            block_count += (n.end - n.begin + kBlock - 1) / kBlock;
            tree_.widest_leaf = std::max(tree_.widest_leaf, n.end - n.begin);
            leaves.push_back(static_cast<int32_t>(&n - tree_.nodes.data()));
        }
        // The searches bound only leaves by their boxes; the other cells' boxes go.
        tree_.boxes.resize(leaves.size() * 2 * dim);
        for (size_t leaf = 0; leaf < leaves.size(); ++leaf) {
            const double* box = cells.boxes.data() + static_cast<size_t>(leaves[leaf]) * 2 * dim;
            std::copy(box, box + 2 * dim, tree_.boxes.data() + leaf * 2 * dim);
        }
        Array<double>().swap(cells.boxes);
        tree_.blocks.resize(static_cast<size_t>(block_count) * dim * kBlock);
        auto lay_out = [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t leaf = begin; leaf < end; ++leaf)
                lay_out_leaf(tree_.nodes[static_cast<size_t>(leaves[static_cast<size_t>(leaf)])]);
        };
        tarn::for_each_range(static_cast<int32_t>(leaves.size()), kCopyGrain / kLeafSize, threads_,
                             lay_out);
        // The searches read the leaves' blocks, and the sources from the caller's vectors.
        tarn::UnfilledArray<double>().swap(points_);
    }

private:
    // Vectors a thread copies or lays out at a time.
    static constexpr int32_t kCopyGrain = 1 << 14;

    // Writes a leaf's entries into its blocks, the slots past its last entry 0.
    void lay_out_leaf(const Node& n) {
        const size_t dim = tree_.width();
        const int32_t entries = n.end - n.begin;
        const int32_t slots = (entries + kBlock - 1) / kBlock * kBlock;
        for (int32_t j = 0; j < slots; ++j) {
            double* block =
                tree_.blocks.data() + static_cast<size_t>(n.block + j / kBlock) * dim * kBlock;
            const double* x = j < entries ? entry_vector(n.begin + j) : nullptr;
            for (size_t i = 0; i < dim; ++i)
                block[i * kBlock + static_cast<size_t>(j % kBlock)] = x != nullptr ? x[i] : 0.0;
        }
    }

    // Turns the vertex positions of the leaves into entries: a leaf whose box has no extent
    // becomes one entry of its vertices in ascending order, any other leaf one entry per
    // vertex. The leaves come in position order (the nodes are numbered depth first, low child
    // first), so every cell's range of positions becomes a range of entries.
    void make_entries(const Array<double>& boxes) {
        const size_t n = order_.size();
        const size_t dim = tree_.width();
        Array<int32_t> entry_at(n + 1);
        tree_.first.reserve(n + 1);
        for (size_t index = 0; index < tree_.nodes.size(); ++index) {
            const Node& leaf = tree_.nodes[index];
            if (leaf.low >= 0) continue;
            const double* lo = boxes.data() + index * 2 * dim;
            const bool equal = std::equal(lo, lo + dim, lo + dim);
            // The copy's vectors stay where they are: they are equal, up to the sign of a zero.
            if (equal) std::sort(order_.begin() + leaf.begin, order_.begin() + leaf.end);
            for (int32_t at = leaf.begin; at < leaf.end; ++at) {
                if (!equal || at == leaf.begin) tree_.first.push_back(at);
                entry_at[static_cast<size_t>(at)] = static_cast<int32_t>(tree_.first.size()) - 1;
            }
        }
        entry_at[n] = static_cast<int32_t>(tree_.first.size());
        tree_.first.push_back(static_cast<int32_t>(n));
        for (Node& cell : tree_.nodes) {
            cell.begin = entry_at[static_cast<size_t>(cell.begin)];
            cell.end = entry_at[static_cast<size_t>(cell.end)];
        }
        tree_.members = std::move(order_);
        // Children come after their parent, and an entry's first member is its lowest.
        for (size_t index = tree_.nodes.size(); index-- > 0;) {
            Node& cell = tree_.nodes[index];
            if (cell.low >= 0) {
                cell.lowest = std::min(tree_.nodes[static_cast<size_t>(cell.low)].lowest,
                                       tree_.nodes[static_cast<size_t>(cell.high)].lowest);
                continue;
            }
            cell.lowest = std::numeric_limits<int32_t>::max();
            for (int32_t e = cell.begin; e < cell.end; ++e) {
                cell.lowest = std::min(
                    cell.lowest,
                    tree_.members[static_cast<size_t>(tree_.first[static_cast<size_t>(e)])]);
            }
        }
    }

    // The first vector of entry e: the build's copy at the entry's first position, which holds
    // a vector equal to the entry's lowest member (-0 and 0 alike), or that member's own.
    const double* entry_vector(int32_t e) const {
        return point(tree_.first[static_cast<size_t>(e)]);
    }

    const double* point(int32_t position) const {
        return points_.data() + static_cast<size_t>(position) * tree_.width();
    }

    double key(int32_t position, size_t axis) const { return point(position)[axis]; }

    void swap_points(int32_t a, int32_t b) {
        std::swap(order_[static_cast<size_t>(a)], order_[static_cast<size_t>(b)]);
        double* x = points_.data() + static_cast<size_t>(a) * tree_.width();
        double* y = points_.data() + static_cast<size_t>(b) * tree_.width();
        std::swap_ranges(x, x + tree_.width(), y);
    }

    // Divides the cell's positions [begin, end) at the returned position into a low half whose
    // axis components are at most *split and a high half whose components are at least *split,
    // neither empty. A big cell is divided in one pass at the median of a sample of its
    // components, within a few percent of its middle; a small one, or one the sample divides
    // lopsidedly, at its median exactly. Any division gives the same lists: the searches are
    // exact whatever the tree's shape.
    int32_t divide(int32_t begin, int32_t end, size_t axis, double* split) {
        if (end - begin >= kSampledCell) {
            const double pivot = sample_median(begin, end, axis);
            const int32_t high = partition(begin, end, axis, pivot);
            // A lopsided division (the sample misled, or many equal components) is redone
            // exactly, so that the tree's depth stays logarithmic.
            const int32_t least = (end - begin) / 8;
            if (high - begin >= least && end - high >= least) {
                *split = pivot;
                return high;
            }
        }
        const int32_t middle = begin + (end - begin) / 2;
        select(begin, middle, end, axis);
        *split = key(middle, axis);
        return middle;
    }

    // The median of the axis components of kSample vectors of the cell, at pseudo-random
    // positions that depend on the cell alone.
    double sample_median(int32_t begin, int32_t end, size_t axis) const {
        std::array<double, kSample> sample;
        uint64_t state = seed(begin, end);
        for (double& x : sample)
            x = key(begin + static_cast<int32_t>(next_random(state) %
                                                 static_cast<uint64_t>(end - begin)),
                    axis);
        std::nth_element(sample.begin(), sample.begin() + kSample / 2, sample.end());
        return sample[kSample / 2];
    }

    static uint64_t seed(int32_t begin, int32_t end) {
        return 0x9E3779B97F4A7C15u ^ (static_cast<uint64_t>(begin) << 32) ^
               static_cast<uint64_t>(end);
    }

    // A xorshift step.
    static uint64_t next_random(uint64_t& state) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }

    // Moves the vectors whose axis component is below pivot in front of the others, reading
    // the range once from each end; returns the first position of the others.
    int32_t partition(int32_t begin, int32_t end, size_t axis, double pivot) {
        int32_t low = begin, high = end - 1;
        for (;;) {
            while (low <= high && key(low, axis) < pivot)
                ++low;
            while (low <= high && !(key(high, axis) < pivot))
                --high;
            if (low >= high) return low;
            swap_points(low++, high--);
        }
    }

    // Moves the vectors of positions [begin, end) so that position middle holds one whose axis
    // component is the (middle − begin)-th smallest, those before it none greater and those
    // after it none smaller: a selection by three-way partitions around the median of three
    // pseudo-random pivots, each pass reading the range in order.
    void select(int32_t begin, int32_t middle, int32_t end, size_t axis) {
        uint64_t state = seed(begin, end);
        auto pick = [&](int32_t lo, int32_t hi) {
            return key(
                lo + static_cast<int32_t>(next_random(state) % static_cast<uint64_t>(hi - lo)),
                axis);
        };
        while (end - begin > 1) {
            const double a = pick(begin, end), b = pick(begin, end), c = pick(begin, end);
            const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
            int32_t less = begin, at = begin, greater = end;
            while (at < greater) {
                const double x = key(at, axis);
                if (x < pivot) {
                    swap_points(less++, at++);
                } else if (x > pivot) {
                    swap_points(at, --greater);
                } else {
                    ++at;
                }
            }
            if (middle < less) {
                end = less;
            } else if (middle >= greater) {
                begin = greater;
            } else {
                return;
            }
        }
    }

    // Nodes numbered depth first, low child first, with their boxes.
    struct Cells {
        Array<Node> nodes;
        Array<double> boxes;
    };

    // Cells of at least this many vectors are divided at a sample's median of kSample values.
    static constexpr int32_t kSampledCell = 1 << 9;
    static constexpr int32_t kSample = 63;

    // Cells of at least this many vectors build their two halves on threads of their own.
    static constexpr int32_t kParallelCell = 1 << 16;

    // Splits at the median of the component with the widest spread; a cell of few vectors, or
    // of equal vectors only, stays a leaf. With more than one thread a big cell's halves are
    // built at once, each into cells of its own, and appended low half first: the numbering,
    // and so the tree, is the one a single thread makes.
    int32_t node(int32_t begin, int32_t end, Cells& cells, int32_t threads) {
        const int32_t index = static_cast<int32_t>(cells.nodes.size());
        cells.nodes.push_back({begin, end, -1, -1, 0, 0, 0, 0, 0.0});
        const size_t dim = tree_.width();
        const size_t box = cells.boxes.size();
        cells.boxes.resize(box + 2 * dim);
        double* lo = cells.boxes.data() + box;
        double* hi = lo + dim;
        std::fill(lo, hi, kInf);
        std::fill(hi, hi + dim, -kInf);
        for (int32_t i = begin; i < end; ++i) {
            const double* x = point(i);
            for (size_t a = 0; a < dim; ++a) {
                lo[a] = std::min(lo[a], x[a]);
                hi[a] = std::max(hi[a], x[a]);
            }
        }
        size_t axis = 0;
        double widest = 0.0;
        for (size_t a = 0; a < dim; ++a) {
            if (hi[a] - lo[a] > widest) {
                widest = hi[a] - lo[a];
                axis = a;
            }
        }
        if (end - begin <= kLeafSize || !(widest > 0.0)) return index;
        double split = 0.0;
        const int32_t middle = divide(begin, end, axis, &split);
        int32_t low = 0, high = 0;
        if (threads > 1 && end - begin >= kParallelCell) {
            low = index + 1;
            high = low + halves_at_once(begin, middle, end, cells, threads);
        } else {
            low = node(begin, middle, cells, 1);
            high = node(middle, end, cells, 1);
        }
        cells.nodes[static_cast<size_t>(index)] = {
            begin, end, low, high, 0, 0, static_cast<int32_t>(axis), 0, split};
        return index;
    }

    // Builds [begin, middle) and [middle, end) on threads of their own and appends their cells
    // to cells, low half first; returns the number of cells of the low half.
    int32_t halves_at_once(int32_t begin, int32_t middle, int32_t end, Cells& cells,
                           int32_t threads) {
        Cells halves[2];
        auto build = [&](int32_t, int32_t half, int32_t) {
            const int32_t share = half == 0 ? (threads + 1) / 2 : threads / 2;
            // Reserved whole, as the first cells are: grown step by step on a worker thread,
            // the blocks outgrown stay with that thread's allocator.
            halves[half].nodes.reserve(4 * static_cast<size_t>(end - begin) / kLeafSize + 1);
            halves[half].boxes.reserve(halves[half].nodes.capacity() * 2 * tree_.width());
            if (half == 0) {
                node(begin, middle, halves[0], share);
            } else {
                node(middle, end, halves[1], share);
            }
        };
        tarn::for_each_range(2, 1, 2, build);
        for (const Cells& half : halves) {
            const int32_t offset = static_cast<int32_t>(cells.nodes.size());
            for (Node n : half.nodes) {
                if (n.low >= 0) {
                    n.low += offset;
                    n.high += offset;
                }
                cells.nodes.push_back(n);
            }
            cells.boxes.insert(cells.boxes.end(), half.boxes.begin(), half.boxes.end());
        }
        return static_cast<int32_t>(halves[0].nodes.size());
    }

    Tree& tree_;
    tarn::UnfilledArray<double> points_;  // position i holds the vector of vertex order_[i]
    Array<int32_t> order_;
    int32_t threads_;
};

// The metric's keys (squared distances for the Euclidean metric) from q to the vectors of
// `blocks` consecutive blocks, into out (kBlock per block, padding slots included). Each lane
// accumulates its terms in ascending i without contraction, exactly like metric_key, whatever
// instruction set runs it.
template <typename Form>
__attribute__((always_inline)) inline void block_keys_of(const double* block, int32_t blocks,
                                                         const double* q, int32_t dim, double p,
                                                         double* out) {
    for (int32_t b = 0; b < blocks; ++b) {
        for (int32_t v = 0; v < kVectorsPerBlock; ++v) {
            Lanes acc = {};
            for (int32_t i = 0; i < dim; ++i) {
                Lanes x;
                __builtin_memcpy(&x, block + i * kBlock + v * kLanes, sizeof(Lanes));
                Form::accumulate(acc, q[i], x, p);
            }
            __builtin_memcpy(out + b * kBlock + v * kLanes, &acc, sizeof(Lanes));
        }
        block += dim * kBlock;
    }
}

// block_keys_of for the tree's metric (the clones cannot be templates).
TARN_CLONES void block_keys(const double* block, int32_t blocks, const double* q, int32_t dim,
                            const Metric& metric, double* out) {
    switch (metric.kind) {
        case MetricKind::kEuclidean:
            return block_keys_of<Squares>(block, blocks, q, dim, metric.p, out);
        case MetricKind::kManhattan:
            return block_keys_of<Absolute>(block, blocks, q, dim, metric.p, out);
        case MetricKind::kChebyshev:
            return block_keys_of<Largest>(block, blocks, q, dim, metric.p, out);
        case MetricKind::kMinkowski:
        case MetricKind::kCosine:  // never: the tree does not apply
            return block_keys_of<Powers>(block, blocks, q, dim, metric.p, out);
    }
}

// A target within reach of the k-th neighbour found so far.
struct Found {
    int32_t target;
    double sq;  // its squared distance before the root
};

// Below, "square" is the metric's key (metric_key: the square of the distance for the Euclidean
// metric) and "root" the metric's root of it: every argument about squares holds for any key
// whose root is nondecreasing with 0 at 0 and infinity at infinity (graph/metric.h).

// The key exactly as metric_key computes it: components in ascending order, no contraction. The
// label column is left out; it is 0 on both sides and changes nothing.
inline double square(const Tree& tree, const double* a, const double* b) {
    return tarn::metric_key(tree.metric, a, b, tree.dim);
}

// The search of one source at a time; one per thread, reused across sources.
//
// Ties. Of the targets at exactly the k-th distance D only the k of lowest index within D can
// be kept. Where every target ties, a search that collected them all would cost more than the
// brute force; two cases are settled by index instead:
//  - Squares that overflow are never collected. The tree finds every target at a finite
//    square; only when there are fewer than k of them (D infinite, every other target tied at
//    it) are the first k infinite ones taken, in file order.
//  - Once D is 0 it stays 0, and the k targets at 0 of lowest index are what the rule keeps.
//    Where those are vectors equal to the source, few cells lie at 0 and the search ends soon.
//    Where distinct vectors lie at 0 too (their squares underflow), there may be very many: a
//    search that met more than kZeroBudget of them returns, and seeks the k in file order first,
//    where they often lie, among as many targets as one compaction holds, and then, past the
//    targets measured so, in the tree from the root, lowest index first: with bar_ the highest
//    index of the k kept so far, a cell whose indices are all bar_ or more holds none of them.
class Search {
public:
    Search(const Tree& tree, int32_t k)
        : tree_(tree),
          k_(k),
          squares_(static_cast<size_t>((tree.widest_leaf + kBlock - 1) / kBlock * kBlock)),
          gap_(tree.width()) {}

    // Finds the list the candidate rule leaves for source (a vertex index) into out, which
    // has room for k entries. Returns the number of distances evaluated.
    int64_t run(int32_t source, Mirror& out) {
        source_ = source;
        query_ = tree_.vector(source);
        std::fill(gap_.begin(), gap_.end(), 0.0);
        heap_.clear();
        found_.clear();
        compact_at_ = 4 * static_cast<size_t>(k_) + 64;
        reach_ = kLargest;
        bar_ = kNoBar;
        from_ = 0;
        at_zero_ = false;
        unwinding_ = false;
        zero_entries_ = 0;
        distinct_zeros_ = 0;
        evaluations_ = 0;
        visit(0);
        if (unwinding_) settle_ties_at_zero();
        if (!full()) take_first_infinite();
        replay(out);
        if (k_ == 1) {
            // The first target taken is removed without a predecessor when a nearer one comes,
            // so largest_dist keeps the distance to the first target offered.
            const int32_t first = source == 0 ? 1 : 0;
            out.largest = root(square(tree_, query_, tree_.vector(first)));
            ++evaluations_;
        }
        return evaluations_;
    }

private:
    static constexpr int32_t kNoBar = std::numeric_limits<int32_t>::max();
    // Distinct vectors at 0 a search meets before it settles the ties at 0 by index (counted
    // once it met as many entries at 0, so that equal vectors are rarely compared).
    static constexpr int32_t kZeroBudget = 48;

    bool full() const { return heap_.size() == static_cast<size_t>(k_); }

    double root(double sq) const { return tarn::metric_root(tree_.metric, sq); }

    // D, the k-th distance so far, once the heap is full: the root of the k-th smallest square,
    // as sqrt and the metrics without a root are nondecreasing. Minkowski's pow is only faithful:
    // D is the largest root of the k smallest squares, so that at least k targets lie within D
    // (metric_reach covers a square whose root is at most D).
    double kth_root() const {
        if (tree_.metric.kind != MetricKind::kMinkowski) return root(heap_.front());
        double kth = 0.0;
        for (double sq : heap_)
            kth = std::max(kth, root(sq));
        return kth;
    }

    // A lower bound of the squares metric_key computes from the source to the vectors of a
    // leaf's box: per component the gap to the box, rounded by the same subtraction, its term
    // (metric_gap_term) combined in the same ascending order. Rounding is monotonic, so term by
    // term and sum by sum (maximum by maximum) the bound never exceeds the square of any vector
    // inside: tarn::metric_box_key_bound, inlined here.
    double box_bound(const Node& leaf) const {
        const Metric& metric = tree_.metric;
        const double* lo = tree_.low_corner(leaf);
        const double* hi = lo + tree_.dim;
        double sum = 0.0;
        for (int32_t i = 0; i < tree_.dim; ++i) {
            // At most one of the two differences is positive.
            const double gap = std::max(std::max(lo[i] - query_[i], query_[i] - hi[i]), 0.0);
            sum = tarn::metric_gap_add(metric, sum, tarn::metric_gap_term(metric, gap));
        }
        return sum;
    }

    // The same combination as box_bound over gap_: never above any square in a cell whose
    // vectors are at least gap_ away, component by component.
    double gap_bound() const {
        const Metric& metric = tree_.metric;
        double sum = 0.0;
        for (double g : gap_)
            sum = tarn::metric_gap_add(metric, sum, tarn::metric_gap_term(metric, g));
        return sum;
    }

    // Searches a cell; gap_ holds, per component, a lower bound of |query − x| for every
    // vector x of the cell, rounded by the same subtraction cdist makes. The nearer child goes
    // first; the other only if still within reach afterwards. A leaf is scanned only when its
    // bounding box is within reach too.
    void visit(int32_t index) {
        const Node& node = tree_.nodes[static_cast<size_t>(index)];
        if (unwinding_) return;
        if (node.low < 0) {
            if (box_bound(node) <= reach_) scan(node);
            return;
        }
        const size_t axis = static_cast<size_t>(node.axis);
        const double q = query_[axis];
        int32_t near = node.low, far = node.high;
        double far_gap = node.split - q;
        if (q > node.split) {
            near = node.high;
            far = node.low;
            far_gap = q - node.split;
        }
        visit(near);
        const double saved = gap_[axis];
        gap_[axis] = far_gap;
        if (gap_bound() <= reach_) visit(far);
        gap_[axis] = saved;
    }

    // visit once D is 0, for settle_ties_at_zero: only cells at 0 (reach_ is 0) whose lowest
    // index is below bar_, the child of lower index first.
    void visit_at_zero(int32_t index) {
        const Node& node = tree_.nodes[static_cast<size_t>(index)];
        if (node.lowest >= bar_) return;
        if (node.low < 0) {
            if (box_bound(node) <= reach_) scan_at_zero(node);
            return;
        }
        const size_t axis = static_cast<size_t>(node.axis);
        const double q = query_[axis];
        const double saved = gap_[axis];
        const int32_t low = node.low, high = node.high;
        const bool low_first = tree_.nodes[static_cast<size_t>(low)].lowest <=
                               tree_.nodes[static_cast<size_t>(high)].lowest;
        for (const int32_t child : {low_first ? low : high, low_first ? high : low}) {
            // The child across the split from the source is at least that gap away.
            const bool across = child == low ? q > node.split : q < node.split;
            if (across) gap_[axis] = child == low ? q - node.split : node.split - q;
            if (!across || gap_bound() <= reach_) visit_at_zero(child);
            gap_[axis] = saved;
        }
    }

    // Whether entry j of a leaf holds the source's vector (-0 and 0 alike), read from the
    // leaf's blocks, which its scan has just brought in.
    bool equals_query(const Node& leaf, int32_t j) const {
        const double* x = tree_.block(leaf.block + j / kBlock) + j % kBlock;
        for (int32_t i = 0; i < tree_.dim; ++i)
            if (x[i * kBlock] != query_[i]) return false;
        return true;
    }

    void scan(const Node& leaf) {
        const int32_t count = leaf.end - leaf.begin;
        block_keys(tree_.block(leaf.block), (count + kBlock - 1) / kBlock, query_, tree_.dim,
                   tree_.metric, squares_.data());
        evaluations_ += count;
        for (int32_t j = 0; j < count; ++j) {
            const double sq = squares_[static_cast<size_t>(j)];
            if (!(sq <= reach_)) continue;
            // Of an entry's members only the first k others can be kept: any later one meets k
            // earlier targets at the same distance.
            const int32_t entry = leaf.begin + j;
            const int32_t* member = tree_.members.data() + tree_.first[static_cast<size_t>(entry)];
            const int32_t* last =
                tree_.members.data() + tree_.first[static_cast<size_t>(entry) + 1];
            // The source's own entry counts only when it holds other vertices too. It is
            // always within reach: its square is 0, and reach_ never below.
            if (last - member == 1 && *member == source_) {
                --evaluations_;
                continue;
            }
            // Past kZeroBudget entries at 0, those that are not the source's vector count.
            if (sq == 0.0 && ++zero_entries_ > kZeroBudget && !equals_query(leaf, j))
                ++distinct_zeros_;
            for (int32_t taken = 0; member != last && taken < k_; ++member) {
                if (*member == source_) continue;
                found_.push_back({*member, sq});
                ++taken;
                offer(sq);
            }
            if (found_.size() >= compact_at_) {
                trim();
                compact_at_ = std::max(compact_at_, 2 * found_.size());
            }
        }
        // Vectors equal to the source leave few cells at 0 to visit, distinct vectors at 0
        // (their squares underflow) possibly very many: with D at 0 and more than kZeroBudget
        // of those seen, the search returns to settle the ties by index.
        if (distinct_zeros_ > kZeroBudget && full() && heap_.front() == 0.0) unwinding_ = true;
    }

    // scan once D is 0, for settle_ties_at_zero: the members at 0 below bar_ not yet
    // considered go to take_at_zero.
    void scan_at_zero(const Node& leaf) {
        const int32_t count = leaf.end - leaf.begin;
        block_keys(tree_.block(leaf.block), (count + kBlock - 1) / kBlock, query_, tree_.dim,
                   tree_.metric, squares_.data());
        evaluations_ += count;
        for (int32_t j = 0; j < count; ++j) {
            if (squares_[static_cast<size_t>(j)] != 0.0) continue;
            const int32_t entry = leaf.begin + j;
            const int32_t* member = tree_.members.data() + tree_.first[static_cast<size_t>(entry)];
            const int32_t* last =
                tree_.members.data() + tree_.first[static_cast<size_t>(entry) + 1];
            for (int32_t taken = 0; member != last && taken < k_ && *member < bar_; ++member) {
                if (*member == source_ || *member < from_) continue;
                take_at_zero(*member);
                ++taken;
            }
        }
    }

    // Keeps the k smallest squares seen in the heap, and reach_ beyond the k-th of them (but
    // never beyond the largest finite square).
    void offer(double sq) {
        if (!full()) {
            heap_.push_back(sq);
            std::push_heap(heap_.begin(), heap_.end());
        } else if (sq < heap_.front()) {
            std::pop_heap(heap_.begin(), heap_.end());
            heap_.back() = sq;
            std::push_heap(heap_.begin(), heap_.end());
        } else {
            return;
        }
        if (!full()) return;
        reach_ = std::min(tarn::metric_reach(tree_.metric, heap_.front()), kLargest);
    }

    // D is 0. The rule keeps the k targets at 0 of lowest index; found_, trimmed, holds k
    // targets at 0, so those lie at the highest index among them or below, that is below bar_.
    // They are sought in file order first, at most compact_at_ targets; then, if that did not
    // settle it, through the tree past the targets measured, lowest index first. Each target
    // is considered once.
    void settle_ties_at_zero() {
        unwinding_ = false;
        at_zero_ = true;
        trim();
        bar_ = 1 + std::max_element(found_.begin(), found_.end(), by_target)->target;
        found_.clear();
        const int32_t budget = static_cast<int32_t>(compact_at_);
        for (; from_ < bar_ && from_ < budget; ++from_) {
            if (from_ == source_) continue;
            ++evaluations_;
            if (square(tree_, query_, tree_.vector(from_)) == 0.0) take_at_zero(from_);
        }
        if (from_ >= bar_) return;
        std::fill(gap_.begin(), gap_.end(), 0.0);
        visit_at_zero(0);
    }

    // Once D is 0: target, at 0, below bar_ and not yet considered, joins the kept ones, in a
    // heap by index once there are k of them, whose top is then bar_.
    void take_at_zero(int32_t target) {
        const size_t k = static_cast<size_t>(k_);
        if (found_.size() < k) {
            found_.push_back({target, 0.0});
            if (found_.size() < k) return;
            std::make_heap(found_.begin(), found_.end(), by_target);
        } else {
            std::pop_heap(found_.begin(), found_.end(), by_target);
            found_.back().target = target;
            std::push_heap(found_.begin(), found_.end(), by_target);
        }
        bar_ = found_.front().target;
    }

    // Drops the found targets the rule cannot keep once the heap is full. With D the k-th
    // distance so far (the final one is at most D): a target beyond D goes; fewer than k lie
    // nearer than D, and they stay; of the targets at exactly D only the k of lowest index
    // stay. A later one of those is offered after k targets within D, to a full list whose
    // farthest kept distance is at most D, so it is never strictly nearer and changes nothing.
    void trim() {
        const double kth = kth_root();
        const auto ties = std::partition(found_.begin(), found_.end(),
                                         [&](const Found& f) { return root(f.sq) < kth; });
        const auto beyond =
            std::partition(ties, found_.end(), [&](const Found& f) { return root(f.sq) == kth; });
        auto end = beyond;
        if (end - ties > k_) {
            end = ties + k_;
            std::nth_element(ties, end - 1, beyond, by_target);
        }
        found_.erase(end, found_.end());
    }

    // Fewer than k targets lie at a finite square, all found: the k-th distance is infinite and
    // every other target ties at it, so the first k of those in file order are the ones that
    // can be kept. Fewer than 2k targets are measured.
    void take_first_infinite() {
        const int32_t n = static_cast<int32_t>(tree_.rows->size());
        for (int32_t t = 0, taken = 0; t < n && taken < k_; ++t) {
            if (t == source_) continue;
            const double sq = square(tree_, query_, tree_.vector(t));
            ++evaluations_;
            if (sq <= kLargest) continue;
            found_.push_back({t, sq});
            ++taken;
        }
    }

    static bool by_target(const Found& a, const Found& b) { return a.target < b.target; }

    // The candidate rule over the targets within the k-th distance, in target order, on a
    // mirror of the outbound list: ordered insertion in front of equal distances, the farthest
    // replaced only by a strictly nearer target, largest_dist raised by insertion and lowered
    // to the predecessor's distance by a removal.
    void replay(Mirror& out) {
        if (full()) trim();
        std::sort(found_.begin(), found_.end(), by_target);
        out.count = 0;
        out.largest = 0.0;
        for (const Found& f : found_)
            tarn::mirror_offer(out, k_, root(f.sq), f.sq, f.target);
    }

    const Tree& tree_;
    const int32_t k_;
    // Written at every cell and leaf: each on cache lines of its own.
    tarn::OwnLinesArray<double> squares_;  // one leaf's squares
    tarn::OwnLinesArray<double> gap_;      // the current cell's gaps, per component
    tarn::OwnLinesArray<double> heap_;     // max-heap of the k smallest squares seen so far
    tarn::OwnLinesArray<Found> found_;     // every target seen with a square within reach_
    size_t compact_at_ = 0;                // found_ drops the targets out of reach at this size
    double reach_ = kLargest;     // no target with a larger square can be within the k-th distance
    int32_t bar_ = kNoBar;        // once D is 0, no target of this index or more is taken: the
                                  // rule keeps none of them that is not kept already
    int32_t from_ = 0;            // targets below were measured in file order, once D was 0
    bool at_zero_ = false;        // D is 0: found_ holds targets at 0 only, cells go lowest first
    bool unwinding_ = false;      // D is 0 and many targets may be: the search returns to settle
    int32_t zero_entries_ = 0;    // entries found at 0
    int32_t distinct_zeros_ = 0;  // of those past kZeroBudget, the ones not the source's vector
    int32_t source_ = 0;          // vertex index of the source
    const double* query_ = nullptr;
    int64_t evaluations_ = 0;
    // The workers' searches lie side by side in one array: without this gap one worker's
    // counters and bound, written at every leaf, share cache lines with the next worker's
    // fields, and the two threads stall on each other (a third more work with two threads).
    char gap_to_next_[128] = {};
};

// The tree search: sources of a chunk in tree order, so that consecutive searches run through
// the same cells; one Search per worker thread, reused across sources.
class TreeSearch final : public tarn::NeighbourSearch {
public:
    TreeSearch(const Tree& tree, int32_t k) : tree_(tree), k_(k) {}
    void prepare(int32_t workers) override {
        searches_.reserve(static_cast<size_t>(workers));
        for (int32_t w = 0; w < workers; ++w)
            searches_.emplace_back(tree_, k_);
    }
    int64_t search(int32_t worker, const int32_t* sources, int32_t count,
                   Mirror* mirrors) override {
        Search& search = searches_[static_cast<size_t>(worker)];
        const tarn::Rows& rows = *tree_.rows;
        int64_t evaluations = 0;
        for (int32_t i = 0; i < count; ++i) {
            // Sources in tree order lie anywhere in the caller's vectors: a source's row
            // pointer, then its vector, is fetched a few searches ahead, so that reading the
            // query waits on neither (at 10^7 vectors the two misses were a third of a search).
            if (i + 2 * kFetchAhead < count)
                __builtin_prefetch(rows.row.data() + sources[i + 2 * kFetchAhead]);
            if (i + kFetchAhead < count)
                __builtin_prefetch(rows[static_cast<size_t>(sources[i + kFetchAhead])]);
            evaluations += search.run(sources[i], mirrors[i]);
        }
        return evaluations;
    }
    void order(int32_t* sources, int32_t count) const override {
        // All n distinct sources: the tree's members are already in tree order.
        if (static_cast<size_t>(count) == tree_.members.size()) {
            std::copy(tree_.members.begin(), tree_.members.end(), sources);
            return;
        }
        // Some sources: by their place in the tree, which only this needs.
        Array<int32_t> place(tree_.members.size());
        for (size_t at = 0; at < tree_.members.size(); ++at)
            place[static_cast<size_t>(tree_.members[at])] = static_cast<int32_t>(at);
        std::sort(sources, sources + count, [&](int32_t a, int32_t b) {
            return place[static_cast<size_t>(a)] < place[static_cast<size_t>(b)];
        });
    }
    int32_t group() const override { return 64; }

private:
    // Searches ahead of the current one whose source vector is fetched.
    static constexpr int32_t kFetchAhead = 8;

    const Tree& tree_;
    const int32_t k_;
    Array<Search> searches_;
};

// Builds the tree over rows, which must outlive it, on `threads` threads.
void grow(const tarn::Rows& rows, int32_t threads, Tree& tree) {
    tree.dim = rows.features;
    tree.metric = rows.metric;
    tree.rows = &rows;
    Builder(rows, tree, threads).build();
}

}  // namespace

namespace tarn {

bool tree_applies(const Rows& rows) {
    if (rows.features < 1 || !metric_has_box_bound(rows.metric)) return false;
    for (const double* x : rows.row) {
        for (int32_t i = 0; i < rows.features; ++i) {
            if (!std::isfinite(x[i])) return false;
        }
    }
    return true;
}

void create_edges_indexed(Graph* graphp, int32_t k, int32_t threads, size_t chunk_entries,
                          SourceBlock block) {
    const Array<Vertex*> vertices = tarn::graph_vertices(graphp);
    if (vertices.size() < 2) return;
    const Rows rows = graph_rows(vertices, graphp->metric);
    Tree tree;
    grow(rows, threads, tree);
    TreeSearch search(tree, k);
    tarn::build_neighbours(graphp, vertices, k, threads, chunk_entries, search, block);
}

int64_t search_tree(const Rows& rows, int32_t k, int32_t threads, ListSink& sink,
                    size_t chunk_entries, SourceBlock block) {
    if (rows.size() < 2) return 0;
    Tree tree;
    grow(rows, threads, tree);
    TreeSearch search(tree, k);
    return build_lists(static_cast<int32_t>(rows.size()), k, threads, chunk_entries, search, sink,
                       block);
}

int64_t search_tree_of(const Rows& rows, int32_t k, int32_t threads, ListSink& sink,
                       Array<int32_t> sources) {
    if (rows.size() < 2 || sources.empty()) return 0;
    Tree tree;
    grow(rows, threads, tree);
    TreeSearch search(tree, k);
    return build_lists_of(k, threads, search, sink, std::move(sources));
}

}  // namespace tarn
