// Data tables: the text format through fvsLoadStream, CSV and TSV through libcsv, all through an
// input source (source.h). Reports name this module "table.c" with a fixed line per check.
#include "vectors/table.h"

#include <csv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "errors/errorapi.h"
#include "vectors/arena.h"
#include "vectors/readnums.h"
#include "vectors/source.h"
#include "vectors/textload.h"

namespace {

constexpr size_t kChunk = 65536;
constexpr size_t kShownField = 40;  // a longer field is cut in messages

bool ends_with(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        const char c = text[text.size() - suffix.size() + i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != suffix[i]) return false;
    }
    return true;
}

int32_t kind_by_name(std::string_view name) {
    for (std::string_view suffix : {".gz", ".zst", ".zstd", ".xz", ".bz2"}) {
        if (ends_with(name, suffix)) {
            name.remove_suffix(suffix.size());
            break;
        }
    }
    if (ends_with(name, ".csv")) return TABLE_CSV;
    if (ends_with(name, ".tsv")) return TABLE_TSV;
    return TABLE_TEXT;
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

bool holds_control(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return is_control(static_cast<unsigned char>(c)); });
}

// A field's text for a message: in quotes, control bytes and quotes escaped, a long one cut.
std::string shown(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < kShownField; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (is_control(c) || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > kShownField) out += "...";
    return out + "\"";
}

// A whole field as a number of the text format: strtod in the C locale, a "%" after it taking a
// hundredth, white space around it. False for anything else, an empty field included.
bool field_number(const char* text, size_t length, double* value) {
    char* end;
    *value = readnumsStrtod(text, &end);
    if (end == text) return false;
    if (*end == '%') {
        *value *= 0.01;
        ++end;
    }
    const char* stop = text + length;
    while (end < stop && (*end == ' ' || *end == '\t' || *end == '\r'))
        ++end;
    return end == stop;
}

// "NaN" and "Inf", spelt exactly so, are refused after the first data row, as in the text format.
bool spelt_non_finite(const char* text, size_t length) {
    const std::string_view field(text, length);
    return field.find("NaN") != std::string_view::npos ||
           field.find("Inf") != std::string_view::npos;
}

// The columns a load keeps: the source column of each feature in vector order, and of the label
// (-1: none, every label 0). role[c] is c's place in the vector (features.size() for the label),
// or -1 for a column left out.
struct Columns {
    std::vector<int32_t> features;
    int32_t label = -1;
    std::vector<int32_t> role;
};

bool all_digits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9') return false;
    return true;
}

// The items of a comma-separated list.
std::vector<std::string> split_list(std::string_view list) {
    std::vector<std::string> items;
    for (;;) {
        const size_t comma = list.find(',');
        items.emplace_back(list.substr(0, comma));
        if (comma == std::string_view::npos) return items;
        list.remove_prefix(comma + 1);
    }
}

// The header's names, each to its column.
using NameIndex = std::unordered_map<std::string_view, int32_t>;

// The 0-based column that wanted names (a header name first, then a 1-based number), or -1
// with *why set.
int32_t find_column(const std::string& wanted, int32_t columns,
                    const std::vector<std::string>& names, const NameIndex& index,
                    const char* option, std::string* why) {
    if (auto at = index.find(wanted); at != index.end()) return at->second;
    if (all_digits(wanted.c_str())) {
        const long number = std::strtol(wanted.c_str(), nullptr, 10);
        if (number >= 1 && number <= columns) return static_cast<int32_t>(number - 1);
    }
    *why = std::string(option) + " " + shown(wanted) + " names no column of the " +
           std::to_string(columns) + (names.empty() ? "" : " named") + " columns";
    return -1;
}

std::string column_text(int32_t column, const std::vector<std::string>& names) {
    std::string text = "column " + std::to_string(column + 1);
    if (static_cast<size_t>(column) < names.size())
        text += " (" + shown(names[static_cast<size_t>(column)]) + ")";
    return text;
}

