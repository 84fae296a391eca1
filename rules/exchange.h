// What a rule's kernel needs from beyond its block of vertices, behind one interface: a run on
// one process has one block (the whole set) and reads everything in place; a distributed run
// fetches it from the processes that own it (mpi/verdict.h).
//
// Every call is a collective of the run: each block's kernel makes the same calls in the same
// order, whatever its data, and every block gets the same answer.
#ifndef TARN_RULES_EXCHANGE_H
#define TARN_RULES_EXCHANGE_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/alloc.h"
#include "graph/lists.h"
#include "rules/exact_sum.h"

namespace tarn {

// The scores that zero distances (duplicated points) made not-a-number or infinite: for the
// local outlier factor, a vertex's own density or a neighbour's is +infinity, which a zero sum
// of reachability distances gives; each other rule's header says which of its scores count.
// Scores made non-finite otherwise (a not-a-number or infinite coordinate) are not counted.
struct DuplicateScores {
    int32_t nan;  // vertices scoring not-a-number
    int32_t inf;  // vertices scoring +infinity
};

// A value per outbound entry (or inbound record) of a block: the value the entry's target (the
// record's source) holds. Either read in place from every vertex's values by vertex, or fetched
// into an array by entry.
class NeighbourValues {
public:
    NeighbourValues(const double* by_vertex, const int32_t* target)
        : by_vertex_(by_vertex), target_(target) {}
    explicit NeighbourValues(Array<double> by_entry) : by_entry_(std::move(by_entry)) {}
    // Values by vertex that the result owns: a moved array keeps its buffer, so the pointer
    // stays valid through moves; a copy would not, hence none.
    NeighbourValues(Array<double> by_vertex, const int32_t* target)
        : held_(std::move(by_vertex)), by_vertex_(held_.data()), target_(target) {}
    NeighbourValues(NeighbourValues&&) = default;
    NeighbourValues(const NeighbourValues&) = delete;
    NeighbourValues& operator=(const NeighbourValues&) = delete;

    double operator[](size_t entry) const {
        return by_vertex_ != nullptr ? by_vertex_[target_[entry]] : by_entry_[entry];
    }

private:
    Array<double> held_;
    const double* by_vertex_ = nullptr;
    const int32_t* target_ = nullptr;
    Array<double> by_entry_;
};

// Where a share of the most outlying is cut: every score at least `at` is marked, none when
// !any.
struct ShareCut {
    bool any = false;
    double at = 0.0;
};

// The score of the count-th most outlying of ranked (higher is more outlying, no not-a-number),
// count at most ranked.size(); reorders ranked.
ShareCut cut_at(Array<double>& ranked, size_t count);

class Exchange {
public:
    // The vertices of the whole run.
    virtual int32_t vertices() const = 0;
    // For each entry of the block's outbound lists, own's value of its target (own[i] is the
    // block's vertex i's). own must outlive the result.
    virtual NeighbourValues neighbours(const NeighbourLists& lists,
                                       std::span<const double> own) = 0;
    // For each record of the block's inbound index (which holds the sources), own's value of
    // its source. own must outlive the result.
    virtual NeighbourValues sources(const InboundIndex& in, std::span<const double> own) = 0;
    // The least and the greatest of every block's value, folded in block order with < and >
    // from the first block's (so a not-a-number never wins over a number before it).
    virtual double least(double mine) = 0;
    virtual double greatest(double mine) = 0;
    // The sum over every block.
    virtual int64_t total(int64_t mine) = 0;
    // The duplicate scores over every block: each block counts its own vertices'.
    virtual DuplicateScores duplicates(DuplicateScores mine) {
        return {static_cast<int32_t>(total(mine.nan)), static_cast<int32_t>(total(mine.inf))};
    }
    // The exact sum over every block, as a double: the same bits however the run is split.
    virtual double exact_sum(const ExactSum& mine) = 0;
    // The cut of the `wanted` most outlying over every block, ranked holding this block's
    // scores that are numbers, turned so that higher is more outlying: at most as many as
    // all blocks hold are taken. ranked may be reordered.
    virtual ShareCut share_cut(Array<double>& ranked, size_t wanted) = 0;

protected:
    ~Exchange() = default;
};

// The exchange of a run whose one block is every vertex.
class LocalExchange final : public Exchange {
public:
    explicit LocalExchange(int32_t n) : n_(n) {}
    int32_t vertices() const override { return n_; }
    NeighbourValues neighbours(const NeighbourLists& lists, std::span<const double> own) override {
        return NeighbourValues(own.data(), lists.target.data());
    }
    double least(double mine) override { return mine; }
    double greatest(double mine) override { return mine; }
    NeighbourValues sources(const InboundIndex& in, std::span<const double> own) override {
        return NeighbourValues(own.data(), in.source.data());
    }
    int64_t total(int64_t mine) override { return mine; }
    double exact_sum(const ExactSum& mine) override { return mine.value(); }
    ShareCut share_cut(Array<double>& ranked, size_t wanted) override;

private:
    int32_t n_;
};

}  // namespace tarn

#endif
