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
#include "vectors/tableshape.h"
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

// TABLE_AUTO's choice: the first format in table order with a suffix that ends the name.
int32_t kind_by_name(std::string_view name) {
    for (std::string_view suffix : {".gz", ".zst", ".zstd", ".xz", ".bz2"}) {
        if (ends_with(name, suffix)) {
            name.remove_suffix(suffix.size());
            break;
        }
    }
    for (const tarn::FileFormat& format : tarn::file_formats()) {
        for (std::string_view suffix : format.suffixes) {
            if (!suffix.empty() && ends_with(name, suffix)) return format.kind;
        }
    }
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

// "NaN" and "Inf", spelt exactly so, are refused after the first data row, as in the text format.
bool spelt_non_finite(const char* text, size_t length) {
    const std::string_view field(text, length);
    return field.find("NaN") != std::string_view::npos ||
           field.find("Inf") != std::string_view::npos;
}

// The columns a load keeps: the source column of each feature in vector order, of the label
// (-1: none, every label 0) and of the ids (-1: none). role[c] is c's place in the vector
// (features.size() for the label), or -1 for a column left out (the ids' too).
struct Columns {
    std::vector<int32_t> features;
    int32_t label = -1;
    int32_t id = -1;
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

// Chooses the label, id and feature columns of a table of columns columns (names: the header's,
// or none) as format asks. row_names is the column of row names a header gave (R's), or -1: it
// becomes the id column unless the format names one (it is then left out), or -L or -F take it.
// False with *why set when an option names no column or clashes with another.
bool choose_columns(const TableFormat* format, int32_t columns,
                    const std::vector<std::string>& names, int32_t row_names, Columns* chosen,
                    std::string* why) {
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
    const bool named_id = format->id != nullptr;
    if (named_id) {
        chosen->id = find_column(format->id, columns, names, index, "--id", why);
        if (chosen->id < 0) return false;
        if (chosen->id == chosen->label) {
            *why = "--id names " + column_text(chosen->id, names) + ", the label column";
            return false;
        }
    } else if (row_names >= 0 && row_names != chosen->label) {
        chosen->id = row_names;
    }
    chosen->role.assign(static_cast<size_t>(columns), -1);
    if (format->features == nullptr) {
        // Row names are never a feature, even beside another id column.
        for (int32_t c = 0; c < columns; ++c)
            if (c != chosen->label && c != chosen->id && c != row_names)
                chosen->features.push_back(c);
    } else {
        for (const std::string& item : split_list(format->features)) {
            const int32_t c = find_column(item, columns, names, index, "-F", why);
            if (c < 0) return false;
            if (c == chosen->id && !named_id) chosen->id = -1;  // -F takes the row names
            if (c == chosen->label || c == chosen->id ||
                chosen->role[static_cast<size_t>(c)] >= 0) {
                *why = "-F names " + column_text(c, names) +
                       (c == chosen->label ? ", the label column"
                        : c == chosen->id  ? ", the id column"
                                           : " twice");
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

// Why the chosen columns leave no feature, or "" when they leave one. lone is the first row (line,
// in the text format) of a table of one column.
std::string no_feature(const Columns& chosen, int32_t columns,
                       const std::vector<std::string>& names, std::string_view lone, bool text) {
    if (!chosen.features.empty()) return "";
    if (columns == 1 && chosen.label == 0) {
        return std::string("no feature column: every ") +
               (text ? "line holds one value" : "row holds one field") + " (" + shown(lone) +
               "), the label's; -L none reads it as a feature";
    }
    std::string why = "no feature column: ";
    if (chosen.id >= 0) why += column_text(chosen.id, names) + " holds the ids";
    if (chosen.id >= 0 && chosen.label >= 0) why += " and ";
    if (chosen.label >= 0)
        why +=
            column_text(chosen.label, names) + (chosen.id >= 0 ? " the label" : " holds the label");
    return why;
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
std::string fraction_label_warning(const TableTextShape& shape, const std::string& head) {
    if (shape.fraction_at < 0) return "";
    char value[32];
    std::snprintf(value, sizeof value, "%g", shape.fraction);
    return "the last column is read as the label, but " +
           data_line_text(head, static_cast<int32_t>(shape.fraction_at)) + " holds " + value +
           " there; if the file has no label column, use -L none";
}

// Moves each vector's columns into the chosen layout. False after a report when memory fails.
bool rearrange(HFSET set, const TableTextColumns& chosen) {
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

// The first data line the head holds, its white space around left out, or "".
std::string_view first_data_line(const std::string& head) {
    for (std::string_view line : whole_lines(head)) {
        if (!is_data_line(line)) continue;
        line.remove_prefix(line.find_first_not_of(" \t\v\f\r"));
        return line.substr(0, line.find_last_not_of(" \t\v\f\r") + 1);
    }
    return "";
}

// Whether a format reads the text format's columns as they are: no label or feature column named.
bool as_it_is(const TableFormat* format) {
    return format->label == nullptr && format->features == nullptr;
}

// The names and the warning that the head of a text gives vectors shaped as shape, read as they
// are; false after a refusal (reported, names->why set).
bool keep_as_it_is(const TableTextShape& shape, const std::string& head, const TableFormat* format,
                   TableNames* names) {
    const std::vector<std::string> header = comment_names(head, shape.columns);
    Columns chosen;
    if (!choose_columns(format, shape.columns, header, -1, &chosen, &names->why)) {
        ReportError(ESR_INVALID_PARAMETER, nullptr, "table.c", 50);
        return false;
    }
    // A longer line after a one-value first line is left for the run's dimension check.
    if (!chosen.features.empty() || shape.regular)
        names->why = no_feature(chosen, shape.columns, header, first_data_line(head), true);
    if (!names->why.empty()) {
        ReportError(ESR_INVALID_FILE_FORMAT, nullptr, "table.c", 55);
        return false;
    }
    keep_names(chosen, header, names);
    names->warning = fraction_label_warning(shape, head);
    return true;
}

// The names the head of a text gives vectors shaped as shape under the label and feature columns
// format names, and in *moved where each vector's values go; false after a refusal (reported,
// names->why set).
bool choose_text_columns(const TableTextShape& shape, const std::string& head,
                         const TableFormat* format, TableNames* names, TableTextColumns* moved) {
    // Lines longer than the first are left for the run's dimension check to name.
    if (!shape.regular) return true;
    const std::vector<std::string> header = comment_names(head, shape.columns);
    Columns chosen;
    if (!choose_columns(format, shape.columns, header, -1, &chosen, &names->why)) {
        ReportError(ESR_INVALID_PARAMETER, nullptr, "table.c", 50);
        return false;
    }
    names->why = no_feature(chosen, shape.columns, header, first_data_line(head), true);
    if (!names->why.empty()) {
        ReportError(ESR_INVALID_FILE_FORMAT, nullptr, "table.c", 55);
        return false;
    }
    keep_names(chosen, header, names);
    moved->moved = true;
    moved->features = std::move(chosen.features);
    moved->label = chosen.label;
    return true;
}

// The text format's set with the names and the warning the head of its text gives, the columns
// chosen; after a refusal (a null set), the explanation: a line refused for its length
// (long_line, from the loader), else what the head gives.
HFSET text_table(HFSET set, int32_t long_line, const std::string& head, const TableFormat* format,
                 TableNames* names) {
    if (set == nullptr) {
        tableTextRefused(long_line, head, names);
        return nullptr;
    }
    TableTextColumns moved;
    if (!tableTextKept(tableTextShape(set, set->vector_size, 0), head, format, names, &moved)) {
        tarn::release_set(set, format->arena);
        return nullptr;
    }
    if (moved.moved && !rearrange(set, moved)) {
        fvsDestroy(set);  // chosen columns are never carved
        *names = TableNames();
        return nullptr;
    }
    return set;
}

// A stream over another that hands the text format's reader its first lines as comment lines,
// each a "#" and its line feed (a blank line stays blank): the reader skips them and numbers
// every later line as the file does. No line is ever longer than it was.
struct Commented {
    FILE* raw;     // the stream read, its owner's
    int64_t left;  // lines still to comment out
    bool started;  // the line being commented out has had its "#"
};

ssize_t read_commented(void* cookie, char* buffer, size_t size) {
    Commented* c = static_cast<Commented*>(cookie);
    for (;;) {
        const size_t got = std::fread(buffer, 1, size, c->raw);
        if (got == 0) return std::ferror(c->raw) != 0 ? -1 : 0;
        size_t kept = 0;
        for (size_t i = 0; i < got; ++i) {
            if (c->left == 0) {
                buffer[kept++] = buffer[i];
            } else if (buffer[i] == '\n') {
                buffer[kept++] = '\n';
                --c->left;
                c->started = false;
            } else if (!c->started) {
                buffer[kept++] = '#';
                c->started = true;
            }
        }
        if (kept > 0) return static_cast<ssize_t>(kept);
    }
}

// The head as the reader sees it through a Commented stream of lines lines.
std::string commented_head(const std::string& head, int64_t lines) {
    std::string out;
    bool started = false;
    for (size_t i = 0; i < head.size(); ++i) {
        if (lines == 0) return out + head.substr(i);
        if (head[i] == '\n') {
            out += '\n';
            --lines;
            started = false;
        } else if (!started) {
            out += '#';
            started = true;
        }
    }
    return out;
}

HFSET load_text(Source* source, const char* name, const TableFormat* format, TableNames* names) {
    int32_t long_line = 0;
    FILE* stream = sourceStream(source);
    Commented commented{stream, format->skip, false};
    if (format->skip > 0) {
        stream = fopencookie(&commented, "r",
                             cookie_io_functions_t{read_commented, nullptr, nullptr, nullptr});
        if (stream == nullptr) {
            ReportError(ESR_NOT_ENOUGH_MEMORY, nullptr, "table.c", 35);
            return nullptr;
        }
    }
    HFSET set = tarn::load_stream(stream, name, &long_line);
    if (format->skip > 0) std::fclose(stream);
    if (set == nullptr && fails_later(source) && !sourceError(source).empty()) {
        names->why = std::string(name) + ": " + sourceError(source);
        return nullptr;
    }
    const std::string& head = sourceHead(source);
    if (format->skip == 0) return text_table(set, long_line, head, format, names);
    const std::string seen = commented_head(head, format->skip);
    set = text_table(set, long_line, seen, format, names);
    // The whole text is in the head, and --skip left no data line of it.
    if (set == nullptr && names->why.empty() && head.size() < kSourceHead &&
        first_data_line(seen).empty()) {
        names->why = "the file holds no data line after the " + std::to_string(format->skip) +
                     " lines --skip leaves out";
    }
    return set;
}

// The option of format the text format has no use for, or null: it has no header, no missing
// values, no decimal commas and no id column.
const char* table_only_option(const TableFormat* format) {
    if (format->header == 1) return "--header";
    if (format->header == 0) return "--no-header";
    if (format->missing == TABLE_NA_DROP) return "--na drop";
    if (format->decimal == ',') return "--decimal ,";
    if (format->id != nullptr) return "--id";
    return nullptr;
}

// Refuses a text-format load that format asks a table's option of; false when it asks none.
bool refuse_text_options(const TableFormat* format, TableNames* names) {
    const char* option = table_only_option(format);
    if (option == nullptr) return false;
    names->why = std::string(option) +
                 " reads CSV and TSV, not the text format (-f csv reads values separated by white "
                 "space as a table)";
    ReportError(ESR_INVALID_PARAMETER, nullptr, "table.c", 280);
    return true;
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

// Rows after the first that the guess of the first row looks at, at most, and the memory their
// fields may take before it is made with fewer.
constexpr size_t kGuessRows = 16;
constexpr size_t kGuessBytes = size_t{1} << 20;

// The state of one CSV or TSV load, handed to libcsv's callbacks. Each class name is held once:
// the keys of class_of look into classes, a deque, which never moves the strings it holds. Until
// the first row is decided (header_decided), rows are kept whole in head, each field with the line
// it ended on; then they are read as any other row.
struct CsvLoad {
    const TableFormat* format;
    TableNames* names;
    int64_t line = 1;        // the line being parsed
    int64_t first_line = 0;  // the line where the first row of as many fields as the rest ended
    int64_t row_line = 0;    // the line where the last row ended
    size_t row_bytes = 0;    // bytes of the current row so far, its line ends left out
    int64_t skip_left = 0;   // lines still to leave out (TableFormat::skip)
    bool after_cr = false;   // the last byte fed or left out was a CR, whose line is counted
    unsigned char delimiter = ',';  // kShapeWhiteSpace: runs of white space, fed as tabs
    bool decimal_comma = false;
    // White space as the delimiter: where the line being fed stands.
    bool quoted = false;    // inside a quoted field
    bool started = false;   // the row has begun
    bool blanks = false;    // white space after a field, not yet fed as a tab
    std::string spaced;     // the text fed, runs of white space made tabs
    int32_t columns = 0;    // fields of a row
    int32_t field = 0;      // fields of the current row so far
    int64_t data_rows = 0;  // data rows appended
    int64_t rows_read = 0;  // data rows read, left out or appended
    bool header_decided = false;
    std::vector<std::vector<std::string>> head;    // the first rows until the first is decided
    std::vector<std::vector<int64_t>> head_lines;  // the line each of their fields ended on
    std::vector<int64_t> head_end;                 // the line each of them ended on
    bool head_open = false;                        // the last of head is being read
    size_t head_bytes = 0;                         // memory their fields take, about
    std::vector<std::string> header;               // the header's names, or none
    Columns chosen;
    std::vector<double> row;   // the current row in the vector's layout
    bool row_missing = false;  // the current row holds a missing value and is left out
    std::string row_id;        // the current row's id
    std::string row_label;     // the current row's label field, read at the row's end
    int64_t label_line = 0;    // the line the label field ended on
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
    if (load->header_decided) return load->field;
    return load->head_open ? static_cast<int32_t>(load->head.back().size()) : 0;
}

void decide_early(CsvLoad* load);

void refuse_long_field(CsvLoad* load) {
    decide_early(load);  // the message names the column by the header, if there is one
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

// What follows "is not a number" for a field that is a missing value.
std::string missing_hint(std::string_view field) {
    return shapeMissing(field) ? " (a missing value: --na drop leaves such rows out)" : "";
}

void data_field(CsvLoad* load, const char* text, size_t length) {
    const int32_t column = load->field++;
    if (column >= load->columns) return;  // the row's length is checked at its end
    if (column == load->chosen.id) {
        load->row_id.assign(text, length);
        return;
    }
    const int32_t role = load->chosen.role[static_cast<size_t>(column)];
    if (role < 0) return;
    if (load->format->missing == TABLE_NA_DROP && shapeMissing({text, length})) {
        load->row_missing = true;
        return;
    }
    if (column == load->chosen.label) {
        // Read at the row's end, once it is known to be kept: a row left out names no class.
        load->row_label.assign(text, length);
        load->label_line = load->line;
        return;
    }
    double value;
    if (!shapeNumber(text, length, load->decimal_comma, &value)) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 70,
               field_place(load, column) + ": " + shown({text, length}) + " is not a number" +
                   missing_hint({text, length}));
        return;
    }
    if (load->data_rows > 0 && spelt_non_finite(text, length)) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 80,
               field_place(load, column) + ": " + shown({text, length}) +
                   " is accepted on the first data row only");
        return;
    }
    load->row[static_cast<size_t>(role)] = value;
}

// The label of the row being ended into its place; false after a refusal.
bool read_label(CsvLoad* load) {
    const int32_t column = load->chosen.label;
    if (column < 0) return true;
    const std::string& text = load->row_label;
    const int64_t line = load->line;
    load->line = load->label_line;  // the messages name the label's line
    double value;
    const bool number = shapeNumber(text.c_str(), text.size(), load->decimal_comma, &value);
    if (load->labels == CsvLoad::kUnknown)
        load->labels = number ? CsvLoad::kNumbers : CsvLoad::kClasses;
    if (load->labels == CsvLoad::kClasses) {
        if (number) {
            refuse(load, ESR_INVALID_FILE_FORMAT, 60,
                   field_place(load, column) + ": " + shown(text) +
                       " is a number, but the label column holds class names");
        } else {
            value = class_number(load, column, text);
        }
    } else if (!number) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 70,
               field_place(load, column) + ": " + shown(text) +
                   " is not a number, but the label column holds numbers" + missing_hint(text));
    } else if (load->data_rows > 0 && spelt_non_finite(text.c_str(), text.size())) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 80,
               field_place(load, column) + ": " + shown(text) +
                   " is accepted on the first data row only");
    }
    load->line = line;
    if (load->code != 0) return false;
    load->row[load->chosen.features.size()] = value;
    return true;
}

void data_row(CsvLoad* load) {
    if (load->code == 0 && load->field != load->columns) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 90,
               line_text(load) + " has " + std::to_string(load->field) + " values, line " +
                   std::to_string(load->first_line) + " has " + std::to_string(load->columns));
    }
    load->field = 0;
    const bool missing = load->row_missing;
    load->row_missing = false;
    if (load->code != 0) return;
    ++load->rows_read;
    if (missing) {
        ++load->names->dropped;
        return;
    }
    if (!read_label(load)) return;
    if (!append(load->set, load->row.data(), load->row.size(), load->format->arena)) {
        load->code = ESR_NOT_ENOUGH_MEMORY;  // reported where it failed
        load->check = -1;
        return;
    }
    ++load->data_rows;
    if (load->chosen.id >= 0) load->names->ids.push_back(load->row_id);
    std::vector<int64_t>& rows = load->names->rows;
    if (load->names->dropped > 0) {
        // Before the first row left out, each row's place is its number.
        while (static_cast<int64_t>(rows.size()) + 1 < load->data_rows)
            rows.push_back(static_cast<int64_t>(rows.size()) + 1);
        rows.push_back(load->rows_read);
    }
}

