#include "fuzz/table_check.h"

#include <bzlib.h>
#include <lzma.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "errors/errorapi.h"
#include "vectors/fvector.h"
#include "vectors/source.h"
#include "vectors/table.h"
#include "vectors/textload.h"

namespace {

// What one load gave: the vectors, or the refusal's reports and explanation.
struct Loaded {
    bool ok = false;
    std::vector<std::vector<double>> rows;
    std::vector<int32_t> codes;
    std::string why;
    std::vector<std::string> classes;
    std::vector<std::string> features;
    std::vector<std::string> ids;
    std::vector<int64_t> numbers;  // TableNames::rows
    int64_t dropped = 0;
};

std::vector<int32_t>* seen_codes = nullptr;

int32_t record_code(int32_t code, const char*, const char*, int32_t) {
    seen_codes->push_back(code);
    return 0;
}

Loaded keep(HFSET set, Loaded loaded) {
    loaded.ok = set != nullptr;
    for (int32_t p = 0; set != nullptr && p < set->vector_number; ++p)
        loaded.rows.emplace_back(set->vectors[p]->vector,
                                 set->vectors[p]->vector + set->vectors[p]->dim);
    fvsDestroy(set);
    return loaded;
}

// The column options an input carries, as -L and -F take them: a first line that starts with
// '\x01' holds the label column, then '\x02' and the feature columns (either may be empty: not
// given); the table follows that line.
struct Columns {
    bool given = false;
    std::string label, features;
    // A format that reads these columns and nothing else besides.
    TableFormat format() const {
        return {TABLE_AUTO, given && !label.empty() ? label.c_str() : nullptr,
                given && !features.empty() ? features.c_str() : nullptr};
    }
};

Columns take_columns(std::string* input) {
    Columns columns;
    if (input->empty() || (*input)[0] != '\x01') return columns;
    const size_t end = input->find('\n');
    const std::string line = input->substr(1, end == std::string::npos ? end : end - 1);
    input->erase(0, end == std::string::npos ? input->size() : end + 1);
    const size_t split = line.find('\x02');
    columns.given = true;
    columns.label = line.substr(0, split);
    columns.features = split == std::string::npos ? "" : line.substr(split + 1);
    return columns;
}

// Loads bytes as a table of kind read as format asks (its kind aside), or with fvsLoadStream for
// kind -1.
Loaded load(const std::string& bytes, int32_t kind,
            TableFormat format = {TABLE_AUTO, nullptr, nullptr}) {
    Loaded loaded;
    FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
    const ERRFN previous = ReportError;
    seen_codes = &loaded.codes;
    ReportError = record_code;
    format.kind = kind;
    TableNames names;
    HFSET set =
        kind < 0 ? fvsLoadStream(file, "input") : tableLoadStream(file, "input", &format, &names);
    ReportError = previous;
    seen_codes = nullptr;
    std::fclose(file);
    loaded.why = names.why;
    loaded.classes = names.classes;
    loaded.features = names.features;
    loaded.ids = names.ids;
    loaded.numbers = names.rows;
    loaded.dropped = names.dropped;
    return keep(set, std::move(loaded));
}

bool same_rows(const Loaded& a, const Loaded& b) {
    if (a.ok != b.ok || a.rows.size() != b.rows.size()) return false;
    for (size_t p = 0; p < a.rows.size(); ++p) {
        if (a.rows[p].size() != b.rows[p].size()) return false;
        for (size_t i = 0; i < a.rows[p].size(); ++i) {
            const double x = a.rows[p][i], y = b.rows[p][i];
            if (!(x == y || (std::isnan(x) && std::isnan(y)))) return false;
        }
    }
    return true;
}

// The options of a table load, chosen by the first byte of the input (the fuzzer varies it like
// any other): lines to skip, the header told or guessed, missing values dropped, the decimal mark,
// an id column.
TableFormat options_of(const std::string& bytes) {
    const unsigned byte = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]);
    TableFormat format{TABLE_AUTO, nullptr, nullptr};
    format.skip = byte & 3;
    format.header = static_cast<int32_t>((byte >> 2) % 3) - 1;
    format.missing = (byte >> 4) & 1 ? TABLE_NA_DROP : TABLE_NA_ERROR;
    const char marks[] = {0, ',', '.', 0};
    format.decimal = marks[(byte >> 5) & 3];
    format.id = (byte >> 7) & 1 ? "1" : nullptr;
    return format;
}

