#include "mpi/exchange.h"

#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace tarn::mpi {
namespace {

// Collectives count in int; a byte count beyond it travels in records of this many bytes.
MPI_Datatype record_type(size_t record) {
    MPI_Datatype type;
    MPI_Type_contiguous(static_cast<int>(record), MPI_BYTE, &type);
    MPI_Type_commit(&type);
    return type;
}

// A count of records as a collective's int; beyond int the run stops on every process.
int to_int(int64_t count) {
    if (count > INT_MAX) {
        throw Stopped{{ErrorKind::kAllocation,
                       "tarn-mpi: more than 2^31 records between two processes; run on more "
                       "processes\n"}};
    }
    return static_cast<int>(count);
}

// Each process's count of records, in rank order, laid out one run after the other.
void lay_out(const Array<int64_t>& counts, Layout& layout) {
    int64_t total = 0;
    for (size_t r = 0; r < counts.size(); ++r) {
        layout.receive_counts[r] = to_int(counts[r]);
        layout.receive_at[r] = to_int(total);
        total += counts[r];
    }
    layout.total = static_cast<size_t>(total);
}

}  // namespace

int world_size() {
    int size;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    return size;
}

int world_rank() {
    int rank;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank;
}

Blocks::Blocks(int32_t n, int rank, int size) : n_(n), rank_(rank), size_(size) {}

int32_t Blocks::first(int r) const {
    return static_cast<int32_t>(int64_t{n_} * r / size_);
}

int Blocks::owner(int32_t v) const {
    // The first guess is off by at most one block either way.
    int r = static_cast<int>(int64_t{v} * size_ / std::max(n_, 1));
    while (r > 0 && first(r) > v)
        --r;
    while (r + 1 < size_ && first(r + 1) <= v)
        ++r;
    return r;
}

Error allocation_failure(size_t size) {
    char text[64];
    std::snprintf(text, sizeof text, "Allocation of %zu bytes failed\n", size);
    return {ErrorKind::kAllocation, text};
}

void checkpoint(const std::optional<Error>& local) {
    const int size = world_size();
    const int mine = local ? world_rank() : size;
    int first = size;
    MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    if (first == size) return;
    // The failing rank tells its error; the message is short.
    char text[512] = {};
    int kind = 0;
    if (local && first == world_rank()) {
        std::snprintf(text, sizeof text, "%s", local->message.c_str());
        kind = static_cast<int>(local->kind);
    }
    MPI_Bcast(text, sizeof text, MPI_CHAR, first, MPI_COMM_WORLD);
    MPI_Bcast(&kind, 1, MPI_INT, first, MPI_COMM_WORLD);
    throw Stopped{{static_cast<ErrorKind>(kind), text}};
}

namespace {

int64_t sent_bytes = 0;  // only the thread that makes the collectives counts
int64_t sent_for_lists = -1;

}  // namespace

int64_t bytes_sent() {
    return sent_bytes;
}

void note_lists_made() {
    sent_for_lists = sent_bytes;
}

int64_t bytes_when_lists_made() {
    return sent_for_lists;
}

struct RingTurn::Pending {
    MPI_Request requests[2];
};

RingTurn::RingTurn(const double* send, size_t count, double* into, size_t into_count)
    : pending_(new Pending) {
    const int rank = world_rank(), size = world_size();
    if (size == 1) {
        pending_->requests[0] = pending_->requests[1] = MPI_REQUEST_NULL;
        return;
    }
    sent_bytes += static_cast<int64_t>(count * sizeof(double));
    MPI_Irecv(into, to_int(static_cast<int64_t>(into_count)), MPI_DOUBLE, (rank + size - 1) % size,
              0, MPI_COMM_WORLD, &pending_->requests[0]);
    MPI_Isend(send, to_int(static_cast<int64_t>(count)), MPI_DOUBLE, (rank + 1) % size, 0,
              MPI_COMM_WORLD, &pending_->requests[1]);
}

RingTurn::~RingTurn() {
    finish();
    delete pending_;
}

void RingTurn::finish() {
    MPI_Waitall(2, pending_->requests, MPI_STATUSES_IGNORE);
}

