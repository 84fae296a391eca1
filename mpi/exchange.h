// The processes of a distributed run and what travels between them.
//
// A run of P processes splits the vertices 0 … n − 1 into P contiguous blocks in rank order;
// rank r owns the sources of its block (their outbound lists) and answers for its vertices
// (their inbound lists, their verdict). Every exchange is one bulk collective over
// MPI_COMM_WORLD that every process enters at the same point of the run: records grouped by the
// rank they go to, never one message per record.
//
// Failures. A process that fails (an allocation, a check that only it can make) must not leave
// the others waiting in a collective: local work runs in a step, and at the end of every step
// all processes learn whether any failed. When one did, every process throws Stopped with the
// error of the lowest failing rank, and the run ends on every process with that message.
#ifndef TARN_MPI_EXCHANGE_H
#define TARN_MPI_EXCHANGE_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <type_traits>

#include "base/alloc.h"
#include "detect/construct.h"
#include "detect/core.h"

namespace tarn::mpi {

// This process's rank, and the count of processes, in MPI_COMM_WORLD.
int world_rank();
int world_size();

// The blocks of n vertices over the processes, and this process's place among them.
class Blocks {
public:
    Blocks(int32_t n, int rank, int size);
    int rank() const { return rank_; }
    int size() const { return size_; }
    // Vertices [first(r), first(r + 1)) belong to rank r: n × r / P, rounded down.
    int32_t first(int r) const;
    // The rank whose block holds vertex v.
    int owner(int32_t v) const;
    SourceBlock mine() const { return {first(rank_), first(rank_ + 1)}; }
    int32_t count() const { return first(rank_ + 1) - first(rank_); }

private:
    int32_t n_;
    int rank_;
    int size_;
};

// Thrown on every process when any process failed in a step.
struct Stopped {
    Error error;
};

// Every process calls it at the same point with what its own work came to. When some process
// brings an error, every process throws Stopped with the error of the lowest such rank.
void checkpoint(const std::optional<Error>& local);

// The error of a failed allocation of size bytes, in the command line's words.
Error allocation_failure(size_t size);

// Runs body (no collective inside), a failed allocation or a Stopped it throws turned into its
// error, then checkpoint. body returns void or an optional Error of its own.
template <typename Body>
void step(Body body) {
    std::optional<Error> failure;
    try {
        AllocationFailuresThrow scope;
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
        } else {
            failure = body();
        }
    } catch (const AllocationFailure& allocation) {
        failure = allocation_failure(allocation.size());
    } catch (const std::bad_alloc&) {
        failure = Error{ErrorKind::kAllocation, "Allocation failed\n"};
    } catch (const Stopped& local) {
        failure = local.error;  // a step holds no collective: this process alone stopped
    }
    checkpoint(failure);
}

// The bytes of the bulk transfers this process has sent so far: a broadcast counts at rank 0,
// and an all-gather at every process, once for every other process; the counts and single
// values that set up a transfer are left out. For the benchmarks.
int64_t bytes_sent();

// Marks the moment the run's lists are in place, and the bytes sent up to it (-1 before): what
// the construction sent, for the benchmarks.
void note_lists_made();
int64_t bytes_when_lists_made();

// Rank 0's bytes on every process.
void broadcast(void* data, size_t bytes);

template <typename T>
T broadcast_value(T value) {
    broadcast(&value, sizeof value);
    return value;
}

// The bulk exchange. send holds records grouped by destination rank, counts[r] of them for
// rank r. Returns what every rank sent here, grouped by sender rank in rank order, each
// sender's records in the order it sent them; received[r] tells how many came from rank r.
// Every allocation is made in a step.
struct Layout {
    Array<int> send_counts, send_at, receive_counts, receive_at;
    size_t total = 0;  // records to receive
};
Layout exchange_layout(const Array<int64_t>& counts, Array<int64_t>* received);
void exchange_records(const void* send, void* receive, const Layout& layout, size_t record);

template <typename Record>
Array<Record> exchange(const Array<Record>& send, const Array<int64_t>& counts,
                       Array<int64_t>* received) {
    const Layout layout = exchange_layout(counts, received);
    Array<Record> records;
    step([&] { records.resize(layout.total); });
    exchange_records(send.data(), records.data(), layout, sizeof(Record));
    return records;
}

// Every value own[i] (vertex first(rank) + i) that another process asks for: returns, for each
// wanted[j], the value its owner holds, in the order of wanted. Two exchanges: the vertex
// numbers to their owners, the values back.
Array<double> fetch(const Blocks& blocks, std::span<const int32_t> wanted,
                    std::span<const double> own);

// mine from every process, concatenated in rank order, on rank 0 (empty elsewhere).
Layout gather_layout(size_t count);
void gather_records(const void* mine, void* all, const Layout& layout, size_t record);

template <typename T>
Array<T> gather(const Array<T>& mine) {
    const Layout layout = gather_layout(mine.size());
    Array<T> all;
    step([&] { all.resize(layout.total); });
    gather_records(mine.data(), all.data(), layout, sizeof(T));
    return all;
}

// mine from every process, concatenated in rank order, on every process. Each process counts
// its records once for every other process.
Layout all_gather_layout(size_t count);
void all_gather_records(const void* mine, void* all, const Layout& layout, size_t record);

template <typename T>
Array<T> all_gather(const Array<T>& mine) {
    const Layout layout = all_gather_layout(mine.size());
    Array<T> all;
    step([&] { all.resize(layout.total); });
    all_gather_records(mine.data(), all.data(), layout, sizeof(T));
    return all;
}

// One value from every process, in rank order, on every process.
Array<double> all_values(double mine);

// The sum over all processes, on every process.
int64_t sum(int64_t mine);

// The sum over the processes of lower rank than this one (0 on rank 0).
int64_t sum_before(int64_t mine);

// Each value the greatest over every process, in place, on every process.
void greatest(std::span<double> values);

// running, carried through the processes in rank order: each adds its own part to what the
// rank before it passed on (add, holding no collective, cannot fail), so that sums over the
// file-order blocks are made in the order one process makes them over every vector. Every
// process ends with the last rank's values.
void receive_running(std::span<double> running);
void pass_running(std::span<double> running);

template <typename Add>
void in_rank_order(std::span<double> running, Add add) {
    receive_running(running);
    add(running);
    pass_running(running);
}

// One turn of a ring of processes: sends `count` doubles to the next rank (rank + 1, after the
// last the first) and receives `into_count` into `into` from the one before, both under way
// until finish(), so that a process computes on one block while the next arrives. A run of one
// process sends nothing. The sent doubles count in bytes_sent.
class RingTurn {
public:
    RingTurn(const double* send, size_t count, double* into, size_t into_count);
    RingTurn(const RingTurn&) = delete;
    RingTurn& operator=(const RingTurn&) = delete;
    ~RingTurn();
    void finish();

private:
    struct Pending;
    Pending* pending_;
};

// Sends `count` records of `record` bytes to rank 0 in pieces (rank 0 receives them with
// receive_piece); the pieces of one rank arrive in order.
void send_pieces(const char* records, size_t count, size_t record);
// Rank 0: the next piece from rank `from` into buffer (room for kPiece records); returns its
// record count, 0 after the last.
size_t receive_piece(int from, char* buffer, size_t record);

constexpr size_t kPiece = size_t{1} << 15;

}  // namespace tarn::mpi

#endif
