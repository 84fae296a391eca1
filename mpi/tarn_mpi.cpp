// tarn-mpi: the command line of tarn run by P processes (mpirun -np P tarn-mpi <options>), with
// tarn's standard output, standard error and status for every P.
//
// Every process parses the same command line (its own decisions, the usage text and the
// warnings, are the same on every process; only rank 0's standard output and standard error
// are kept). The processes read the input into their file-order blocks (mpi/input.h: each its
// part of a regular text file, or rank 0 the input only one process can read, which it then
// scatters), and share the blocks. Every process then holds every vector and builds the
// outbound lists of its own block of sources against all of them (detect/core's build_block,
// the same builders and -j threads as tarn); the rule runs over the blocks
// (mpi/verdict.h); the report is written by rank 0 in file order, its own block first and then
// each other rank's, received in pieces. Everything a process does between two collectives is
// a step: when any process fails, every process stops with that failure's message.
#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/alloc.h"
#include "base/parameters.h"
#include "detect/core.h"
#include "detect/init.h"
#include "detect/model.h"
#include "detect/overflow.h"
#include "detect/rules.h"
#include "driver/plot.h"
#include "driver/run.h"
#include "driver/tarn.h"
#include "graph/metric.h"
#include "mpi/exchange.h"
#include "mpi/input.h"
#include "mpi/partition.h"
#include "mpi/ring.h"
#include "mpi/standardise.h"
#include "mpi/verdict.h"
#include "rules/rules.h"
#include "vectors/fvector.h"
#include "vectors/table.h"

namespace {

using tarn::Array;
using tarn::mpi::Blocks;
using tarn::mpi::broadcast;
using tarn::mpi::broadcast_value;
using tarn::mpi::step;

// Runs body on rank 0 alone, as a step every process takes.
template <typename Body>
void on_root(const Blocks& blocks, Body body) {
    if (blocks.rank() == 0) {
        step(body);
    } else {
        step([] {});
    }
}

// Every vector of the input, on every process, in file order: rows[i] holds dims[i] values,
// the label last.
struct Vectors {
    Array<int32_t> dims;
    Array<double> values;
    tarn::Rows rows;
};

// Every vector of the input on every process, from the blocks the processes read: what the
// replicating way's builders and rules read.
void share(Vectors& vectors, tarn::mpi::VectorRun block, Parameters* p) {
    vectors.dims = tarn::mpi::all_gather(block.dims);
    vectors.values = tarn::mpi::all_gather(block.values);
    block = {};  // released before the rows are laid
    step([&] {
        const size_t n = vectors.dims.size();
        vectors.rows.features = n > 0 ? vectors.dims[0] - 1 : 0;
        vectors.rows.metric = tarn::metric_of(p);
        vectors.rows.row.resize(n);
        size_t at = 0;
        for (size_t i = 0; i < n; ++i) {
            vectors.rows.row[i] = vectors.values.data() + at;
            at += static_cast<size_t>(vectors.dims[i]);
        }
    });
}

// Every vector of the input on every process: each process reads its block (mpi/input.h), and
// the blocks are then shared.
void load(Vectors& vectors, Parameters* p) {
    share(vectors, tarn::mpi::read_input(p), p);
}

// The labels of vertices [first, last): each vector's last value, truncated toward zero.
Array<int32_t> labels(const Vectors& vectors, int32_t first, int32_t last) {
    Array<int32_t> out;
    step([&] {
        for (int32_t i = first; i < last; ++i) {
            const size_t at = static_cast<size_t>(i);
            out.push_back(tarn::label_of(vectors.rows[at][vectors.dims[at] - 1]));
        }
    });
    return out;
}

// One line of the report as it travels to rank 0, in no more bytes than the line shows: the
// score as a float where the line prints it rounded to single precision (a double for a rule
// with precise scores), the label, and the mark only with -o.
class LineRecord {
public:
    explicit LineRecord(const Parameters* p)
        : precise_(tarn::selected_rule(p).precise_score), marks_(p->marks == 1) {}
    size_t size() const {
        return (precise_ ? sizeof(double) : sizeof(float)) + sizeof(int32_t) + (marks_ ? 1 : 0);
    }
    void put(char* at, double score, int32_t label, int32_t mark) const {
        if (precise_) {
            at = put_value(at, score);
        } else {
            at = put_value(at, static_cast<float>(score));
        }
        at = put_value(at, label);
        if (marks_) *at = static_cast<char>(mark != 0 ? 1 : 0);  // marks are 0 or 1
    }
    // Prints the record at `at` as print_report_line prints the line it came from.
    void print(const char* at, const Parameters* p) const {
        double score = 0;
        if (precise_) {
            at = take_value(at, score);
        } else {
            float rounded = 0;
            at = take_value(at, rounded);
            score = rounded;
        }
        int32_t label = 0;
        at = take_value(at, label);
        tarn::print_report_line(score, label, marks_ ? *at : 0, p);
    }

private:
    template <typename T>
    static char* put_value(char* at, T value) {
        std::memcpy(at, &value, sizeof value);
        return at + sizeof value;
    }
    template <typename T>
    static const char* take_value(const char* at, T& value) {
        std::memcpy(&value, at, sizeof value);
        return at + sizeof value;
    }