bool choose_columns(const TableFormat* format, int32_t columns,
                    const std::vector<std::string>& names, Columns* chosen, std::string* why) {
    NameIndex index;  // looked up once per -F item: a wide table with a long -F stays fast
    for (size_t c = names.size(); c-- > 0;)
        index[names[c]] = static_cast<int32_t>(c);  // the first of equal names wins
    chosen->label = columns - 1;
    if (format->label != nullptr) {
        const std::string label = format->label;
        const bool named = index.count(label) != 0;
        chosen->label =
            label == "none" && !named ? -1 : find_column(label, columns, names, index, "-L", why);
        if (chosen->label < 0 && !why->empty()) return false;
    }
    chosen->role.assign(static_cast<size_t>(columns), -1);
    if (format->features == nullptr) {
        for (int32_t c = 0; c < columns; ++c)
            if (c != chosen->label) chosen->features.push_back(c);
    } else {
        for (const std::string& item : split_list(format->features)) {
            const int32_t c = find_column(item, columns, names, index, "-F", why);
            if (c < 0) return false;
            if (c == chosen->label || chosen->role[static_cast<size_t>(c)] >= 0) {
                *why = "-F names " + column_text(c, names) +
                       (c == chosen->label ? ", the label column" : " twice");
                return false;
            }
            chosen->role[static_cast<size_t>(c)] = 0;
            chosen->features.push_back(c);
        }
    }
    for (size_t i = 0; i < chosen->features.size(); ++i)
        chosen->role[static_cast<size_t>(chosen->features[i])] = static_cast<int32_t>(i);
    if (chosen->label >= 0)
        chosen->role[static_cast<size_t>(chosen->label)] =
            static_cast<int32_t>(chosen->features.size());
    return true;
}

void keep_names(const Columns& chosen, const std::vector<std::string>& names, TableNames* out) {
    if (names.empty()) return;
    for (int32_t c : chosen.features)
        out->features.push_back(names[static_cast<size_t>(c)]);
    if (chosen.label >= 0) out->label = names[static_cast<size_t>(chosen.label)];
}

// A vector of size components, carved from arena when there is one.
HFV make_vector(size_t size, tarn::VectorArena* arena) {
    if (arena != nullptr) return arena->make(static_cast<int32_t>(size));
    double* data = static_cast<double*>(std::malloc(size * sizeof(double)));
    HFV fv = data != nullptr ? fvCreateWithData(static_cast<int32_t>(size), data) : nullptr;
    if (fv == nullptr) std::free(data);
    return fv;
}

// Appends a vector of the size doubles at values; false after a report when memory fails.
bool append(HFSET set, const double* values, size_t size, tarn::VectorArena* arena) {
    HFV fv = make_vector(size, arena);
    if (fv == nullptr) {
        ReportError(ESR_NOT_ENOUGH_MEMORY, nullptr, "table.c", 30);
        return false;
    }
    std::memcpy(fv->vector, values, size * sizeof(double));
    if (fvsAddVector(set, fv) == 0) {
        tarn::release_vector(fv, arena);
        return false;
    }
    return true;
}

// Whether the source fails further on. A refusal of a compressed text may be the decoder's
// garbage, so the decoder has its say before the refusal is explained: the rest of its text is
// read, up to kMostAfterRefusal bytes. Plain text is not read on: its refusal stands, and an
// endless input (a device, a pipe that never closes) is not read forever.
constexpr size_t kMostAfterRefusal = size_t{256} << 20;

bool fails_later(Source* source) {
    if (!sourceDecompresses(source)) return false;
    FILE* stream = sourceStream(source);
    char rest[4096];
    for (size_t read = 0; read < kMostAfterRefusal;) {
        const size_t got = std::fread(rest, 1, sizeof rest, stream);
        if (got == 0) break;
        read += got;
    }
    return std::ferror(stream) != 0;
}

// ---- the text format ----

// The lines of the text that head holds whole, each without its line end.
std::vector<std::string_view> whole_lines(const std::string& head) {
    std::vector<std::string_view> lines;
    for (size_t start = 0;;) {
        const size_t end = head.find('\n', start);
        if (end == std::string::npos) break;
        lines.emplace_back(head.data() + start, end - start);
        start = end + 1;
    }
    return lines;
}

bool is_data_line(std::string_view line) {
    const size_t first = line.find_first_not_of(" \t\v\f\r");
    return first != std::string_view::npos && line[first] != '\0' && line[first] != '#' &&
           line[first] != '%';
}

