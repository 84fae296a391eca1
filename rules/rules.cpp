#include "rules/rules.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/parameters.h"
#include "base/workers.h"
#include "rules/cof.h"
#include "rules/distance.h"
#include "rules/factor.h"
#include "rules/incoming.h"
#include "rules/indegree.h"
#include "rules/inflo.h"
#include "rules/loop.h"
#include "rules/mutual.h"

namespace tarn {
namespace {

constexpr Rule kRules[] = {
    {.key = "mutual",
     .letter = 'm',
     .flag = &Parameters::mknn,
     .usage = "-m  (MkNN mode)",
     .name = "mutual k-nearest neighbours",
     .score_name = "in-degree after pruning",
     .higher_is_outlying = false,
     .limit = Limit::kNone,
     .sized_marks = false,
     .precise_score = false,
     .warns_duplicates = false,
     .inbound = InboundDetail::kSources,
     .vertex_bytes = 0,
     .kernel = mutual_kernel},
    {.key = "mean",
     .letter = 'M',
     .flag = &Parameters::meanin,
     .usage = "-M  (mean incoming distance mode)",
     .name = "mean incoming distance",
     .score_name = "(k / in-degree) * incoming distance sum / k",
     .higher_is_outlying = true,
     .limit = Limit::kThreshold,
     .sized_marks = false,
     .precise_score = false,
     .warns_duplicates = false,
     .inbound = InboundDetail::kSourcesAndDistances,
     .vertex_bytes = 0,
     .kernel = mean_incoming_kernel},
    {.key = "max",
     .letter = 'X',
     .flag = &Parameters::maxin,
     .usage = "-X  (max incoming distance mode)",
     .name = "maximum incoming distance",
     .score_name = "(k / in-degree) * largest incoming distance",
     .higher_is_outlying = true,
     .limit = Limit::kThreshold,
     .sized_marks = false,
     .precise_score = false,
     .warns_duplicates = false,
     .inbound = InboundDetail::kSourcesAndDistances,
     .vertex_bytes = 0,
     .kernel = max_incoming_kernel},
    {.key = "lof",
     .letter = 'l',
     .flag = &Parameters::lof,
     .usage = "-l  (LOF mode)",
     .name = "local outlier factor",
     .score_name = "local outlier factor",
     .higher_is_outlying = true,
     .limit = Limit::kThreshold,
     .sized_marks = true,
     .precise_score = false,
     .warns_duplicates = true,
     .inbound = InboundDetail::kCounts,
     .vertex_bytes = sizeof(double),  // the densities
     .kernel = lof_kernel},
    {.key = "knn",
     .letter = 0,
     .flag = &Parameters::knn,
     .usage = nullptr,
     .name = "k-th nearest neighbour distance",
     .score_name = "distance to the k-th nearest neighbour",
     .higher_is_outlying = true,
     .limit = Limit::kScore,
     .sized_marks = false,
     .precise_score = true,
     .warns_duplicates = false,
     .inbound = InboundDetail::kCounts,
     .vertex_bytes = 0,
     .kernel = kth_distance_kernel},
    {.key = "knnw",
     .letter = 0,
     .flag = &Parameters::knnw,
     .usage = nullptr,
     .name = "k-nearest-neighbour weight",
     .score_name = "sum of the distances to the k nearest neighbours",
     .higher_is_outlying = true,
     .limit = Limit::kScore,
     .sized_marks = false,
     .precise_score = true,
     .warns_duplicates = false,
     .inbound = InboundDetail::kCounts,
     .vertex_bytes = 0,
     .kernel = distance_sum_kernel},
    {.key = "loop",
     .letter = 0,
     .flag = &Parameters::loop,
     .usage = nullptr,
     .name = "local outlier probability",
     .score_name = "local outlier probability",
     .higher_is_outlying = true,
     .limit = Limit::kScore,
     .sized_marks = false,
     .precise_score = true,
     .warns_duplicates = true,
     .inbound = InboundDetail::kCounts,
     .vertex_bytes = sizeof(double),  // the probabilistic distances,
     .kernel = loop_kernel},
    {.key = "inflo",
     .letter = 0,
     .flag = &Parameters::inflo,
     .usage = nullptr,
     .name = "influenced outlierness",
     .score_name = "influenced outlierness",
     .higher_is_outlying = true,
     .limit = Limit::kScore,
     .sized_marks = false,
     .precise_score = true,
     .warns_duplicates = true,
     .inbound = InboundDetail::kSources,
     .vertex_bytes = sizeof(double) + 1,  // the densities, a flag,
     .kernel = inflo_kernel},
    {.key = "cof",
     .letter = 0,
     .flag = &Parameters::cof,
     .usage = nullptr,
     .name = "connectivity-based outlier factor",
     .score_name = "connectivity-based outlier factor",
     .higher_is_outlying = true,
     .limit = Limit::kScore,
     .sized_marks = false,
     .precise_score = true,
     .warns_duplicates = true,
     .inbound = InboundDetail::kCounts,
     .vertex_bytes = sizeof(double) + 1,  // the chaining distances, a flag,
     .kernel = cof_kernel},
    {.key = "indegree",
     .letter = 0,
     .flag = nullptr,
     .usage = nullptr,
     .name = "in-degree",
     .score_name = "in-degree after construction",
     .higher_is_outlying = false,
     .limit = Limit::kIndegree,
     .sized_marks = false,
     .precise_score = false,
     .warns_duplicates = false,
     .inbound = InboundDetail::kCounts,
     .vertex_bytes = 0,
     .kernel = indegree_kernel},
};

// The marks of the share's most outlying over every block.
void mark_share(const Rule& rule, double share, Exchange& exchange, Verdict* v) {
    const double direction = rule.higher_is_outlying ? 1.0 : -1.0;
    Array<double> ranked;
    ranked.reserve(v->score.size());
    for (const double score : v->score) {
        if (!std::isnan(score)) ranked.push_back(direction * score);
    }
    const size_t wanted = static_cast<size_t>(share_count(share, exchange.vertices()));
    const ShareCut cut = exchange.share_cut(ranked, wanted);
    for (size_t i = 0; i < v->score.size(); ++i)
        v->marked[i] = cut.any && direction * v->score[i] >= cut.at ? 1 : 0;
}

}  // namespace

std::span<const Rule> rules() {
    return kRules;
}

const Rule& selected_rule(const Parameters* p) {
    for (const Rule& rule : kRules) {
        if (rule.flag == nullptr || p->*rule.flag == 1) return rule;
    }
    return kRules[std::size(kRules) - 1];
}

Parameters with_rule(const Parameters* p, const Rule& rule) {
    Parameters one = *p;
    for (const Rule& other : kRules) {
        if (other.flag != nullptr) one.*other.flag = 0;
    }
    if (rule.flag != nullptr) one.*rule.flag = 1;
    one.all_rules = 0;
    return one;
}

const Rule* rule_by_key(const char* key) {
    for (const Rule& rule : kRules) {
        if (std::strcmp(rule.key, key) == 0) return &rule;
    }
    return nullptr;
}

double marked_share(const Parameters* p) {
    if (p->share > 0) return p->share;
    const bool by_default = selected_rule(p).limit == Limit::kScore && p->threshold_given != 1;
    return by_default ? kDefaultShare : 0.0;
}

int32_t share_count(double share, int32_t n) {
    const double product = share * static_cast<double>(n);
    const double whole = std::round(product);
    const double count = std::fabs(product - whole) <= product * 1e-12 ? whole : std::ceil(product);
    return static_cast<int32_t>(std::clamp(count, 1.0, static_cast<double>(n)));
}

DuplicateScores judge(const Block& block, Exchange& exchange, const Parameters* p, Verdict* v) {
    const size_t n = static_cast<size_t>(block.out.n);
    const int32_t threads = worker_threads(p->threads);
    assign_on_threads(v->indegree, n, 0, threads);
    for (size_t i = 0; i < n; ++i)
        v->indegree[i] = block.in.count(i);
    assign_on_threads(v->lof, n, 0.0, threads);
    assign_on_threads(v->marked, n, 0, threads);
    assign_on_threads(v->score, n, 0.0, threads);
    const Rule& rule = selected_rule(p);
    const DuplicateScores duplicates = rule.kernel(block, exchange, p, v);
    // Made once the kernel's working memory is gone: no kernel reads it.
    assign_on_threads(v->built_indegree, n, 0, threads);
    for (size_t i = 0; i < n; ++i)
        v->built_indegree[i] = block.in.count(i);
    if (const double share = marked_share(p); share > 0) {
        mark_share(rule, share, exchange, v);
    } else if (rule.limit == Limit::kScore) {
        for (size_t i = 0; i < n; ++i)
            v->marked[i] = v->score[i] > p->th ? 1 : 0;
    }
    return duplicates;
}

DuplicateScores judge_lists(const Rows& rows, const NeighbourLists& lists, const Parameters* p,
                            Verdict* v) {
    const InboundIndex in =
        inbound_index(lists, selected_rule(p).inbound, rows, worker_threads(p->threads));
    LocalExchange exchange(lists.n);
    return judge({lists, in, rows, rows.row.data()}, exchange, p, v);
}

double judge_bytes(const Parameters* p, double n, double k) {
    if (p->all_rules == 1) {  // every rule's verdict kept, one rule's working memory at a time
        double most = 0.0;
        for (const Rule& rule : kRules) {
            const Parameters one = with_rule(p, rule);
            most = std::max(most, judge_bytes(&one, n, k));
        }
        return most * static_cast<double>(std::size(kRules));
    }
    const Rule& rule = selected_rule(p);
    // The verdict: two doubles and four 32-bit fields per vertex.
    const double verdict = n * (2 * sizeof(double) + 4 * sizeof(int32_t));
    const double kernel = n * rule.vertex_bytes;
    const double share = marked_share(p) > 0 ? n * sizeof(double) : 0.0;
    return verdict + inbound_bytes(rule.inbound, n, k) + std::max(kernel, share);
}

}  // namespace tarn