    bool precise_;
    bool marks_;
};

// The report in file order: rank 0's block, then each other rank's as it arrives. Returns
// whether standard output took it (on every process).
bool report(const tarn::Verdict& verdict, const Blocks& blocks, const Parameters* p) {
    const LineRecord record(p);
    const auto stored = [&](size_t i) {
        return p->print_score == 1 ? verdict.score[i] : verdict.lof[i];
    };
    const size_t count = verdict.score.size();
    if (blocks.rank() != 0) {
        Array<char> lines;
        step([&] {
            lines.resize(count * record.size());
            for (size_t i = 0; i < count; ++i)
                record.put(lines.data() + i * record.size(), stored(i), verdict.label[i],
                           verdict.marked[i]);
        });
        tarn::mpi::send_pieces(lines.data(), count, record.size());
        return broadcast_value(1) == 1;
    }
    Array<char> piece;
    step([&] { piece.resize(tarn::mpi::kPiece * record.size()); });
    for (size_t i = 0; i < count; ++i)
        tarn::print_report_line(stored(i), verdict.label[i], verdict.marked[i], p);
    for (int r = 1; r < blocks.size(); ++r) {
        while (size_t lines = tarn::mpi::receive_piece(r, piece.data(), record.size())) {
            for (size_t i = 0; i < lines; ++i)
                record.print(piece.data() + i * record.size(), p);
        }
    }
    const int written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 1 : 0;
    return broadcast_value(written) == 1;
}

// The output of a distributed run: rank 0 speaks, decides for every process and gathers what
// it writes; the report travels to it in pieces.
class BlockOutlet final : public tarn::Outlet {
public:
    explicit BlockOutlet(const Blocks& blocks) : blocks_(blocks) {}
    bool speaks() const override { return blocks_.rank() == 0; }
    int32_t agree(int32_t mine) override { return broadcast_value(mine); }
    // Gathered once per block verdict; every process asks for the same ones in the same order.
    const tarn::Verdict& whole(const tarn::Verdict& block) override {
        for (const auto& [from, all] : gathered_) {
            if (from == &block) return all;
        }
        tarn::Verdict& all = gathered_.emplace_back(&block, tarn::Verdict{}).second;
        all.score = tarn::mpi::gather(block.score);
        all.lof = tarn::mpi::gather(block.lof);
        all.label = tarn::mpi::gather(block.label);
        all.marked = tarn::mpi::gather(block.marked);
        return all;
    }
    bool report(const tarn::Verdict& block, const Parameters* p) override {
        return ::report(block, blocks_, p);
    }

private:
    const Blocks& blocks_;
    std::list<std::pair<const tarn::Verdict*, tarn::Verdict>> gathered_;  // stays in place
};

// Every process's copy of the whole of a distributed array, each process's part in rank order.
template <typename Values>
void all_of(Values& values) {
    using T = typename Values::value_type;
    Array<T> mine;
    step([&] { mine.assign(values.begin(), values.end()); });
    Array<T> all = tarn::mpi::gather(mine);
    size_t count = broadcast_value(all.size());
    step([&] {
        values.resize(count);
        std::copy(all.begin(), all.end(), values.begin());  // all is empty but on rank 0
    });
    broadcast(values.data(), count * sizeof(T));
}

// -R's reference, whole on every process: a model every process reads, or vectors rank 0
// loads and broadcasts, whose lists each process builds for its block of sources and shares.
void make_reference(Parameters* p, int rank, int size, Vectors& vectors,
                    tarn::Reference& reference) {
    if (std::strcmp(p->reference, "-") != 0 && tarn::is_model(p->reference)) {
        tarn::ModelShape shape;
        step([&]() -> std::optional<tarn::Error> {
            const std::optional<std::string> why =
                tarn::read_model(p->reference, &reference, &shape);
            if (!why) return std::nullopt;
            return tarn::Error{
                tarn::ErrorKind::kDimensions,
                "Cannot load the model from " + std::string(p->reference) + ": it " + *why + "\n"};
        });
        tarn::take_shape(p, shape);
        reference.rows.metric = tarn::metric_of(p);
        return;
    }
    Parameters options = *p;
    TableNames names;  // the reference's own; the report names the vectors of -i
    options.instr = p->reference;
    options.names = &names;
    load(vectors, &options);
    const Blocks blocks(static_cast<int32_t>(vectors.rows.size()), rank, size);
    tarn::mpi::checkpoint(tarn::build_block(vectors.rows, vectors.dims.data(), p, blocks.mine(),
                                            &reference.lists, &reference.notes));
    all_of(reference.lists.target);
    all_of(reference.lists.kdist);
    step([&] {
        // The block's order of locality numbers its own rows only; the whole reference's rows
        // are taken in source order, which gives the same results.
        reference.lists.order.clear();
        reference.lists.n = static_cast<int32_t>(vectors.rows.size());
        reference.rows = vectors.rows;
        reference.notes.overflow = tarn::distances_overflow(reference.rows, reference.lists);
    });
}

// -R: the vectors of -i in blocks, each scored against the whole reference; -W's model written
// by rank 0 first.
int32_t run_against_reference(Parameters* p, int rank, int size) {
    Vectors reference_vectors;
    tarn::Reference reference;
    make_reference(p, rank, size, reference_vectors, reference);
    if (p->model_path != nullptr) {
        int32_t failed = 0;
        if (rank == 0) {
            if (std::optional<std::string> why =
                    tarn::write_model(p->model_path, reference, tarn::shape_of(p))) {
                std::fprintf(stderr, "Cannot write the model to %s: %s\n", p->model_path,
                             why->c_str());
                failed = 1;
            }
        }
        if (broadcast_value(failed) == 1) return -1;
    }
    if (p->instr == nullptr) return 0;
    Vectors vectors;
    load(vectors, p);
    const int32_t q = static_cast<int32_t>(vectors.rows.size());
    step([&] { return tarn::check_query_widths(reference, vectors.dims.data(), q); });
    step([&] {
        if (p->standardise == 1) tarn::apply_scales(vectors.rows, reference.notes.scales);
    });
    const Blocks blocks(q, rank, size);
    tarn::Rows block;
    step([&] {
        block.features = vectors.rows.features;
        block.row.assign(vectors.rows.row.begin() + blocks.mine().first,
                         vectors.rows.row.begin() + blocks.mine().last);
    });
    // Each verdict carries its block's labels.
    Array<tarn::Verdict> verdicts(1);
    Array<tarn::DuplicateScores> duplicates;
    tarn::RunNotes notes;
    if (p->all_rules == 1) {
        tarn::mpi::judge_queries_all(reference, block, blocks, p, &verdicts, &duplicates, &notes);
    } else {
        tarn::mpi::judge_queries(reference, block, blocks, p, &verdicts[0], &notes);
        duplicates.push_back(notes.duplicates);
    }
    const bool overflow = tarn::mpi::sum(notes.overflow ? 1 : 0) > 0;
    BlockOutlet outlet(blocks);
    if (p->all_rules == 1) {
        return tarn::finish_every_rule(
            {vectors.rows, verdicts, duplicates, overflow, reference.notes.unstandardised}, p,
            outlet);
    }
    return tarn::finish_run(
        {vectors.rows, verdicts[0], overflow, duplicates[0], reference.notes.unstandardised}, p,
        outlet);
}

// A run in which each process holds a share of the vectors, never every one: over regions
// (mpi/partition.h) or around a ring (mpi/ring.h), as judge builds and judges it. The verdicts
// are on the file-order blocks, which report as the replicating way does.
using Judge = void (*)(tarn::mpi::VectorRun& block, const Parameters* p,
                       Array<tarn::Verdict>* verdicts, Array<tarn::DuplicateScores>* duplicates,
                       bool* overflow);

// With -g, the point the picture plots for each vector of the input, on rank 0 (empty
// elsewhere, and without -g). A -G column beyond the features plots 0 here: the run stops at
// its check before the picture.
Array<double> plotted_points(const tarn::mpi::VectorRun& block, int32_t features,
                             const Parameters* p) {
    Array<double> mine;
    if (p->plotstr == nullptr) return mine;
    step([&] {
        mine.assign(2 * block.dims.size(), 0.0);
        if (p->plot_x >= features || p->plot_y >= features) return;
        const size_t width = static_cast<size_t>(features) + 1;
        for (size_t i = 0; i < block.dims.size(); ++i) {
            const int32_t position =
                static_cast<int32_t>(block.first + static_cast<int64_t>(i)) + 1;
            tarn::plot_point(block.values.data() + i * width, features, position, p, &mine[2 * i],
                             &mine[2 * i + 1]);
        }
    });
    return tarn::mpi::gather(mine);
}

int32_t run_shared_out(tarn::mpi::VectorRun& block, Parameters* p, Judge judge) {
    // The vectors are all finite here: no warning reads them, only their width and metric.
    tarn::Rows rows;
    rows.features = block.dims.empty() ? 0 : block.dims[0] - 1;
    const Array<double> plotted = plotted_points(block, rows.features, p);
    Array<tarn::Verdict> verdicts;
    Array<tarn::DuplicateScores> duplicates;
    bool overflow = false;
    judge(block, p, &verdicts, &duplicates, &overflow);
    const Blocks blocks(static_cast<int32_t>(block.n), tarn::mpi::world_rank(),
                        tarn::mpi::world_size());
    const Array<double> widths = tarn::mpi::all_values(rows.features);  // 0 on an empty block
    rows.features = static_cast<int32_t>(*std::max_element(widths.begin(), widths.end()));
    rows.metric = tarn::metric_of(p);
    const Array<int32_t> unstandardised;
    const int32_t n = static_cast<int32_t>(block.n);
    BlockOutlet outlet(blocks);
    const int32_t status =
        p->all_rules == 1
            ? tarn::finish_every_rule({rows, verdicts, duplicates, overflow, unstandardised, n}, p,
                                      outlet)
            : tarn::finish_run(
                  {rows, verdicts[0], overflow, duplicates[0], unstandardised, n, plotted.data()},
                  p, outlet);
    return status != 0 ? -1 : 0;
}

int run(int argc, char** argv, int rank, int size) {
    Parameters* parap = init_params();
    TableNames names;  // rank 0's: column and class names, for the evaluation and the picture
    parap->names = &names;
    parse_params(parap, argc, argv);
    open_files(parap);
    const bool root = rank == 0;
    // Rank 0 alone speaks, so only its check says why.
    int refused = root && tarn::output_names_input(parap);
    if (broadcast_value(refused) == 1) {
        tarn::release(nullptr, parap);
        return -1;
    }
    tarn::check_reference_options(parap);
    if (parap->reference != nullptr) {
        int32_t status = -1;
        try {
            status = run_against_reference(parap, rank, size);
        } catch (const tarn::mpi::Stopped& stop) {
            std::fputs(stop.error.message.c_str(), stdout);
            std::fflush(stdout);
        }
        tarn::release(nullptr, parap);
        return status;
    }
    Vectors vectors;
    try {
        tarn::mpi::VectorRun block = tarn::mpi::read_input(parap);
        Array<tarn::ColumnScale> scales;
        if (const tarn::mpi::Spread spread = tarn::mpi::spread_of(block, parap, &scales);
            spread != tarn::mpi::Spread::kCopies) {
            tarn::mpi::apply_scales(block, scales);
            const int32_t status = run_shared_out(block, parap,
                                                  spread == tarn::mpi::Spread::kRegions
                                                      ? tarn::mpi::judge_partitioned
                                                      : tarn::mpi::judge_around_ring);
            tarn::release(nullptr, parap);
            return status;
        }
        share(vectors, std::move(block), parap);
        const int32_t n = static_cast<int32_t>(vectors.rows.size());
        const Blocks blocks(n, rank, size);
        tarn::NeighbourLists lists;
        tarn::RunNotes notes;
        tarn::mpi::checkpoint(tarn::build_block(vectors.rows, vectors.dims.data(), parap,
                                                blocks.mine(), &lists, &notes));
        tarn::mpi::note_lists_made();
        // Every rule of the table for -r all, else the one p selects.
        const size_t count = parap->all_rules == 1 ? tarn::rules().size() : 1;
        Array<tarn::Verdict> verdicts;
        Array<tarn::DuplicateScores> duplicates;
        step([&] {
            verdicts.resize(count);
            duplicates.resize(count);
        });
        const Array<int32_t> block_labels =
            labels(vectors, blocks.mine().first, blocks.mine().last);
        for (size_t r = 0; r < count; ++r) {
            const Parameters one = count == 1 ? *parap : tarn::with_rule(parap, tarn::rules()[r]);
            duplicates[r] = tarn::mpi::judge(vectors.rows, lists, blocks, &one, &verdicts[r]);
            step([&] { verdicts[r].label = block_labels; });
        }

        // Rank 0's block starts at the first vector, so its lists are the first rows of the
        // whole run's.
        bool overflow = false;
        on_root(blocks, [&] { overflow = tarn::distances_overflow(vectors.rows, lists); });
        BlockOutlet outlet(blocks);
        const int32_t status =
            count == 1 ? tarn::finish_run({vectors.rows, verdicts[0], overflow, duplicates[0],
                                           notes.unstandardised},
                                          parap, outlet)
                       : tarn::finish_every_rule(
                             {vectors.rows, verdicts, duplicates, overflow, notes.unstandardised},
                             parap, outlet);
        if (status != 0) {
            tarn::release(nullptr, parap);
            return -1;
        }
    } catch (const tarn::mpi::Stopped& stop) {
        std::fputs(stop.error.message.c_str(), stdout);
        std::fflush(stdout);
        return -1;
    }
    tarn::release(nullptr, parap);
    return 0;
}

// With TARN_MPI_STATS=PREFIX in the environment, each process writes "<bytes sent> <peak
// resident KiB> <bytes sent when the lists were made>" to the file PREFIX.<rank> as it ends (the
// last -1 where the lists were not made over regions): what bench/mpi.sh reads.
void write_stats() {
    const char* prefix = std::getenv("TARN_MPI_STATS");
    if (prefix == nullptr) return;
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    long peak = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::sscanf(line, "VmHWM: %ld kB", &peak) == 1) break;
        }
        std::fclose(status);
    }
    const std::string path = std::string(prefix) + "." + std::to_string(rank);
    if (FILE* out = std::fopen(path.c_str(), "w")) {
        std::fprintf(out, "%lld %ld %lld\n", static_cast<long long>(tarn::mpi::bytes_sent()), peak,
                     static_cast<long long>(tarn::mpi::bytes_when_lists_made()));
        std::fclose(out);
    }
}