// Names from a "#" comment line right before the first data line, when they are as many as the
// columns and free of control characters (they are printed on lines of their own).
std::vector<std::string> comment_names(const std::string& head, int32_t columns) {
    const std::vector<std::string_view> lines = whole_lines(head);
    std::vector<std::string> names;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!is_data_line(lines[i])) continue;
        if (i == 0) break;
        std::string_view comment = lines[i - 1];
        const size_t hash = comment.find_first_not_of(" \t\v\f\r");
        if (hash == std::string_view::npos || comment[hash] != '#') break;
        comment.remove_prefix(hash + 1);
        for (;;) {
            const size_t start = comment.find_first_not_of(" \t\v\f\r,");
            if (start == std::string_view::npos) break;
            const size_t end = comment.find_first_of(" \t\v\f\r,", start);
            names.emplace_back(comment.substr(start, end - start));
            if (end == std::string_view::npos) break;
            comment.remove_prefix(end);
        }
        break;
    }
    if (static_cast<int32_t>(names.size()) != columns ||
        std::any_of(names.begin(), names.end(), holds_control))
        names.clear();
    return names;
}

// "line <n>" of the data line at position (from 0), or "vector <position + 1>" when the head
// does not reach it.
std::string data_line_text(const std::string& head, int32_t position) {
    const std::vector<std::string_view> lines = whole_lines(head);
    int32_t seen = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (is_data_line(lines[i]) && seen++ == position) return "line " + std::to_string(i + 1);
    }
    return "vector " + std::to_string(position + 1);
}

// What breaks the text format's line grammar in one data line, "" when nothing does. The
// grammar is the reader's: items of a number (nothing read counts as 0), an optional "%", an
// optional ",", then white space or the end of the line.
std::string line_fault(std::string_view line, size_t number, bool first) {
    const std::string where = "line " + std::to_string(number);
    if (line.find('\0') != std::string_view::npos) return where + " holds a NUL byte";
    const std::string text(line);
    const char* p = text.c_str();
    for (int32_t field = 1;; ++field) {
        while (*p != '\0' && std::strchr(" \t\v\f\r", *p) != nullptr)
            ++p;
        if (*p == '\0') return "";
        char* end = nullptr;
        readnumsStrtod(p, &end);
        const char* after = end + (*end == '%' ? 1 : 0);
        const bool comma = *after == ',';
        after += comma ? 1 : 0;
        if (*after != '\0' && std::strchr(" \t\v\f\r", *after) == nullptr) {
            if (comma && after > p + 1) {
                return where + ": a comma must be followed by white space in the text format " +
                       "(use -f csv)";
            }
            // Shown escaped: a control byte of the file never reaches the terminal as it is.
            const std::string_view token(p, std::min<size_t>(std::strcspn(p, " \t\v\f\r"), 40));
            return where + ", field " + std::to_string(field) + ": " + shown(token) +
                   " is not a number" +
                   (first ? " (a header row? name the file .csv or use -f csv)" : "");
        }
        p = after;
    }
}

// The values the reader takes from a well-formed data line, counted by the reader itself: white
// space before an item that is not a number makes an item of 0 there (" ," holds two).
int32_t value_count(ReadNums* reader, std::string_view line) {
    const std::string text(line);
    int32_t count = 0;
    bool marked;
    tarn::readnums_items(reader, text.c_str(), text.c_str() + text.size(), &count, &marked);
    return count;
}

// Where and why the text format refused a file, when the refused line lies within the head
// the source kept: the loader's line rules replayed on that text. "" when the head ends first.
std::string text_refusal(const std::string& head) {
    std::vector<std::string_view> lines = whole_lines(head);
    const size_t whole = lines.empty() ? 0 : size_t(lines.back().end() - head.data()) + 1;
    if (head.size() < kSourceHead && whole < head.size()) {
        lines.emplace_back(head.data() + whole, head.size() - whole);  // a last line without end
    }
    std::unique_ptr<ReadNums, int32_t (*)(ReadNums*)> reader(readnumsCreate(), readnumsDestroy);
    if (reader == nullptr) return "";
    size_t previous = 0;  // the data line before, 1-based; 0 before the first
    int32_t previous_count = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!is_data_line(lines[i]) && lines[i].find('\0') == std::string_view::npos) continue;
        const std::string fault = line_fault(lines[i], i + 1, previous == 0);
        if (!fault.empty()) return fault;
        const int32_t count = value_count(reader.get(), lines[i]);
        if (previous != 0 && (lines[i].find("NaN") != std::string_view::npos ||
                              lines[i].find("Inf") != std::string_view::npos)) {
            return "line " + std::to_string(i + 1) +
                   ": NaN and Inf are accepted on the first data line only";
        }
        if (previous != 0 && count < previous_count) {
            return "line " + std::to_string(i + 1) + " has " + std::to_string(count) +
                   " values, line " + std::to_string(previous) + " has " +
                   std::to_string(previous_count);
        }
        previous = i + 1;
        previous_count = count;
    }
    return "";
}

