#include "driver/evaluate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "base/parameters.h"
#include "detect/rules.h"
#include "rules/rules.h"
#include "vectors/table.h"

namespace {

constexpr double kUndefined = std::numeric_limits<double>::quiet_NaN();

// Items that share one score, and how many of them are positive.
struct TieGroup {
    int32_t size;
    int32_t positives;
};

// True when a is more outlying than b: a higher number, and any number beats not-a-number.
bool more_outlying(double a, double b) {
    if (std::isnan(b)) return !std::isnan(a);
    return a > b;
}

// The tie groups from the most outlying score down.
std::vector<TieGroup> tie_groups(const double* score, const int32_t* positive, int32_t n) {
    std::vector<int32_t> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [score](int32_t a, int32_t b) { return more_outlying(score[a], score[b]); });
    std::vector<TieGroup> groups;
    for (size_t i = 0; i < order.size(); ++i) {
        bool starts_group = i == 0 || more_outlying(score[order[i - 1]], score[order[i]]);
        if (starts_group) groups.push_back({0, 0});
        groups.back().size += 1;
        groups.back().positives += positive[order[i]] != 0 ? 1 : 0;
    }
    return groups;
}

int32_t count_positives(const int32_t* positive, int32_t n) {
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i)
        count += positive[i] != 0 ? 1 : 0;
    return count;
}

// Writes "%.6f" of value, or "undefined" for not-a-number.
void print_measure(FILE* out, double value) {
    if (std::isnan(value)) {
        std::fputs("undefined", out);
    } else {
        std::fprintf(out, "%.6f", value);
    }
}

double ratio(int32_t numerator, int32_t denominator) {
    if (denominator == 0) return kUndefined;
    return static_cast<double>(numerator) / static_cast<double>(denominator);
}

}  // namespace

