#include "mpi/partition.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>

#include "base/parameters.h"
#include "base/workers.h"
#include "detect/core.h"
#include "detect/kdtree.h"
#include "detect/method.h"
#include "detect/rules.h"
#include "graph/graph.h"
#include "graph/metric.h"
#include "mpi/standardise.h"
#include "mpi/verdict.h"
#include "rules/rules.h"

namespace tarn::mpi {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Sample vectors per process behind the regions' splits.
constexpr int64_t kSamplePerRank = 256;
// Sources in a cell whose box and largest k-th distance ask another region for its vectors.
constexpr size_t kCellSources = 64;
// Vectors in a cell of a region's own, which the asked region tests box by box first.
constexpr size_t kOwnCell = 256;

size_t index(int32_t i) {
    return static_cast<size_t>(i);
}

// The k-d split of the space into one region per rank, the same on every process: node 0 is
// the root; a leaf names its rank.
class Regions {
public:
    // sample: `features` values per vector.
    Regions(const Array<double>& sample, int32_t features, int ranks) : features_(features) {
        Array<int32_t> ids(sample.size() / static_cast<size_t>(std::max(features, 1)));
        std::iota(ids.begin(), ids.end(), 0);
        make(sample, ids, 0, ids.size(), 0, ranks);
    }
    int region(const double* x) const {
        size_t at = 0;
        while (nodes_[at].rank < 0)
            at = index(x[nodes_[at].axis] < nodes_[at].split ? nodes_[at].low : nodes_[at].high);
        return nodes_[at].rank;
    }

private:
    struct Node {
        int32_t axis = 0;
        double split = 0.0;
        int32_t low = -1, high = -1;
        int rank = -1;
    };

    // Ranks [first, last) over sample vectors ids[begin, end): the low side takes the lower
    // half of the ranks and the same share of the sample, along the axis of widest spread.
    int32_t make(const Array<double>& sample, Array<int32_t>& ids, size_t begin, size_t end,
                 int first, int last) {
        const int32_t at = static_cast<int32_t>(nodes_.size());
        nodes_.emplace_back();
        if (last - first == 1) {
            nodes_[index(at)].rank = first;
            return at;
        }
        auto value = [&](int32_t id, int32_t axis) {
            return sample[index(id) * index(features_) + index(axis)];
        };
        int32_t axis = 0;
        double widest = -1.0;
        for (int32_t a = 0; a < features_ && begin < end; ++a) {
            const auto [low, high] = std::minmax_element(
                ids.begin() + static_cast<ptrdiff_t>(begin),
                ids.begin() + static_cast<ptrdiff_t>(end),
                [&](int32_t x, int32_t y) { return value(x, a) < value(y, a); });
            const double spread = value(*high, a) - value(*low, a);
            if (spread > widest) {
                widest = spread;
                axis = a;
            }
        }
        const int middle = first + (last - first) / 2;
        const size_t cut = begin + (end - begin) * static_cast<size_t>(middle - first) /
                                       static_cast<size_t>(last - first);
        double split = 0.0;
        size_t parted = begin;
        if (cut < end) {
            auto by_axis = [&](int32_t x, int32_t y) { return value(x, axis) < value(y, axis); };
            std::nth_element(ids.begin() + static_cast<ptrdiff_t>(begin),
                             ids.begin() + static_cast<ptrdiff_t>(cut),
                             ids.begin() + static_cast<ptrdiff_t>(end), by_axis);
            split = value(ids[cut], axis);
            parted = static_cast<size_t>(
                std::partition(ids.begin() + static_cast<ptrdiff_t>(begin),
                               ids.begin() + static_cast<ptrdiff_t>(end),
                               [&](int32_t x) { return value(x, axis) < split; }) -
                ids.begin());
        }
        const int32_t low = make(sample, ids, begin, parted, first, middle);
        const int32_t high = make(sample, ids, parted, end, middle, last);
        nodes_[index(at)] = {axis, split, low, high, -1};
        return at;
    }