// A label column that holds a fraction is most likely a feature of a file without labels.
std::string fraction_label_warning(HFSET set, const std::string& head) {
    for (int32_t p = 0; p < set->vector_number; ++p) {
        const HFV v = set->vectors[p];
        const double label = v->vector[v->dim - 1];
        if (!std::isfinite(label) || label == std::trunc(label)) continue;
        char value[32];
        std::snprintf(value, sizeof value, "%g", label);
        return "the last column is read as the label, but " + data_line_text(head, p) + " holds " +
               value + " there; if the file has no label column, use -L none";
    }
    return "";
}

// Moves each vector's columns into the chosen layout. False after a report when memory fails.
bool rearrange(HFSET set, const Columns& chosen) {
    const size_t size = chosen.features.size() + 1;
    for (int32_t p = 0; p < set->vector_number; ++p) {
        HFV v = set->vectors[p];
        double* data = static_cast<double*>(std::malloc(size * sizeof(double)));
        if (data == nullptr) {
            ReportError(ESR_NOT_ENOUGH_MEMORY, nullptr, "table.c", 40);
            return false;
        }
        for (size_t i = 0; i + 1 < size; ++i)
            data[i] = v->vector[chosen.features[i]];
        data[size - 1] = chosen.label >= 0 ? v->vector[chosen.label] : 0.0;
        std::free(v->vector);
        v->vector = data;
        v->dim = static_cast<int32_t>(size);
    }
    set->vector_size = static_cast<int32_t>(size);
    return true;
}

// The text format's set with the names and the warning the head of its text gives, the columns
// chosen; after a refusal (a null set), the explanation: a line refused for its length
// (long_line, from the loader), else what the head gives.
HFSET text_table(HFSET set, int32_t long_line, const std::string& head, const TableFormat* format,
                 TableNames* names) {
    if (set == nullptr) {
        names->why = long_line != 0 ? "line " + std::to_string(long_line) + " is longer than " +
                                          std::to_string(tarn::kLongestLine >> 20) + " MiB"
                                    : text_refusal(head);
        return nullptr;
    }
    const int32_t columns = set->vector_size;
    const std::vector<std::string> header = comment_names(head, columns);
    Columns chosen;
    if (format->label == nullptr && format->features == nullptr) {
        // The file as it always read: nothing moves.
        choose_columns(format, columns, header, &chosen, &names->why);
        keep_names(chosen, header, names);
        names->warning = fraction_label_warning(set, head);
        return set;
    }
    // Lines longer than the first are left for the run's dimension check to name.
    for (int32_t p = 0; p < set->vector_number; ++p)
        if (set->vectors[p]->dim != columns) return set;
    if (!choose_columns(format, columns, header, &chosen, &names->why)) {
        ReportError(ESR_INVALID_PARAMETER, nullptr, "table.c", 50);
        fvsDestroy(set);
        return nullptr;
    }
    if (!rearrange(set, chosen)) {
        fvsDestroy(set);
        return nullptr;
    }
    keep_names(chosen, header, names);
    return set;
}

HFSET load_text(Source* source, const char* name, const TableFormat* format, TableNames* names) {
    int32_t long_line = 0;
    HFSET set = tarn::load_stream(sourceStream(source), name, &long_line);
    if (set == nullptr && fails_later(source) && !sourceError(source).empty()) {
        names->why = std::string(name) + ": " + sourceError(source);
        return nullptr;
    }
    return text_table(set, long_line, sourceHead(source), format, names);
}