// The label's column of a lone first row for the guess (tableshape.h): -L's number or the last
// column; -1 for a name or none, which lets every field count.
int32_t lone_label_column(const CsvLoad* load) {
    const char* label = load->format->label;
    const int32_t columns = static_cast<int32_t>(load->head[0].size());
    if (label == nullptr) return columns - 1;
    // A number beyond long's range reads as LONG_MAX: no column.
    const long number = all_digits(label) ? std::strtol(label, nullptr, 10) : 0;
    return number >= 1 && number <= columns ? static_cast<int32_t>(number - 1) : -1;
}

// The first row's fields as the file holds them, for a message.
std::string row_text(const CsvLoad* load, const std::vector<std::string>& fields) {
    const char delimiter =
        load->delimiter == kShapeWhiteSpace ? ' ' : static_cast<char>(load->delimiter);
    std::string text;
    for (size_t c = 0; c < fields.size(); ++c)
        text += (c > 0 ? std::string(1, delimiter) : "") + fields[c];
    return text;
}

// The header's names as a table's names must be: free of control characters, no two alike.
void check_header(CsvLoad* load) {
    std::unordered_map<std::string_view, int32_t> seen;
    for (int32_t c = 0; c < load->columns; ++c) {
        const std::string& name = load->header[static_cast<size_t>(c)];
        if (holds_control(name)) {
            refuse(load, ESR_INVALID_FILE_FORMAT, 240,
                   line_text(load) + ", column " + std::to_string(c + 1) + ": the column name " +
                       shown(name) + " holds a control character");
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

// Tells what the first row is (tableshape.h), chooses the columns, then reads the rows kept so
// far as any other row; a note before the data and a first row that may be either are refused.
void decide(CsvLoad* load) {
    load->header_decided = true;
    const int64_t line = load->line;
    const std::vector<std::string>& first = load->head[0];
    load->line = load->head_end[0];
    ShapeQuestion question;
    question.header = load->format->header;
    question.decimal_comma = load->decimal_comma;
    question.drop_missing = load->format->missing == TABLE_NA_DROP;
    question.label_column = lone_label_column(load);
    const ShapeAnswer answer = shapeFirstRow(load->head, question);
    if (answer.first == SHAPE_NOTE) {
        const size_t after = load->head[1].size();
        const std::string fields = first.size() == after
                                       ? ""
                                       : " (" + std::to_string(first.size()) +
                                             (first.size() == 1 ? " field" : " fields") + ", and " +
                                             std::to_string(after) + " in the rows after it)";
        refuse(load, ESR_INVALID_FILE_FORMAT, 250,
               line_text(load) + " (" + shown(row_text(load, first)) + ")" +
                   " looks like a note on the data" + fields +
                   ", not a header or a data row: --skip " +
                   std::to_string(load->format->skip + 1) + " leaves it out");
        return;
    }
    if (answer.first == SHAPE_UNSURE) {
        const std::string& value = first[static_cast<size_t>(answer.column)];
        refuse(load, ESR_INVALID_FILE_FORMAT, 260,
               line_text(load) + " holds numbers but for " + shown(value) + " in column " +
                   std::to_string(answer.column + 1) +
                   ": a data row with a missing value? --na drop leaves such rows out, "
                   "--header reads the row as a header");
        return;
    }
    size_t first_data = 0;
    int32_t row_names = -1;
    load->first_line = load->head_end[0];
    if (answer.first == SHAPE_HEADER || answer.first == SHAPE_ROW_NAMES) {
        load->header = first;
        if (answer.first == SHAPE_ROW_NAMES) {
            load->header.insert(load->header.begin(), std::string());
            load->first_line = load->head_end[1];
        }
        load->columns = static_cast<int32_t>(load->header.size());
        check_header(load);
        if (load->code != 0) return;
        first_data = 1;
        if (load->header[0].empty()) row_names = 0;  // R's and pandas' row names
    } else {
        load->columns = static_cast<int32_t>(first.size());
    }
    std::string why;
    if (!choose_columns(load->format, load->columns, load->header, row_names, &load->chosen,
                        &why)) {
        refuse(load, ESR_INVALID_PARAMETER, 110, why);
        return;
    }
    why = no_feature(load->chosen, load->columns, load->header, row_text(load, first), false);
    if (!why.empty()) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 270, why);
        return;
    }
    keep_names(load->chosen, load->header, load->names);
    load->row.assign(load->chosen.features.size() + 1, 0.0);
    for (size_t r = first_data; r < load->head.size() && load->code == 0; ++r) {
        for (size_t f = 0; f < load->head[r].size(); ++f) {
            load->line = load->head_lines[r][f];
            data_field(load, load->head[r][f].data(), load->head[r][f].size());
        }
        load->line = load->head_end[r];
        data_row(load);
    }
    load->line = line;
    std::vector<std::vector<std::string>>().swap(load->head);
    std::vector<std::vector<int64_t>>().swap(load->head_lines);
}

// Decides the first row from the rows kept whole so far, when there is one, before the row being
// read ends (its field is too long, or the rows kept take too much memory); the fields of that
// row read so far are then read as any other.
void decide_early(CsvLoad* load) {
    const size_t whole = load->head.size() - (load->head_open ? 1 : 0);
    if (load->header_decided || whole == 0) return;
    std::vector<std::string> open;
    std::vector<int64_t> open_lines;
    if (load->head_open) {
        open = std::move(load->head.back());
        open_lines = std::move(load->head_lines.back());
        load->head.pop_back();
        load->head_lines.pop_back();
        load->head_open = false;
    }
    decide(load);
    const int64_t line = load->line;
    for (size_t f = 0; f < open.size() && load->code == 0; ++f) {
        load->line = open_lines[f];
        data_field(load, open[f].data(), open[f].size());
    }
    load->line = line;
}

void on_field(void* text, size_t length, void* data) {
    CsvLoad* load = static_cast<CsvLoad*>(data);
    if (load->code != 0) return;
    if (length > kTableLongestField) {
        refuse_long_field(load);
        return;
    }
    if (load->header_decided) {
        data_field(load, static_cast<const char*>(text), length);
        return;
    }
    if (!load->head_open) {
        load->head.emplace_back();
        load->head_lines.emplace_back();
        load->head_open = true;
    }
    // The first row's fields are bounded by count; the rows after it by the memory kept.
    if (load->head.size() == 1 && load->head[0].size() == static_cast<size_t>(kTableMostColumns)) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 210,
               line_text(load) + ": more than " + std::to_string(kTableMostColumns) + " columns");
        return;
    }
    load->head.back().emplace_back(static_cast<const char*>(text), length);
    load->head_lines.back().push_back(load->line);
    load->head_bytes += length + sizeof(std::string) + sizeof(int64_t);
    if (load->head_bytes >= kGuessBytes) decide_early(load);
}