    int32_t features_;
    Array<Node> nodes_;
};

// A box: features low corners, then features high corners. Empty: low above high.
struct Box {
    Array<double> corners;
    const double* lo() const { return corners.data(); }
    const double* hi() const { return corners.data() + corners.size() / 2; }
    bool empty() const { return corners.empty() || corners[0] > hi()[0]; }
};

Box bounding_box(std::span<double* const> rows, int32_t features) {
    Box box;
    box.corners.assign(2 * index(features), 0.0);
    std::fill(box.corners.begin(), box.corners.begin() + features, kInf);
    std::fill(box.corners.begin() + features, box.corners.end(), -kInf);
    for (const double* x : rows) {
        for (int32_t i = 0; i < features; ++i) {
            box.corners[index(i)] = std::min(box.corners[index(i)], x[i]);
            box.corners[index(features + i)] = std::max(box.corners[index(features + i)], x[i]);
        }
    }
    return box;
}

// Groups of at most `most` of the given rows, split at the median of their box's widest side,
// each with its box.
struct Cell {
    size_t begin, end;  // into the grouped rows
    Box box;
};

void make_cells(Array<int32_t>& rows, size_t begin, size_t end, const Rows& vectors, size_t most,
                Array<Cell>& cells) {
    Array<double*> members;
    for (size_t i = begin; i < end; ++i)
        members.push_back(vectors[index(rows[i])]);
    Box box = bounding_box(members, vectors.features);
    if (end - begin <= most) {
        cells.push_back({begin, end, std::move(box)});
        return;
    }
    int32_t axis = 0;
    for (int32_t a = 1; a < vectors.features; ++a) {
        if (box.hi()[a] - box.lo()[a] > box.hi()[axis] - box.lo()[axis]) axis = a;
    }
    const size_t middle = begin + (end - begin) / 2;
    std::nth_element(
        rows.begin() + static_cast<ptrdiff_t>(begin), rows.begin() + static_cast<ptrdiff_t>(middle),
        rows.begin() + static_cast<ptrdiff_t>(end),
        [&](int32_t x, int32_t y) { return vectors[index(x)][axis] < vectors[index(y)][axis]; });
    make_cells(rows, begin, middle, vectors, most, cells);
    make_cells(rows, middle, end, vectors, most, cells);
}

// Records of `width` doubles grouped by destination rank, counts[r] for rank r.
struct Outbox {
    Array<Array<double>> to;
    size_t width;
    Outbox(int ranks, size_t record) : to(static_cast<size_t>(ranks)), width(record) {}
    void put(int rank, std::span<const double> record) {
        Array<double>& mine = to[static_cast<size_t>(rank)];
        mine.insert(mine.end(), record.begin(), record.end());
    }
};

// Sends every outbox's records; returns what arrived, grouped by sender rank, received[r] of
// them from rank r.
Array<double> send_all(Outbox& outbox, Array<int64_t>* received) {
    Array<int64_t> counts;
    Array<double> send;
    step([&] {
        for (Array<double>& records : outbox.to) {
            counts.push_back(static_cast<int64_t>(records.size() / outbox.width));
            send.insert(send.end(), records.begin(), records.end());
            Array<double>().swap(records);
        }
    });
    const Layout layout = exchange_layout(counts, received);
    Array<double> arrived;
    step([&] { arrived.resize(layout.total * outbox.width); });
    exchange_records(send.data(), arrived.data(), layout, outbox.width * sizeof(double));
    return arrived;
}

// A vector as it travels: its vertex number, then its features.
void put_vector(Outbox& outbox, int rank, int32_t vertex, const double* x, int32_t features) {
    const double number = vertex;
    outbox.put(rank, std::span<const double>(&number, 1));
    outbox.put(rank, std::span<const double>(x, index(features)));
}

// A rank for each of a run of places, in as few bits as the number of ranks needs, rounded up
// to a power of two (2 at P = 4, 8 up to P = 256) so that no rank straddles two 64-bit words.
class PackedRanks {
public:
    PackedRanks() = default;
    PackedRanks(size_t count, int ranks)
        : bits_(std::bit_ceil(std::max<size_t>(
              1, static_cast<size_t>(std::bit_width(static_cast<unsigned>(ranks - 1)))))),
          words_((count * bits_ + 63) / 64, 0) {}
    void set(size_t i, int rank) {
        words_[i * bits_ / 64] |= static_cast<uint64_t>(rank) << (i * bits_ % 64);
    }
    int operator[](size_t i) const {
        const uint64_t mask = (uint64_t{1} << bits_) - 1;  // ranks need at most 32 bits
        return static_cast<int>((words_[i * bits_ / 64] >> (i * bits_ % 64)) & mask);
    }

private:
    size_t bits_ = 1;
    Array<uint64_t> words_;
};

// What a process holds of a partitioned run. Local positions number every vertex it knows in
// vertex order: its own, the ghosts (other regions' vectors near its own) and the foreign
// sources (other regions' vertices whose lists name one of its own; their vectors are not
// held).
struct Region {
    int32_t n = 0;
    int32_t features = 0;
    int rank = 0;
    int ranks = 1;
    Array<int32_t> vertex;  // by local position
    Array<int32_t> owner;   // the rank whose region holds it
    Array<double> values;   // the features of own vertices and ghosts
    Rows rows;              // by local position; null for a foreign source
    Array<int32_t> own;     // local positions of own vertices, ascending: the rows of the lists
    Array<double*> source;  // the own vertices' vectors, by row
    NeighbourLists lists;   // targets by local position
    // Per rank q: the rows whose vertices q knows, and the local positions of q's vertices this
    // process knows, both in vertex order, so that they pair up.
    Array<Array<int32_t>> shared, known;
    // Inbound records from other regions: a foreign or ghost source's edge to an own vertex.
    struct Foreign {
        int32_t source;  // local position
        int32_t row;     // the target's row
        double dist;
    };
    Array<Foreign> foreign;
    // The rank whose region holds each vertex of this process's file-order block, by place in
    // the block: the verdicts come back from the regions in that order, without their numbers.
    PackedRanks block_regions;
};

// Vertex numbers as they travel with vectors: each destination's in ascending order, every one
// as its gap from the one before (from the sender's block's first vertex), less one,
// Rice-coded. A destination's run opens with a byte b, the order of its mean gap; each gap g is
// then g >> b one-bits, a zero bit and g's low b bits, filled into bytes from their low end,
// the last byte padded with zeros. Data whose file order is unrelated to the regions sends about
// log2 P + 1.5 bits a vector (3.3 at P = 4); no run takes more than 3 + b bits a vector, since
// its gaps sum to less than 2^(b + 1) a vector.
class GapWriter {
public:
    // b for `count` vertices spread over the first `span` places of a block.
    static int order(int64_t span, int64_t count) {
        const int64_t mean = span / std::max<int64_t>(count, 1);
        return mean <= 1 ? 0
                         : static_cast<int>(std::bit_width(static_cast<uint64_t>(mean - 1))) - 1;
    }
    GapWriter(Array<uint8_t>& out, int b) : out_(out), b_(b) {
        out_.push_back(static_cast<uint8_t>(b));
    }
    void put(uint64_t gap) {
        for (uint64_t q = gap >> b_; q > 0; --q)
            bit(1);
        bit(0);
        for (int i = 0; i < b_; ++i)
            bit((gap >> i) & 1);
    }
    void finish() {
        if (used_ > 0) out_.push_back(byte_);
    }

private:
    void bit(uint64_t value) {
        byte_ = static_cast<uint8_t>(byte_ | value << used_);
        if (++used_ < 8) return;
        out_.push_back(byte_);
        byte_ = 0;
        used_ = 0;
    }

    Array<uint8_t>& out_;
    int b_;
    uint8_t byte_ = 0;
    int used_ = 0;
};

class GapReader {
public:
    explicit GapReader(const uint8_t* run) : at_(run + 1), b_(run[0]) {}
    uint64_t take() {
        uint64_t gap = 0;
        while (bit() != 0)
            ++gap;
        gap <<= b_;
        for (int i = 0; i < b_; ++i)
            gap |= bit() << i;
        return gap;
    }

private:
    uint64_t bit() {
        const uint64_t value = (*at_ >> used_) & 1;
        if (++used_ == 8) {
            ++at_;
            used_ = 0;
        }
        return value;
    }