// The text with its first lines commented out as --skip lines has the text format read it.
std::string commented(const std::string& text, int64_t lines) {
    std::string out;
    bool started = false;
    for (const char c : text) {
        if (lines == 0) {
            out += c;
        } else if (c == '\n') {
            out += c;
            --lines;
            started = false;
        } else if (!started) {
            out += '#';
            started = true;
        }
    }
    return out;
}

bool one_value_each(const Loaded& loaded) {
    if (!loaded.ok) return false;
    for (const std::vector<double>& row : loaded.rows)
        if (row.size() != 1) return false;
    return true;
}

// Whether a text load is the reader's: the same vectors and reports, but for a set of one value
// per line, which leaves no feature and is refused.
bool as_the_reader(const Loaded& loaded, const Loaded& direct) {
    if (one_value_each(direct)) {
        return !loaded.ok && loaded.codes == std::vector<int32_t>{ESR_INVALID_FILE_FORMAT} &&
               loaded.why.starts_with("no feature column: ");
    }
    return same_rows(loaded, direct) && loaded.codes == direct.codes;
}

bool same_load(const Loaded& a, const Loaded& b) {
    return same_rows(a, b) && a.codes == b.codes && a.why == b.why && a.classes == b.classes &&
           a.ids == b.ids && a.numbers == b.numbers && a.dropped == b.dropped;
}

// Loads bytes as the text format from a file read in three parts, in blocks shorter than most
// lines, as a big file is read on three threads.
Loaded load_in_parts(const std::string& bytes) {
    Loaded loaded;
    static const int fd = memfd_create("table-check", 0);
    bool written = ftruncate(fd, 0) == 0;
    for (size_t done = 0; written && done < bytes.size();) {
        const ssize_t n =
            pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        written = n > 0;
        done += written ? static_cast<size_t>(n) : 0;
    }
    if (!written) {
        loaded.why = "the file could not be written";
        return loaded;
    }
    const ERRFN previous = ReportError;
    seen_codes = &loaded.codes;
    ReportError = record_code;
    tarn::TextLoad how;
    how.threads = 3;
    how.least_part = 1;
    how.block = 16;
    HFSET set = tarn::text_load(fd, "input", 0, how);
    ReportError = previous;
    seen_codes = nullptr;
    return keep(set, std::move(loaded));
}

// The promises of one load of kind on its own.
std::string check_alone(const Loaded& loaded, int32_t kind) {
    const bool table = kind != TABLE_TEXT;
    if (loaded.ok) {
        if (!loaded.codes.empty()) return "a loaded table was reported";
        if (loaded.rows.empty()) return "a loaded table is empty";
        for (const std::vector<double>& row : loaded.rows) {
            if (table && row.size() != loaded.rows[0].size()) return "table rows of two sizes";
            if (!loaded.classes.empty() &&
                !(row.back() >= 0 && row.back() < static_cast<double>(loaded.classes.size()) &&
                  row.back() == std::floor(row.back())))
                return "a class label outside the classes";
        }
        if (!loaded.features.empty() && loaded.features.size() + 1 != loaded.rows[0].size())
            return "feature names do not match the columns";
        // A text line longer than a first line of one value is left for the run to refuse.
        if (table ? loaded.rows[0].size() < 2 : one_value_each(loaded))
            return "a loaded table has no feature";
        if (!loaded.ids.empty() && loaded.ids.size() != loaded.rows.size())
            return "ids do not match the rows";
        if (!loaded.numbers.empty()) {
            if (loaded.numbers.size() != loaded.rows.size() || loaded.dropped == 0)
                return "row numbers do not match the rows";
            for (size_t r = 0; r < loaded.numbers.size(); ++r) {
                if (loaded.numbers[r] <= (r > 0 ? loaded.numbers[r - 1] : 0) ||
                    loaded.numbers[r] > static_cast<int64_t>(r) + 1 + loaded.dropped)
                    return "row numbers out of order";
            }
        }
        return "";
    }
    if (loaded.codes.size() != 1) return "a refusal made other than one report";
    if (table && loaded.codes[0] != ESR_NOT_ENOUGH_MEMORY && loaded.why.empty())
        return "a table refusal without an explanation";
    return "";
}

}  // namespace

