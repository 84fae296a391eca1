// The shape of a table from its first lines: the delimiter, the kinds of fields, the first row.
#include "vectors/tableshape.h"

#include <array>
#include <cstdlib>
#include <map>
#include <tuple>

#include "vectors/readnums.h"

namespace {

// The fields of one record, their quotes undone.
using Record = std::vector<std::string>;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// The records of sample as delimiter splits them, quotes respected (a quoted field may hold the
// delimiter and line breaks): blank records left out, the last one only when it ends or at_end
// says the text ends there, at most kShapeRecords.
std::vector<Record> split_records(std::string_view sample, bool at_end, unsigned char delimiter) {
    const bool runs = delimiter == kShapeWhiteSpace;
    std::vector<Record> records;
    Record record;
    std::string field;
    bool quoted = false;    // inside a quoted field
    bool in_field = false;  // white space: a field has begun
    bool any = false;       // the record holds more than blanks
    auto end_record = [&] {
        if (any && (!runs || in_field)) record.push_back(std::move(field));
        if (any) records.push_back(std::move(record));
        record.clear();
        field.clear();
        in_field = any = false;
    };
    for (size_t i = 0; i < sample.size() && records.size() < kShapeRecords; ++i) {
        const char c = sample[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < sample.size() && sample[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = in_field = any = true;
        } else if (c == '\n' || c == '\r') {
            end_record();
        } else if (runs && is_blank(c)) {
            if (in_field) record.push_back(std::move(field));
            field.clear();
            in_field = false;
        } else if (!runs && c == static_cast<char>(delimiter)) {
            record.push_back(std::move(field));
            field.clear();
            any = true;
        } else {
            field += c;
            in_field = true;
            any = any || !is_blank(c);
        }
    }
    if (at_end && records.size() < kShapeRecords) end_record();
    return records;
}

// How well a delimiter splits the sample's records; a greater Fit is better.
struct Fit {
    bool eligible = false;    // the records after the first mostly hold two fields or more
    bool consistent = false;  // they all hold as many
    int32_t first = 0;        // the first record holds as many (2), one fewer (1), or else (0)
    size_t agreement = 0;     // records after the first that hold the most common count
    size_t numbers = 0;       // their fields that are numbers

    auto key() const { return std::make_tuple(eligible, consistent, first, agreement, numbers); }
};

Fit fit_of(const std::vector<Record>& records) {
    Fit fit;
    if (records.empty()) return fit;
    const size_t from = records.size() > 1 ? 1 : 0;
    std::map<size_t, size_t> widths;
    for (size_t r = from; r < records.size(); ++r)
        ++widths[records[r].size()];
    size_t width = 0;
    for (const auto& [w, count] : widths) {
        if (count >= fit.agreement) {  // of two counts as common, the wider
            width = w;
            fit.agreement = count;
        }
    }
    fit.eligible = width >= 2;
    fit.consistent = widths.size() == 1;
    const size_t first = records[0].size();
    fit.first = first == width ? 2 : first + 1 == width ? 1 : 0;
    double value;
    for (size_t r = from; r < records.size(); ++r) {
        for (const std::string& field : records[r])
            fit.numbers += shapeNumber(field.c_str(), field.size(), true, &value) ? 1 : 0;
    }
    return fit;
}

// A whole number of digits alone, as a count is written.
bool is_count(const std::string& field, unsigned long* value) {
    if (field.empty() || field.size() > 18) return false;
    for (const char c : field)
        if (c < '0' || c > '9') return false;
    *value = std::strtoul(field.c_str(), nullptr, 10);
    return true;
}

// What the rows from a given one on hold in one column.
struct Below {
    size_t numbers = 0;
    size_t texts = 0;
    bool numeric() const { return numbers > 0 && texts == 0; }
};

std::vector<Below> below_of(const std::vector<Record>& rows, size_t from, bool decimal_comma) {
    std::vector<Below> below;
    for (size_t r = from; r < rows.size(); ++r) {
        if (rows[r].size() > below.size()) below.resize(rows[r].size());
        for (size_t c = 0; c < rows[r].size(); ++c) {
            const int32_t field = shapeField(rows[r][c], decimal_comma);
            below[c].numbers += field == SHAPE_NUMBER ? 1 : 0;
            below[c].texts += field == SHAPE_TEXT ? 1 : 0;
        }
    }
    return below;
}

// Whether a row holds text over a column of numbers in below, its columns shifted by shift.
bool text_over_numbers(const Record& row, const std::vector<Below>& below, size_t shift,
                       bool decimal_comma) {
    for (size_t c = 0; c + shift < below.size() && c < row.size(); ++c) {
        if (below[c + shift].numeric() && shapeField(row[c], decimal_comma) == SHAPE_TEXT)
            return true;
    }
    return false;
}

// Whether the first row is a note before the rest: scikit-learn's (the counts of data rows and
// features, then names or nothing, over rows of the features and the label that have another
// count of fields, hold numbers under the names, or begin with a header); or fewer fields than
// the rows after it and a header after it; or fewer fields, not one fewer as R's header, and text.
bool is_note(const std::vector<Record>& rows, const std::vector<int32_t>& kind,
             const std::vector<Below>& below, bool decimal_comma) {
    const Record& first = rows[0];
    const size_t width = rows[1].size();
    const bool header_next =
        rows.size() > 2 &&
        text_over_numbers(rows[1], below_of(rows, 2, decimal_comma), 0, decimal_comma);
    // The count of rows is no less than the data rows here (a file cut short keeps its note).
    const size_t data = rows.size() - (header_next ? 2 : 1);
    unsigned long count = 0, features = 0;
    if (first.size() >= 3 && is_count(first[0], &count) && is_count(first[1], &features) &&
        features + 1 == width && count >= data) {
        bool names = true, over_numbers = false;
        for (size_t c = 2; c < first.size(); ++c) {
            names = names && kind[c] != SHAPE_NUMBER;
            over_numbers = over_numbers || (c < below.size() && below[c].numeric());
        }
        if (names && (first.size() != width || over_numbers || header_next)) return true;
    }
    if (first.size() >= width) return false;
    if (header_next) return true;
    if (first.size() + 1 == width) return false;  // R's header, or a short data row
    for (const int32_t k : kind)
        if (k == SHAPE_TEXT) return true;
    return false;
}

}  // namespace

bool shapeNumber(const char* text, size_t length, bool decimal_comma, double* value) {
    const std::string_view field(text, length);
    const size_t comma = decimal_comma ? field.find(',') : std::string_view::npos;
    std::string copy;
    if (comma != std::string_view::npos) {
        if (field.find(',', comma + 1) != std::string_view::npos ||
            field.find('.') != std::string_view::npos)
            return false;
        copy.assign(field);
        copy[comma] = '.';
        text = copy.c_str();
    }
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

bool shapeMissing(std::string_view field) {
    const size_t start = field.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) return true;
    field = field.substr(start, field.find_last_not_of(" \t\r") + 1 - start);
    static constexpr std::array<std::string_view, 11> kSpellings = {
        "NA", "N/A", "n/a", "NaN", "nan", "-nan", "NULL", "null", "?", "#N/A", "<NA>"};
    for (const std::string_view spelling : kSpellings)
        if (field == spelling) return true;
    return false;
}

int32_t shapeField(std::string_view field, bool decimal_comma) {
    const std::string text(field);  // the number reader needs its end marked
    double value;
    if (shapeNumber(text.c_str(), text.size(), decimal_comma, &value)) return SHAPE_NUMBER;
    return shapeMissing(field) ? SHAPE_MISSING : SHAPE_TEXT;
}

unsigned char shapeDelimiter(std::string_view sample, bool at_end, bool prefer_tab) {
    const std::array<unsigned char, 4> order =
        prefer_tab ? std::array<unsigned char, 4>{'\t', ',', ';', kShapeWhiteSpace}
                   : std::array<unsigned char, 4>{',', ';', '\t', kShapeWhiteSpace};
    unsigned char best = 0;
    Fit best_fit;
    for (const unsigned char delimiter : order) {
        const Fit fit = fit_of(split_records(sample, at_end, delimiter));
        if (fit.eligible && (best == 0 || fit.key() > best_fit.key())) {
            best = delimiter;
            best_fit = fit;
        }
    }
    if (best != 0) return best;
    if (prefer_tab) return '\t';
    // No delimiter splits a record: the first line decides, as it always did.
    const size_t text = sample.find_first_not_of("\r\n");
    if (text == std::string_view::npos) return ',';
    sample.remove_prefix(text);
    sample = sample.substr(0, sample.find_first_of("\r\n"));
    return sample.find(';') != std::string_view::npos && sample.find(',') == std::string_view::npos
               ? ';'
               : ',';
}

ShapeAnswer shapeFirstRow(const std::vector<std::vector<std::string>>& rows,
                          const ShapeQuestion& question) {
    if (question.header == 0 || rows.empty()) return {SHAPE_DATA};
    const Record& first = rows[0];
    std::vector<int32_t> kind(first.size());
    for (size_t c = 0; c < first.size(); ++c)
        kind[c] = shapeField(first[c], question.decimal_comma);
    if (rows.size() == 1) {
        if (question.header == 1) return {SHAPE_HEADER};
        for (size_t c = 0; c < first.size(); ++c) {
            if (static_cast<int32_t>(c) != question.label_column && kind[c] != SHAPE_NUMBER)
                return {SHAPE_HEADER};
        }
        return {SHAPE_DATA};
    }
    const size_t width = rows[1].size();
    if (question.header == 1) return {first.size() + 1 == width ? SHAPE_ROW_NAMES : SHAPE_HEADER};
    const bool decimal_comma = question.decimal_comma;
    const std::vector<Below> below = below_of(rows, 1, decimal_comma);
    auto numeric = [&](size_t c) { return c < below.size() && below[c].numeric(); };
    if (is_note(rows, kind, below, decimal_comma)) return {SHAPE_NOTE};
    if (first.size() + 1 == width && text_over_numbers(first, below, 1, decimal_comma))
        return {SHAPE_ROW_NAMES};
    if (text_over_numbers(first, below, 0, decimal_comma)) return {SHAPE_HEADER};
    if (question.drop_missing) return {SHAPE_DATA};
    bool numbers = false;
    int32_t missing = -1;
    for (size_t c = 0; c < first.size(); ++c) {
        numbers = numbers || kind[c] == SHAPE_NUMBER;
        if (missing < 0 && kind[c] == SHAPE_MISSING && numeric(c))
            missing = static_cast<int32_t>(c);
    }
    if (numbers && missing >= 0) return {SHAPE_UNSURE, missing};
    return {SHAPE_DATA};
}