    const uint8_t* at_;
    int b_;
    int used_ = 0;
};

// The vectors of the block move to their regions' processes: their features, and their vertex
// numbers gap by gap; they arrive in vertex order. The block's values are released once sent.
void gather_region(VectorRun& block, const Regions& regions, Region& region) {
    const int32_t f = region.features;
    const size_t width = index(f) + 1;  // in the block, with the label
    Array<int64_t> counts, gap_counts;
    Array<double> send;
    Array<uint8_t> gaps;
    step([&] {
        const size_t count = block.dims.size();
        Array<int32_t> to(count);
        counts.assign(static_cast<size_t>(region.ranks), 0);
        for (size_t i = 0; i < count; ++i) {
            to[i] = regions.region(block.values.data() + i * width);
            ++counts[static_cast<size_t>(to[i])];
        }
        Array<int64_t> at(counts.size() + 1, 0);
        for (size_t r = 0; r < counts.size(); ++r)
            at[r + 1] = at[r] + counts[r];
        send.resize(count * index(f));
        Array<int64_t> last(counts.size(), -1);
        for (size_t i = 0; i < count; ++i)
            last[index(to[i])] = static_cast<int64_t>(i);
        Array<Array<uint8_t>> coded(counts.size());
        Array<std::optional<GapWriter>> writers(counts.size());
        for (size_t r = 0; r < counts.size(); ++r) {
            if (counts[r] > 0)
                writers[r].emplace(coded[r], GapWriter::order(last[r] + 1, counts[r]));
        }
        std::fill(last.begin(), last.end(), -1);
        for (size_t i = 0; i < count; ++i) {
            const size_t r = index(to[i]);
            double* record = send.data() + static_cast<size_t>(at[r]++) * index(f);
            std::copy_n(block.values.data() + i * width, f, record);
            writers[r]->put(static_cast<uint64_t>(static_cast<int64_t>(i) - last[r] - 1));
            last[r] = static_cast<int64_t>(i);
        }
        for (std::optional<GapWriter>& writer : writers) {
            if (writer) writer->finish();
        }
        Array<double>().swap(block.values);
        region.block_regions = PackedRanks(count, region.ranks);
        for (size_t i = 0; i < count; ++i)
            region.block_regions.set(i, to[i]);
        Array<int32_t>().swap(to);
        for (Array<uint8_t>& run : coded) {
            gap_counts.push_back(static_cast<int64_t>(run.size()));
            gaps.insert(gaps.end(), run.begin(), run.end());
        }
    });
    Array<int64_t> received, gap_received;
    const Layout layout = exchange_layout(counts, &received);
    Array<double> arrived;
    step([&] { arrived.resize(layout.total * index(f)); });
    exchange_records(send.data(), arrived.data(), layout, index(f) * sizeof(double));
    step([&] { Array<double>().swap(send); });
    const Array<uint8_t> numbers = exchange(gaps, gap_counts, &gap_received);
    step([&] {
        const Blocks blocks(region.n, region.rank, region.ranks);
        region.vertex.resize(layout.total);
        const uint8_t* run = numbers.data();
        size_t i = 0;
        for (int r = 0; r < region.ranks; ++r) {
            const size_t from = static_cast<size_t>(r);
            int64_t vertex = blocks.first(r) - 1;
            if (received[from] > 0) {
                GapReader reader(run);
                for (int64_t j = 0; j < received[from]; ++j, ++i) {
                    vertex += static_cast<int64_t>(reader.take()) + 1;
                    region.vertex[i] = static_cast<int32_t>(vertex);
                }
            }
            run += gap_received[from];
        }
        region.owner.assign(layout.total, region.rank);
        region.values = std::move(arrived);
    });
}

// The rows of the held vectors (values in local order, skipping foreign sources).
void lay_rows(Region& region, const Array<uint8_t>& has_vector) {
    region.rows.row.assign(region.vertex.size(), nullptr);
    region.rows.features = region.features;
    size_t at = 0;
    for (size_t i = 0; i < region.vertex.size(); ++i) {
        if (has_vector.empty() || has_vector[i] != 0) {
            region.rows.row[i] = region.values.data() + at;
            at += index(region.features);
        }
    }
}

// The lists of own vectors among themselves: each own vertex's k-th distance so far (infinite
// when the region holds k or fewer).
NeighbourLists local_lists(const Region& region, int32_t k, int32_t threads) {
    NeighbourLists lists;
    const int32_t m = static_cast<int32_t>(region.vertex.size());
    if (m > k) {
        FlatListSink sink(lists, m, k);
        search_tree(region.rows, k, threads, sink);
    } else {
        lists.n = m;
        lists.k = k;
        lists.kdist.resize(index(m));
        std::fill(lists.kdist.begin(), lists.kdist.end(), kInf);
    }
    return lists;
}

// Every region's box, on every process.
Array<Box> region_boxes(const Region& region) {
    Array<double> mine;
    step([&] { mine = bounding_box(region.rows.row, region.features).corners; });
    const Array<double> all = all_gather(mine);
    Array<Box> boxes(static_cast<size_t>(region.ranks));
    const size_t width = 2 * index(region.features);
    for (size_t r = 0; r < boxes.size(); ++r)
        boxes[r].corners.assign(all.begin() + ptrdiff_t(r * width),
                                all.begin() + ptrdiff_t((r + 1) * width));
    return boxes;
}

// The own rows whose k-th distance so far reaches another region's box.
Array<int32_t> crossing_rows(const Region& region, const Array<Box>& boxes,
                             const NeighbourLists& local) {
    Array<int32_t> crossing;
    for (int32_t i = 0; i < static_cast<int32_t>(region.vertex.size()); ++i) {
        for (int q = 0; q < region.ranks; ++q) {
            const Box& box = boxes[static_cast<size_t>(q)];
            if (q == region.rank || box.empty()) continue;
            if (metric_box_bound(region.rows.metric, region.rows[index(i)], box.lo(), box.hi(),
                                 region.features) <= local.kdist[index(i)]) {
                crossing.push_back(i);
                break;
            }
        }
    }
    return crossing;
}

// A region's own vectors in cells of up to kOwnCell, to find those within reach of a cell of
// sources: within its largest k-th distance of its box.
class OwnCells {
public:
    explicit OwnCells(const Region& region) : region_(region), all_(region.vertex.size()) {
        std::iota(all_.begin(), all_.end(), 0);
        if (!all_.empty()) make_cells(all_, 0, all_.size(), region.rows, kOwnCell, cells_);
    }
    // Appends to found, in vertex order, every own row within reach of the cells (records of
    // a box and a radius) not yet stamped with mark, and stamps it.
    void within_reach(std::span<const double> asking, int32_t mark, Array<int32_t>& stamp,
                      Array<int32_t>& found) const {
        const int32_t f = region_.features;
        const Metric& metric = region_.rows.metric;
        const size_t width = 2 * index(f) + 1;
        const size_t first = found.size();
        for (size_t at = 0; at < asking.size(); at += width) {
            const double* lo = asking.data() + at;
            const double* hi = lo + f;
            const double radius = hi[f];
            for (const Cell& cell : cells_) {
                if (metric_boxes_bound(metric, cell.box.lo(), cell.box.hi(), lo, hi, f) > radius)
                    continue;
                for (size_t j = cell.begin; j < cell.end; ++j) {
                    const int32_t t = all_[j];
                    if (stamp[index(t)] == mark ||
                        metric_box_bound(metric, region_.rows[index(t)], lo, hi, f) > radius) {
                        continue;
                    }
                    stamp[index(t)] = mark;
                    found.push_back(t);
                }
            }
        }
        std::sort(found.begin() + static_cast<ptrdiff_t>(first), found.end());
    }

private:
    const Region& region_;
    Array<int32_t> all_;
    Array<Cell> cells_;
};

// Asks the other regions for their vectors within reach of the crossing rows' cells, and
// answers their questions; returns the ghosts that arrived (vector records grouped by sender),
// and records in region.shared the rows sent to each.
Array<double> trade_ghosts(Region& region, const Array<Box>& boxes, Array<int32_t> crossing,
                           const NeighbourLists& local, Array<int64_t>* received,
                           Array<int32_t>* near) {
    const int32_t f = region.features;
    const size_t cell_width = 2 * index(f) + 1;
    Outbox questions(region.ranks, cell_width);
    Array<double> mine;  // the crossing cells, which ask this region too
    step([&] {
        Array<Cell> cells;
        if (!crossing.empty())
            make_cells(crossing, 0, crossing.size(), region.rows, kCellSources, cells);
        for (const Cell& cell : cells) {
            double radius = 0.0;
            for (size_t j = cell.begin; j < cell.end; ++j)
                radius = std::max(radius, local.kdist[index(crossing[j])]);
            mine.insert(mine.end(), cell.box.corners.begin(), cell.box.corners.end());
            mine.push_back(radius);
            for (int q = 0; q < region.ranks; ++q) {
                const Box& box = boxes[static_cast<size_t>(q)];
                if (q == region.rank || box.empty()) continue;
                if (metric_boxes_bound(region.rows.metric, cell.box.lo(), cell.box.hi(), box.lo(),
                                       box.hi(), f) > radius) {
                    continue;
                }
                questions.put(q, cell.box.corners);
                questions.put(q, std::span<const double>(&radius, 1));
            }
        }
    });
    Array<int64_t> asked;
    const Array<double> cells_in = send_all(questions, &asked);
    Outbox answers(region.ranks, index(f) + 1);
    step([&] {
        const OwnCells own(region);
        Array<int32_t> stamp(region.vertex.size(), -1);
        region.shared.assign(static_cast<size_t>(region.ranks), {});
        own.within_reach(mine, region.ranks, stamp, *near);
        const double* cell = cells_in.data();
        for (int r = 0; r < region.ranks; ++r) {
            Array<int32_t>& sent = region.shared[static_cast<size_t>(r)];
            const size_t count = static_cast<size_t>(asked[static_cast<size_t>(r)]);
            own.within_reach(std::span<const double>(cell, count * cell_width), r, stamp, sent);
            cell += count * cell_width;
            for (const int32_t t : sent)
                put_vector(answers, r, region.vertex[index(t)], region.rows[index(t)], f);
        }
    });
    return send_all(answers, received);
}

// Own vertices and ghosts in one vertex order: the local positions from here on. Returns the
// local position of every own row.
Array<int32_t> join_ghosts(Region& region, const Array<double>& ghosts,
                           const Array<int64_t>& received) {
    const int32_t f = region.features;
    const size_t width = index(f) + 1;
    struct Ghost {
        int32_t vertex;
        int32_t owner;
        const double* x;
    };
    Array<Ghost> arrived;
    const double* record = ghosts.data();
    for (int r = 0; r < region.ranks; ++r) {
        for (int64_t g = 0; g < received[static_cast<size_t>(r)]; ++g, record += width)
            arrived.push_back({static_cast<int32_t>(record[0]), r, record + 1});
    }
    std::sort(arrived.begin(), arrived.end(),
              [](const Ghost& a, const Ghost& b) { return a.vertex < b.vertex; });
    const size_t m = region.vertex.size();
    const size_t total = m + arrived.size();
    Array<double> values(total * index(f));
    Array<int32_t> vertex(total), owner(total), own(m);
    size_t g = 0, i = 0;
    for (size_t at = 0; at < total; ++at) {
        const bool ghost = g < arrived.size() && (i == m || arrived[g].vertex < region.vertex[i]);
        const double* x = ghost ? arrived[g].x : region.rows[i];
        vertex[at] = ghost ? arrived[g].vertex : region.vertex[i];
        owner[at] = ghost ? arrived[g].owner : region.rank;
        std::copy_n(x, f, values.data() + at * index(f));
        if (ghost) {
            ++g;
        } else {
            own[i++] = static_cast<int32_t>(at);
        }
    }
    region.vertex = std::move(vertex);
    region.owner = std::move(owner);
    region.values = std::move(values);
    lay_rows(region, {});
    return own;
}

// Writes the second search's lists into the final lists' rows of the crossing sources.
// The search runs over the candidates alone (position[c] is candidate c's local position).
class CrossingSink final : public ListSink {
public:
    CrossingSink(NeighbourLists& lists, const Array<int32_t>& position,
                 const Array<int32_t>& row_of)
        : lists_(lists), position_(position), row_of_(row_of) {}
    bool in_source_order() const override { return false; }
    void write(const int32_t* sources, const Mirror* mirrors, int32_t count) override {
        for (int32_t i = 0; i < count; ++i) {
            const int32_t row = row_of_[index(position_[index(sources[i])])];
            size_t at = lists_.at(row);
            for (int32_t e = 0; e < mirrors[i].count; ++e, ++at)
                lists_.target[at] = position_[index(mirrors[i].kept[e].target)];
            lists_.kdist[index(row)] = mirrors[i].kept[mirrors[i].count - 1].dist;
        }
    }

private:
    NeighbourLists& lists_;
    const Array<int32_t>& position_;
    const Array<int32_t>& row_of_;
};

// The lists of every own vertex: the local ones where no other region can hold a nearer
// target, the crossing ones searched again among own vectors and ghosts.
void build_region_lists(Region& region, VectorRun& block, const Regions& regions,
                        const Parameters* p) {
    const int32_t k = p->k;
    const int32_t threads = worker_threads(p->threads);
    gather_region(block, regions, region);
    NeighbourLists local;
    Array<Box> boxes;
    step([&]() -> std::optional<Error> {
        const size_t share = region.vertex.size();
        if (std::optional<Error> failure =
                check_share_memory(static_cast<int32_t>(share), region.features, p)) {
            return failure;
        }
        lay_rows(region, {});
        local = local_lists(region, k, threads);
        return std::nullopt;
    });
    boxes = region_boxes(region);
    Array<int32_t> crossing;
    step([&] { crossing = crossing_rows(region, boxes, local); });
    Array<int64_t> received;
    Array<int32_t> near;  // own rows within reach of a crossing row's cell
    const Array<double> ghosts = trade_ghosts(region, boxes, crossing, local, &received, &near);
    step([&] {
        // The ghosts' rows sent are own rows, numbered before the join: rows stay rows.
        region.own = join_ghosts(region, ghosts, received);
        const int32_t m = static_cast<int32_t>(region.own.size());
        Array<int32_t> row_of(region.vertex.size(), -1);
        for (int32_t i = 0; i < m; ++i)
            row_of[index(region.own[index(i)])] = i;
        // The local lists become the final ones in place: the crossing rows are searched again,
        // the others' targets renumbered.
        NeighbourLists& lists = region.lists;
        lists = std::move(local);
        lists.target.resize(index(m) * index(k));  // unfilled when the region held k or fewer
        Array<uint8_t> again(index(m), 0);
        for (const int32_t i : crossing)
            again[index(i)] = 1;
        for (int32_t i = 0; i < m; ++i) {
            if (again[index(i)] != 0) continue;
            for (size_t at = lists.at(i); at < lists.at(i + 1); ++at)
                lists.target[at] = region.own[index(lists.target[at])];
        }
        if (lists.order.size() != index(m)) lists.order.clear();
        // The candidates of the crossing rows: the own vectors within reach of their cells (the
        // crossing rows among them) and the ghosts, in vertex order.
        Array<uint8_t> candidate(region.vertex.size(), 0);
        for (const int32_t i : near)
            candidate[index(region.own[index(i)])] = 1;
        Array<int32_t>().swap(near);
        Rows rows;
        rows.features = region.features;
        rows.metric = region.rows.metric;
        Array<int32_t> position, sources;
        for (size_t at = 0; at < region.vertex.size(); ++at) {
            if (candidate[at] == 0 && region.owner[at] == region.rank) continue;
            const int32_t row = row_of[at];
            if (row >= 0 && again[index(row)] != 0)
                sources.push_back(static_cast<int32_t>(position.size()));
            position.push_back(static_cast<int32_t>(at));
            rows.row.push_back(region.rows[at]);
        }
        CrossingSink sink(lists, position, row_of);
        search_tree_of(rows, k, threads, sink, std::move(sources));
        region.source.resize(index(m));
        for (int32_t i = 0; i < m; ++i)
            region.source[index(i)] = region.rows[index(region.own[index(i)])];
    });
}

// One list entry whose target another region owns, on its way there.
struct Edge {
    int32_t source;
    int32_t target;
    double dist;
};

// Sends every edge to another region's vertex to its owner, and takes in the foreign sources
// of the edges that arrive; renumbers the local positions to include them. Returns whether a
// kept distance overflowed (every vector here is finite).
bool trade_edges(Region& region) {
    Array<int64_t> counts;
    Array<Edge> send;
    bool overflow = false;
    step([&] {
        const NeighbourLists& lists = region.lists;
        Array<Array<Edge>> to(static_cast<size_t>(region.ranks));
        for (int32_t i = 0; i < lists.n; ++i) {
            const int32_t s = region.own[index(i)];
            for (size_t at = lists.at(i); at < lists.at(i + 1); ++at) {
                const int32_t t = lists.target[at];
                const double dist = entry_distance(region.rows, region.source[index(i)], lists, at);
                overflow = overflow || std::isinf(dist);
                const int q = region.owner[index(t)];
                if (q == region.rank) continue;
                to[static_cast<size_t>(q)].push_back(
                    {region.vertex[index(s)], region.vertex[index(t)], dist});
                Array<int32_t>& shared = region.shared[static_cast<size_t>(q)];
                if (shared.empty() || shared.back() != i) shared.push_back(i);
            }
        }
        for (Array<Edge>& edges : to) {
            counts.push_back(static_cast<int64_t>(edges.size()));
            send.insert(send.end(), edges.begin(), edges.end());
        }
    });
    Array<int64_t> received;
    const Array<Edge> arrived = exchange(send, counts, &received);
    step([&] {
        Array<Edge>().swap(send);
        // The rows sent as ghosts and as sources, each once, in vertex order (rows are).
        for (Array<int32_t>& shared : region.shared) {
            std::sort(shared.begin(), shared.end());
            shared.erase(std::unique(shared.begin(), shared.end()), shared.end());
        }
        // The foreign sources this process did not know, with their ranks.
        Array<std::pair<int32_t, int32_t>> fresh;
        size_t at = 0;
        for (int r = 0; r < region.ranks; ++r) {
            for (int64_t e = 0; e < received[static_cast<size_t>(r)]; ++e, ++at) {
                const int32_t s = arrived[at].source;
                if (!std::binary_search(region.vertex.begin(), region.vertex.end(), s))
                    fresh.push_back({s, r});
            }
        }
        std::sort(fresh.begin(), fresh.end());
        fresh.erase(std::unique(fresh.begin(), fresh.end()), fresh.end());
        // Merge them in: every old position moves up by the fresh vertices below it, counted
        // while the old numbers are still in place; then the arrays grow and merge from the back.
        auto moved = [&](int32_t position) {
            const auto below = std::lower_bound(
                fresh.begin(), fresh.end(), region.vertex[index(position)],
                [](const std::pair<int32_t, int32_t>& x, int32_t v) { return x.first < v; });
            return position + static_cast<int32_t>(below - fresh.begin());
        };
        for (int32_t& t : region.lists.target)
            t = moved(t);
        for (int32_t& i : region.own)
            i = moved(i);
        const size_t old = region.vertex.size();
        const size_t total = old + fresh.size();
        region.vertex.resize(total);
        region.owner.resize(total);
        region.rows.row.resize(total);
        size_t known_left = old, fresh_left = fresh.size();
        for (size_t to = total; to-- > 0;) {
            if (fresh_left > 0 &&
                (known_left == 0 || fresh[fresh_left - 1].first > region.vertex[known_left - 1])) {
                --fresh_left;
                region.vertex[to] = fresh[fresh_left].first;
                region.owner[to] = fresh[fresh_left].second;
                region.rows.row[to] = nullptr;
            } else {
                --known_left;
                region.vertex[to] = region.vertex[known_left];
                region.owner[to] = region.owner[known_left];
                region.rows.row[to] = region.rows.row[known_left];
            }
        }
        Array<int32_t> row_of(region.vertex.size(), -1);
        for (size_t i = 0; i < region.own.size(); ++i)
            row_of[index(region.own[i])] = static_cast<int32_t>(i);
        region.known.assign(static_cast<size_t>(region.ranks), {});
        for (size_t i = 0; i < region.vertex.size(); ++i) {
            if (region.owner[i] != region.rank)
                region.known[static_cast<size_t>(region.owner[i])].push_back(
                    static_cast<int32_t>(i));
        }
        region.foreign.resize(arrived.size());
        for (size_t e = 0; e < arrived.size(); ++e) {
            const auto s =
                std::lower_bound(region.vertex.begin(), region.vertex.end(), arrived[e].source);
            const auto t =
                std::lower_bound(region.vertex.begin(), region.vertex.end(), arrived[e].target);
            region.foreign[e] = {static_cast<int32_t>(s - region.vertex.begin()),
                                 row_of[index(static_cast<int32_t>(t - region.vertex.begin()))],
                                 arrived[e].dist};
        }
        std::sort(
            region.foreign.begin(), region.foreign.end(),
            [](const Region::Foreign& a, const Region::Foreign& b) { return a.source < b.source; });
    });
    return sum(overflow ? 1 : 0) > 0;
}

// The inbound index of the own vertices, sources ascending (local positions are in vertex
// order), with what detail asks.
InboundIndex region_inbound(const Region& region, InboundDetail detail) {
    const NeighbourLists& lists = region.lists;
    const size_t m = index(lists.n);
    Array<int32_t> row_of(region.vertex.size(), -1);
    for (size_t i = 0; i < m; ++i)
        row_of[index(region.own[i])] = static_cast<int32_t>(i);
    InboundIndex in;
    if (detail == InboundDetail::kCounts) {
        in.counts.assign(m, 0);
        for (const int32_t t : lists.target) {
            if (row_of[index(t)] >= 0) ++in.counts[index(row_of[index(t)])];
        }
        for (const Region::Foreign& edge : region.foreign)
            ++in.counts[index(edge.row)];
        return in;
    }
    Array<int64_t> first(m + 1, 0);
    for (const int32_t t : lists.target) {
        if (row_of[index(t)] >= 0) ++first[index(row_of[index(t)]) + 1];
    }
    for (const Region::Foreign& edge : region.foreign)
        ++first[index(edge.row) + 1];
    for (size_t i = 0; i < m; ++i)
        first[i + 1] += first[i];
    const bool distances = detail == InboundDetail::kSourcesAndDistances;
    in.source.resize(static_cast<size_t>(first[m]));
    if (distances) in.dist.resize(in.source.size());
    Array<int64_t> next(first.begin(), first.end() - 1);
    auto put = [&](int32_t row, int32_t source, double dist) {
        const size_t at = static_cast<size_t>(next[index(row)]++);
        in.source[at] = source;
        if (distances) in.dist[at] = dist;
    };
    // Sources in local order: own rows and foreign records merged.
    size_t f = 0;
    for (size_t i = 0; i < m; ++i) {
        const int32_t s = region.own[i];
        for (; f < region.foreign.size() && region.foreign[f].source < s; ++f)
            put(region.foreign[f].row, region.foreign[f].source, region.foreign[f].dist);
        const int32_t row = static_cast<int32_t>(i);
        for (size_t at = lists.at(row); at < lists.at(row + 1); ++at) {
            const int32_t t = row_of[index(lists.target[at])];
            if (t < 0) continue;
            put(t, s, distances ? entry_distance(region.rows, region.source[i], lists, at) : 0.0);
        }
    }
    for (; f < region.foreign.size(); ++f)
        put(region.foreign[f].row, region.foreign[f].source, region.foreign[f].dist);
    in.first = std::move(first);
    return in;
}

// The exchange of the regions: a value of every vertex this process knows, own vertices' from
// the kernel, the others' from their owners, each of which sends the values of the vertices it
// shared. The kernel's result owns the values.
class RegionExchange final : public WorldExchange {
public:
    explicit RegionExchange(const Region& region) : region_(region) {}
    int32_t vertices() const override { return region_.n; }
    NeighbourValues neighbours(const NeighbourLists& lists, std::span<const double> own) override {
        checkpoint(std::nullopt);
        return NeighbourValues(spread(own), lists.target.data());
    }
    NeighbourValues sources(const InboundIndex& in, std::span<const double> own) override {
        checkpoint(std::nullopt);
        return NeighbourValues(spread(own), in.source.data());
    }

private:
    Array<double> spread(std::span<const double> own) {
        Array<int64_t> counts;
        Array<double> send;
        step([&] {
            for (const Array<int32_t>& rows : region_.shared) {
                counts.push_back(static_cast<int64_t>(rows.size()));
                for (const int32_t i : rows)
                    send.push_back(own[index(i)]);
            }
        });
        Array<int64_t> received;
        const Array<double> arrived = exchange(send, counts, &received);
        Array<double> values;
        step([&] {
            values.assign(region_.vertex.size(), 0.0);
            for (size_t i = 0; i < own.size(); ++i)
                values[index(region_.own[i])] = own[i];
            size_t at = 0;
            for (const Array<int32_t>& known : region_.known) {
                for (const int32_t position : known)
                    values[index(position)] = arrived[at++];
            }
        });
        return values;
    }