// Whether fd is a regular file that a source would pass through as it is (not compressed, and
// no compressed data behind a byte-order mark), which the text format can then read in blocks,
// on threads, rather than through a source. *start is where the text begins (after a byte-order
// mark) and *head gets its first kSourceHead bytes, as a source would keep them.
bool plain_regular_file(int fd, size_t* start, std::string* head) {
    struct stat status {};
    // A file of the proc file system tells no size: it is read as a stream, and so is an empty
    // file, to the same end.
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) return false;
    std::string first(kSourceHead + 3, '\0');
    size_t got = 0;
    while (got < first.size()) {
        const ssize_t n =
            pread(fd, first.data() + got, first.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;  // the source's read reports it
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    first.resize(got);
    const std::string_view text(first);
    *start = text.starts_with("\xef\xbb\xbf") ? 3 : 0;
    if (sourceCompressed(text) || sourceCompressed(text.substr(*start))) return false;
    *head = first.substr(*start, kSourceHead);
    return true;
}

// ---- CSV and TSV ----

// The state of one CSV or TSV load, handed to libcsv's callbacks. Each class name is held once:
// the keys of class_of look into classes, a deque, which never moves the strings it holds.
struct CsvLoad {
    const TableFormat* format;
    TableNames* names;
    int64_t line = 1;        // the line being parsed
    int64_t first_line = 0;  // the line where the first row ended
    int64_t row_line = 0;    // the line where the last row ended
    size_t row_bytes = 0;    // bytes of the current row so far, its line ends left out
    int32_t columns = 0;     // fields of the first row
    int32_t field = 0;       // fields of the current row so far
    int64_t data_rows = 0;   // data rows appended
    bool header_decided = false;
    std::vector<std::string> first;   // the first row's fields until it is known what it is
    std::vector<std::string> header;  // the header's names, or none
    Columns chosen;
    std::vector<double> row;  // the current row in the vector's layout
    enum { kUnknown, kNumbers, kClasses } labels = kUnknown;
    std::deque<std::string> classes;                         // the class names by number
    std::unordered_map<std::string_view, int32_t> class_of;  // a class name's number
    HFSET set = nullptr;
    int32_t code = 0;  // the refusal's error code, 0 while none
    int32_t check = 0;
};

void refuse(CsvLoad* load, int32_t code, int32_t check, std::string why) {
    if (load->code != 0) return;
    load->code = code;
    load->check = check;
    load->names->why = std::move(why);
}

std::string line_text(const CsvLoad* load) {
    return "line " + std::to_string(load->line);
}

std::string field_place(const CsvLoad* load, int32_t column) {
    return line_text(load) + ", " + column_text(column, load->header);
}

// A limit in bytes as the messages give it: "1 MiB", "1 KiB".
std::string bytes_text(size_t bytes) {
    return bytes >= (size_t{1} << 20) ? std::to_string(bytes >> 20) + " MiB"
                                      : std::to_string(bytes >> 10) + " KiB";
}

// The column of the field being read.
int32_t current_column(const CsvLoad* load) {
    return load->header_decided ? load->field : static_cast<int32_t>(load->first.size());
}

void refuse_long_field(CsvLoad* load) {
    refuse(load, ESR_INVALID_FILE_FORMAT, 190,
           field_place(load, current_column(load)) + ": a field longer than " +
               bytes_text(kTableLongestField));
}

// The number of the class name in column, a new one numbered next; -1 after a refusal of the
// name.
int32_t class_number(CsvLoad* load, int32_t column, std::string_view name) {
    if (auto at = load->class_of.find(name); at != load->class_of.end()) return at->second;
    if (name.size() > kTableLongestClass) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 220,
               field_place(load, column) + ": a class name longer than " +
                   bytes_text(kTableLongestClass));
        return -1;
    }
    if (holds_control(name)) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 230,
               field_place(load, column) + ": the class name " + shown(name) +
                   " holds a control character");
        return -1;
    }
    const int32_t number = static_cast<int32_t>(load->classes.size());
    load->classes.emplace_back(name);
    load->class_of.emplace(load->classes.back(), number);
    return number;
}

void data_field(CsvLoad* load, const char* text, size_t length) {
    const int32_t column = load->field++;
    if (column >= load->columns) return;  // the row's length is checked at its end
    const int32_t role = load->chosen.role[static_cast<size_t>(column)];
    if (role < 0) return;
    const bool is_label = column == load->chosen.label;
    double value;
    const bool number = field_number(text, length, &value);
    if (is_label && load->labels == CsvLoad::kUnknown)
        load->labels = number ? CsvLoad::kNumbers : CsvLoad::kClasses;
    if (is_label && load->labels == CsvLoad::kClasses) {
        if (number) {
            refuse(load, ESR_INVALID_FILE_FORMAT, 60,
                   field_place(load, column) + ": " + shown({text, length}) +
                       " is a number, but the label column holds class names");
            return;
        }
        const int32_t class_label = class_number(load, column, {text, length});
        if (class_label < 0) return;
        value = class_label;
    } else if (!number) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 70,
               field_place(load, column) + ": " + shown({text, length}) + " is not a number" +
                   (is_label ? ", but the label column holds numbers" : ""));
        return;
    } else if (load->data_rows > 0 && spelt_non_finite(text, length)) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 80,
               field_place(load, column) + ": " + shown({text, length}) +
                   " is accepted on the first data row only");
        return;
    }
    load->row[static_cast<size_t>(role)] = value;
}

