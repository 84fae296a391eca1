#include "vectors/arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>

namespace {

// Blocks double from 256 KiB up to this size, so that a small file maps little and a big one
// needs few blocks. A block's untouched room costs address space, not memory.
constexpr size_t kLargestBlock = size_t{64} << 20;
constexpr size_t kPage = 4096;
constexpr size_t kHugePage = size_t{2} << 20;

size_t carving_bytes(int32_t dim) {
    return sizeof(Hvec) + static_cast<size_t>(dim) * sizeof(double);
}

}  // namespace

namespace tarn {

bool VectorArena::by_base(const Block& a, const Block& b) {
    return a.base < b.base;
}

VectorArena::~VectorArena() {
    for (const Block& block : blocks_)
        munmap(block.base, block.bytes);
}

void VectorArena::limit(double bytes) {
    if (bytes < 0) {
        room_ = nullptr;
        return;
    }
    own_room_.store(bytes >= 9e18 ? INT64_MAX : static_cast<int64_t>(bytes));
    room_ = &own_room_;
}

bool VectorArena::take_room(size_t bytes) {
    if (room_ == nullptr) return true;
    const int64_t wanted = static_cast<int64_t>(bytes);
    int64_t left = room_->load(std::memory_order_relaxed);
    do {
        if (left < wanted) return false;
    } while (!room_->compare_exchange_weak(left, left - wanted, std::memory_order_relaxed));
    return true;
}

bool VectorArena::grow(size_t least) {
    // A block as big as the schedule asks, or, when the system or the limit refuses, smaller
    // ones down to the room this carving needs: a limit on address space should stop a load no
    // earlier than the C library's allocator would.
    const size_t needed = (least + kPage - 1) / kPage * kPage;
    size_t bytes = std::max(next_block_, needed);
    void* base = MAP_FAILED;
    for (;;) {
        if (take_room(bytes)) {
            base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (base != MAP_FAILED) break;
            if (room_ != nullptr) room_->fetch_add(static_cast<int64_t>(bytes));
        }
        if (bytes == needed) return false;
        bytes = std::max(bytes / 2, needed);
    }
    const Block block{static_cast<char*>(base), bytes};
    try {
        blocks_.insert(std::upper_bound(blocks_.begin(), blocks_.end(), block, by_base), block);
    } catch (const std::bad_alloc&) {
        munmap(base, bytes);
        return false;
    }
    if (bytes >= kHugePage) madvise(base, bytes, MADV_HUGEPAGE);
    next_ = block.base;
    end_ = block.base + bytes;
    next_block_ = std::min(2 * next_block_, kLargestBlock);
    return true;
}

HFV VectorArena::make(int32_t dim) {
    const size_t bytes = carving_bytes(dim);
    if (static_cast<size_t>(end_ - next_) < bytes && !grow(bytes)) return nullptr;
    // Records and components are multiples of 8 bytes, so every carving stays aligned.
    HFV fv = new (next_) Hvec{dim, 1, reinterpret_cast<double*>(next_ + sizeof(Hvec))};
    next_ += bytes;
    carved_ += bytes;
    return fv;
}

bool VectorArena::owns(const Hvec* fv) const {
    const char* at = reinterpret_cast<const char*>(fv);
    auto after = std::upper_bound(blocks_.begin(), blocks_.end(), at,
                                  [](const char* a, const Block& b) { return a < b.base; });
    return after != blocks_.begin() && at < std::prev(after)->base + std::prev(after)->bytes;
}

bool VectorArena::adopt(VectorArena& other) {
    try {
        blocks_.reserve(blocks_.size() + other.blocks_.size());
    } catch (const std::bad_alloc&) {
        return false;
    }
    blocks_.insert(blocks_.end(), other.blocks_.begin(), other.blocks_.end());
    std::sort(blocks_.begin(), blocks_.end(), by_base);
    carved_ += other.carved_;
    other.blocks_.clear();
    other.next_ = other.end_ = nullptr;
    other.carved_ = 0;
    return true;
}

void release_vector(HFV fv, const VectorArena* arena) {
    if (arena == nullptr || !arena->owns(fv)) fvDestroy(fv);
}

void release_set(HFSET set, const VectorArena* arena) {
    if (set == nullptr) return;
    for (int32_t p = 0; p < set->vector_number; ++p)
        release_vector(set->vectors[p], arena);
    fvsDestroyHandedOn(set);
}

}  // namespace tarn