    const Region& region_;
};

// A verdict on one vertex on its way to the owner of its file-order block: a record of a flag
// byte and the ranking score, and the stored score apart, only where the flags do not give it
// (it is the ranking score or +0 for every rule). The vertex goes without its number: each
// region sends its vertices of a block in ascending order, and the block's owner knows which of
// its vertices each region holds. The in-degrees stay with the regions: the output reads only
// these.
enum OutcomeFlags : uint8_t { kMarked = 1, kLofIsScore = 2, kLofIsZero = 4 };
constexpr size_t kOutcomeBytes = 1 + sizeof(double);

uint8_t outcome_flags(int32_t marked, double lof, double score) {
    const uint8_t mark = marked != 0 ? kMarked : 0;  // marks are 0 or 1
    if (std::bit_cast<uint64_t>(lof) == std::bit_cast<uint64_t>(score)) return mark | kLofIsScore;
    if (std::bit_cast<uint64_t>(lof) == 0) return mark | kLofIsZero;
    return mark;
}

bool lof_apart(uint8_t flags) {
    return (flags & (kLofIsScore | kLofIsZero)) == 0;
}

// The verdict on the own vertices, to the owners of their blocks.
Verdict to_blocks(const Region& region, Verdict mine, const Array<int32_t>& labels) {
    const Blocks blocks(region.n, region.rank, region.ranks);
    Array<int64_t> counts, lof_counts;
    Array<uint8_t> send;
    Array<double> lofs;
    step([&] {
        // Own vertices ascend with their local positions, and so within each block's run.
        const auto owner = [&](size_t i) {
            return index(blocks.owner(region.vertex[index(region.own[i])]));
        };
        counts.assign(static_cast<size_t>(region.ranks), 0);
        lof_counts.assign(counts.size(), 0);
        Array<uint8_t> flags(region.own.size());
        for (size_t i = 0; i < region.own.size(); ++i) {
            flags[i] = outcome_flags(mine.marked[i], mine.lof[i], mine.score[i]);
            const size_t r = owner(i);
            ++counts[r];
            if (lof_apart(flags[i])) ++lof_counts[r];
        }
        Array<size_t> at(counts.size()), lof_at(counts.size());
        for (size_t r = 1; r < counts.size(); ++r) {
            at[r] = at[r - 1] + static_cast<size_t>(counts[r - 1]);
            lof_at[r] = lof_at[r - 1] + static_cast<size_t>(lof_counts[r - 1]);
        }
        send.resize(region.own.size() * kOutcomeBytes);
        lofs.resize(
            static_cast<size_t>(std::accumulate(lof_counts.begin(), lof_counts.end(), int64_t{0})));
        for (size_t i = 0; i < region.own.size(); ++i) {
            const size_t r = owner(i);
            uint8_t* record = send.data() + at[r]++ * kOutcomeBytes;
            record[0] = flags[i];
            std::memcpy(record + 1, &mine.score[i], sizeof(double));
            if (lof_apart(flags[i])) lofs[lof_at[r]++] = mine.lof[i];
        }
        mine = Verdict{};
    });
    Array<int64_t> received, lofs_received;
    const Layout layout = exchange_layout(counts, &received);
    Array<uint8_t> arrived;
    step([&] { arrived.resize(layout.total * kOutcomeBytes); });
    exchange_records(send.data(), arrived.data(), layout, kOutcomeBytes);
    step([&] { Array<uint8_t>().swap(send); });
    const Array<double> arrived_lofs = exchange(lofs, lof_counts, &lofs_received);
    Verdict verdict;
    step([&] {
        Array<double>().swap(lofs);
        const size_t count = labels.size();
        verdict.marked.resize(count);
        verdict.lof.resize(count);
        verdict.score.resize(count);
        // Where the next record and stored score from each region are.
        Array<size_t> next(layout.receive_at.begin(), layout.receive_at.end());
        Array<size_t> next_lof(received.size());
        for (size_t r = 1; r < received.size(); ++r)
            next_lof[r] = next_lof[r - 1] + static_cast<size_t>(lofs_received[r - 1]);
        for (size_t i = 0; i < count; ++i) {
            const size_t r = index(region.block_regions[i]);
            const uint8_t* record = arrived.data() + next[r]++ * kOutcomeBytes;
            verdict.marked[i] = (record[0] & kMarked) != 0 ? 1 : 0;
            std::memcpy(&verdict.score[i], record + 1, sizeof(double));
            if (lof_apart(record[0])) {
                verdict.lof[i] = arrived_lofs[next_lof[r]++];
            } else {
                verdict.lof[i] = (record[0] & kLofIsScore) != 0 ? verdict.score[i] : 0.0;
            }
        }
        verdict.label = labels;
    });
    return verdict;
}

// Drops all but what to_blocks reads: the own vertices' numbers and the block's regions.
void release_vectors(Region& region) {
    region.lists = NeighbourLists{};
    Array<double>().swap(region.values);
    region.rows = Rows{};
    Array<double*>().swap(region.source);
    Array<Region::Foreign>().swap(region.foreign);
    region.shared.clear();
    region.known.clear();
}

// Runs one rule's kernel over the region; a failure meets the others at a checkpoint.
DuplicateScores judge_region(const Region& region, const Parameters* p, Verdict* verdict) {
    InboundIndex in;
    step([&] { in = region_inbound(region, selected_rule(p).inbound); });
    RegionExchange exchange(region);
    return judge_together({region.lists, in, region.rows, region.source.data()}, exchange, p,
                          verdict);
}

// The first vector's dimension, from the first process that holds a vector.
int32_t first_dimension(const VectorRun& block) {
    const Array<double> all = all_values(block.dims.empty() ? -1.0 : double(block.dims[0]));
    for (const double dim : all) {
        if (dim >= 0) return static_cast<int32_t>(dim);
    }
    return -1;
}

// The sample of vectors sample_dimension reads, gathered on every process.
double gathered_dimension(const VectorRun& block, int32_t n, int32_t features,
                          const Array<ColumnScale>& scales) {
    Array<double> mine;
    step([&] {
        const size_t width = index(features) + 1;
        for (int32_t i = 0; i < sample_size(n); ++i) {
            const int64_t at = sample_position(i, n) - block.first;
            if (at < 0 || at >= static_cast<int64_t>(block.dims.size())) continue;
            const double* x = block.values.data() + static_cast<size_t>(at) * width;
            mine.insert(mine.end(), x, x + features);
        }
    });
    Array<double> all = all_gather(mine);
    for (size_t at = 0; at < all.size() && !scales.empty(); ++at)
        all[at] = standardised_value(all[at], scales[at % index(features)]);
    Array<const double*> rows;
    for (size_t at = 0; at < all.size(); at += index(features))
        rows.push_back(all.data() + at);
    return sample_dimension_of(rows, features);
}

// The sample the regions are split by: every stride-th vector of the input.
Array<double> region_sample(const VectorRun& block, int32_t features, int ranks) {
    const int64_t stride = std::max<int64_t>(1, block.n / (kSamplePerRank * ranks));
    Array<double> mine;
    step([&] {
        const size_t width = index(features) + 1;
        for (size_t i = 0; i < block.dims.size(); ++i) {
            if ((block.first + static_cast<int64_t>(i)) % stride != 0) continue;
            const double* x = block.values.data() + i * width;
            mine.insert(mine.end(), x, x + features);
        }
    });
    return all_gather(mine);
}

}  // namespace