namespace tarn {

double roc_auc(const double* score, const int32_t* positive, int32_t n) {
    const int32_t positives = count_positives(positive, n);
    const int32_t negatives = n - positives;
    if (positives == 0 || negatives == 0) return kUndefined;
    // Walk from the least outlying group up, counting the negatives already passed.
    std::vector<TieGroup> groups = tie_groups(score, positive, n);
    double wins = 0.0;
    double negatives_below = 0.0;
    for (auto g = groups.rbegin(); g != groups.rend(); ++g) {
        double group_negatives = g->size - g->positives;
        wins += g->positives * (negatives_below + 0.5 * group_negatives);
        negatives_below += group_negatives;
    }
    return wins / (static_cast<double>(positives) * static_cast<double>(negatives));
}

double average_precision(const double* score, const int32_t* positive, int32_t n) {
    const int32_t positives = count_positives(positive, n);
    if (positives == 0 || positives == n) return kUndefined;
    double sum = 0.0;
    int32_t taken = 0, hits = 0;
    for (const TieGroup& g : tie_groups(score, positive, n)) {
        taken += g.size;
        hits += g.positives;
        sum += static_cast<double>(g.positives) * static_cast<double>(hits) /
               static_cast<double>(taken);
    }
    return sum / static_cast<double>(positives);
}

double precision_at_positives(const double* score, const int32_t* positive, int32_t n) {
    const int32_t positives = count_positives(positive, n);
    if (positives == 0 || positives == n) return kUndefined;
    double hits = 0.0;
    int32_t places = positives;
    for (const TieGroup& g : tie_groups(score, positive, n)) {
        if (places == 0) break;
        int32_t take = std::min(places, g.size);
        hits += static_cast<double>(take) * static_cast<double>(g.positives) /
                static_cast<double>(g.size);
        places -= take;
    }
    return hits / static_cast<double>(positives);
}

void print_evaluation(const double* ranking, const int32_t* label, const int32_t* mark, int32_t n,
                      const Parameters* p, FILE* out) {
    const tarn::Rule& rule = tarn::selected_rule(p);
    const double orientation = rule.higher_is_outlying ? 1.0 : -1.0;
    std::vector<double> score;
    std::vector<int32_t> positive;
    int32_t tp = 0, fp = 0, fn = 0, tn = 0;
    for (int32_t i = 0; i < n; ++i) {
        int32_t is_outlier = label[i] == p->outlier_label ? 1 : 0;
        int32_t marked = mark[i];
        tp += marked & is_outlier;
        fp += marked & (1 - is_outlier);
        fn += (1 - marked) & is_outlier;
        tn += (1 - marked) & (1 - is_outlier);
        score.push_back(orientation * ranking[i]);
        positive.push_back(is_outlier);
    }
    const int32_t outliers = tp + fn;

    std::fprintf(out, "rule: %s, n: %d, k: %d", rule.name, n, p->k);
    if (p->share <= 0 && tarn::marked_share(p) > 0) {
        std::fprintf(out, ", marks: the most outlying %g %% (neither -c nor -T given)",
                     tarn::marked_share(p) * 100);
    }
    std::fputs("\n", out);
    std::fprintf(out, "marked: %d, labelled outliers (label %s): %d\n", tp + fp,
                 tableLabelText(p->names, p->outlier_label).c_str(), outliers);
    std::fprintf(out, "TP: %d, FP: %d, FN: %d, TN: %d\n", tp, fp, fn, tn);
    std::fputs("precision: ", out);
    print_measure(out, ratio(tp, tp + fp));
    std::fputs(", recall: ", out);
    print_measure(out, ratio(tp, tp + fn));
    std::fputs(", F1: ", out);
    print_measure(out, ratio(2 * tp, 2 * tp + fp + fn));
    std::fprintf(out, "\nranking score: %s, %s is more outlying\n", rule.score_name,
                 rule.higher_is_outlying ? "higher" : "lower");
    std::fputs("ROC AUC: ", out);
    print_measure(out, roc_auc(score.data(), positive.data(), n));
    std::fputs(", average precision: ", out);
    print_measure(out, average_precision(score.data(), positive.data(), n));
    std::fprintf(out, ", precision at %d: ", outliers);
    print_measure(out, precision_at_positives(score.data(), positive.data(), n));
    std::fputs("\n", out);
}

void print_rule_comparison(const Verdict* const* verdicts, const Parameters* p, FILE* out) {
    const int32_t n = static_cast<int32_t>(verdicts[0]->score.size());
    std::vector<int32_t> positive(static_cast<size_t>(n));
    int32_t outliers = 0;
    for (int32_t i = 0; i < n; ++i) {
        positive[static_cast<size_t>(i)] =
            verdicts[0]->label[static_cast<size_t>(i)] == p->outlier_label ? 1 : 0;
        outliers += positive[static_cast<size_t>(i)];
    }
    std::fprintf(out, "n: %d, k: %d, labelled outliers (label %s): %d\n", n, p->k,
                 tableLabelText(p->names, p->outlier_label).c_str(), outliers);
    const std::string at = "precision at " + std::to_string(outliers);
    std::fprintf(out, "%-10s %-18s %-*s rule\n", "ROC AUC", "average precision",
                 static_cast<int>(at.size()), at.c_str());
    std::vector<double> score(static_cast<size_t>(n));
    for (size_t r = 0; r < rules().size(); ++r) {
        const double orientation = rules()[r].higher_is_outlying ? 1.0 : -1.0;
        for (size_t i = 0; i < score.size(); ++i)
            score[i] = orientation * verdicts[r]->score[i];
        auto measure = [&](double value, int width) {
            char text[32] = "undefined";
            if (!std::isnan(value)) std::snprintf(text, sizeof text, "%.6f", value);
            std::fprintf(out, "%-*s ", width, text);
        };
        measure(roc_auc(score.data(), positive.data(), n), 10);
        measure(average_precision(score.data(), positive.data(), n), 18);
        measure(precision_at_positives(score.data(), positive.data(), n),
                static_cast<int>(at.size()));
        std::fprintf(out, "%s\n", rules()[r].key);
    }
}

}  // namespace tarn
