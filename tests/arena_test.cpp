// Carved vectors: every size (up to one bigger than any block), aligned and apart from each
// other, owned by the arena that carved them and by no other, handed over whole by adopt, and
// released with a set that also holds allocated vectors (the sanitizer run checks that nothing
// carved is freed and nothing allocated is lost).
#include "vectors/arena.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

TEST(Arena, CarvesAlignedSeparateVectorsItAloneOwns) {
    // Dimensions that fill blocks unevenly, then one of 80 MB, beyond the largest block.
    const std::vector<int32_t> dims = {1, 9, 2, 32768, 3, 40000, 1, 10'000'000, 5};
    tarn::VectorArena arena, other;
    std::vector<HFV> carved;
    for (int round = 0; round < 200; ++round) {
        for (int32_t dim : dims) {
            if (dim > 1000 && round > 0) continue;
            HFV fv = arena.make(dim);
            ASSERT_NE(fv, nullptr) << dim;
            EXPECT_EQ(fv->dim, dim);
            EXPECT_EQ(fv->freq, 1);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(fv->vector) % alignof(double), 0u);
            fv->vector[0] = round;
            fv->vector[dim - 1] = -dim;
            carved.push_back(fv);
        }
    }
    HFV allocated = fvCreate(3);
    for (size_t i = 0; i < carved.size(); ++i) {
        const HFV fv = carved[i];
        // Each vector still holds what was written into it: no carving overlaps another.
        EXPECT_EQ(fv->vector[fv->dim - 1], -fv->dim) << i;
        EXPECT_TRUE(arena.owns(fv)) << i;
        EXPECT_FALSE(other.owns(fv)) << i;
    }
    EXPECT_FALSE(arena.owns(allocated));
    fvDestroy(allocated);
}

TEST(Arena, AdoptsAnotherArenasVectorsAndReleasesAMixedSet) {
    tarn::VectorArena arena;
    HFSET set = fvsCreate(1, 2);
    {
        tarn::VectorArena part;
        for (int i = 0; i < 1000; ++i) {
            fvsAddVector(set, i % 3 == 0 ? fvCreate(2) : (i % 3 == 1 ? arena : part).make(2));
            set->vectors[i]->vector[1] = i;
        }
        ASSERT_TRUE(arena.adopt(part));
        EXPECT_FALSE(part.owns(set->vectors[2]));
        EXPECT_NE(part.make(4), nullptr);  // an emptied arena carves anew
    }
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(arena.owns(set->vectors[i]), i % 3 != 0) << i;
        EXPECT_EQ(set->vectors[i]->vector[1], i);  // the adopted blocks outlived their arena
    }
    EXPECT_EQ(arena.carved(), 666 * (sizeof(Hvec) + 2 * sizeof(double)));
    tarn::release_set(set, &arena);
    tarn::release_set(nullptr, &arena);
}

// A limit bounds what an arena maps, shared by the arenas of one load's parts: carving stops
// with null once the room is taken, and never at a vector that fits.
TEST(Arena, ALimitBoundsWhatIsMapped) {
    constexpr double kLimit = 4 << 20;
    const size_t carving = sizeof(Hvec) + 8 * sizeof(double);
    for (const int arenas : {1, 3}) {
        tarn::VectorArena main;
        main.limit(kLimit);
        std::vector<tarn::VectorArena> parts(static_cast<size_t>(arenas - 1));
        for (tarn::VectorArena& part : parts)
            part.share_limit(main);
        size_t carved = 0;
        for (int turn = 0;; ++turn) {
            tarn::VectorArena& arena = turn % arenas == 0 ? main : parts[turn % arenas - 1];
            if (arena.make(8) == nullptr) break;
            carved += carving;
        }
        EXPECT_LE(carved, kLimit) << arenas;
        EXPECT_GE(carved, kLimit / 2) << arenas;
    }
    tarn::VectorArena unlimited;
    unlimited.limit(-1);
    EXPECT_NE(unlimited.make(1 << 20), nullptr);
}

}  // namespace
