// Vectors for a set that is released as a whole, such as the one a run loads: each vector's
// record and components are carved, side by side, from a few big blocks mapped from the system,
// instead of taking two allocations of the C library each. Loading a big file then costs no
// allocator work per vector, touches fresh memory in huge pages where the kernel allows it, and
// ends with a handful of unmappings instead of two frees per vector.
//
// A carved vector looks like any other (dim, freq 1, vector pointing at its components), but the
// arena owns its memory: it must never reach fvDestroy, fvsDestroy, fvsRemoveVector or
// fvsReplaceVector. A set that may hold carved vectors is released with release_set.
#ifndef TARN_VECTORS_ARENA_H
#define TARN_VECTORS_ARENA_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vectors/fvector.h"

namespace tarn {

class VectorArena {
public:
    VectorArena() = default;
    ~VectorArena();
    VectorArena(const VectorArena&) = delete;
    VectorArena& operator=(const VectorArena&) = delete;

    // A vector of dim (at least 1) uninitialised components with freq 1, owned by the arena;
    // null when the system gives no memory for it.
    HFV make(int32_t dim);

    // Whether fv was carved here.
    bool owns(const Hvec* fv) const;

    // Takes over other's blocks and vectors, leaving other empty; false, with both unchanged,
    // when memory for the bookkeeping cannot be had.
    bool adopt(VectorArena& other);

    // Bytes carved so far: records and components.
    size_t carved() const { return carved_; }

    // Maps no more than bytes in all from now on (at least what one vector needs), so that a
    // load of endless or enormous input stops with a refusal (make gives null) rather than
    // outgrowing the memory the process can have. Below 0: no limit.
    void limit(double bytes);

    // Counts this arena's blocks against main's limit too, as the parts of one load do. main
    // must outlive every block this arena maps.
    void share_limit(VectorArena& main) { room_ = main.room_; }

private:
    struct Block {
        char* base;
        size_t bytes;
    };
    static bool by_base(const Block& a, const Block& b);
    bool grow(size_t least);  // maps a new block of at least least bytes to carve from

    std::vector<Block> blocks_;  // every block mapped, by base address
    char* next_ = nullptr;       // the free room of the newest block: [next_, end_)
    char* end_ = nullptr;
    size_t next_block_ = size_t{1} << 18;  // bytes the next block maps, doubling to a cap
    size_t carved_ = 0;
    std::atomic<int64_t> own_room_{0};      // what limit leaves to map
    std::atomic<int64_t>* room_ = nullptr;  // the room blocks are counted against, or null
    bool take_room(size_t bytes);
};

// Destroys fv unless arena (which may be null) carved it.
void release_vector(HFV fv, const VectorArena* arena);

// Releases set, whose vectors arena (which may be null) may have carved: the others are
// destroyed, then the slots and the record. A null set is ignored.
void release_set(HFSET set, const VectorArena* arena);

}  // namespace tarn

#endif
