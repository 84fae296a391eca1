// The neighbour graph: a store of vertices that own one feature vector each, joined by directed
// weighted edges, the walks over it, and the distance routine that builds it.
//
// Every edge is an edge pair: an outbound record in the outbound list of its source, kept in
// distance order, and an inbound record in the inbound list of its target, kept in insertion
// order. The two records point at each other through otherend, so a pair is removed from
// either end in constant time and never half.
//
// No operation checks its arguments: pointers are not null, a record handed to a removal sits
// in the named vertex's list of that kind, a vertex belongs to the graph it is passed with.
// All memory comes from allocate, which ends the process when memory runs out; no operation
// here returns a failure. Vertex and edge records of every graph are carved from process-wide
// pools, so graphs are changed from one thread at a time; reading a graph from many threads
// is fine.
//
// Walk contract. iterate_start gives a fresh cursor; a step operation returns the next item on
// each call, and the step that returns null releases the cursor, so a walk run to its end
// needs no clean-up. A cursor serves one walk and is dead after that null step. While
// walking a vertex's outbound records with iterate_vertex_edge, the caller may remove the
// pair of the record the last step returned (free_edge on that vertex); the next step then
// returns the record that followed it. No other change to a list being walked is allowed,
// and the vertex list must not change during a vertex walk.
#ifndef TARN_GRAPH_GRAPH_H
#define TARN_GRAPH_GRAPH_H

#include <cstdint>

#include "graph/metric.h"
#include "vectors/fvector.h"

struct Vertex;

// One record of an edge pair. Both records of a pair carry the same dist, to and from; the
// list that holds a record says whether it is the outbound or the inbound one. otherend is
// null only inside a removal, between unhooking the partner and releasing the record.
struct Edge {
    double dist;     // the edge's weight
    Vertex* to;      // target vertex
    Vertex* from;    // source vertex
    Edge* otherend;  // the partner record of the pair
    Edge* next;      // toward the tail of the holding list; null at the tail
    Edge* prev;      // toward the head of the holding list; null at the head
};

// A vertex owns its vector and both records of every edge that starts or ends at it.
// Invariants: outn..outf is doubly linked and ordered by the ordered-insertion rule
// (non-decreasing dist while no dist is not-a-number; a not-a-number record stops every later
// insertion walk at itself); inn..inf is doubly linked in insertion order; each head/tail pair
// is both null or both set; outdegree is the outbound list's length; indegree is the inbound
// list's length until a detection rule overwrites it (the outlier mark), after which every
// inbound removal still decrements it. edge_lut belongs to the vertex but only free_edge_lut
// releases it.
struct Vertex {
    HFV vector;           // owned; its last component is 0 once inserted
    int32_t flag;         // the label taken from the vector's last component
    int32_t freq;         // frequency count, 1 at insertion
    double lof;           // local outlier factor score, 0 at insertion
    int32_t id;           // caller's identifier; sizes the edge look-up table
    double largest_dist;  // farthest outbound distance as tracked by insertion and removal
    int32_t outdegree;    // records in the outbound list
    int32_t indegree;     // records in the inbound list, or the outlier mark
    Edge* outn;           // nearest outbound record
    Edge* outf;           // farthest outbound record
    Edge* inn;            // earliest inserted inbound record
    Edge* inf;            // latest inserted inbound record
    int32_t* edge_lut;    // id + 1 flags, or null
    Vertex* next;         // toward bottom; null for the bottom vertex
    Vertex* prev;         // toward top; null for the top vertex
};

// The graph owns its vertices. Invariants: top..bottom is doubly linked in insertion order,
// both ends null or both set; total_vert is the list's length.
struct Graph {
    int32_t total_vert;         // vertices now in the graph
    int32_t dist_calculations;  // distance evaluations made by cdist since the last set_dcalc
    Vertex* top;                // earliest inserted vertex still present
    Vertex* bottom;             // latest inserted vertex
    tarn::Metric metric;        // what cdist measures, Euclidean unless set after create_graph
};

// The cursor of one walk. A vertex walk uses curvert, an edge walk curedge; a null field means
// the walk has not started. A vertex stored in curvert before the first step makes the walk
// continue after that vertex.
struct Iterator {
    Vertex* curvert;  // vertex returned last by a vertex walk
    Edge* curedge;    // record returned last by an edge walk
    // Private to the outbound and inbound walks, not part of the cursor's public shape: the
    // successor of curedge taken when curedge was handed out, so that a step never reads a
    // record the caller has since removed.
    Edge* succedge;
};

// ---- Graph store ----

// A new empty graph with both counters 0; the caller owns it. free_graph empties it but does
// not release the record (release it with free).
Graph* create_graph();

// Appends a vertex at the bottom of the vertex list and returns it. The vertex takes ownership
// of vector (at least one component); the last component becomes the label in flag and is set
// to 0. The label truncates toward zero; not-a-number gives 0 and values beyond the 32-bit
// range saturate to the nearest 32-bit limit. Constant time.
Vertex* insert_vertex(Graph* graphp, HFV vector, int32_t id);

// Creates the edge pair from -> to weighted by distance and returns its outbound record. The
// outbound record goes into from's outbound list by ordered insertion, the inbound record at
// the tail of to's inbound list. graphp is not consulted. Self edges and parallel edges are
// accepted.
Edge* insert_edge(Graph* graphp, Vertex* from, Vertex* to, double distance);

