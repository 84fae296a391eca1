#include "fuzz/reader_check.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "errors/errorapi.h"
#include "vectors/fvector.h"
#include "vectors/readnums.h"

namespace {

// The input bytes as a stream; seeking is offered only when asked for, so that the reader's
// path for streams that cannot go back is checked too.
struct Source {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

ssize_t source_read(void* cookie, char* buf, size_t count) {
    auto* source = static_cast<Source*>(cookie);
    const size_t n = std::min(count, source->size - source->pos);
    if (n > 0) std::memcpy(buf, source->data + source->pos, n);
    source->pos += n;
    return static_cast<ssize_t>(n);
}

int source_seek(void* cookie, off64_t* offset, int whence) {
    auto* source = static_cast<Source*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(source->pos)
                                              : static_cast<off64_t>(source->size);
    const off64_t target = base + *offset;
    if (target < 0 || target > static_cast<off64_t>(source->size)) return -1;
    source->pos = static_cast<size_t>(target);
    *offset = target;
    return 0;
}

int source_close(void*) {
    return 0;
}

FILE* open_source(Source* source, bool seekable) {
    cookie_io_functions_t io{source_read, nullptr, seekable ? source_seek : nullptr, source_close};
    return fopencookie(source, "r", io);
}

// What one ReadVector call that met a data line gave.
struct Outcome {
    int32_t line;        // the counter after the call
    bool malformed;      // null result with the error flag
    int32_t incomplete;  // the incomplete flag
    std::vector<double> values;

