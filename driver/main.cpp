// Entry point: one straight run from the command line to the report.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "detect/init.h"
#include "driver/evaluate.h"
#include "driver/plot.h"
#include "driver/progress.h"
#include "driver/tarn.h"
#include "graph/graph.h"
#include "vectors/table.h"

namespace {

void release(Graph* g, Parameters* parap) {
    free_graph(g);
    std::free(g);
    std::free(parap->instr);
    std::free(parap->plotstr);
    std::free(parap->label_column);
    std::free(parap->feature_columns);
    std::free(parap->outlier_name);
    std::free(parap);
}

}  // namespace

int main(int argc, char** argv) {
    long watch = setwatch();
    (void)watch;  // kept for prtime; a run prints no timing line
    Parameters* parap = init_params();
    TableNames names;  // column and class names, for the evaluation and the picture
    parap->names = &names;
    parse_params(parap, argc, argv);
    open_files(parap);
    progress_start();
    Graph* g = init(parap);
    progress_stop();
    resolve_outlier_class(parap);
    // The picture comes before the report, so that a run that cannot write it stops with no
    // report line, like every other stop.
    if (parap->plotstr != nullptr && write_plot(g, parap, parap->plotstr) != 0) {
        std::fprintf(stderr, "Cannot write the plot to %s: %s\n", parap->plotstr,
                     std::strerror(errno));
        release(g, parap);
        return -1;
    }
    print_results(g, parap);
    if (parap->evaluate == 1) {
        std::fflush(stdout);
        print_evaluation(g, parap, stderr);
    }
    release(g, parap);
    return 0;
}
