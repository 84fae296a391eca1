#include "detect/verdict.h"

#include <limits>

#include "detect/init.h"

RuleKind selected_rule(const Parameters* p) {
    if (p->mknn == 1) return RULE_MKNN;
    if (p->meanin == 1) return RULE_MEANIN;
    if (p->maxin == 1) return RULE_MAXIN;
    if (p->lof == 1) return RULE_LOF;
    return RULE_INDEGREE;
}

const char* rule_name(RuleKind rule) {
    switch (rule) {
        case RULE_MKNN:
            return "mutual k-nearest neighbours";
        case RULE_MEANIN:
            return "mean incoming distance";
        case RULE_MAXIN:
            return "maximum incoming distance";
        case RULE_LOF:
            return "local outlier factor";
        case RULE_INDEGREE:
            break;
    }
    return "in-degree";
}

const char* ranking_score_name(RuleKind rule) {
    switch (rule) {
        case RULE_MKNN:
            return "in-degree after pruning";
        case RULE_MEANIN:
            return "(k / in-degree) * incoming distance sum / k";
        case RULE_MAXIN:
            return "(k / in-degree) * largest incoming distance";
        case RULE_LOF:
            return "local outlier factor";
        case RULE_INDEGREE:
            break;
    }
    return "in-degree after construction";
}

int32_t higher_is_outlying(RuleKind rule) {
    return rule == RULE_INDEGREE || rule == RULE_MKNN ? 0 : 1;
}

int32_t vertex_marked(Vertex* v) {
    return vertex_indegree(v) <= 0 ? 1 : 0;
}

int32_t inbound_count(Vertex* v) {
    int32_t count = 0;
    Iterator* it = iterate_start();
    while (iterate_vertex_inbound_edge(v, it) != nullptr)
        ++count;
    return count;
}

double ranking_score(Vertex* v, const Parameters* p) {
    RuleKind rule = selected_rule(p);
    if (rule == RULE_LOF) return v->lof;
    int32_t d = inbound_count(v);
    if (rule == RULE_INDEGREE || rule == RULE_MKNN) return static_cast<double>(d);
    if (d == 0) return std::numeric_limits<double>::infinity();
    // The same operations, in the same order, as the incoming-distance rules.
    double factor = static_cast<double>(p->k / d);
    double measure = rule == RULE_MAXIN ? maxincoming(v) : meanincoming(v, p->k);
    return factor * measure;
}
