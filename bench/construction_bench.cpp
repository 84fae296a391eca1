// The construction kernels side by side: the per-pair reference, the tiled fast path and the
// k-d tree, on the same seeded vectors.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "bench/data.h"
#include "detect/init.h"
#include "detect/kdtree.h"
#include "detect/knn.h"
#include "vectors/fvector.h"

namespace {

Graph* make_graph(int n, int dim) {
    Graph* g = create_graph();
    int id = 0;
    for (const bench::Point& p : bench::make_points(n, dim, 42)) {
        HFV v = fvCreate(dim + 1);
        for (int i = 0; i < dim; ++i)
            fvSetElement(v, i, p.x[i]);
        fvSetElement(v, dim, p.label);
        insert_vertex(g, v, id++);
    }
    return g;
}

enum class Way { kReference, kFast, kIndexed };

template <Way way>
void construction(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0)), dim = static_cast<int>(state.range(1));
    const int32_t threads = static_cast<int32_t>(state.range(2));
    for (auto _ : state) {
        state.PauseTiming();
        Graph* g = make_graph(n, dim);
        state.ResumeTiming();
        if (way == Way::kFast) {
            tarn::create_edges_fast(g, 10, threads);
        } else if (way == Way::kIndexed) {
            tarn::create_edges_indexed(g, 10, threads);
        } else {
            create_edges(g, 10);
        }
        state.PauseTiming();
        free_graph(g);
        std::free(g);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * int64_t{n} * (n - 1));
}

void reference(benchmark::State& state) {
    construction<Way::kReference>(state);
}
void fast(benchmark::State& state) {
    construction<Way::kFast>(state);
}
void indexed(benchmark::State& state) {
    construction<Way::kIndexed>(state);
}

BENCHMARK(reference)->Args({4000, 8, 1})->Args({4000, 32, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(fast)
    ->Args({4000, 8, 1})
    ->Args({4000, 32, 1})
    ->Args({4000, 8, 2})
    ->Args({4000, 32, 2})
    ->Args({50000, 2, 1})
    ->Args({50000, 8, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(indexed)
    ->Args({4000, 8, 1})
    ->Args({4000, 32, 1})
    ->Args({50000, 2, 1})
    ->Args({50000, 8, 1})
    ->Args({50000, 8, 2})
    ->Args({50000, 16, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