std::string check_table_input(const uint8_t* data, size_t size) {
    std::string plain(reinterpret_cast<const char*>(data), size);
    const Columns columns = take_columns(&plain);
    size = plain.size();
    // Input that a source takes for compressed, or that starts with a mark, loads otherwise
    // when it is compressed or marked once more.
    const bool wrapped = sourceCompressed(plain) || plain.starts_with("\xef\xbb\xbf");
    const std::string compressed[] = {gzip_bytes(plain), zstd_bytes(plain), xz_bytes(plain),
                                      bzip2_bytes(plain)};
    TableFormat options = options_of(plain);
    options.label = columns.format().label;
    options.features = columns.format().features;
    for (const int32_t kind : {TABLE_CSV, TABLE_TSV, TABLE_TEXT}) {
        const std::string name = kind == TABLE_CSV ? "csv" : kind == TABLE_TSV ? "tsv" : "text";
        const Loaded loaded = load(plain, kind, columns.format());
        std::string broken = check_alone(loaded, kind);
        if (!broken.empty()) return name + ": " + broken;
        // A text whose later lines are longer than its first is left for the run's dimension
        // check, unarranged; every other load keeps exactly the features named.
        const bool ragged = loaded.ok && std::any_of(loaded.rows.begin(), loaded.rows.end(),
                                                     [&](const std::vector<double>& row) {
                                                         return row.size() != loaded.rows[0].size();
                                                     });
        const size_t named = static_cast<size_t>(
            std::count(columns.features.begin(), columns.features.end(), ',') + 1);
        if (loaded.ok && !ragged && columns.format().features != nullptr &&
            loaded.rows[0].size() != named + 1)
            return name + ": not the feature columns -F names";
        if (kind == TABLE_TEXT && !wrapped && !columns.given) {
            const Loaded direct = load(plain, -1);
            if (!as_the_reader(loaded, direct)) return "text: not as fvsLoadStream loads it";
            const Loaded parts = load_in_parts(plain);
            if (!same_rows(parts, direct) || parts.codes != direct.codes)
                return "text: read in parts, not as fvsLoadStream loads it";
            TableFormat skipping{TABLE_AUTO, nullptr, nullptr};
            skipping.skip = options.skip;
            const Loaded skipped = load(plain, kind, skipping);
            broken = check_alone(skipped, kind);
            if (!broken.empty()) return "text, --skip: " + broken;
            if (!as_the_reader(skipped, load(commented(plain, options.skip), -1)))
                return "text, --skip: not as fvsLoadStream loads the lines commented out";
        }
        // The options the first byte chooses: a table load keeps its promises with them too.
        const Loaded chosen = kind == TABLE_TEXT ? Loaded{} : load(plain, kind, options);
        if (kind != TABLE_TEXT) {
            broken = check_alone(chosen, kind);
            if (!broken.empty()) return name + ", with options: " + broken;
        }
        if (wrapped) continue;
        for (const std::string& copy : compressed) {
            if (!same_load(loaded, load(copy, kind, columns.format())))
                return name + ": a compressed copy loads differently";
            if (kind != TABLE_TEXT && !same_load(chosen, load(copy, kind, options)))
                return name + ", with options: a compressed copy loads differently";
        }
        const Loaded marked = load("\xef\xbb\xbf" + plain, kind, columns.format());
        if (!same_load(loaded, marked)) return name + ": a marked copy loads differently";
        if (size == 0) continue;
        for (const std::string& copy : compressed) {
            const Loaded cut = load(copy.substr(0, copy.size() / 2), kind, columns.format());
            if (cut.ok) return name + ": a compressed stream cut in half loaded";
        }
    }
    return "";
}

std::string gzip_bytes(const std::string& bytes) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, bytes.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string zstd_bytes(const std::string& bytes) {
    std::string out(ZSTD_compressBound(bytes.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), 1));
    return out;
}

std::string xz_bytes(const std::string& bytes) {
    std::string out(lzma_stream_buffer_bound(bytes.size()), '\0');
    size_t written = 0;
    lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr,
                            reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                            reinterpret_cast<uint8_t*>(out.data()), &written, out.size());
    out.resize(written);
    return out;
}

std::string bzip2_bytes(const std::string& bytes) {
    std::string out(bytes.size() + bytes.size() / 100 + 600, '\0');
    unsigned int written = static_cast<unsigned int>(out.size());
    BZ2_bzBuffToBuffCompress(out.data(), &written, const_cast<char*>(bytes.data()),
                             static_cast<unsigned int>(bytes.size()), 9, 0, 0);
    out.resize(written);
    return out;
}
