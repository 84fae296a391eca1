// The picture of a run: an SVG scatter plot of the vectors with the rule's verdict.
//
// The plot shows the first two feature columns (the label column is never plotted); a vector
// with one feature is plotted against its position in the file, one with none at height 0.
// Marked vectors are red, the others blue; vectors carrying the outlier label (-P) have a dark
// ring; with -l the area of a point grows with its score (scores of 1 or less, and
// not-a-number, at the base size; 16 or more, infinity included, at the largest). A vector
// with a non-finite coordinate is not drawn; the legend counts it. Each drawn vector is one
// circle element with id "v<position>" (1-based) and class "marked" or "inlier".
#ifndef TARN_DRIVER_PLOT_H
#define TARN_DRIVER_PLOT_H

#include <cstdint>
#include <cstdio>
#include <string>

struct Parameters;
#include "graph/graph.h"

namespace tarn {

// What the picture reads of n vectors, in file order: row[i] points at vector i's features
// (features of them), and its stored score (the local outlier factor, or 0), label and mark.
struct PlotVectors {
    const double* const* row;
    int32_t features;
    const double* score;
    const int32_t* label;
    const int32_t* marked;
    int32_t n;
    // When given, vector i's point as plot_point gave it, x at 2i and y at 2i + 1, and row is
    // not read: for a run whose speaker holds no vectors.
    const double* plotted = nullptr;
};

// The point the picture plots for a vector of `features` values at `position` in the file (from
// 1): the -G columns, else the first two, else its position and its one feature.
void plot_point(const double* values, int32_t features, int32_t position, const Parameters* p,
                double* x, double* y);

// Writes the plot of the vectors with their verdict to path. Returns 0, or -1 with errno telling
// why when the file cannot be created or written completely. The picture is written to a new
// file in path's folder and renamed over path when complete, so a failure leaves no partial
// picture and any older one intact; a path that is no regular file (a device, a FIFO) or whose
// folder takes no new file is written in place.
int32_t write_plot(const PlotVectors& vectors, Parameters* p, const char* path);

// Whether the file plot names is the input file (same device and inode, whatever names or links
// lead to it; "-" is standard input): writing the picture would destroy the data.
bool plot_names_input(const char* plot, const char* input);

// Writes the plot of the vectors to out; returns nonzero when a write failed.
int32_t print_plot(const PlotVectors& vectors, Parameters* p, FILE* out);

// text made safe for XML character data and attribute values: & < > " ' as entities, control
// characters, bytes that are not UTF-8 and the non-characters U+FFFE and U+FFFF as '?'.
std::string xml_escape(const char* text);

}  // namespace tarn

#endif
