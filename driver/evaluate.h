// Evaluation of a run against the labels: the marks as a classifier and the rule's ranking
// score as a ranking, printed after the report on standard error.
//
// The ranking measures take n scores oriented so that a higher score is more outlying and a
// flag per item, 1 for a labelled outlier (a positive). A not-a-number score ranks below every
// number, -infinity included; all not-a-number scores tie with each other. Equal scores form a
// tie group whose members are treated alike, never ordered by position. Each measure is
// undefined, and returned as not-a-number, when no item or every item is positive.
#ifndef TARN_DRIVER_EVALUATE_H
#define TARN_DRIVER_EVALUATE_H

#include <cstdint>
#include <cstdio>

#include "rules/rules.h"

struct Parameters;
#include "graph/graph.h"

namespace tarn {

// Area under the ROC curve: the share of (positive, negative) pairs in which the positive
// scores higher, a tied pair counting one half (the Mann–Whitney statistic over P × N).
double roc_auc(const double* score, const int32_t* positive, int32_t n);

// Average precision: the sum over tie groups, from the most outlying down, of the group's share
// of all positives times the precision once the whole group is taken in.
double average_precision(const double* score, const int32_t* positive, int32_t n);

// Precision among the m most outlying items, m the number of positives. When the cut falls
// inside a tie group, the places left are filled by the group's members in proportion: each
// counts group positives / group size (the mean over every order of the tie).
double precision_at_positives(const double* score, const int32_t* positive, int32_t n);

// Prints the evaluation of the run to out, six lines:
//   rule: <name>, n: <n>, k: <k>
//   marked: <m>, labelled outliers (label <P>): <a>
//   TP: <tp>, FP: <fp>, FN: <fn>, TN: <tn>
//   precision: <x>, recall: <x>, F1: <x>
//   ranking score: <score name>, <higher|lower> is more outlying
//   ROC AUC: <x>, average precision: <x>, precision at <a>: <x>
// Each <x> is "%.6f" or "undefined": precision without marks, recall without labelled
// outliers, F1 without either, and the three ranking measures when no vector or every vector
// carries the outlier label.
void print_evaluation(const double* score, const int32_t* label, const int32_t* marked, int32_t n,
                      const Parameters* p, FILE* out);

// -r all's comparison, on out: a line naming n, k and the outlier class, a header, then one line
// per rule in table order, its ranking judged against the labels:
//   n: <n>, k: <k>, labelled outliers (label <P>): <a>
//   ROC AUC    average precision  precision at <a>  rule
//   <x>        <x>                <x>               <key>
// *verdicts[r] is rules()[r]'s; each <x> as print_evaluation writes it.
void print_rule_comparison(const Verdict* const* verdicts, const Parameters* p, FILE* out);

}  // namespace tarn

#endif