void on_row(int /*terminator*/, void* data) {
    CsvLoad* load = static_cast<CsvLoad*>(data);
    if (load->code != 0) return;
    load->row_line = load->line;
    load->row_bytes = 0;
    if (load->header_decided) {
        data_row(load);
        return;
    }
    if (!load->head_open) {  // a row with no field: libcsv makes none, but a row it is
        load->head.emplace_back();
        load->head_lines.emplace_back();
    }
    load->head_open = false;
    load->head_end.push_back(load->line);
    if (load->head.size() > kGuessRows || load->head_bytes >= kGuessBytes) decide(load);
}

// Only blanks are white space around a field: a tab may be the delimiter.
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

// Leaves out the lines still to skip from the size bytes at text, counting them as lines end in
// CSV; returns how many bytes they took.
size_t skip_lines(CsvLoad* load, const char* text, size_t size) {
    size_t i = 0;
    for (; i < size && load->skip_left > 0; ++i) {
        const bool rest_of_crlf = load->after_cr && text[i] == '\n';
        load->after_cr = text[i] == '\r';
        if (!rest_of_crlf && (text[i] == '\n' || text[i] == '\r')) {
            ++load->line;
            --load->skip_left;
        }
    }
    return i;
}

// One line, or a part of it, with white space as the delimiter: outside quotes each run of blanks
// and tabs between two fields becomes one tab, and the runs at the start and the end of a row go.
std::string_view spaced(CsvLoad* load, const char* text, size_t length) {
    std::string& out = load->spaced;
    out.clear();
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (load->quoted) {
            load->quoted = c != '"';
        } else if (c == '\n' || c == '\r') {
            load->started = load->blanks = false;
        } else if (c == ' ' || c == '\t') {
            load->blanks = load->started;
            continue;
        } else {
            if (load->blanks) out += '\t';
            load->blanks = false;
            load->started = true;
            load->quoted = c == '"';
        }
        out += c;
    }
    return out;
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
    if (load->delimiter == kShapeWhiteSpace) {
        const std::string_view normal = spaced(load, text, length);
        text = normal.data();
        length = normal.size();
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

// Feeds size bytes of text to libcsv a line at a time, so that every callback knows its line.
// Lines are numbered as libcsv ends rows: after an LF, a CRLF or a CR alone.
void feed_lines(csv_parser* parser, CsvLoad* load, const char* text, size_t size) {
    for (size_t start = 0; start < size && load->code == 0;) {
        const char* part = text + start;
        // The LF of a CRLF split between two chunks ends the line the CR counted.
        const bool rest_of_crlf = load->after_cr && *part == '\n';
        const size_t length = rest_of_crlf ? 1 : line_length(part, size - start);
        feed(parser, load, part, length);
        load->after_cr = part[length - 1] == '\r';
        if (!rest_of_crlf && (load->after_cr || part[length - 1] == '\n')) ++load->line;
        start += length;
    }
}

// Chooses the delimiter and the decimal mark from the sample, the text after the lines skipped
// (all of it when at_end); prefer_tab for a TSV table (shapeDelimiter).
void choose_delimiter(csv_parser* parser, bool prefer_tab, CsvLoad* load, std::string_view sample,
                      bool at_end) {
    load->delimiter = shapeDelimiter(sample, at_end, prefer_tab);
    csv_set_delim(parser, load->delimiter == kShapeWhiteSpace ? CSV_TAB : load->delimiter);
    const char decimal = load->format->decimal;
    load->decimal_comma = decimal == ',' || (decimal == 0 && load->delimiter == ';');
}

// Reads the stream into libcsv: the lines to skip left out, the delimiter chosen from the first
// kSourceHead bytes after them, then every line fed; the first row decided at the end when the
// rows ran out before.
void parse_csv(FILE* stream, bool prefer_tab, CsvLoad* load) {
    csv_parser parser;
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL) != 0) {
        refuse(load, ESR_NOT_ENOUGH_MEMORY, 120, "");
        return;
    }
    csv_set_space_func(&parser, is_blank);
    std::vector<char> chunk(kChunk);
    std::string sample;  // the text after the skipped lines until the delimiter is chosen
    bool chosen = false;
    size_t got;
    while (load->code == 0 && (got = std::fread(chunk.data(), 1, chunk.size(), stream)) > 0) {
        const size_t start = load->skip_left > 0 ? skip_lines(load, chunk.data(), got) : 0;
        if (chosen) {
            feed_lines(&parser, load, chunk.data() + start, got - start);
            continue;
        }
        sample.append(chunk.data() + start, got - start);
        if (sample.size() < kSourceHead) continue;
        choose_delimiter(&parser, prefer_tab, load, sample, false);
        chosen = true;
        feed_lines(&parser, load, sample.data(), sample.size());
        std::string().swap(sample);
    }
    if (load->code == 0 && std::ferror(stream) == 0 && !chosen) {
        choose_delimiter(&parser, prefer_tab, load, sample, true);
        feed_lines(&parser, load, sample.data(), sample.size());
    }
    if (load->code == 0 && std::ferror(stream) == 0 &&
        csv_fini(&parser, on_field, on_row, load) != 0) {
        refuse(load, ESR_INVALID_FILE_FORMAT, 140,
               "a quote opened " +
                   (load->row_line == 0 ? "in the first row"
                                        : "after line " + std::to_string(load->row_line)) +
                   " is never closed");
    }
    if (load->code == 0 && std::ferror(stream) == 0 && !load->header_decided && !load->head.empty())
        decide(load);
    csv_free(&parser);
}

