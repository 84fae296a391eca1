// The driver: run parameters, option parsing, usage text, the report and timing.
#ifndef TARN_DRIVER_TARN_H
#define TARN_DRIVER_TARN_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/alloc.h"
#include "base/parameters.h"
#include "detect/construct.h"
#include "detect/lof.h"

struct Graph;

// Build identification printed first in the usage text.
extern const char* id;

// A new record holding the defaults; released with free (after its instr).
Parameters* init_params();

// Fills parap from the argument vector with getopt; returns when every option was consumed.
// A bad option, -h or a missing option argument prints the usage text and ends the process.
// Each word that is neither an option nor an option's argument is named in a warning on
// standard error ("tarn: ignoring '<word>': not an option", with a guess at the option meant:
// "(did you mean -g <word>?)" for a name ending in .svg, "-i" for an existing file) and left out.
void parse_params(Parameters* parap, int argc, char** argv);

// Returns when an input file was named ("-" for standard input); otherwise prints "No input
// file set!" and the usage text and ends the process. A closed standard output ends the process
// first, with a message on standard error; a closed standard error gets a descriptor that takes
// no writes, so that no file opened later takes its place.
void open_files(Parameters* p);

// Prints the usage text to standard output and ends the process with status -1.
[[noreturn]] void print_usage();

// Prints one "%f %d\n" line (score rounded to single precision, label) per vertex in file
// order, or "%f %d %d\n" with the outlier mark (1 when the in-degree is 0 or less) when p is
// given and p->marks is set; then finish_report. Returns 0.
int32_t print_results(Graph* g, Parameters* p);

namespace tarn {

// Flushes standard output. When the report could not be written whole, ends the process with
// status -1: quietly when the reader has gone (EPIPE), otherwise with a message naming the
// failure on standard error.
void finish_report();

// One report line as print_results prints it: the score rounded to single precision (for a rule
// with precise scores, its 9 significant digits) and the label, and the mark when p asks for
// marks (p may be null).
void print_report_line(double score, int32_t label, int32_t marked, const Parameters* p);

// The report lines of n vectors, as print_report_line prints them, to standard output: blocks of
// lines formatted on the threads p->threads asks for, written in order.
// -r all's report, to standard output: per vector, each rule's first field as the rule's own run
// prints it (its ranking score with -s, else its stored score), in table order, then the label,
// then with -o each rule's mark in table order. *verdicts[r] is rules()[r]'s.
void print_rule_columns(const Verdict* const* verdicts, const Parameters* p);

void print_report(const double* score, const int32_t* label, const int32_t* marked, int32_t n,
                  const Parameters* p);

// After the load: -P's class name, when the input has one of that name, becomes the outlier
// label. Returns false after printing "-P <name> names no class of the input" on standard
// output when -P is neither a number nor a class of the input.
bool resolve_outlier_class(Parameters* p);

// After the load: -G must name feature columns the input has; otherwise a message on standard
// output and the end of the process with status -1.
void check_plot_columns(int32_t features, const Parameters* p);

// The warnings on standard error after a run's rule: with -z the feature columns (from 0) that
// could not be standardised, one line each; distances that overflowed (in the metric's words);
// and (for the rules that
// warn of them) the scores, named score_name, that duplicated points made not-a-number or
// infinite (none: no line).
void warn_of_unstandardised(const Array<int32_t>& columns);
void warn_of_overflow(const tarn::Metric& metric);

// Names on standard error the first vectors holding a NaN or infinite feature (the text format
// accepts them on its first line): their distances are not numbers or infinite, and the scores
// they reach may not be numbers. Nothing for finite vectors.
void warn_of_non_finite(const Rows& rows);
void warn_of_duplicates(DuplicateScores counts, const char* score_name);

// The messages on standard error of a run that stops because a result cannot be written:
// the picture would replace the input, the picture failed with errno error, the table of scores
// failed with errno error, the evaluation failed with errno error.
void refuse_plot_over_input(const Parameters* p);
void report_plot_failure(const Parameters* p, int error);
void report_scores_failure(const Parameters* p, int error);
void report_evaluation_failure(int error);

// Whether a file the run would write (the picture, the table of scores) is the input file; says
// so on standard error. Checked before anything is read, so that no result replaces the data.
bool output_names_input(const Parameters* p);

// Releases the graph (null: none) and the parameters with the texts they own.
void release(Graph* g, Parameters* parap);

}  // namespace tarn

// Current calendar time in whole seconds.
long setwatch();

// Prints "Time: %6.1f DCalc: %d" with the seconds elapsed since start and dcalc.
void prtime(long start, int32_t dcalc);

#endif