Spread spread_of(const VectorRun& block, const Parameters* p, Array<ColumnScale>* scales) {
    scales->clear();
    if (const char* replicate = std::getenv("TARN_MPI_REPLICATE");
        replicate != nullptr && std::strcmp(replicate, "1") == 0) {
        return Spread::kCopies;
    }
    if (block.n < 2 || block.n > INT32_MAX || p->k < 1 || p->k >= block.n) {
        return Spread::kCopies;
    }
    const Metric metric = metric_of(p);
    const int32_t dim = first_dimension(block);
    // Every vector of the first one's width, every feature finite; for the cosine every feature
    // below 10^150 too, so that no product overflows and every distance is a number.
    int32_t fit = 1;
    step([&] {
        const double most = metric.kind == MetricKind::kCosine ? 1e150 : kInf;
        for (size_t i = 0, at = 0; i < block.dims.size(); at += index(block.dims[i]), ++i) {
            if (block.dims[i] != dim) {
                fit = 0;
                return;
            }
            for (int32_t c = 0; c + 1 < dim; ++c) {
                if (!(std::fabs(block.values[at + index(c)]) < most)) fit = 0;
            }
        }
    });
    if (dim < 2 || sum(fit) != world_size()) return Spread::kCopies;
    // tarn chooses its builder from the standardised vectors.
    if (p->standardise == 1) *scales = input_scales(block, dim - 1);
    const int32_t n = static_cast<int32_t>(block.n);
    const bool tree =
        metric_has_box_bound(metric) && p->brute != 1 &&
        (p->index == 1 ||
         choose_method(n, p->k, gathered_dimension(block, n, dim - 1, *scales)) == Method::kTree);
    if (tree) return Spread::kRegions;
    // The connectivity-based factor reads the vectors of a vertex's neighbours.
    const bool reads_vectors = p->all_rules == 1 || std::strcmp(selected_rule(p).key, "cof") == 0;
    if (reads_vectors) scales->clear();
    return reads_vectors ? Spread::kCopies : Spread::kRing;
}