void data_row(CsvLoad* load) {
    if (load->code == 0 && load->field != load->columns) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 90,
               line_text(load) + " has " + std::to_string(load->field) + " values, line " +
                   std::to_string(load->first_line) + " has " + std::to_string(load->columns));
    }
    load->field = 0;
    if (load->code != 0) return;
    if (append(load->set, load->row.data(), load->row.size(), load->format->arena)) {
        ++load->data_rows;
    } else {
        load->code = ESR_NOT_ENOUGH_MEMORY;  // reported where it failed
        load->check = -1;
    }
}

// The first row is a header when a field that is not the label's is not a number: a first data
// row of class names stays data. Columns that -F leaves out by number do not count either (an
// id column, say); without a numbered label column, or with a feature named, every field counts.
bool is_header(const CsvLoad* load) {
    const char* label = load->format->label;
    // A number beyond long's range reads as LONG_MAX: no column.
    const long label_number =
        label != nullptr && all_digits(label) ? std::strtol(label, nullptr, 10) : 0;
    const int32_t label_column = label == nullptr ? load->columns - 1
                                 : label_number >= 1 && label_number <= load->columns
                                     ? static_cast<int32_t>(label_number - 1)
                                     : -1;
    std::vector<bool> counts(static_cast<size_t>(load->columns), load->format->features == nullptr);
    if (load->format->features != nullptr) {
        for (const std::string& item : split_list(load->format->features)) {
            if (!all_digits(item.c_str())) return true;  // a name: the row must hold it
            const long c = std::strtol(item.c_str(), nullptr, 10) - 1;
            if (c >= 0 && c < load->columns) counts[static_cast<size_t>(c)] = true;
        }
    }
    double value;
    for (int32_t c = 0; c < load->columns; ++c) {
        const std::string& text = load->first[static_cast<size_t>(c)];
        if (counts[static_cast<size_t>(c)] && c != label_column &&
            !field_number(text.data(), text.size(), &value))
            return true;
    }
    return false;
}

void first_row(CsvLoad* load) {
    load->columns = static_cast<int32_t>(load->first.size());
    load->first_line = load->line;
    load->header_decided = true;
    load->field = 0;
    if (is_header(load)) {
        load->header = load->first;
        std::unordered_map<std::string_view, int32_t> seen;
        for (int32_t c = 0; c < load->columns; ++c) {
            const std::string& name = load->header[static_cast<size_t>(c)];
            if (holds_control(name)) {
                refuse(load, ESR_INVALID_FILE_FORMAT, 240,
                       line_text(load) + ", column " + std::to_string(c + 1) +
                           ": the column name " + shown(name) + " holds a control character");
                return;
            }
            auto [at, added] = seen.try_emplace(name, c);
            if (!added) {
                refuse(load, ESR_INVALID_FILE_FORMAT, 100,
                       line_text(load) + ": the name " + shown(name) + " heads columns " +
                           std::to_string(at->second + 1) + " and " + std::to_string(c + 1));
                return;
            }
        }
    }
    std::string why;
    if (!choose_columns(load->format, load->columns, load->header, &load->chosen, &why)) {
        refuse(load, ESR_INVALID_PARAMETER, 110, why);
        return;
    }
    keep_names(load->chosen, load->header, load->names);
    load->row.assign(load->chosen.features.size() + 1, 0.0);
    if (load->header.empty()) {
        for (const std::string& text : load->first)
            data_field(load, text.data(), text.size());
        data_row(load);
    }
    load->first.clear();
}

