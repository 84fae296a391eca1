#include "rules/reference.h"

#include <stdexcept>

#include "rules/rules.h"

namespace tarn {
namespace {

using Call = ReferenceRecord::Call;

// The exchange of the reference's one block, keeping what it hands across.
class RecordingExchange final : public Exchange {
public:
    RecordingExchange(int32_t n, ReferenceRecord& record) : local_(n), record_(record) {}
    int32_t vertices() const override { return local_.vertices(); }
    NeighbourValues neighbours(const NeighbourLists& lists, std::span<const double> own) override {
        keep(Call::kNeighbours, own);
        return local_.neighbours(lists, own);
    }
    NeighbourValues sources(const InboundIndex& in, std::span<const double> own) override {
        keep(Call::kSources, own);
        return local_.sources(in, own);
    }
    double least(double mine) override { return fold(Call::kLeast, mine); }
    double greatest(double mine) override { return fold(Call::kGreatest, mine); }
    int64_t total(int64_t mine) override {
        return static_cast<int64_t>(fold(Call::kTotal, static_cast<double>(mine)));
    }
    double exact_sum(const ExactSum& mine) override {
        return fold(Call::kExactSum, local_.exact_sum(mine));
    }
    DuplicateScores duplicates(DuplicateScores mine) override { return mine; }
    ShareCut share_cut(Array<double>& ranked, size_t wanted) override {
        return local_.share_cut(ranked, wanted);
    }

private:
    void keep(Call call, std::span<const double> values) {
        record_.entries.push_back({call, Array<double>(values.begin(), values.end()), 0.0});
    }
    double fold(Call call, double answer) {
        record_.entries.push_back({call, {}, answer});
        return answer;
    }

    LocalExchange local_;
    ReferenceRecord& record_;
};

// The exchange of a block of queries: the reference's values from the record, in call order.
class ReplayExchange final : public Exchange {
public:
    ReplayExchange(const ReferenceRecord& record, Exchange& queries)
        : record_(record), queries_(queries) {}
    int32_t vertices() const override { return queries_.vertices(); }
    NeighbourValues neighbours(const NeighbourLists& lists, std::span<const double>) override {
        return NeighbourValues(next(Call::kNeighbours).values.data(), lists.target.data());
    }
    NeighbourValues sources(const InboundIndex& in, std::span<const double>) override {
        return NeighbourValues(next(Call::kSources).values.data(), in.source.data());
    }
    double least(double) override { return next(Call::kLeast).scalar; }
    double greatest(double) override { return next(Call::kGreatest).scalar; }
    int64_t total(int64_t) override { return static_cast<int64_t>(next(Call::kTotal).scalar); }
    double exact_sum(const ExactSum&) override { return next(Call::kExactSum).scalar; }
    DuplicateScores duplicates(DuplicateScores mine) override { return queries_.duplicates(mine); }
    ShareCut share_cut(Array<double>& ranked, size_t wanted) override {
        return queries_.share_cut(ranked, wanted);
    }

private:
    const ReferenceRecord::Entry& next(Call call) {
        // The same kernel makes the same calls: anything else is a fault of this program.
        if (at_ >= record_.entries.size() || record_.entries[at_].call != call)
            throw std::logic_error("a query's kernel left the reference's order of calls");
        return record_.entries[at_++];
    }

    const ReferenceRecord& record_;
    Exchange& queries_;
    size_t at_ = 0;
};

}  // namespace

DuplicateScores record_reference(const Block& reference, const Parameters* p,
                                 ReferenceRecord* record, Verdict* verdict) {
    record->entries.clear();
    RecordingExchange exchange(reference.out.n, *record);
    return judge(reference, exchange, p, verdict);
}

DuplicateScores judge_queries(const Block& block, const ReferenceRecord& record, Exchange& queries,
                              const Parameters* p, Verdict* verdict) {
    ReplayExchange exchange(record, queries);
    return judge(block, exchange, p, verdict);
}

}  // namespace tarn
