#include "driver/util.h"

#include <cstdlib>

namespace {

constexpr int kLineBufferSize = 256;

}  // namespace

int readline(FILE* infile, char* buf) {
    if (std::fgets(buf, kLineBufferSize, infile) == nullptr) return 1;
    return std::feof(infile);
}

int getvector(FILE* fp, float* R, float* G, float* B, int32_t* flag) {
    char* buf = static_cast<char*>(allocate(kLineBufferSize, NO_INIT));
    if (readline(fp, buf) != 0) {
        std::free(buf);
        return 0;
    }
    std::sscanf(buf, "%g %g %g %d", R, G, B, flag);
    std::free(buf);
    return 1;
}
