#include "detect/compact.h"

#include <algorithm>
#include <cassert>
#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>

#include "base/parameters.h"
#include "detect/rules.h"

namespace tarn {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Vertices a thread takes at a time.
constexpr int32_t kGrain = 1024;

// Every vertex's in-degree: how many lists name it.
Array<int32_t> inbound_counts(const NeighbourLists& lists) {
    Array<int32_t> counts(static_cast<size_t>(lists.n), 0);
    for (const int32_t t : lists.target)
        ++counts[static_cast<size_t>(t)];
    return counts;
}

// The default rule: a vertex kept by at most I others is marked. The mark is an in-degree of 0
// or less, so a vertex nobody keeps is marked whatever I is.
void indegree_rule(const Parameters* p, Verdict* v) {
    for (size_t i = 0; i < v->indegree.size(); ++i) {
        const int32_t d = v->indegree[i];
        v->marked[i] = d <= p->I || d <= 0 ? 1 : 0;
        v->score[i] = static_cast<double>(d);
    }
}

// The sources of each vertex's inbound list, in source order: vertex t's are
// keepers[first[t] … first[t + 1]).
struct Keepers {
    Array<int64_t> first;
    Array<int32_t> keepers;
};

Keepers gather_keepers(const NeighbourLists& lists, const Array<int32_t>& indegree) {
    const size_t n = static_cast<size_t>(lists.n);
    Keepers k;
    k.first.assign(n + 1, 0);
    for (size_t t = 0; t < n; ++t)
        k.first[t + 1] = k.first[t] + indegree[t];
    Array<int64_t> next(k.first.begin(), k.first.end() - 1);
    k.keepers.resize(lists.target.size());
    for (int32_t s = 0; s < lists.n; ++s) {
        for (size_t at = lists.at(s); at < lists.at(s + 1); ++at) {
            const size_t t = static_cast<size_t>(lists.target[at]);
            k.keepers[static_cast<size_t>(next[t]++)] = s;
        }
    }
    return k;
}

// Mutual pruning keeps s → t exactly when t → s was built: an earlier removal of t → s would
// have needed s → t to be absent, and s's own list is whole until s's turn. So what is left
// of a vertex's inbound list is the keepers it keeps in turn, as many as its own edges left. The
// vertices are independent; each worker marks keepers in a stamp array of its own.
void mutual_rule(const NeighbourLists& lists, int32_t threads, Verdict* v) {
    const Keepers keepers = gather_keepers(lists, v->built_indegree);
    Array<Array<int32_t>> stamps(static_cast<size_t>(threads));
    auto count = [&](int32_t worker, int32_t begin, int32_t end) {
        Array<int32_t>& kept_by = stamps[static_cast<size_t>(worker)];
        if (kept_by.empty()) kept_by.assign(static_cast<size_t>(lists.n), -1);
        for (int32_t i = begin; i < end; ++i) {
            const size_t t = static_cast<size_t>(i);
            for (int64_t j = keepers.first[t]; j < keepers.first[t + 1]; ++j)
                kept_by[static_cast<size_t>(keepers.keepers[static_cast<size_t>(j)])] = i;
            int32_t mutual = 0;
            for (size_t at = lists.at(i); at < lists.at(i + 1); ++at)
                mutual += kept_by[static_cast<size_t>(lists.target[at])] == i ? 1 : 0;
            v->indegree[t] = mutual;
            v->marked[t] = mutual <= 0 ? 1 : 0;
            v->score[t] = static_cast<double>(mutual);
        }
    };
    for_each_range(lists.n, kGrain, threads, count);
}

// The threshold of the incoming-distance rules: (max − min) × th − min over the smallest
// nearest-neighbour distance and the largest kept distance, compared as findmin and findmax
// compare them.
double incoming_threshold(const NeighbourLists& lists, double th) {
    double minimum = DBL_MAX;
    for (int32_t s = 0; s < lists.n; ++s) {
        if (lists.dist[lists.at(s)] < minimum) minimum = lists.dist[lists.at(s)];
    }
    double maximum = 0.0;
    for (const double d : lists.dist) {
        if (d > maximum) maximum = d;
    }
    return (maximum - minimum) * th - minimum;
}

// -M and -X: each vertex's incoming distances summed (or their largest taken) in the order of
// its inbound list, which is source order; then (k / in-degree) × the measure against the
// threshold. A vertex nobody keeps carries the mark from the start and scores +infinity.
void incoming_rule(const NeighbourLists& lists, const Parameters* p, bool mean, Verdict* v) {
    const size_t n = static_cast<size_t>(lists.n);
    Array<double> measure(n, 0.0);
    for (size_t at = 0; at < lists.target.size(); ++at) {
        double& m = measure[static_cast<size_t>(lists.target[at])];
        const double d = lists.dist[at];
        if (mean) {
            m += d;
        } else if (d > m) {
            m = d;
        }
    }
    const double threshold = incoming_threshold(lists, p->th);
    for (size_t i = 0; i < n; ++i) {
        const int32_t d = v->indegree[i];
        if (d == 0) {
            v->marked[i] = 1;
            v->score[i] = kInfinity;
            continue;
        }
        const double m = mean ? measure[i] / static_cast<double>(p->k) : measure[i];
        v->score[i] = static_cast<double>(p->k / d) * m;
        v->marked[i] = v->score[i] > threshold ? 1 : 0;
    }
}

// The local outlier factor: every density once, from the neighbours' k-distances (the last
// distance of each list), then every score from the stored densities, with the operations of
// lrd and lof in their order.
class LocalOutlierFactor {
public:
    explicit LocalOutlierFactor(const NeighbourLists& lists)
        : lists_(lists), density_(static_cast<size_t>(lists.n)) {}