void on_field(void* text, size_t length, void* data) {
    CsvLoad* load = static_cast<CsvLoad*>(data);
    if (load->code != 0) return;
    if (length > kTableLongestField) {
        refuse_long_field(load);
    } else if (load->header_decided) {
        data_field(load, static_cast<const char*>(text), length);
    } else if (load->first.size() == static_cast<size_t>(kTableMostColumns)) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 210,
               line_text(load) + ": more than " + std::to_string(kTableMostColumns) + " columns");
    } else {
        load->first.emplace_back(static_cast<const char*>(text), length);
    }
}

void on_row(int /*terminator*/, void* data) {
    CsvLoad* load = static_cast<CsvLoad*>(data);
    if (load->code != 0) return;
    load->row_line = load->line;
    load->row_bytes = 0;
    if (!load->header_decided) {
        first_row(load);
    } else {
        data_row(load);
    }
}

// Semicolons separate the fields when the first line holds some and no comma.
unsigned char csv_separator(std::string_view start) {
    const size_t text = start.find_first_not_of("\r\n");
    if (text == std::string_view::npos) return CSV_COMMA;
    start.remove_prefix(text);
    start = start.substr(0, start.find_first_of("\r\n"));
    return start.find(';') != std::string_view::npos && start.find(',') == std::string_view::npos
               ? ';'
               : CSV_COMMA;
}

// Only blanks are white space around a field: a tab may be the separator.
int is_blank(unsigned char c) {
    return c == CSV_SPACE ? 1 : 0;
}

// The length of the line that starts at text: up to and with its LF, its CRLF or a CR alone
// (libcsv ends a row at each), or all size bytes when none of them comes.
size_t line_length(const char* text, size_t size) {
    const char* feed = static_cast<const char*>(std::memchr(text, '\n', size));
    const size_t before_feed = feed != nullptr ? static_cast<size_t>(feed - text) : size;
    const char* cr = static_cast<const char*>(std::memchr(text, '\r', before_feed));
    if (cr == nullptr) return feed != nullptr ? before_feed + 1 : size;
    const size_t at = static_cast<size_t>(cr - text);
    return at + 1 < size && text[at + 1] == '\n' ? at + 2 : at + 1;
}

// Hands one line, or the part of it that a chunk holds, to libcsv, bounding what a row and a
// field take on the way: a field is checked when it ends and, while it goes on, after each part.
void feed(csv_parser* parser, CsvLoad* load, const char* text, size_t length) {
    if (std::memchr(text, '\0', length) != nullptr) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 180, line_text(load) + " holds a NUL byte");
        return;
    }
    size_t content = length;
    while (content > 0 && (text[content - 1] == '\n' || text[content - 1] == '\r'))
        --content;
    load->row_bytes += content;
    if (load->row_bytes > kTableLongestRow) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 200,
               line_text(load) + ": a row longer than " + bytes_text(kTableLongestRow));
        return;
    }
    if (csv_parse(parser, text, length, on_field, on_row, load) != length) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 130,
               line_text(load) +
                   ": a quote inside a field that is not quoted whole, or text after a closing "
                   "quote (" +
                   csv_strerror(csv_error(parser)) + ")");
    } else if (parser->entry_pos > kTableLongestField) {
        refuse_long_field(load);
    }
}

// Feeds the stream to libcsv a line at a time, so that every callback knows its line. Lines are
// numbered as libcsv ends rows: after an LF, a CRLF or a CR alone.
void parse_csv(FILE* stream, int32_t kind, CsvLoad* load) {
    csv_parser parser;
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL) != 0) {
        refuse(load, ESR_NOT_ENOUGH_MEMORY, 120, "");
        return;
    }
    csv_set_space_func(&parser, is_blank);
    std::vector<char> chunk(kChunk);
    bool first_chunk = true;
    bool after_cr = false;  // the last byte fed was a CR, whose line is counted
    size_t got;
    while (load->code == 0 && (got = std::fread(chunk.data(), 1, chunk.size(), stream)) > 0) {
        if (first_chunk) {
            csv_set_delim(&parser,
                          kind == TABLE_TSV ? CSV_TAB : csv_separator({chunk.data(), got}));
            first_chunk = false;
        }
        for (size_t start = 0; start < got && load->code == 0;) {
            const char* text = chunk.data() + start;
            // The LF of a CRLF split between two chunks ends the line the CR counted.
            const bool rest_of_crlf = after_cr && *text == '\n';
            const size_t length = rest_of_crlf ? 1 : line_length(text, got - start);
            feed(&parser, load, text, length);
            after_cr = text[length - 1] == '\r';
            if (!rest_of_crlf && (after_cr || text[length - 1] == '\n')) ++load->line;
            start += length;
        }
    }
    if (load->code == 0 && std::ferror(stream) == 0 &&
        csv_fini(&parser, on_field, on_row, load) != 0) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 140,
               "a quote opened " +
                   (load->row_line == 0 ? "in the first row"
                                        : "after line " + std::to_string(load->row_line)) +
                   " is never closed");
    }
    csv_free(&parser);
}