HFSET load_csv(Source* source, const char* name, bool prefer_tab, const TableFormat* format,
               TableNames* names) {
    CsvLoad load;
    load.format = format;
    load.names = names;
    load.skip_left = format->skip;
    load.set = fvsCreate(1, 1);
    if (load.set == nullptr) return nullptr;
    FILE* stream = sourceStream(source);
    parse_csv(stream, prefer_tab, &load);
    if (load.code != 0 && load.check >= 0) fails_later(source);
    if (std::ferror(stream) != 0) {
        // A stream that failed part way holds more than was read: never a shortened table.
        names->why =
            sourceError(source).empty() ? "" : std::string(name) + ": " + sourceError(source);
        load.code = ESR_CANT_LOAD_FILE;
        load.check = 150;
    } else if (load.code == 0 && !load.header_decided) {
        refuse(&load, ESR_EMPTY_FILE, 160,
               format->skip == 0 ? "the file holds no row"
                                 : "the file holds no row after the " +
                                       std::to_string(format->skip) + " lines --skip leaves out");
    } else if (load.code == 0 && load.data_rows == 0 && names->dropped > 0) {
        refuse(&load, ESR_EMPTY_FILE, 175,
               "every data row holds a missing value: --na drop left out all " +
                   std::to_string(names->dropped));
    } else if (load.code == 0 && load.data_rows == 0) {
        refuse(&load, ESR_EMPTY_FILE, 170,
               "line " + std::to_string(load.first_line) + " is a header and no data row follows");
    }
    if (load.code != 0) {
        if (load.check >= 0)
            ReportError(load.code, load.code == ESR_CANT_LOAD_FILE ? name : nullptr, "table.c",
                        load.check);
        tarn::release_set(load.set, format->arena);
        const std::string why = std::move(names->why);
        *names = TableNames();
        names->why = why;
        return nullptr;
    }
    names->classes.assign(std::make_move_iterator(load.classes.begin()),
                          std::make_move_iterator(load.classes.end()));
    fvsSetVectorSize(load.set, static_cast<int32_t>(load.row.size()));
    return load.set;
}

