// Prints what tarn's automatic choice of builder sees and picks for a tarn input file (white
// space separated numbers, the last column the label), k = 10 unless given:
//   method file [k [n]]  →  "<n> <d> <sample dimension> tree|brute"
// A given n replaces the file's in the choice: what tarn would pick for n vectors drawn like the
// file's (the estimate reads a fixed-size sample, whatever n is).
#include <cstdio>
#include <cstdlib>

#include "detect/construct.h"
#include "detect/method.h"
#include "vectors/fvector.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: method file [k [n]]\n");
        return 2;
    }
    const int32_t k = argc > 2 ? std::atoi(argv[2]) : 10;
    HFSET set = fvsLoad(argv[1]);
    if (set == nullptr || fvsGetSize(set) < 2) return 1;
    int32_t n = fvsGetSize(set);
    const HFV* vectors = fvsGetVectorBuff(set);
    tarn::Rows rows;
    for (int32_t i = 0; i < n; ++i)
        rows.row.push_back(vectors[i]->vector);
    rows.features = fvGetDim(fvsGetVector(set, 1)) - 1;
    const double dimension = tarn::sample_dimension(rows);
    if (argc > 3) n = std::atoi(argv[3]);
    const bool tree = tarn::choose_method(n, k, dimension) == tarn::Method::kTree;
    std::printf("%d %d %.2f %s\n", n, rows.features, dimension, tree ? "tree" : "brute");
    fvsDestroy(set);
    return 0;
}