void judge_partitioned(VectorRun& block, const Parameters* p, Array<Verdict>* verdicts,
                       Array<DuplicateScores>* duplicates, bool* overflow) {
    Array<int32_t> labels;
    step([&] {
        const size_t width = block.dims.empty() ? 0 : index(block.dims[0]);
        labels.resize(block.dims.size());
        for (size_t i = 0; i < labels.size(); ++i)
            labels[i] = label_of(block.values[i * width + width - 1]);
    });
    Region region;
    region.n = static_cast<int32_t>(block.n);
    region.features = first_dimension(block) - 1;
    region.rank = world_rank();
    region.ranks = world_size();
    region.rows.metric = metric_of(p);
    const Regions regions(region_sample(block, region.features, region.ranks), region.features,
                          region.ranks);
    build_region_lists(region, block, regions, p);
    *overflow = trade_edges(region);
    note_lists_made();
    Array<int32_t>().swap(region.owner);  // the exchange pairs values through shared and known
    const size_t count = p->all_rules == 1 ? rules().size() : 1;
    for (size_t r = 0; r < count; ++r) {
        const Parameters one = count == 1 ? *p : with_rule(p, rules()[r]);
        Verdict mine;
        duplicates->push_back(judge_region(region, &one, &mine));
        // After the last rule only the own vertices' numbers are still read.
        if (r + 1 == count) step([&] { release_vectors(region); });
        verdicts->push_back(to_blocks(region, std::move(mine), labels));
    }
}

}  // namespace tarn::mpi
