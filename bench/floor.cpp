// The arithmetic floor of the construction: all n × (n − 1) exact squared distances of a data
// file's vectors (label column excluded) from one contiguous array, in a plain tiled loop
// compiled for this machine, and nothing else. Prints the seconds the loop took.
//   floor file
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kTile = 16;
constexpr int kRows = 4;

std::vector<double> load(const char* path, int& n, int& dim) {
    std::ifstream in(path);
    std::vector<double> rows;
    std::string line;
    n = 0;
    dim = -1;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<double> values;
        for (double v; fields >> v;)
            values.push_back(v);
        if (values.empty()) continue;
        values.pop_back();  // the label
        if (dim < 0) dim = static_cast<int>(values.size());
        rows.insert(rows.end(), values.begin(), values.end());
        ++n;
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    int n, dim;
    std::vector<double> rows = load(argv[1], n, dim);
    const int tiles = (n + kTile - 1) / kTile;
    std::vector<double> tiled(static_cast<size_t>(tiles) * dim * kTile, 0.0);
    for (int t = 0; t < n; ++t) {
        for (int i = 0; i < dim; ++i)
            tiled[(t / kTile) * dim * kTile + i * kTile + t % kTile] = rows[t * dim + i];
    }
    // Four sources against sixteen targets at a time, all sixty-four sums in registers.
    typedef double Lanes __attribute__((vector_size(64)));
    Lanes checksum = {};
    auto start = std::chrono::steady_clock::now();
    for (int s = 0; s + kRows <= n; s += kRows) {
        for (int tile = 0; tile < tiles; ++tile) {
            const double* b = &tiled[static_cast<size_t>(tile) * dim * kTile];
            Lanes acc[kRows][2] = {};
            for (int i = 0; i < dim; ++i) {
                Lanes t0, t1;
                __builtin_memcpy(&t0, b + i * kTile, sizeof(Lanes));
                __builtin_memcpy(&t1, b + i * kTile + 8, sizeof(Lanes));
                for (int r = 0; r < kRows; ++r) {
                    const double a = rows[(s + r) * dim + i];
                    Lanes d0 = a - t0, d1 = a - t1;
                    acc[r][0] = acc[r][0] + d0 * d0;
                    acc[r][1] = acc[r][1] + d1 * d1;
                }
            }
            for (int r = 0; r < kRows; ++r)
                checksum = checksum + acc[r][0] + acc[r][1];
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.3f\n", seconds);
    std::fprintf(stderr, "checksum %g\n", checksum[0]);
    return 0;
}
