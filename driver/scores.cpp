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
    // One rule's columns, or every rule's under its key.
    const size_t columns = rows.all != nullptr ? rules().size() : 1;
    auto score = [&](size_t r, int32_t i) {
        return rows.all != nullptr ? rows.all[r]->score[static_cast<size_t>(i)] : rows.score[i];
    };
    auto marked = [&](size_t r, int32_t i) {
        return rows.all != nullptr ? rows.all[r]->marked[static_cast<size_t>(i)] : rows.marked[i];
    };
    auto label = [&](int32_t i) {
        return rows.all != nullptr ? rows.all[0]->label[static_cast<size_t>(i)] : rows.label[i];
    };
    std::string line = "id";
    for (size_t r = 0; r < columns; ++r)
        line.append(1, delimiter).append(rows.all != nullptr ? rules()[r].key : "score");
    for (size_t r = 0; r < columns; ++r) {
        line.append(1, delimiter).append(rows.all != nullptr ? rules()[r].key : "");
        line.append(rows.all != nullptr ? "_mark" : "mark");
    }
    line.append(1, delimiter).append("label").append(1, delimiter).append("class\n");
    const bool classes = rows.names != nullptr && !rows.names->classes.empty();
    for (int32_t i = 0; i < rows.n; ++i) {
        append_field(line, tableRowId(rows.names, i), delimiter);
        for (size_t r = 0; r < columns; ++r) {
            line += delimiter;
            append_number(line, score(r, i));
        }
        for (size_t r = 0; r < columns; ++r) {
            line += delimiter;
            line += marked(r, i) != 0 ? '1' : '0';
        }
        line += delimiter;
        line += std::to_string(label(i));
        line += delimiter;
        if (classes) append_field(line, tableLabelText(rows.names, label(i)), delimiter);
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