void broadcast(void* data, size_t bytes) {
    if (world_rank() == 0) sent_bytes += static_cast<int64_t>(bytes) * (world_size() - 1);
    constexpr size_t kMost = size_t{1} << 30;
    char* at = static_cast<char*>(data);
    for (size_t done = 0; done < bytes; done += kMost) {
        const size_t piece = std::min(kMost, bytes - done);
        MPI_Bcast(at + done, static_cast<int>(piece), MPI_BYTE, 0, MPI_COMM_WORLD);
    }
}

Layout exchange_layout(const Array<int64_t>& counts, Array<int64_t>* received) {
    const size_t size = static_cast<size_t>(world_size());
    Layout layout;
    step([&] {
        received->assign(size, 0);
        layout.send_counts.resize(size);
        layout.send_at.resize(size);
        layout.receive_counts.resize(size);
        layout.receive_at.resize(size);
    });
    MPI_Alltoall(counts.data(), 1, MPI_INT64_T, received->data(), 1, MPI_INT64_T, MPI_COMM_WORLD);
    step([&] {
        int64_t sent = 0, came = 0;
        for (size_t r = 0; r < size; ++r) {
            layout.send_counts[r] = to_int(counts[r]);
            layout.send_at[r] = to_int(sent);
            layout.receive_counts[r] = to_int((*received)[r]);
            layout.receive_at[r] = to_int(came);
            sent += counts[r];
            came += (*received)[r];
        }
        layout.total = static_cast<size_t>(came);
    });
    return layout;
}

void exchange_records(const void* send, void* receive, const Layout& layout, size_t record) {
    for (size_t r = 0; r < layout.send_counts.size(); ++r) {
        if (static_cast<int>(r) != world_rank())
            sent_bytes +=
                static_cast<int64_t>(layout.send_counts[r]) * static_cast<int64_t>(record);
    }
    MPI_Datatype type = record_type(record);
    MPI_Alltoallv(send, layout.send_counts.data(), layout.send_at.data(), type, receive,
                  layout.receive_counts.data(), layout.receive_at.data(), type, MPI_COMM_WORLD);
    MPI_Type_free(&type);
}

Array<double> fetch(const Blocks& blocks, std::span<const int32_t> wanted,
                    std::span<const double> own) {
    const size_t size = static_cast<size_t>(blocks.size());
    Array<int64_t> counts;
    Array<int32_t> grouped;
    Array<size_t> place;  // where grouped[j] sits in wanted
    step([&] {
        counts.assign(size, 0);
        Array<int64_t> at(size + 1, 0);
        for (int32_t v : wanted)
            ++counts[static_cast<size_t>(blocks.owner(v))];
        for (size_t r = 0; r < size; ++r)
            at[r + 1] = at[r] + counts[r];
        grouped.resize(wanted.size());
        place.resize(wanted.size());
        for (size_t j = 0; j < wanted.size(); ++j) {
            const size_t to =
                static_cast<size_t>(at[static_cast<size_t>(blocks.owner(wanted[j]))]++);
            grouped[to] = wanted[j];
            place[to] = j;
        }
    });
    Array<int64_t> asked;
    const Array<int32_t> questions = exchange(grouped, counts, &asked);
    Array<double> answers;
    step([&] {
        answers.resize(questions.size());
        const int32_t first = blocks.first(blocks.rank());
        for (size_t j = 0; j < questions.size(); ++j)
            answers[j] = own[static_cast<size_t>(questions[j] - first)];
    });
    Array<int64_t> came;
    const Array<double> values = exchange(answers, asked, &came);
    Array<double> result;
    step([&] {
        result.resize(wanted.size());
        for (size_t j = 0; j < values.size(); ++j)
            result[place[j]] = values[j];
    });
    return result;
}

Layout gather_layout(size_t count) {
    const size_t size = static_cast<size_t>(world_size());
    const bool root = world_rank() == 0;
    const int64_t own = static_cast<int64_t>(count);
    Layout layout;
    Array<int64_t> counts;
    step([&] {
        counts.assign(size, 0);
        layout.send_counts.assign(1, to_int(own));
        if (!root) return;
        layout.receive_counts.resize(size);
        layout.receive_at.resize(size);
    });
    MPI_Gather(&own, 1, MPI_INT64_T, counts.data(), 1, MPI_INT64_T, 0, MPI_COMM_WORLD);
    step([&] {
        if (root) lay_out(counts, layout);
    });
    return layout;
}