HFSET load_csv(Source* source, const char* name, int32_t kind, const TableFormat* format,
               TableNames* names) {
    CsvLoad load;
    load.format = format;
    load.names = names;
    load.set = fvsCreate(1, 1);
    if (load.set == nullptr) return nullptr;
    FILE* stream = sourceStream(source);
    parse_csv(stream, kind, &load);
    if (load.code != 0 && load.check >= 0) fails_later(source);
    if (std::ferror(stream) != 0) {
        // A stream that failed part way holds more than was read: never a shortened table.
        names->why =
            sourceError(source).empty() ? "" : std::string(name) + ": " + sourceError(source);
        load.code = ESR_CANT_LOAD_FILE;
        load.check = 150;
    } else if (load.code == 0 && !load.header_decided) {
        refuse(&load, ESR_EMPTY_FILE, 160, "the file holds no row");
    } else if (load.code == 0 && load.data_rows == 0) {
        refuse(&load, ESR_EMPTY_FILE, 170,
               "line " + std::to_string(load.first_line) + " is a header and no data row follows");
    }
    if (load.code != 0) {
        if (load.check >= 0)
            ReportError(load.code, load.code == ESR_CANT_LOAD_FILE ? name : nullptr, "table.c",
                        load.check);
        tarn::release_set(load.set, format->arena);
        names->features.clear();
        names->label.clear();
        names->classes.clear();
        return nullptr;
    }
    names->classes.assign(std::make_move_iterator(load.classes.begin()),
                          std::make_move_iterator(load.classes.end()));
    fvsSetVectorSize(load.set, static_cast<int32_t>(load.row.size()));
    return load.set;
}

}  // namespace

int32_t tableKindOf(const char* name) {
    if (std::strcmp(name, "csv") == 0) return TABLE_CSV;
    if (std::strcmp(name, "tsv") == 0) return TABLE_TSV;
    if (std::strcmp(name, "text") == 0) return TABLE_TEXT;
    return -1;
}

HFSET tableLoadStream(FILE* file, const char* name, const TableFormat* format, TableNames* names) {
    *names = TableNames();
    Source* source = sourceOpen(file, format->memory);
    if (source == nullptr) return fvsLoadStream(nullptr, name);  // reports the missing stream
    const int32_t kind = format->kind == TABLE_AUTO ? TABLE_TEXT : format->kind;
    HFSET set = kind == TABLE_TEXT ? load_text(source, name, format, names)
                                   : load_csv(source, name, kind, format, names);
    sourceClose(source);
    return set;
}

HFSET tableLoad(const char* path, const TableFormat* format, TableNames* names) {
    FILE* file = path != nullptr && path[0] != '\0' ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        *names = TableNames();
        return fvsLoad(path);  // refuses the name or the file as a vector file is refused
    }
    TableFormat chosen = *format;
    if (chosen.kind == TABLE_AUTO) chosen.kind = kind_by_name(path);
    size_t start = 0;
    std::string head;
    HFSET set;
    if (chosen.kind == TABLE_TEXT && plain_regular_file(fileno(file), &start, &head)) {
        *names = TableNames();
        tarn::TextLoad how;
        how.threads = chosen.threads;
        // Chosen columns are rearranged into arrays of their own: those vectors are allocated.
        if (chosen.label == nullptr && chosen.features == nullptr) how.arena = chosen.arena;
        int32_t long_line = 0;
        how.long_line = &long_line;
        set = tarn::text_load(fileno(file), path, start, how);
        set = text_table(set, long_line, head, &chosen, names);
    } else {
        set = tableLoadStream(file, path, &chosen, names);
    }
    std::fclose(file);
    return set;
}

std::string tableLabelText(const TableNames* names, int32_t label) {
    if (names != nullptr && label >= 0 && static_cast<size_t>(label) < names->classes.size())
        return names->classes[static_cast<size_t>(label)];
    return std::to_string(label);
}