void finalize() {
    write_stats();
    MPI_Finalize();
}

// FNV-1a over the words after the program's name, each with its ending NUL, so that "-k 12" and
// "-k1 2" differ.
uint64_t command_line_hash(int argc, char** argv) {
    uint64_t hash = 14695981039346656037ULL;
    for (int i = 1; i < argc; ++i) {
        for (const char* c = argv[i];; ++c) {
            hash = (hash ^ static_cast<unsigned char>(*c)) * 1099511628211ULL;
            if (*c == '\0') break;
        }
    }
    return hash;
}

// Whether every process was given rank 0's command line, learnt by all at once. An MPMD launch or
// a wrapper that rewrites the arguments would otherwise run processes that take different ways
// (one parser's early exit, another rule): a hang, or a report that no single run gives. Every
// process's decisions from here on, the option parser's early exits among them, are the same.
bool same_command_line(int argc, char** argv, int rank, int size) {
    const uint64_t mine = command_line_hash(argc, argv);
    std::vector<uint64_t> all(static_cast<size_t>(size));
    MPI_Allgather(&mine, 1, MPI_UINT64_T, all.data(), 1, MPI_UINT64_T, MPI_COMM_WORLD);
    for (int r = 1; r < size; ++r) {
        if (all[static_cast<size_t>(r)] == all[0]) continue;
        if (rank == 0) {
            std::fprintf(stderr,
                         "tarn-mpi: process %d was given another command line than process 0; "
                         "every process must run the same options\n",
                         r);
        }
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    // Every way out, std::exit from the option parser included, leaves MPI behind; every
    // process takes the same way out at the same point.
    std::atexit(finalize);
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    if (rank != 0) {
        // Only rank 0 speaks.
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    if (!same_command_line(argc, argv, rank, size)) return -1;
    return run(argc, argv, rank, size);
}