HFSET load_csv_source(Source* source, const char* name, const TableFormat* format,
                      TableNames* names) {
    return load_csv(source, name, false, format, names);
}

HFSET load_tsv_source(Source* source, const char* name, const TableFormat* format,
                      TableNames* names) {
    return load_csv(source, name, true, format, names);
}

// ---- the table of formats ----

HFSET load_text_source(Source* source, const char* name, const TableFormat* format,
                       TableNames* names) {
    return refuse_text_options(format, names) ? nullptr : load_text(source, name, format, names);
}

// A regular file that is not compressed is read in blocks (textload.h), on threads when it is
// big; anything else through a source.
HFSET load_text_path(FILE* file, const char* path, const TableFormat* format, TableNames* names) {
    size_t start = 0;
    std::string head;
    // Lines to skip are commented out on the way through a source (load_text).
    if (format->skip != 0 || table_only_option(format) != nullptr ||
        !plain_regular_file(fileno(file), &start, &head))
        return tableLoadStream(file, path, format, names);
    *names = TableNames();
    tarn::TextLoad how;
    how.threads = format->threads;
    // Chosen columns are rearranged into arrays of their own: those vectors are allocated.
    if (format->label == nullptr && format->features == nullptr) how.arena = format->arena;
    int32_t long_line = 0;
    how.long_line = &long_line;
    HFSET set = tarn::text_load(fileno(file), path, start, how);
    return text_table(set, long_line, head, format, names);
}

