// The in-degree detection rules, their measures, and the table of all five rules.
//
// A rule leaves its verdict in the graph: it marks a vertex as an outlier by setting the
// vertex's in-degree to 0 with vertex_indegree_set. Comparisons are strict and a not-a-number
// value never marks. The rules overwrite the in-degree field with the mark but leave every
// inbound list intact, so the length of the inbound list is the in-degree the rule saw (after
// construction, or after pruning for the mutual rule).
//
// These are the library's rules over the linked graph, kept as its interface and as the
// reference the flat kernels of rules/ are checked against; a run judges through the kernels.
#ifndef TARN_DETECT_RULES_H
#define TARN_DETECT_RULES_H

#include <cstdint>
#include <span>

#include "graph/graph.h"
#include "rules/rules.h"

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

// A rule's form over the linked graph, for the rule table's row of the same key.
struct LinkedRule {
    const char* key;
    void (*run)(Graph* g, Parameters* p);             // marks (and scores) the vertices
    double (*score)(Vertex* v, const Parameters* p);  // v's ranking score once it has run
    double vertex_bytes;  // working memory of run beyond the graph, per vertex
    double edge_bytes;    // and per kept edge (for the memory check before the edges)
};

// The linked form of the rule p selects. A rule without one of its own runs its kernel over the
// graph's lists (run_kernel_over_graph) and ranks by the lof field.
const LinkedRule& linked_rule(const Parameters* p);

// Runs the rule p selects through its kernel over the outbound lists of g (as built: every vertex
// keeps as many): the ranking score goes into each vertex's lof field, a mark sets its in-degree to
// 0, and an unmarked vertex's in-degree is its inbound count, at least 1 (a rule that marks by
// its score alone leaves a vertex nobody keeps unmarked).
void run_kernel_over_graph(Graph* g, Parameters* p);

// What mknn does, the same edges removed in the same order, without walking a target's list
// for each edge: whether u keeps v is a mark set from v's keepers, which are gathered once
// from the outbound lists. Time proportional to n × k (and n × log n to number the vertices)
// instead of n × k². Allocates about 8 bytes per edge and 20 per vertex.
void prune_one_way(Graph* g);

// The verdict the rule p selects has left in g, as a run's verdict in vertex order: what the
// linked graph's run hands to the after-detection sequence. Both in-degree fields hold the
// inbound counts the graph has (after pruning, for the mutual rule).
Verdict linked_verdict(Graph* g, const Parameters* p);

// 1 when v carries the outlier mark (in-degree 0 or less), else 0.
int32_t vertex_marked(const Vertex* v);

// The number of records in v's inbound list.
int32_t inbound_count(Vertex* v);

// The score by which the rule p selects ranks v once it has run: its local outlier factor for
// -l; its inbound count for the default rule and -m; for -M and -X the rule's own value,
// (k / in-degree as an integer quotient) × incoming measure, and +infinity for a vertex that
// nobody keeps (the rule skips it, it is marked from the start).
double ranking_score(Vertex* v, const Parameters* p);

// Replaces the marks of the rule p selects, once it has run, by the share p->share of the most
// outlying vertices: the share_count most outlying by the ranking score, in the rule's
// direction, and every vertex tied with the last of them; a not-a-number score is never
// marked. The in-degree field then holds only the mark: 0 for a marked vertex, else its inbound
// count or 1 when nobody keeps it (the inbound lists still give the in-degrees).
void mark_most_outlying(Graph* g, const Parameters* p);

}  // namespace tarn

#endif