    void run(int32_t threads, const Parameters* p, Verdict* v) {
        auto densities = [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t i = begin; i < end; ++i)
                density_[static_cast<size_t>(i)] = density(i);
        };
        for_each_range(lists_.n, kGrain, threads, densities);
        auto scores = [&](int32_t, int32_t begin, int32_t end) {
            for (int32_t i = begin; i < end; ++i) {
                const size_t at = static_cast<size_t>(i);
                v->lof[at] = factor(i);
                v->score[at] = v->lof[at];
                v->marked[at] = v->indegree[at] <= 0 || v->lof[at] > p->th ? 1 : 0;
            }
        };
        for_each_range(lists_.n, kGrain, threads, scores);
    }

    // The scores an infinite density made not-a-number or infinite.
    DuplicateScores duplicates(const Verdict& v) const {
        DuplicateScores counts{0, 0};
        for (int32_t i = 0; i < lists_.n; ++i) {
            const double score = v.lof[static_cast<size_t>(i)];
            if (std::isfinite(score) || !meets_infinite_density(i)) continue;
            if (std::isnan(score)) {
                ++counts.nan;
            } else if (score > 0) {
                ++counts.inf;
            }
        }
        return counts;
    }

private:
    double density(int32_t i) const {
        const size_t k = static_cast<size_t>(lists_.k);
        double reach = 0.0;
        for (size_t at = lists_.at(i); at < lists_.at(i + 1); ++at) {
            const double kdist = lists_.dist[lists_.at(lists_.target[at]) + k - 1];
            const double d = lists_.dist[at];
            reach += d < kdist ? kdist : d;
        }
        return 1 / (reach / static_cast<double>(lists_.k));
    }

    double factor(int32_t i) const {
        const double own = density_[static_cast<size_t>(i)];
        double sum = 0.0;
        for (size_t at = lists_.at(i); at < lists_.at(i + 1); ++at)
            sum += density_[static_cast<size_t>(lists_.target[at])];
        return (sum / own) / static_cast<double>(lists_.k);
    }

