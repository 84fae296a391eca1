#include "driver/run.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "base/parameters.h"
#include "detect/core.h"
#include "detect/init.h"
#include "detect/model.h"
#include "driver/evaluate.h"
#include "driver/outfile.h"
#include "driver/plot.h"
#include "driver/progress.h"
#include "driver/scores.h"
#include "driver/tarn.h"
#include "graph/metric.h"
#include "vectors/arena.h"
#include "vectors/fvector.h"
#include "vectors/table.h"

namespace tarn {
namespace {

// The errno of a failed write, never 0.
int32_t failure_errno() {
    return errno != 0 ? errno : EIO;
}

void warn_of_data(const Finished& run, const Parameters* p) {
    // Standardised, a column holding NaN or Inf is named as a column instead.
    if (p->standardise != 1) warn_of_non_finite(run.rows);
    warn_of_unstandardised(run.unstandardised);
    if (run.overflow) warn_of_overflow(run.rows.metric);
}

// The picture comes before the report, so that a run that cannot write it stops with no
// report line, like every other stop.
bool write_picture(const Finished& run, Parameters* p, Outlet& outlet) {
    const Verdict& all = outlet.whole(run.verdict);
    int32_t failure = 0;
    if (outlet.speaks()) {
        const PlotVectors picture{run.rows.row.data(), run.rows.features, all.lof.data(),
                                  all.label.data(),    all.marked.data(), run.count(),
                                  run.plotted};
        if (write_plot(picture, p, p->plotstr) != 0) failure = failure_errno();
    }
    failure = outlet.agree(failure);
    if (failure != 0) report_plot_failure(p, failure);
    return failure == 0;
}

// -O: the table of scores instead of the report, from rows that hold on the speaker. A failure
// to write it to standard output is the report's failure, named as such.
bool write_table(const ScoreRows& rows, Parameters* p, Outlet& outlet) {
    int32_t failure = 0;
    if (outlet.speaks()) {
        if (std::strcmp(p->output_path, "-") == 0) {
            write_scores(rows, p);
            failure = std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : -1;
        } else if (write_scores(rows, p) != 0) {
            failure = failure_errno();
        }
    }
    failure = outlet.agree(failure);
    if (failure == -1 && outlet.speaks()) finish_report();  // names it, ends the run
    if (failure > 0) report_scores_failure(p, failure);
    return failure == 0;
}

// The evaluation on standard error, which print writes on the speaker. It is a result like the
// report: lost, it fails the run.
template <typename Print>
bool write_evaluation(Outlet& outlet, Print print) {
    int32_t failure = 0;
    if (outlet.speaks()) {
        std::fflush(stdout);
        print();
        if (std::fflush(stderr) != 0 || std::ferror(stderr) != 0) failure = failure_errno();
    }
    failure = outlet.agree(failure);
    if (failure != 0) report_evaluation_failure(failure);
    return failure == 0;
}

// The data's warnings, then -P's class resolved on the speaker; false when it names no class.
bool warn_and_resolve(const Finished& run, Parameters* p, Outlet& outlet) {
    const bool speaks = outlet.speaks();
    if (speaks) warn_of_data(run, p);
    return outlet.agree(speaks ? static_cast<int32_t>(resolve_outlier_class(p)) : 1) == 1;
}

}  // namespace

bool LocalOutlet::report(const Verdict& block, const Parameters* p) {
    const Array<double>& stored = p->print_score == 1 ? block.score : block.lof;
    print_report(stored.data(), block.label.data(), block.marked.data(),
                 static_cast<int32_t>(block.score.size()), p);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

int32_t finish_every_rule(const FinishedRules& run, Parameters* p, Outlet& outlet) {
    const bool speaks = outlet.speaks();
    if (!warn_and_resolve({run.rows, run.verdicts[0], run.overflow, {0, 0}, run.unstandardised}, p,
                          outlet)) {
        return -1;
    }
    for (size_t r = 0; speaks && r < rules().size(); ++r) {
        if (rules()[r].warns_duplicates)
            warn_of_duplicates(run.duplicates[r], rules()[r].score_name);
    }
    // Every rule's verdict on every vector, on the speaker.
    Array<const Verdict*> all;
    for (const Verdict& block : run.verdicts)
        all.push_back(&outlet.whole(block));
    if (p->output_path != nullptr) {
        const ScoreRows table{nullptr, nullptr, nullptr, run.count(), p->names, all.data()};
        if (!write_table(table, p, outlet)) return -1;
    } else if (speaks) {
        print_rule_columns(all.data(), p);
    }
    const int32_t written =
        outlet.agree(speaks ? std::fflush(stdout) == 0 && std::ferror(stdout) == 0 : 1);
    if (speaks) finish_report();  // names a failure and ends the process
    if (written == 0) return -1;
    if (p->evaluate == 1 &&
        !write_evaluation(outlet, [&] { print_rule_comparison(all.data(), p, stderr); })) {
        return -1;
    }
    return 0;
}

int32_t finish_run(const Finished& run, Parameters* p, Outlet& outlet) {
    const bool speaks = outlet.speaks();
    if (!warn_and_resolve(run, p, outlet)) return -1;
    check_plot_columns(run.rows.features, p);
    const Rule& rule = selected_rule(p);
    if (speaks && rule.warns_duplicates) warn_of_duplicates(run.duplicates, rule.score_name);
    if (p->plotstr != nullptr && !write_picture(run, p, outlet)) return -1;
    if (p->output_path != nullptr) {
        const Verdict& all = outlet.whole(run.verdict);
        const ScoreRows rows{all.score.data(), all.label.data(), all.marked.data(), run.count(),
                             p->names};
        if (!write_table(rows, p, outlet)) return -1;
    } else if (!outlet.report(run.verdict, p)) {
        if (speaks) finish_report();  // names the failure and ends the process
        return -1;
    }
    if (speaks) finish_report();
    if (p->evaluate == 1) {
        const Verdict& all = outlet.whole(run.verdict);
        auto print = [&] {
            print_evaluation(all.score.data(), all.label.data(), all.marked.data(), run.count(), p,
                             stderr);
        };
        if (!write_evaluation(outlet, print)) return -1;
    }
    return 0;
}

namespace {

// A detection's failure ends the run with its message.
void stop_on(const std::optional<Error>& failure) {
    if (!failure) return;
    std::fputs(failure->message.c_str(), stdout);
    std::exit(-1);
}

int32_t run_one_rule(const FlatVectors& flat, Parameters* p) {
    // The verdict comes from flat neighbour lists: nobody asks for the linked graph here.
    Verdict verdict;
    RunNotes notes;
    stop_on(detect_flat(flat, p, &verdict, &notes));
    progress_stop();
    const Finished finished{flat.rows, verdict, notes.overflow, notes.duplicates,
                            notes.unstandardised};
    LocalOutlet outlet;
    return finish_run(finished, p, outlet);
}

int32_t run_every_rule(const FlatVectors& flat, Parameters* p) {
    Array<Verdict> verdicts;
    Array<DuplicateScores> duplicates;
    RunNotes notes;
    stop_on(detect_flat_all(flat, p, &verdicts, &duplicates, &notes));
    progress_stop();
    const FinishedRules finished{flat.rows, verdicts, duplicates, notes.overflow,
                                 notes.unstandardised};
    LocalOutlet outlet;
    return finish_every_rule(finished, p, outlet);
}

// The input's vectors side by side in one array: the loaded set and the arena its vectors are
// carved from are released before the graph is built.
void load_flat(Parameters* p, FlatVectors* flat) {
    VectorArena arena;
    HFSET set = load_vectors(p, &arena);
    if (set == nullptr) std::exit(-1);
    const std::optional<Error> failure = flatten_set(set, p, flat);
    release_set(set, &arena);
    stop_on(failure);
}

// Ends the run with a message on standard output, as a failed load does.
[[noreturn]] __attribute__((format(printf, 1, 2))) void stop_with(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
    std::exit(-1);
}

}  // namespace

// An option given on the command line that asks for another shape than the model's is refused
// rather than silently overridden.
void take_shape(Parameters* p, const ModelShape& shape) {
    if ((p->shaping_given & kGivenK) != 0 && p->k != shape.k) {
        stop_with("Cannot score against %s: it was built with -k %d, not -k %d\n", p->reference,
                  shape.k, p->k);
    }
    if ((p->shaping_given & kGivenStandardise) != 0 && shape.standardise != 1)
        stop_with("Cannot score against %s: it was built without -z\n", p->reference);
    if ((p->shaping_given & kGivenMetric) != 0 &&
        (p->metric != shape.metric ||
         (shape.metric == static_cast<int32_t>(MetricKind::kMinkowski) &&
          p->minkowski_p != shape.minkowski_p))) {
        stop_with("Cannot score against %s: it was built with another distance (-d)\n",
                  p->reference);
    }
    p->k = shape.k;
    p->standardise = shape.standardise;
    p->metric = shape.metric;
    p->minkowski_p = shape.minkowski_p;
}

ModelShape shape_of(const Parameters* p) {
    ModelShape shape;
    shape.k = p->k;
    shape.standardise = p->standardise;
    shape.metric = p->metric;
    shape.minkowski_p = p->minkowski_p;
    return shape;
}

namespace {

// The reference of -R: a saved model read back, or a vector file loaded (with -i's format
// options, into set) and its graph built.
void make_reference(Parameters* p, Reference* reference, HFSET* set, VectorArena* arena) {
    if (std::strcmp(p->reference, "-") != 0 && is_model(p->reference)) {
        ModelShape shape;
        if (std::optional<std::string> why = read_model(p->reference, reference, &shape))
            stop_with("Cannot load the model from %s: it %s\n", p->reference, why->c_str());
        take_shape(p, shape);
        reference->rows.metric = metric_of(p);
        return;
    }
    Parameters options = *p;
    TableNames names;  // the reference's own; the report names the vectors of -i
    options.instr = p->reference;
    options.names = &names;
    *set = load_vectors(&options, arena);
    if (*set == nullptr) std::exit(-1);
    stop_on(build_reference(*set, p, reference));
}

}  // namespace

void check_reference_options(const Parameters* p) {
    if (p->model_path != nullptr && p->reference == nullptr)
        stop_with("-W saves the reference set of -R: give -R FILE\n");
    if (p->reference == nullptr) return;
    if (p->instr != nullptr && std::strcmp(p->instr, "-") == 0 &&
        std::strcmp(p->reference, "-") == 0) {
        stop_with("-i and -R cannot both read standard input\n");
    }
    if (p->model_path != nullptr &&
        (names_the_input(p->model_path, p->reference) ||
         (p->instr != nullptr && names_the_input(p->model_path, p->instr)))) {
        stop_with("Cannot write the model to %s: it is an input file\n", p->model_path);
    }
}

namespace {

// -R: the vectors of -i scored against the reference set, after -W has saved it.
int32_t run_against_reference(Parameters* p) {
    Reference reference;
    HFSET reference_set = nullptr;
    VectorArena reference_arena;
    make_reference(p, &reference, &reference_set, &reference_arena);
    int32_t status = 0;
    if (p->model_path != nullptr) {
        if (std::optional<std::string> why = write_model(p->model_path, reference, shape_of(p))) {
            std::fprintf(stderr, "Cannot write the model to %s: %s\n", p->model_path, why->c_str());
            status = -1;
        }
    }
    if (status == 0 && p->instr != nullptr) {
        VectorArena arena;
        HFSET set = load_vectors(p, &arena);
        if (set == nullptr) std::exit(-1);
        RunNotes notes;
        LocalOutlet outlet;
        const Rows rows = set_rows(set, metric_of(p));
        if (p->all_rules == 1) {
            Array<Verdict> verdicts;
            Array<DuplicateScores> duplicates;
            stop_on(detect_queries_all(reference, set, p, &verdicts, &duplicates, &notes));
            progress_stop();
            status = finish_every_rule(
                {rows, verdicts, duplicates, notes.overflow, notes.unstandardised}, p, outlet);
        } else {
            Verdict verdict;
            stop_on(detect_queries(reference, set, p, &verdict, &notes));
            progress_stop();
            status = finish_run(
                {rows, verdict, notes.overflow, notes.duplicates, notes.unstandardised}, p, outlet);
        }
        release_set(set, &arena);
    }
    progress_stop();
    if (reference_set != nullptr) release_set(reference_set, &reference_arena);
    return status;
}

int run(int argc, char** argv) {
    Parameters* parap = init_params();
    TableNames names;  // column and class names, for the evaluation and the picture
    parap->names = &names;
    parse_params(parap, argc, argv);
    open_files(parap);
    if (tarn::output_names_input(parap)) {
        release(nullptr, parap);
        return -1;
    }
    check_reference_options(parap);
    progress_start();
    if (parap->reference != nullptr) {
        const int status = run_against_reference(parap);
        release(nullptr, parap);
        return status;
    }
    FlatVectors flat;
    load_flat(parap, &flat);
    const int status =
        parap->all_rules == 1 ? run_every_rule(flat, parap) : run_one_rule(flat, parap);
    release(nullptr, parap);
    return status;
}

}  // namespace

int run_command_line(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const AllocationFailure& failure) {
        std::printf("Allocation of %zu bytes failed\n", failure.size());
    } catch (const std::bad_alloc&) {
        std::printf("Allocation failed\n");
    }
    std::fflush(stdout);
    return -1;
}

}  // namespace tarn