// Ordered insertion of a prepared outbound record: it goes in front of the first record whose
// distance it does not strictly exceed (an equal or greater one, or any comparison with
// not-a-number), else at the tail. Raises largest_dist when the distance is strictly greater.
void insert_outbound_edge(Vertex* from, Edge* edgep);

// Appends a prepared inbound record at the tail of to's inbound list. Constant time.
void insert_inbound_edge(Vertex* to, Edge* edgep);

// Same as free_outbound_edge.
void free_edge(Vertex* vertp, Edge* edgep);

// Removes the pair whose outbound record edgep sits in vertp's outbound list and releases both
// records. When edgep was the farthest of several, largest_dist drops to the new farthest
// distance; removing the only record leaves largest_dist as it was. Constant time.
void free_outbound_edge(Vertex* vertp, Edge* edgep);

// Removes the pair whose inbound record edgep sits in vertp's inbound list and releases both
// records; the source vertex's largest_dist follows the rule of free_outbound_edge.
// Constant time.
void free_inbound_edge(Vertex* vertp, Edge* edgep);

// Removes every edge at vertp (outbound nearest first, then inbound oldest first), unlinks it
// from the vertex list, destroys its vector and releases it. A look-up table is not released.
void free_vertex(Graph* graphp, Vertex* vertp);

// Removes every vertex, top first. The Graph record stays allocated and empty;
// dist_calculations keeps its value.
void free_graph(Graph* graphp);

// Field accessors. vertex_indegree_set stores indegree (0 marks an outlier) and returns 0.
int32_t vertex_degree(Vertex* vertp);
int32_t vertex_indegree(Vertex* vertp);
int32_t vertex_indegree_set(Vertex* v, int32_t indegree);
Edge* vertex_sedge(Vertex* vertp);  // nearest outbound record, or null
Edge* vertex_ledge(Vertex* vertp);  // farthest outbound record, or null
Vertex* vertex_edge_to(Edge* edgep);

// The edge look-up table: id + 1 zeroed flags indexed 0..id. create_edge_lut at most once per
// vertex until free_edge_lut, which must run before the vertex is removed; the other two need a
// table and an index in range. check_edge_lut answers 1 when the entry is 1, else 0.
void create_edge_lut(Vertex* vertp);
void free_edge_lut(Vertex* vertp);
int32_t check_edge_lut(Vertex* vertp, int32_t id);
void update_edge_lut(Vertex* vertp, int32_t id);

// Counters: the number of vertices, and the distance evaluations (reset to 0 by set_dcalc).
int32_t get_nvert(Graph* graphp);
void set_dcalc(Graph* graphp);
int32_t get_dcalc(Graph* graphp);

// ---- Graph traversal ----

// A new cursor in the not-started state; released by the step that returns null.
Iterator* iterate_start();

// Next vertex from top to bottom.
Vertex* iterate_vertex(Graph* graphp, Iterator* itep);

// Next outbound record of vertp, nearest first. The record last returned may be removed
// before the next step.
Edge* iterate_vertex_edge(Vertex* vertp, Iterator* itep);

// Next inbound record of vertp, in insertion order.
Edge* iterate_vertex_inbound_edge(Vertex* vertp, Iterator* itep);

// Next outbound record of the whole graph: vertices from top to bottom, each one's records
// nearest first, vertices without outbound records skipped.
Edge* iterate_all_edges(Graph* graphp, Iterator* itep);

// Like iterate_all_edges but without skipping: the walk ends at the first vertex without
// outbound records. A graph without vertices ends it at once.
Edge* iterate_edge(Graph* graphp, Iterator* itep);

// outn of the first vertex after vertp (after nothing, i.e. from top, when vertp is null)
// that has outbound records; null when there is none.
Edge* find_next_edge(Graph* graphp, Vertex* vertp);

// 1 when fromp has an outbound record to top (a candidate target, not the graph's head),
// else 0. Records of top itself are not consulted.
int32_t isedge(Vertex* fromp, Vertex* top);

namespace tarn {

// The label of a vector's last component: truncation toward zero, with not-a-number giving 0
// and values outside the 32-bit range saturating, so that the conversion is always defined.
int32_t label_of(double value);

// Creates the edge pair from -> to like insert_edge, but appends the outbound record at the tail
// of from's outbound list without the ordered walk and leaves largest_dist alone. For a builder
// that already knows each source's final list order and sets largest_dist itself.
Edge* append_edge(Graph* graphp, Vertex* from, Vertex* to, double distance);

// Makes sure that the calling thread's next walks, up to count of them open at once (at most 8),
// take their cursors from a cache instead of allocating: code that must not fail half way
// through a walk reserves before it starts.
void reserve_cursors(int32_t count);

}  // namespace tarn

// Prints every vertex with print_vertex, top to bottom.
void print_graph(Graph* graphp);

// Prints one line on standard output: " %f" per vector component, then " %d %f \n" with flag
// and lof.
void print_vertex(Vertex* vertp);

// ---- Neighbour distance ----

// Counts one distance evaluation in graphp and returns the Euclidean distance between the two
// vertices' vectors, from's vector first, summing the squared component differences in index
// order over from's dimension. Both vectors must have that dimension.
double cdist(Graph* graphp, Vertex* from, Vertex* to);

#endif
