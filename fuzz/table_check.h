// Checks of the table loader's promises on one input, shared by the fuzz target (which aborts on
// a broken promise) and the corpus replay test (which reports it).
#ifndef TARN_FUZZ_TABLE_CHECK_H
#define TARN_FUZZ_TABLE_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>

// Loads data as CSV, as TSV and as text, each plain, gzip-, zstd-, xz- and bzip2-compressed and
// behind a byte-order mark, and checks that a load either gives a whole set in the detector's
// layout (a feature at least; as many ids as vectors, if any; row numbers rising) with no report,
// or refuses with one report and an explanation; that the compressed and marked copies load
// exactly as the plain one; that text loads as fvsLoadStream loads it (but for one value per line,
// refused for leaving no feature), its first lines skipped as if commented out; and that a
// compressed copy cut short is refused. CSV and TSV are loaded besides with the options the first
// byte chooses (lines to skip, the header, missing values dropped, the decimal mark, an id column),
// compressed copies alike. An input whose first line starts with '\x01' carries the label and
// feature columns (-L and -F) there, split by '\x02', for every load; a load that takes them keeps
// exactly the features named. Returns the first broken promise, or "" when all held.
std::string check_table_input(const uint8_t* data, size_t size);

// bytes compressed as a gzip member, a zstd frame, an xz stream and a bzip2 stream, for the
// checks and the tests.
std::string gzip_bytes(const std::string& bytes);
std::string zstd_bytes(const std::string& bytes);
std::string xz_bytes(const std::string& bytes);
std::string bzip2_bytes(const std::string& bytes);

#endif
