// The verdict of a run as a reader of the graph sees it once the rule has run: which rule ran,
// which vertices carry the outlier mark, and the score by which the rule ranks the vertices.
//
// Nothing here changes the graph. The rules overwrite the in-degree field with the mark but
// leave every inbound list intact, so the length of the inbound list is the in-degree the rule
// saw (after construction, or after pruning for the mutual rule).
#ifndef TARN_DETECT_VERDICT_H
#define TARN_DETECT_VERDICT_H

#include <cstdint>

#include "driver/tarn.h"
#include "graph/graph.h"

// The five rules, in the order in which a set flag selects them.
enum RuleKind { RULE_MKNN, RULE_MEANIN, RULE_MAXIN, RULE_LOF, RULE_INDEGREE };

// The rule a run with parameters p runs: the first set flag in the order -m, -M, -X, -l, else
// the default in-degree rule.
RuleKind selected_rule(const Parameters* p);

// Short human-readable name of the rule, e.g. "local outlier factor".
const char* rule_name(RuleKind rule);

// What the ranking score of the rule is, e.g. "in-degree after construction".
const char* ranking_score_name(RuleKind rule);

// 1 when a higher ranking score is more outlying (-l, -M, -X), 0 when a lower one is (the
// in-degree of the default rule and of -m).
int32_t higher_is_outlying(RuleKind rule);

// 1 when v carries the outlier mark (in-degree 0 or less), else 0.
int32_t vertex_marked(Vertex* v);

// The number of records in v's inbound list.
int32_t inbound_count(Vertex* v);

// The score by which the rule that ran ranks v: its local outlier factor for -l; its in-degree
// for the default rule and -m; for -M and -X the rule's value, (k / in-degree as an integer
// quotient) × incoming measure, computed exactly as the rule computed it, and +infinity for a
// vertex that nobody keeps (the rule skips it, it is marked from the start).
double ranking_score(Vertex* v, const Parameters* p);

#endif