// In the order the usage text and the messages name them.
constexpr tarn::FileFormat kFormats[] = {
    {.kind = TABLE_CSV,
     .name = "csv",
     .suffixes = {".csv"},
     .output = true,
     .load = load_csv_source},
    {.kind = TABLE_TSV,
     .name = "tsv",
     .suffixes = {".tsv"},
     .output = true,
     .load = load_tsv_source},
    {.kind = TABLE_TEXT, .name = "text", .load = load_text_source, .load_path = load_text_path},
};

// A kind that names no format is a caller's mistake: the command line and Python take names.
HFSET refuse_kind(int32_t kind, TableNames* names) {
    names->why = "no table format has the number " + std::to_string(kind);
    ReportError(ESR_INVALID_PARAMETER, nullptr, "table.c", 290);
    return nullptr;
}

}  // namespace

namespace tarn {

std::span<const FileFormat> file_formats() {
    return kFormats;
}

const FileFormat* file_format(int32_t kind) {
    for (const FileFormat& format : kFormats) {
        if (format.kind == kind) return &format;
    }
    return nullptr;
}

std::string format_names(bool output, std::string_view between, std::string_view last) {
    std::vector<std::string_view> named;
    for (const FileFormat& format : kFormats) {
        if (format.output || !output) named.emplace_back(format.name);
    }
    std::string list;
    for (size_t i = 0; i < named.size(); ++i) {
        if (i > 0) list += i + 1 == named.size() ? last : between;
        list += named[i];
    }
    return list;
}

}  // namespace tarn

