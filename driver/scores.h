// The table of scores (-O): a header and one row per vector, in file order, for the next tool
// (pandas, R, a spreadsheet) to load.
//
//     id,score,mark,label,class
//     1,0.95976700000000003,0,0,
//
// id is the vector's id from the input's id column (--id, or the row names R writes), else its
// data row's number in the file from 1 (rows left out for missing values keep their numbers, so
// the vectors' numbers then skip them); score the rule's ranking score (what -s prints) in the
// shortest text that reads back as the same double ("inf", "nan" and "-nan" as they come); mark 1
// or 0; label the label's number and class its class name (empty where the input gave numbers).
// A field holding the delimiter, a quote or a line end is quoted, its quotes doubled.
#ifndef TARN_DRIVER_SCORES_H
#define TARN_DRIVER_SCORES_H

#include <cstdint>
#include <cstdio>

#include "rules/rules.h"

struct Parameters;
struct TableNames;

namespace tarn {

// What the table reads of n vectors, in file order. names may be null.
struct ScoreRows {
    const double* score;
    const int32_t* label;
    const int32_t* marked;
    int32_t n;
    const TableNames* names;
    // -r all: every rule's verdict in table order (score, marked and label above unused); the
    // header then reads id, each rule's key, each key with "_mark", label, class.
    const Verdict* const* all = nullptr;
};

// The delimiter of p's table: a tab for --output-format tsv or, by default, an -O name ending in
// ".tsv" (in any letter case); a comma otherwise.
char scores_delimiter(const Parameters* p);

// Writes the table to out; returns nonzero when a write failed, with errno telling why.
int32_t print_scores(const ScoreRows& rows, char delimiter, FILE* out);

// Writes the table to p->output_path as driver/outfile writes a file (whole or not at all);
// "-" writes standard output, whose failure the caller learns from the stream. Returns 0, or -1
// with errno telling why.
int32_t write_scores(const ScoreRows& rows, const Parameters* p);

}  // namespace tarn

#endif
