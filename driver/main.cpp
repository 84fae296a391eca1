// Entry point: one straight run from the command line to the report.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "detect/init.h"
#include "detect/overflow.h"
#include "driver/evaluate.h"
#include "driver/plot.h"
#include "driver/progress.h"
#include "driver/tarn.h"
#include "graph/graph.h"

namespace {

void release(Graph* g, Parameters* parap) {
    if (g != nullptr) free_graph(g);
    std::free(g);
    std::free(parap->instr);
    std::free(parap->plotstr);
    std::free(parap);
}

}  // namespace

int main(int argc, char** argv) {
    long watch = setwatch();
    (void)watch;  // kept for prtime; a run prints no timing line
    Parameters* parap = init_params();
    parse_params(parap, argc, argv);
    open_files(parap);
    // Checked before anything is read, so that the picture can never replace the data.
    if (parap->plotstr != nullptr && plot_names_input(parap->plotstr, parap->instr)) {
        std::fprintf(stderr, "Cannot write the plot to %s: it is the input file\n", parap->plotstr);
        release(nullptr, parap);
        return -1;
    }
    progress_start();
    Graph* g = init(parap);
    progress_stop();
    if (distances_overflow(g)) {
        std::fprintf(stderr,
                     "tarn: distances overflow beyond 1.8e308 (coordinates above about 1e154); "
                     "scale the data\n");
    }
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
        // The evaluation is a result like the report: lost, it fails the run.
        if (std::fflush(stderr) != 0 || std::ferror(stderr) != 0) {
            const int error = errno;
            std::fprintf(stderr, "tarn: cannot write the evaluation to standard error: %s\n",
                         std::strerror(error));
            release(g, parap);
            return -1;
        }
    }
    release(g, parap);
    return 0;
}