int32_t tableKindOf(const char* name) {
    for (const tarn::FileFormat& format : kFormats) {
        if (std::strcmp(name, format.name) == 0) return format.kind;
    }
    return -1;
}

HFSET tableLoadStream(FILE* file, const char* name, const TableFormat* format, TableNames* names) {
    *names = TableNames();
    Source* source = sourceOpen(file, format->memory);
    if (source == nullptr) return fvsLoadStream(nullptr, name);  // reports the missing stream
    const tarn::FileFormat* read =
        tarn::file_format(format->kind == TABLE_AUTO ? TABLE_TEXT : format->kind);
    HFSET set = read != nullptr ? read->load(source, name, format, names)
                                : refuse_kind(format->kind, names);
    sourceClose(source);
    return set;
}

bool tableTextInBlocks(const char* path, const TableFormat* format, size_t* start,
                       std::string* head) {
    if (format->skip != 0 || table_only_option(format) != nullptr || path == nullptr) return false;
    const int32_t kind = format->kind == TABLE_AUTO ? kind_by_name(path) : format->kind;
    const tarn::FileFormat* read = tarn::file_format(kind);
    if (read == nullptr || read->load_path != load_text_path) return false;
    FILE* file = path[0] != '\0' ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) return false;
    const bool plain = plain_regular_file(fileno(file), start, head);
    std::fclose(file);
    return plain;
}

