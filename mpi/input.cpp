#include "mpi/input.h"

#include <fcntl.h>
#include <mpi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "base/parameters.h"
#include "detect/budget.h"
#include "detect/init.h"
#include "errors/errorapi.h"
#include "mpi/exchange.h"
#include "vectors/arena.h"
#include "vectors/fvector.h"
#include "vectors/table.h"
#include "vectors/textload.h"

namespace tarn::mpi {
namespace {

// Every process's value, in rank order, on every process. For the few bytes that tell what a
// process found, not for bulk data (uncounted).
template <typename T>
Array<T> every(const T& mine) {
    static_assert(std::is_trivially_copyable_v<T>);
    Array<T> all;
    step([&] { all.resize(static_cast<size_t>(world_size())); });
    MPI_Allgather(&mine, sizeof(T), MPI_BYTE, all.data(), sizeof(T), MPI_BYTE, MPI_COMM_WORLD);
    return all;
}

// The line of the last check in "fvector.c" that reported exhausted memory on this process
// while it read its part, or 0. Only rank 0's standard error reaches the user: another
// process's set that refuses a vector leaves its report to rank 0, in the run's lines.
int32_t memory_check = 0;

int32_t note_memory_report(int32_t code, const char*, const char* file, int32_t line) {
    if (code == ESR_NOT_ENOUGH_MEMORY && std::strcmp(file, "fvector.c") == 0) memory_check = line;
    return 0;
}

// While it lives, reports go to note_memory_report when noting, as they went before otherwise.
class MemoryReports {
public:
    explicit MemoryReports(bool noting) : before_(ReportError) {
        memory_check = 0;  // a report of an earlier load is not this one's
        if (noting) SetReportError(note_memory_report);
    }
    MemoryReports(const MemoryReports&) = delete;
    MemoryReports& operator=(const MemoryReports&) = delete;
    ~MemoryReports() { SetReportError(before_); }

private:
    ERRFN before_;
};

// The end of a failed load: rank 0 has printed why; every process stops with nothing to add.
std::optional<Error> load_failed() {
    return Error{ErrorKind::kAllocation, ""};
}

// Appends set's vectors to run, their values where moved puts them, and releases the set (null:
// none).
void take(HFSET set, const VectorArena* arena, const TableTextColumns& moved, VectorRun* run) {
    const int32_t count = set != nullptr ? fvsGetSize(set) : 0;
    const int32_t kept = static_cast<int32_t>(moved.features.size()) + 1;
    size_t values = run->values.size();
    for (int32_t i = 0; i < count; ++i)
        values += static_cast<size_t>(moved.moved ? kept : fvGetDim(fvsGetVector(set, i + 1)));
    run->dims.reserve(run->dims.size() + static_cast<size_t>(count));
    run->values.reserve(values);
    for (int32_t i = 0; i < count; ++i) {
        const HFV v = fvsGetVector(set, i + 1);
        if (!moved.moved) {
            run->dims.push_back(v->dim);
            run->values.insert(run->values.end(), v->vector, v->vector + v->dim);
            continue;
        }
        run->dims.push_back(kept);
        for (int32_t c : moved.features)
            run->values.push_back(v->vector[c]);
        run->values.push_back(moved.label >= 0 ? v->vector[moved.label] : 0.0);
    }
    release_set(set, arena);
}

// ---- rank 0 loads ----

VectorRun load_on_root(Parameters* p) {
    VectorRun run;
    VectorArena arena;  // the loaded vectors live until they are copied
    if (world_rank() == 0) {
        step([&]() -> std::optional<Error> {
            HFSET set = load_vectors(p, &arena);
            if (set == nullptr) return load_failed();
            take(set, &arena, TableTextColumns(), &run);
            return std::nullopt;
        });
    } else {
        step([] {});
    }
    run.n = broadcast_value(static_cast<int64_t>(run.dims.size()));
    return run;
}

// ---- every process reads its share of a regular file ----

// The regular file every process reads, as rank 0 sees it.
struct SharedFile {
    size_t start = 0;  // where the text begins
    size_t end = 0;    // the file's size when rank 0 looked
};

// The file every process reads part of, when each sees p->instr as rank 0 does: a text file that
// tarn reads in blocks, of rank 0's size. Else null: rank 0 loads.
// *fd is this process's descriptor of it, *head its first bytes.
std::optional<SharedFile> shared_file(const Parameters* p, int* fd, std::string* head) {
    SharedFile file;
    int readable = 0;
    step([&] {
        const TableFormat format = input_format(p, nullptr);
        if (p->instr == nullptr || std::strcmp(p->instr, "-") == 0 ||
            !tableTextInBlocks(p->instr, &format, &file.start, head))
            return;
        struct stat status {};
        *fd = open(p->instr, O_RDONLY | O_CLOEXEC);
        if (*fd < 0 || fstat(*fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
        file.end = std::max(file.start, static_cast<size_t>(status.st_size));
        readable = 1;
    });
    const SharedFile root = broadcast_value(file);
    const int same = readable == 1 && root.start == file.start && root.end == file.end ? 1 : 0;
    int all = 0;
    MPI_Allreduce(&same, &all, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    if (all == 1) return root;
    if (*fd >= 0) close(*fd);
    *fd = -1;
    return std::nullopt;
}

// Rank 0's words for a file whose lines failed, or that holds no data line, as tarn's.
std::optional<Error> tell_refusal(Parameters* p, const TextLines& whole, const std::string& head) {
    TableNames unkept;
    TableNames* names = p->names != nullptr ? p->names : &unkept;
    *names = TableNames();
    int32_t long_line = 0;
    text_report(whole, p->instr, &long_line);
    tableTextRefused(long_line, head, names);
    tell_load(p, false, *names);
    return load_failed();
}

// The names and the warning for the file's vectors, whose shape the processes tell in rank
// order, and in *moved where their values go; or the refusal of them. Every process decides
// alike; rank 0 speaks.
std::optional<Error> keep(Parameters* p, const Array<TableTextShape>& shapes,
                          const std::string& head, TableTextColumns* moved) {
    TableTextShape shape = shapes[0];
    for (size_t r = 1; r < shapes.size(); ++r)
        shape = tableTextFollow(shape, shapes[r]);
    TableNames unkept;
    TableNames* names = p->names != nullptr ? p->names : &unkept;
    const TableFormat format = input_format(p, nullptr);
    const bool kept = tableTextKept(shape, head, &format, names, moved);
    if (world_rank() == 0) tell_load(p, kept, *names);
    return kept ? std::nullopt : load_failed();
}

// This process's run of the file: the lines that start in its part of the bytes.
VectorRun read_part(Parameters* p, int fd, const SharedFile& file, const std::string& head) {
    const size_t rank = static_cast<size_t>(world_rank());
    const size_t size = static_cast<size_t>(world_size());
    const size_t bytes = file.end - file.start;
    VectorArena arena;  // the vectors read live until they are copied
    HFSET set = nullptr;
    TextLines lines;
    step([&] {
        const TableFormat format = input_format(p, &arena);
        arena.limit(format.memory);
        TextLoad how;
        how.threads = format.threads;
        how.arena = &arena;
        const MemoryReports noted(rank != 0);
        set = text_load_lines(fd, file.start, file.end, text_split(file.start, bytes, size, rank),
                              text_split(file.start, bytes, size, rank + 1), how, &lines);
        if (lines.failure == TextFailure::kNoMemory && lines.check == 0) lines.check = memory_check;
    });
    close(fd);
    const Array<TextLines> parts = every(lines);
    TextLines whole;
    for (const TextLines& part : parts)
        whole = text_follow(whole, part);
    const bool failed = whole.failure != TextFailure::kNone || whole.first_line == 0;
    if (failed) {
        release_set(set, &arena);  // its vectors may have read well, others' did not
        set = nullptr;
    }
    if (rank == 0) {
        step([&] { return failed ? tell_refusal(p, whole, head) : std::nullopt; });
    } else {
        step([] {});
    }
    VectorRun run;
    const int64_t count = set != nullptr ? fvsGetSize(set) : 0;
    run.first = sum_before(count);
    run.n = sum(count);
    const TableTextShape mine = set != nullptr ? tableTextShape(set, whole.first_count, run.first)
                                               : TableTextShape{.columns = whole.first_count};
    const Array<TableTextShape> shapes = every(mine);
    step([&]() -> std::optional<Error> {
        TableTextColumns moved;
        const std::optional<Error> refused = keep(p, shapes, head, &moved);
        if (!refused) take(set, &arena, moved, &run);
        if (refused) release_set(set, &arena);
        set = nullptr;
        return refused;
    });
    return run;
}

// ---- the blocks ----

// The vectors of run moved to their file-order blocks: this process's block.
VectorRun to_blocks(const VectorRun& run) {
    const Blocks blocks(static_cast<int32_t>(run.n), world_rank(), world_size());
    const size_t size = static_cast<size_t>(blocks.size());
    Array<int64_t> vectors, values;  // to send to each rank
    step([&] {
        vectors.assign(size, 0);
        values.assign(size, 0);
        const int64_t last = run.first + static_cast<int64_t>(run.dims.size());
        size_t at = 0;
        for (size_t r = 0; r < size; ++r) {
            const int64_t from = std::max<int64_t>(run.first, blocks.first(static_cast<int>(r)));
            const int64_t to = std::min<int64_t>(last, blocks.first(static_cast<int>(r) + 1));
            for (int64_t v = from; v < to; ++v, ++at) {
                ++vectors[r];
                values[r] += run.dims[at];
            }
        }
    });
    Array<int64_t> received;
    VectorRun block;
    block.n = run.n;
    block.first = blocks.first(blocks.rank());
    block.dims = exchange(run.dims, vectors, &received);
    block.values = exchange(run.values, values, &received);
    return block;
}

}  // namespace

VectorRun read_input(Parameters* p) {
    int fd = -1;
    std::string head;
    const std::optional<SharedFile> file = shared_file(p, &fd, &head);
    const VectorRun run = file ? read_part(p, fd, *file, head) : load_on_root(p);
    return to_blocks(run);
}

}  // namespace tarn::mpi