    bool operator==(const Outcome& other) const {
        return line == other.line && malformed == other.malformed &&
               incomplete == other.incomplete && values.size() == other.values.size() &&
               (values.empty() ||
                std::memcmp(values.data(), other.values.data(),
                            values.size() * sizeof(double)) == 0);  // NaN bits included
    }
};

bool is_white(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The 1-based numbers of the lines a read stops at (those that are neither blank nor comments,
// and those holding a NUL byte, which are malformed whatever else they hold), which of them hold
// a NUL, and the count of all lines, found straight from the bytes.
void classify_lines(const uint8_t* data, size_t size, std::vector<int32_t>* data_lines,
                    std::vector<int32_t>* nul_lines, int32_t* line_count) {
    *line_count = 0;
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && data[end] != '\n')
            ++end;
        ++*line_count;
        size_t i = start;
        while (i <= end && i < size && is_white(data[i]))
            ++i;
        const bool nul = std::memchr(data + start, '\0', end - start) != nullptr;
        if (nul) nul_lines->push_back(*line_count);
        if (nul || (i < size && i <= end && data[i] != '%' && data[i] != '#'))
            data_lines->push_back(*line_count);
        start = end + 1;
    }
}

// Reads the whole stream, going on past malformed lines, with the expected count of each call
// being the count the previous call left (as the loader passes it). Records one outcome per
// data line met and checks each call's own promises.
std::string read_all(FILE* in, std::vector<Outcome>* outcomes, int32_t* last_line,
                     size_t max_calls) {
    ReadNums* reader = readnumsCreate();
    if (reader == nullptr) return "readnumsCreate failed";
    ResetLineCounter(reader, 0);
    std::string broken;
    int32_t dimensionality = 0;
    for (size_t call = 0; broken.empty(); ++call) {
        if (call > max_calls) {
            broken = "more results than lines";
            break;
        }
        const int32_t expected = dimensionality;
        const int32_t raised = expected < 1 ? 1 : expected;
        int32_t incomplete = 7, errors = 7;
        const int32_t before = CurrentLineNumber(reader);
        const double* values = ReadVector(reader, in, &dimensionality, &incomplete, &errors);
        const int32_t after = CurrentLineNumber(reader);
        if (after < before)
            broken = "line counter went backwards";
        else if (errors != 0 && errors != 1)
            broken = "error flag neither 0 nor 1";
        else if (incomplete != 0 && incomplete != 1)
            broken = "incomplete flag neither 0 nor 1";
        else if (values == nullptr && incomplete != 0)
            broken = "incomplete flag on a null result";
        else if (values == nullptr && dimensionality != raised)
            broken = "dimensionality changed on a null result";
        else if (values == nullptr && errors == 1 && after == before)
            broken = "malformed line not counted";
        else if (values != nullptr && errors != 0)
            broken = "values returned with the error flag";
        else if (values != nullptr && dimensionality < 1)
            broken = "fewer than one value";
        else if (values != nullptr && dimensionality > reader->BufVectorSize)
            broken = "more values than the number buffer holds";
        else if (values != nullptr && values != reader->BufferVector)
            broken = "values outside the number buffer";
        else if (values != nullptr && after == before)
            broken = "data line not counted";
        if (!broken.empty()) break;

        if (values == nullptr && errors == 0) {
            // The end stays the end.
            int32_t again = 0;
            if (ReadVector(reader, in, &again, &incomplete, &errors) != nullptr || errors != 0 ||
                CurrentLineNumber(reader) != after)
                broken = "reading went on after the end";
            break;
        }
        Outcome outcome{after, values == nullptr, incomplete, {}};
        if (values != nullptr) {
            const bool marked = std::strstr(reader->Buffer, "NaN") != nullptr ||
                                std::strstr(reader->Buffer, "Inf") != nullptr;
            if (incomplete != (dimensionality < raised || marked ? 1 : 0))
                broken = "incomplete flag disagrees with the count and the line text";
            outcome.values.assign(values, values + dimensionality);
        }
        outcomes->push_back(std::move(outcome));
    }
    *last_line = CurrentLineNumber(reader);
    if (readnumsDestroy(reader) != 0 && broken.empty()) broken = "readnumsDestroy not 0";
    return broken;
}

// One report seen by the capturing hook.
struct Seen {
    int32_t code;
    int32_t line;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen>* seen_reports = nullptr;

int32_t record_report(int32_t error_code, const char*, const char*, int32_t line) {
    if (seen_reports != nullptr) seen_reports->push_back({error_code, line});
    return 0;
}

// The path of an in-memory file that holds bytes; slot 0 for the input, 1 for a saved copy.
// The two files are made once and reused for every input.
std::string memory_file(int slot, const uint8_t* bytes, size_t size) {
    static const int fds[2] = {memfd_create("reader-check-input", 0),
                               memfd_create("reader-check-saved", 0)};
    const int fd = fds[slot];
    if (bytes != nullptr) {
        if (ftruncate(fd, 0) != 0) return "";
        for (size_t done = 0; done < size;) {
            const ssize_t n = pwrite(fd, bytes + done, size - done, static_cast<off_t>(done));
            if (n <= 0) return "";
            done += static_cast<size_t>(n);
        }
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

HFSET load_capturing(const std::string& path, std::vector<Seen>* reports) {
    const ERRFN previous = ReportError;
    seen_reports = reports;
    ReportError = record_report;
    HFSET fvs = fvsLoad(path.c_str());
    ReportError = previous;
    seen_reports = nullptr;
    return fvs;
}

bool same_value(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// A saved set loads back with the same count and vector_size and each value rounded to five
// decimals, the way its text was written.
std::string check_round_trip(HFSET fvs) {
    const std::string path = memory_file(1, nullptr, 0);
    if (fvsSave(fvs, path.c_str()) != 1) return "fvsSave refused a loaded set";
    std::vector<Seen> reports;
    HFSET loaded = load_capturing(path, &reports);
    std::string broken;
    if (loaded == nullptr || !reports.empty()) {
        broken = "a saved set did not load";
    } else if (loaded->vector_number != fvs->vector_number ||
               loaded->vector_size != fvs->vector_size) {
        broken = "a saved set loaded with another count or size";
    } else {
        for (int32_t p = 0; p < fvs->vector_number && broken.empty(); ++p) {
            if (loaded->vectors[p]->dim != fvs->vector_size) broken = "saved vector of wrong size";
            for (int32_t i = 0; i < fvs->vector_size && broken.empty(); ++i) {
                char text[400];
                std::snprintf(text, sizeof text, "%.5f", fvs->vectors[p]->vector[i]);
                if (!same_value(loaded->vectors[p]->vector[i], std::strtod(text, nullptr)))
                    broken = "a saved value loaded differently";
            }
        }
    }
    fvsDestroy(loaded);
    return broken;
}

// Loads the input as a file and checks the loader against what the reader gave for the same
// text: the loader stops at the first malformed line or the first later incomplete one, and
// otherwise returns every data line's values as a vector.
std::string check_load(const uint8_t* data, size_t size, const std::vector<Outcome>& read) {
    const std::string path = memory_file(0, data, size);
    if (path.empty()) return "could not write the input file";
    size_t bad = read.size();
    for (size_t i = 0; i < read.size() && bad == read.size(); ++i)
        if (read[i].malformed || (i > 0 && read[i].incomplete != 0)) bad = i;
    std::vector<Seen> reports;
    HFSET fvs = load_capturing(path, &reports);
    std::string broken;
    if (read.empty()) {
        if (fvs != nullptr || reports != std::vector<Seen>{{ESR_EMPTY_FILE, 1207}})
            broken = "an empty file was not refused as empty";
    } else if (bad < read.size()) {
        if (fvs != nullptr || reports != std::vector<Seen>{{ESR_INVALID_FILE_FORMAT, 1224}})
            broken = "a bad line was not refused as a format error";
    } else if (fvs == nullptr || !reports.empty()) {
        broken = "a good file was refused";
    } else if (fvs->vector_number != static_cast<int32_t>(read.size()) ||
               fvs->vector_size != static_cast<int32_t>(read[0].values.size())) {
        broken = "the set's count or size differs from the data lines";
    } else {
        for (size_t p = 0; p < read.size() && broken.empty(); ++p) {
            HFV fv = fvs->vectors[p];
            const std::vector<double>& want = read[p].values;
            if (fv->freq != 1 || fv->dim != static_cast<int32_t>(want.size()) ||
                std::memcmp(fv->vector, want.data(), want.size() * sizeof(double)) != 0)
                broken = "vector " + std::to_string(p + 1) + " differs from its line";
        }
        if (broken.empty()) broken = check_round_trip(fvs);
    }
    fvsDestroy(fvs);
    return broken;
}

}  // namespace

std::string check_reader_input(const uint8_t* data, size_t size) {
    std::vector<int32_t> data_lines, nul_lines;
    int32_t line_count;
    classify_lines(data, size, &data_lines, &nul_lines, &line_count);

    std::vector<Outcome> runs[2];
    for (int seekable = 1; seekable >= 0; --seekable) {
        Source source{data, size, 0};
        FILE* in = open_source(&source, seekable == 1);
        if (in == nullptr) return "fopencookie failed";
        int32_t last_line;
        const std::string broken = read_all(in, &runs[seekable], &last_line, data_lines.size() + 1);
        std::fclose(in);
        const std::string which = seekable ? " (seekable stream)" : " (stream without seeking)";
        if (!broken.empty()) return broken + which;
        if (last_line != line_count) return "line counter at the end is not the line count" + which;
        if (runs[seekable].size() != data_lines.size())
            return "data lines met differ from the data lines of the text" + which;
        for (size_t i = 0; i < data_lines.size(); ++i) {
            if (runs[seekable][i].line != data_lines[i])
                return "data line " + std::to_string(i + 1) + " read at the wrong line" + which;
            const bool nul = std::binary_search(nul_lines.begin(), nul_lines.end(), data_lines[i]);
            if (nul && !runs[seekable][i].malformed)
                return "line " + std::to_string(data_lines[i]) + " with a NUL byte read" + which;
        }
    }
    if (!(runs[0] == runs[1])) return "the two streams read differently";
    return check_load(data, size, runs[1]);
}
