// libFuzzer target for the program's input boundary: every input is read as a text stream
// through the numeric reader, and any broken promise of the reader ends the run with abort.
#include <cstdio>
#include <cstdlib>

#include "fuzz/reader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string broken = check_reader_input(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "broken promise: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
