// The in-degree detection rules, their measures, and the table of all five rules.
//
// A rule leaves its verdict in the graph: it marks a vertex as an outlier by setting the
// vertex's in-degree to 0 with vertex_indegree_set. Comparisons are strict and a not-a-number
// value never marks. The rules overwrite the in-degree field with the mark but leave every
// inbound list intact, so the length of the inbound list is the in-degree the rule saw (after
// construction, or after pruning for the mutual rule).
//
// The table is the one place that knows the closed set of rules: the run, the option parser,
// the usage text and the evaluation all read it. A new rule is a row and its functions.
#ifndef TARN_DETECT_RULES_H
#define TARN_DETECT_RULES_H

#include <cstdint>
#include <span>

#include "graph/graph.h"

struct Parameters;

// The smallest nearest-neighbour distance over all vertices; every vertex needs an edge.
double findmin(Graph* g);

// The largest distance over all edges; 0.0 for a graph without edges.
double findmax(Graph* g);

// The largest distance among v's inbound records (0.0 when it has none).
double maxincoming(Vertex* v);

// The sum of the distances of v's inbound records divided by indegree.
double meanincoming(Vertex* v, int32_t indegree);

// The threshold of the incoming-distance rules: (max − min) × th − min.
double calcthreshold(Graph* g, double th);

// Marks every vertex whose (k / in-degree) × largest incoming distance exceeds the threshold.
void maxin(Graph* g, Parameters* p);

// Marks every vertex whose (k / in-degree) × (incoming distance sum / k) exceeds the threshold.
void meanin(Graph* g, Parameters* p);

// Removes every edge whose reverse edge is absent, leaving the mutual neighbours.
void mknn(Graph* g);

// Marks every vertex whose in-degree is at most p->I.
void kill_unwated_vertexes(Graph* g, Parameters* p);

namespace tarn {

// The five rules, in the order in which a set flag selects them.
enum RuleKind { RULE_MKNN, RULE_MEANIN, RULE_MAXIN, RULE_LOF, RULE_INDEGREE };

// One row of the rule table.
struct Rule {
    RuleKind kind;
    char letter;                // the option that selects it; 0 for the default rule
    int32_t Parameters::*flag;  // the flag that option sets; null for the default rule
    const char* usage;          // its usage-text line after the indent; null for the default
    const char* name;           // e.g. "local outlier factor"
    const char* score_name;     // what its ranking score is
    bool higher_is_outlying;    // whether a higher ranking score is more outlying
    void (*run)(Graph* g, Parameters* p);             // marks (and scores) the vertices
    double (*score)(Vertex* v, const Parameters* p);  // v's ranking score once it has run
    double vertex_bytes;  // working memory of run beyond the graph, per vertex
    double edge_bytes;    // and per kept edge (for the memory check before the edges)
};

// Every rule in order of precedence: a run runs the first whose flag is set, the last row (the
// default in-degree rule, without a flag) when none is.
std::span<const Rule> rules();

// The rule a run with parameters p runs.
const Rule& selected_rule(const Parameters* p);

// What mknn does, the same edges removed in the same order, without walking a target's list
// for each edge: whether u keeps v is a mark set from v's keepers, which are gathered once
// from the outbound lists. Time proportional to n × k (and n × log n to number the vertices)
// instead of n × k². Allocates about 8 bytes per edge and 20 per vertex.
void prune_one_way(Graph* g);

// 1 when v carries the outlier mark (in-degree 0 or less), else 0.
int32_t vertex_marked(const Vertex* v);

// The number of records in v's inbound list.
int32_t inbound_count(Vertex* v);

// The score by which the rule p selects ranks v once it has run: its local outlier factor for
// -l; its inbound count for the default rule and -m; for -M and -X the rule's own value,
// (k / in-degree as an integer quotient) × incoming measure, and +infinity for a vertex that
// nobody keeps (the rule skips it, it is marked from the start).
double ranking_score(Vertex* v, const Parameters* p);

// ⌈share × n⌉ for a share in (0, 1], kept within 1 … n. A product within a relative 1e-12 of a
// whole number counts as that number: a decimal share is stored a little off (0.07 × 100 is
// 7.000000000000001 in doubles), and the user asked for 7 of 100, not 8.
int32_t share_count(double share, int32_t n);

// Replaces the marks of the rule p selects, once it has run, by the share p->share of the most
// outlying vertices: the share_count most outlying by the ranking score, in the rule's
// direction, and every vertex tied with the last of them; a not-a-number score is never
// marked. The in-degree field then holds only the mark: 0 for a marked vertex, else its inbound
// count or 1 when nobody keeps it (the inbound lists still give the in-degrees).
void mark_most_outlying(Graph* g, const Parameters* p);

}  // namespace tarn

#endif
