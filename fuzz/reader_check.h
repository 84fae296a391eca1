// Checks of the reader's and the loader's promises on one input, shared by the fuzz target (which
// aborts on a broken promise) and the corpus replay test (which reports it).
#ifndef TARN_FUZZ_READER_CHECK_H
#define TARN_FUZZ_READER_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>

// Reads data as a text stream through ReadVector to its end, once on a stream that can go back
// and once on one that cannot, and checks every result against the reader's promises and the
// two runs against each other; then loads data as a file with fvsLoad, checks the set or the
// refusal against what the reader gave, and saves and reloads a loaded set. Returns a description
// of the first broken promise, or "" when every promise held.
std::string check_reader_input(const uint8_t* data, size_t size);

#endif