TableTextShape tableTextShape(HFSET set, int32_t columns, int64_t first) {
    TableTextShape shape{.columns = columns};
    for (int32_t p = 0; p < set->vector_number; ++p) {
        const HFV v = set->vectors[p];
        shape.regular = shape.regular && v->dim == columns;
        const double label = v->vector[v->dim - 1];
        if (shape.fraction_at >= 0 || !std::isfinite(label) || label == std::trunc(label)) continue;
        shape.fraction_at = first + p;
        shape.fraction = label;
    }
    return shape;
}

TableTextShape tableTextFollow(const TableTextShape& before, const TableTextShape& after) {
    TableTextShape shape = before.fraction_at >= 0 ? before : after;
    shape.columns = before.columns;
    shape.regular = before.regular && after.regular;
    return shape;
}

bool tableTextKept(const TableTextShape& shape, const std::string& head, const TableFormat* format,
                   TableNames* names, TableTextColumns* moved) {
    *names = TableNames();
    *moved = TableTextColumns();
    // The file as it always read: nothing moves.
    if (as_it_is(format)) return keep_as_it_is(shape, head, format, names);
    return choose_text_columns(shape, head, format, names, moved);
}

void tableTextRefused(int32_t long_line, const std::string& head, TableNames* names) {
    names->why = long_line != 0 ? "line " + std::to_string(long_line) + " is longer than " +
                                      std::to_string(tarn::kLongestLine >> 20) + " MiB"
                                : text_refusal(head);
}

HFSET tableLoad(const char* path, const TableFormat* format, TableNames* names) {
    FILE* file = path != nullptr && path[0] != '\0' ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        *names = TableNames();
        return fvsLoad(path);  // refuses the name or the file as a vector file is refused
    }
    TableFormat chosen = *format;
    if (chosen.kind == TABLE_AUTO) chosen.kind = kind_by_name(path);
    const tarn::FileFormat* read = tarn::file_format(chosen.kind);
    HFSET set = read != nullptr && read->load_path != nullptr
                    ? read->load_path(file, path, &chosen, names)
                    : tableLoadStream(file, path, &chosen, names);
    std::fclose(file);
    return set;
}

std::string tableLabelText(const TableNames* names, int32_t label) {
    if (names != nullptr && label >= 0 && static_cast<size_t>(label) < names->classes.size())
        return names->classes[static_cast<size_t>(label)];
    return std::to_string(label);
}

std::string tableRowId(const TableNames* names, int32_t i) {
    const size_t at = static_cast<size_t>(i);
    if (names != nullptr && at < names->ids.size()) return names->ids[at];
    if (names != nullptr && at < names->rows.size()) return std::to_string(names->rows[at]);
    return std::to_string(i + 1);
}