    bool meets_infinite_density(int32_t i) const {
        if (density_[static_cast<size_t>(i)] == kInfinity) return true;
        for (size_t at = lists_.at(i); at < lists_.at(i + 1); ++at) {
            if (density_[static_cast<size_t>(lists_.target[at])] == kInfinity) return true;
        }
        return false;
    }

    const NeighbourLists& lists_;
    Array<double> density_;
};

// -c: the share_count most outlying by the ranking score in the rule's direction, and every
// vertex tied with the last of them, are marked; nothing else is. Not-a-number scores take no
// place.
void mark_share(const Rule& rule, const Parameters* p, Verdict* v) {
    const double direction = rule.higher_is_outlying ? 1.0 : -1.0;
    Array<double> ranked;
    ranked.reserve(v->score.size());
    for (const double score : v->score) {
        if (!std::isnan(score)) ranked.push_back(direction * score);
    }
    const int32_t n = static_cast<int32_t>(v->score.size());
    const size_t count = std::min(static_cast<size_t>(share_count(p->share, n)), ranked.size());
    double cut = kInfinity;
    if (count > 0) {
        std::nth_element(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(count - 1),
                         ranked.end(), std::greater<double>());
        cut = ranked[count - 1];
    }
    for (size_t i = 0; i < v->score.size(); ++i)
        v->marked[i] = count > 0 && direction * v->score[i] >= cut ? 1 : 0;
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
    lists_.dist.resize(entries);
}

void FlatListSink::write(const int32_t* sources, const Mirror* mirrors, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        const Mirror& m = mirrors[i];
        assert(m.count == lists_.k);  // every entry of the unfilled lists is written
        size_t at = lists_.at(sources[i] - first_);
        for (int32_t e = 0; e < m.count; ++e, ++at) {
            lists_.target[at] = m.kept[e].target;
            lists_.dist[at] = m.kept[e].dist;
        }
    }
}

DuplicateScores judge_lists(const NeighbourLists& lists, const Parameters* p, Verdict* v) {
    const size_t n = static_cast<size_t>(lists.n);
    v->built_indegree = inbound_counts(lists);
    v->indegree = v->built_indegree;
    v->lof.assign(n, 0.0);
    v->marked.assign(n, 0);
    v->score.assign(n, 0.0);
    const Rule& rule = selected_rule(p);
    const int32_t threads = worker_threads(p->threads);
    DuplicateScores duplicates{0, 0};
    switch (rule.kind) {
        case RULE_MKNN:
            mutual_rule(lists, threads, v);
            break;
        case RULE_MEANIN:
        case RULE_MAXIN:
            incoming_rule(lists, p, rule.kind == RULE_MEANIN, v);
            break;
        case RULE_LOF: {
            LocalOutlierFactor factor(lists);
            factor.run(threads, p, v);
            duplicates = factor.duplicates(*v);
            break;
        }
        case RULE_INDEGREE:
            indegree_rule(p, v);
            break;
    }
    if (p->share > 0) mark_share(rule, p, v);
    return duplicates;
}

double judge_bytes(const Parameters* p, double n, double k) {
    // The verdict: two doubles and four 32-bit fields per vertex.
    const double verdict = n * (2 * sizeof(double) + 4 * sizeof(int32_t));
    double working = 0.0;
    switch (selected_rule(p).kind) {
        case RULE_MKNN:  // the keepers, their offsets twice, and a stamp array per thread
            working = n * k * sizeof(int32_t) +
                      n * (2 * sizeof(int64_t) +
                           static_cast<double>(worker_threads(p->threads)) * sizeof(int32_t));
            break;
        case RULE_MEANIN:
        case RULE_MAXIN:
        case RULE_LOF:  // one measure or density per vertex
            working = n * sizeof(double);
            break;
        case RULE_INDEGREE:
            break;
    }
    if (p->share > 0) working = std::max(working, n * sizeof(double));
    return verdict + working;
}

}  // namespace tarn
