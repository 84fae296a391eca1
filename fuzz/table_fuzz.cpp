// libFuzzer target for the table loader: CSV, TSV and text, plain and compressed. A broken
// promise ends the run with abort.
#include <cstdio>
#include <cstdlib>

#include "fuzz/table_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string broken = check_table_input(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "broken promise: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
