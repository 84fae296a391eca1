#include "driver/scores.h"

#include <strings.h>

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "base/parameters.h"
#include "driver/outfile.h"
#include "vectors/table.h"

namespace {

// field as the table holds it: quoted when it holds the delimiter, a quote or a line end.
void append_field(std::string& line, std::string_view field, char delimiter) {
    if (field.find_first_of(std::string{delimiter, '"', '\n', '\r'}) == std::string_view::npos) {
        line.append(field);
        return;
    }
    line += '"';
    for (const char c : field) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

// The shortest text that reads back as value.
void append_number(std::string& line, double value) {
    char text[32];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
    line.append(text, written.ptr);
}

}  // namespace

namespace tarn {

char scores_delimiter(const Parameters* p) {
    if (p->output_format == TABLE_TSV) return '\t';
    if (p->output_format == TABLE_CSV || p->output_path == nullptr) return ',';
    const size_t length = std::strlen(p->output_path);
    return length >= 4 && strcasecmp(p->output_path + length - 4, ".tsv") == 0 ? '\t' : ',';
}

int32_t print_scores(const ScoreRows& rows, char delimiter, FILE* out) {
    const std::string_view header[] = {"id", "score", "mark", "label", "class"};
    std::string line;
    for (const std::string_view name : header) {
        if (!line.empty()) line += delimiter;
        line.append(name);
    }
    line += '\n';
    const bool classes = rows.names != nullptr && !rows.names->classes.empty();
    for (int32_t i = 0; i < rows.n; ++i) {
        append_field(line, tableRowId(rows.names, i), delimiter);
        line += delimiter;
        append_number(line, rows.score[i]);
        line += delimiter;
        line += rows.marked[i] != 0 ? '1' : '0';
        line += delimiter;
        line += std::to_string(rows.label[i]);
        line += delimiter;
        if (classes) append_field(line, tableLabelText(rows.names, rows.label[i]), delimiter);
        line += '\n';
        if (line.size() >= 1 << 16 || i + 1 == rows.n) {
            if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) return -1;
            line.clear();
        }
    }
    if (rows.n == 0 && std::fwrite(line.data(), 1, line.size(), out) != line.size()) return -1;
    return 0;
}

int32_t write_scores(const ScoreRows& rows, const Parameters* p) {
    const char delimiter = scores_delimiter(p);
    if (std::strcmp(p->output_path, "-") == 0) return print_scores(rows, delimiter, stdout);
    return write_whole_file(p->output_path, ".tarn-scores-",
                            [&](FILE* out) { return print_scores(rows, delimiter, out); });
}

}  // namespace tarn