void gather_records(const void* mine, void* all, const Layout& layout, size_t record) {
    if (world_rank() != 0)
        sent_bytes += static_cast<int64_t>(layout.send_counts[0]) * static_cast<int64_t>(record);
    MPI_Datatype type = record_type(record);
    MPI_Gatherv(mine, layout.send_counts[0], type, all, layout.receive_counts.data(),
                layout.receive_at.data(), type, 0, MPI_COMM_WORLD);
    MPI_Type_free(&type);
}

Layout all_gather_layout(size_t count) {
    const size_t size = static_cast<size_t>(world_size());
    const int64_t own = static_cast<int64_t>(count);
    Layout layout;
    Array<int64_t> counts;
    step([&] {
        counts.assign(size, 0);
        layout.send_counts.assign(1, to_int(own));
        layout.receive_counts.resize(size);
        layout.receive_at.resize(size);
    });
    MPI_Allgather(&own, 1, MPI_INT64_T, counts.data(), 1, MPI_INT64_T, MPI_COMM_WORLD);
    step([&] { lay_out(counts, layout); });
    return layout;
}

void all_gather_records(const void* mine, void* all, const Layout& layout, size_t record) {
    sent_bytes += static_cast<int64_t>(layout.send_counts[0]) * static_cast<int64_t>(record) *
                  (world_size() - 1);
    MPI_Datatype type = record_type(record);
    MPI_Allgatherv(mine, layout.send_counts[0], type, all, layout.receive_counts.data(),
                   layout.receive_at.data(), type, MPI_COMM_WORLD);
    MPI_Type_free(&type);
}

Array<double> all_values(double mine) {
    Array<double> values;
    step([&] { values.resize(static_cast<size_t>(world_size())); });
    MPI_Allgather(&mine, 1, MPI_DOUBLE, values.data(), 1, MPI_DOUBLE, MPI_COMM_WORLD);
    return values;
}

int64_t sum(int64_t mine) {
    int64_t total = 0;
    MPI_Allreduce(&mine, &total, 1, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
    return total;
}

int64_t sum_before(int64_t mine) {
    int64_t before = 0;
    MPI_Exscan(&mine, &before, 1, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
    return world_rank() == 0 ? 0 : before;  // rank 0's is left undefined
}

void greatest(std::span<double> values) {
    MPI_Allreduce(MPI_IN_PLACE, values.data(), static_cast<int>(values.size()), MPI_DOUBLE, MPI_MAX,
                  MPI_COMM_WORLD);
}

void receive_running(std::span<double> running) {
    const int rank = world_rank();
    if (rank == 0) return;
    MPI_Recv(running.data(), static_cast<int>(running.size()), MPI_DOUBLE, rank - 1, 0,
             MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

void pass_running(std::span<double> running) {
    const int rank = world_rank(), last = world_size() - 1;
    const int count = static_cast<int>(running.size());
    if (rank < last) MPI_Send(running.data(), count, MPI_DOUBLE, rank + 1, 0, MPI_COMM_WORLD);
    MPI_Bcast(running.data(), count, MPI_DOUBLE, last, MPI_COMM_WORLD);
}

void send_pieces(const char* records, size_t count, size_t record) {
    sent_bytes += static_cast<int64_t>(count * record);
    for (size_t done = 0;; done += kPiece) {
        const size_t piece = std::min(kPiece, count - std::min(count, done));
        MPI_Send(records + done * record, static_cast<int>(piece * record), MPI_BYTE, 0, 0,
                 MPI_COMM_WORLD);
        if (piece == 0) return;
    }
}

size_t receive_piece(int from, char* buffer, size_t record) {
    MPI_Status status;
    MPI_Recv(buffer, static_cast<int>(kPiece * record), MPI_BYTE, from, 0, MPI_COMM_WORLD, &status);
    int bytes = 0;
    MPI_Get_count(&status, MPI_BYTE, &bytes);
    return static_cast<size_t>(bytes) / record;
}

}  // namespace tarn::mpi
