// The detection rules: one table row per rule holding everything the program reads about it,
// and one kernel per rule over a block of vertices.
//
// A kernel reads the block's outbound lists and inbound index (graph/lists.h) and asks an
// Exchange (rules/exchange.h) for what lies beyond the block, so the same kernel judges a
// whole set on one process and one block of a distributed run, every value bit for bit. The
// option parser, the usage text, the evaluation, the picture, the memory check, the Python
// package and the distributed run all read the table; a new rule is a row, a kernel, a
// Parameters flag, and its lines in the manual and the README.
//
// The rules over the linked graph (detect/rules.h, detect/lof.h) are the library's own
// functions; a kernel gives the same scores and marks as the linked rule of the same key.
#ifndef TARN_RULES_RULES_H
#define TARN_RULES_RULES_H

#include <cstdint>
#include <span>

#include "base/parameters.h"

#include "graph/lists.h"
#include "rules/exchange.h"
#include "rules/kernel.h"

namespace tarn {

// What marks a rule's vertices when no share is asked for.
enum class Limit {
    kIndegree,   // an in-degree of at most -I
    kThreshold,  // a score strictly greater than the -T threshold it derives
    kNone,       // only the rule's own pruning (an in-degree left at 0)
    kScore,      // a score strictly greater than -T when -T is given, else the most outlying
                 // kDefaultShare (a kernel of such a rule leaves the marks to judge)
};

// The share a kScore rule marks when neither -c nor -T is given.
constexpr double kDefaultShare = 0.1;

struct Rule {
    const char* key;            // its name in -r KEY and in Python's rule=KEY, e.g. "lof"
    char letter;                // its option letter; 0 for the default rule
    int32_t Parameters::*flag;  // the flag -r and the letter set; null for the default rule
    const char* usage;          // its usage-text line after the indent; null for the default
    const char* name;           // in the evaluation, the picture and --help
    const char* score_name;     // what its ranking score is
    bool higher_is_outlying;    // whether a higher ranking score is more outlying
    Limit limit;                // what marks without -c (the picture's title names it)
    bool sized_marks;           // the picture sizes marks by the stored score
    bool precise_score;         // the report prints the score with 9 significant digits ("%.9g");
                                // otherwise "%f" of the score rounded to single precision
    bool warns_duplicates;      // duplicated points can make its scores non-finite
    InboundDetail inbound;      // what of the inbound lists it reads
    double vertex_bytes;        // the kernel's working memory per vertex
    Kernel kernel;
};

// Every rule in order of precedence: a run runs the first whose flag is set, the last row (the
// default in-degree rule, without a flag) when none is.
std::span<const Rule> rules();

// The rule a run with parameters p runs.
const Rule& selected_rule(const Parameters* p);

// A copy of p that selects rule (every other rule's flag cleared, -r all's too).
Parameters with_rule(const Parameters* p, const Rule& rule);

// The rule of that key, or null.
const Rule* rule_by_key(const char* key);

// The share of the most outlying that a run with parameters p marks: -c's, kDefaultShare for a
// kScore rule given neither -c nor -T, else 0 (the rule's own limit marks).
double marked_share(const Parameters* p);

// ⌈share × n⌉ for a share in (0, 1], kept within 1 … n. A product within a relative 1e-12 of a
// whole number counts as that number: a decimal share is stored a little off (0.07 × 100 is
// 7.000000000000001 in doubles), and the user asked for 7 of 100, not 8.
int32_t share_count(double share, int32_t n);

// Runs the rule p selects over the block, then with a marked_share replaces its marks by the
// most outlying share over every block (a kScore rule given -T instead marks every score
// strictly greater than -T): the share_count most outlying by the ranking score in the
// rule's direction, and every vertex tied with the last of them; not-a-number scores take no
// place. Fills every verdict field but label.
DuplicateScores judge(const Block& block, Exchange& exchange, const Parameters* p,
                      Verdict* verdict);

// The same over a whole run's lists of the rows on one process: the inbound index built here.
DuplicateScores judge_lists(const Rows& rows, const NeighbourLists& lists, const Parameters* p,
                            Verdict* verdict);

// The working memory of judge_lists beyond the lists, for n vertices at k.
double judge_bytes(const Parameters* p, double n, double k);

}  // namespace tarn

#endif
