// The run parameters: the one record every layer of a run reads its configuration from. It has
// no behaviour of its own (init_params and parse_params of the driver create and fill it), so
// the detector can read it without depending on the driver.
#ifndef TARN_BASE_PARAMETERS_H
#define TARN_BASE_PARAMETERS_H

#include <cstdint>
#include <cstdio>

struct TableNames;

// The whole configuration of a run. Created with its defaults by init_params, filled once by
// parse_params and only read afterwards; the record owns instr and the other text copies. Flags
// are 0 or 1.
struct Parameters {
    int32_t k;              // neighbours each vertex keeps (-k, default 3)
    int32_t I;              // in-degree limit of the default rule (-I, default 0)
    int32_t cb_size;        // not read by a run
    int32_t dist_calc;      // not read by a run
    int32_t mknn;           // -m: mutual-nearest-neighbour pruning
    int32_t meanin;         // -M: mean incoming distance rule
    int32_t lof;            // -l: local outlier factor
    int32_t maxin;          // -X: maximum incoming distance rule
    double th;              // -T: threshold factor / score limit (default 0.0)
    char* instr;            // -i: input file name, a heap copy owned by the record
    char* outstr;           // not read by a run
    FILE* infile;           // not read by a run
    FILE* outfile;          // not read by a run
    int32_t threads;        // -j: threads of the construction, 0 for one per processor (default 1)
    int32_t marks;          // -o: the outlier mark as a third report field
    int32_t evaluate;       // -e: evaluation against the labels on standard error
    int32_t outlier_label;  // -P: the label of the outlier class (default 1)
    char* plotstr;          // -g: SVG plot file name, a heap copy owned by the record
    int32_t index;          // -x: build the graph through the exact spatial index
    int32_t format;         // -f: a TableKind, TABLE_AUTO by the name (default)
    char* label_column;     // -L: label column name, number or "none", a heap copy, or null
    char* feature_columns;  // -F: feature columns, a heap copy, or null for all but the label
    char* outlier_name;     // -P when it is not a number: a class name, a heap copy, or null
    TableNames* names;      // what the load learnt (column and class names), the driver's
                            // record, not owned; null: nothing is kept
    int32_t print_score;    // -s: the rule's ranking score as the report's first field
    double share;           // -c: mark this share, in (0, 1], of the most outlying vectors by
                            // the ranking score instead of the rule's threshold; 0: off
    int32_t standardise;    // -z: feature columns centred and scaled before any distance
    int32_t plot_x;         // -G: the feature columns the picture plots, 0-based; -1 (the
    int32_t plot_y;         // default): the first two
    int32_t brute;          // -b: build the graph through the tiled brute force, whatever the data
    char* output_path;      // -O: the table of scores' file, "-" for standard output, a heap copy
                            // owned by the record; null: the text report
    int32_t output_format;  // --output-format: TABLE_CSV or TABLE_TSV; TABLE_AUTO (the default):
                            // by output_path's name
    int64_t skip;           // --skip: lines left out before the header or the data (default 0)
    int32_t header;         // --header 1, --no-header 0; -1 (the default): guessed
    int32_t missing;        // --na: TABLE_NA_ERROR (the default) or TABLE_NA_DROP
    char decimal;           // --decimal: ',' or '.'; 0 (the default): a comma with semicolons
    int32_t threshold_given;  // 1 once -T is given: the rules that mark a share by default
                              // mark a score above it instead
    int32_t all_rules;        // -r all: every rule of the table over one graph, compared
    char* id_column;          // --id: the id column's name or number, a heap copy, or null (the
                              // row names R writes, if any)
    int32_t knn;              // -r knn: the distance to the k-th nearest neighbour
    int32_t knnw;             // -r knnw: the sum of the distances to the k nearest neighbours
    int32_t loop;             // -r loop: the local outlier probability
    int32_t inflo;            // -r inflo: the influenced outlierness
    int32_t cof;              // -r cof: the connectivity-based outlier factor
    int32_t metric;           // -d: the distance, a tarn::MetricKind (0, the default: euclidean)
    double minkowski_p;       // -d minkowski:P: the exponent P, finite and >= 1 (default 2)
    char* reference;          // -R: the reference set (vectors or a saved model) the vectors of
                              // -i are scored against, a heap copy, or null
    char* model_path;         // -W: where the reference is saved as a model, a heap copy, or null
    int32_t shaping_given;    // the options that shape a reference, given on the command line:
                              // kGivenK (-k), kGivenStandardise (-z), kGivenMetric (-d)
};

// The bits of Parameters::shaping_given.
constexpr int32_t kGivenK = 1;
constexpr int32_t kGivenStandardise = 2;
constexpr int32_t kGivenMetric = 4;

#endif
