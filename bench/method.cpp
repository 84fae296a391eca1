// Prints what tarn's automatic choice of builder sees and picks for a tarn input file (white
// space separated numbers, the last column the label), k = 10 unless given:
//   method file [k [n]]  →  "<n> <d> <sample dimension> tree|brute"
// A given n replaces the file's in the choice: what tarn would pick for n vectors drawn like the
// file's (the estimate reads a fixed-size sample, whatever n is).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "detect/construct.h"
#include "detect/method.h"
#include "graph/graph.h"
#include "vectors/fvector.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: method file [k [n]]\n");
        return 2;
    }
    const int32_t k = argc > 2 ? std::atoi(argv[2]) : 10;
    std::ifstream in(argv[1]);
    Graph* g = create_graph();
    std::string line;
    int32_t n = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<double> values;
        for (double x; words >> x;)
            values.push_back(x);
        if (values.empty()) continue;
        HFV v = fvCreateUnreported(static_cast<int32_t>(values.size()));
        for (size_t c = 0; c < values.size(); ++c)
            v->vector[c] = values[c];
        insert_vertex(g, v, n++);
    }
    if (n < 2) return 1;
    const tarn::Array<Vertex*> vertices = tarn::graph_vertices(g);
    const int32_t d = vertices[0]->vector->dim - 1;
    const double dimension = tarn::sample_dimension(tarn::graph_rows(vertices));
    if (argc > 3) n = std::atoi(argv[3]);
    const bool tree = tarn::choose_method(n, k, dimension) == tarn::Method::kTree;
    std::printf("%d %d %.2f %s\n", n, d, dimension, tree ? "tree" : "brute");
    free_graph(g);
    std::free(g);
    return 0;
}
