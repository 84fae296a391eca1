// Loading a data table in one of three formats: the vector text format of fvsLoad, CSV as
// RFC 4180 defines it, and TSV. Each format may come gzip-, zstd-, xz- or bzip2-compressed and
// may start with a UTF-8 byte-order mark (see source.h).
//
// Whatever the format, a loaded set holds one vector per row in the detector's layout: the
// feature columns in their chosen order, then the label. The label column is the last one unless
// the format names another or none (every label 0 then); class names in a CSV or TSV label
// column are numbered 0, 1, 2, … in order of first appearance. A table that leaves no feature
// column (one column, the label's; or every column taken by the label, the ids and -F) is refused.
// The first lines a format asks to skip are left out before anything else is read, in every
// format; their lines keep their numbers in messages.
//
// CSV and TSV. The delimiter (a comma, a semicolon, a tab or runs of white space) is chosen from
// the first lines (tableshape.h); quoted fields may hold delimiters, doubled quotes and line
// breaks; lines end in LF, CRLF or a CR alone, and are numbered so; blank lines are skipped.
// Whether the first row is a header is guessed from it against the rows after it, or told
// (tableshape.h); a header one name short, or whose first name is empty, heads a first column of
// row names, which becomes the id column unless the format names one. Every row has as many
// fields as the header or the first row. Feature fields are numbers as the text format reads
// them (with strtod, a "%" after one taking a hundredth), with decimal commas when the format
// asks for them or, by default, with semicolons as delimiters; "NaN" and "Inf", spelt exactly so,
// only on the first data row, as in the text format. A missing value (tableshape.h) in a feature
// or label column is refused, or its row left out and counted when the format drops them. No
// line may hold a NUL byte, no column or class name a control character (a byte below 0x20, or
// 0x7f): those are printed on lines of their own.
//
// Refusals report through ReportError with the file "table.c" and return null, leaving in
// TableNames::why one line that says where and what ("line 7, column 3 (\"petal_width\"): \"NA\"
// is not a number"). The text format's refusals are fvsLoadStream's, unchanged; a line longer than
// the reader takes (64 MiB, readnums.h) is one of them. The text format has no header, missing
// values, decimal commas or id column: a format asking for one of them is refused for it.
#ifndef TARN_VECTORS_TABLE_H
#define TARN_VECTORS_TABLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vectors/fvector.h"

namespace tarn {
class VectorArena;
}
struct Source;

// What one CSV or TSV load holds at most, so that a small compressed file cannot take the memory
// of the machine; a table beyond one of them is refused, naming the line.
constexpr size_t kTableLongestField = size_t{1} << 20;  // bytes of a field, its quotes undone
constexpr size_t kTableLongestRow = size_t{1} << 26;    // bytes of a row, its line ends left out
constexpr int32_t kTableMostColumns = 1000000;          // fields of the first row
constexpr size_t kTableLongestClass = 1024;             // bytes of a class name

// The formats, each a row of tarn::file_formats (below); TABLE_AUTO picks the one whose suffix
// ends the file's name (in any letter case, before a ".gz", ".zst", ".zstd", ".xz" or ".bz2"), else
// the text format.
enum TableKind { TABLE_AUTO = 0, TABLE_TEXT = 1, TABLE_CSV = 2, TABLE_TSV = 3 };

// The missing values of a format (TableFormat::missing).
enum TableMissing { TABLE_NA_ERROR = 0, TABLE_NA_DROP = 1 };

// How to read a table. The texts are the caller's and only read.
struct TableFormat {
    int32_t kind = TABLE_AUTO;       // a TableKind
    const char* label = nullptr;     // the label column: a name, a 1-based number, or "none";
                                     // null: the last
    const char* features = nullptr;  // comma-separated names or numbers of the feature columns;
                                     // null: all but the label and the ids
    int32_t threads = 1;  // threads that may parse a text file that is big, regular and not
                          // compressed, each its own part of it (the result is the same)
    tarn::VectorArena* arena = nullptr;  // when given, vectors may be carved from it (arena.h):
                                         // the set is then released with release_set
    double memory = -1.0;  // bytes the run can still have, or below 0 when unknown: a compressed
                           // input that decompresses to more is refused (source.h)
    int64_t skip = 0;      // lines left out before the header or the data, 0 or more
    int32_t header = -1;   // CSV, TSV: 1 the first row is a header, 0 it is not, -1 guess
    int32_t missing = TABLE_NA_ERROR;  // CSV, TSV: a TableMissing
    char decimal = 0;          // CSV, TSV: the decimal mark, ',' or '.'; 0: a comma with semicolons
    const char* id = nullptr;  // CSV, TSV: the id column, a name or a 1-based number; null: the
                               // row names R writes, if any
};

// What a load learnt besides the numbers, filled by tableLoad and tableLoadStream.
struct TableNames {
    std::vector<std::string> features;  // the feature columns' names in vector order, or none
    std::string label;                  // the label column's name, or ""
    std::vector<std::string> classes;   // class names by number; empty for numeric labels
    std::vector<std::string> ids;  // each vector's id from the id column, in vector order; none
                                   // without an id column
    std::vector<int64_t> rows;     // each vector's data row in the file, from 1, when rows were
                                   // left out; none when vector i is data row i + 1
    int64_t dropped = 0;           // data rows left out for a missing value
    std::string why;               // after a refusal: where and what, one line without its line end
    std::string warning;           // after a load: a doubt about the data worth a line, or ""
};

// How the table of scores names vector i (from 0): its id, else its data row's number.
std::string tableRowId(const TableNames* names, int32_t i);

// How the evaluation and the picture show a label: its class name when the input gave class
// names (names may be null), the number otherwise.
std::string tableLabelText(const TableNames* names, int32_t label);

// The TableKind a format's name stands for ("csv", "tsv", "text"), or -1.
int32_t tableKindOf(const char* name);

// A new set, owned by the caller, holding the table in the file path, or null after a report.
// A path that cannot be opened is refused as fvsLoad refuses it. names is cleared first. A text
// table in a regular file that is not compressed is read in blocks (textload.h), on up to
// format->threads threads when it is big; anything else through a source, on one.
HFSET tableLoad(const char* path, const TableFormat* format, TableNames* names);

// The same for an open stream (standard input, say) that stays open and the caller's; name is
// the one its reports give. TABLE_AUTO reads it as text. Both refuse a kind that is no format's.
HFSET tableLoadStream(FILE* file, const char* name, const TableFormat* format, TableNames* names);

// A text table that tableLoad reads in blocks can also be read by several readers, each a run of
// its lines (textload.h), and finished here from what the readers tell of their vectors, with
// tableLoad's names, warning and refusals.

// Whether tableLoad reads path as the text format in blocks: a text table in a regular file,
// not compressed, with no lines to skip and no option of CSV and TSV. Then *start is where the
// text begins (after a byte-order mark) and *head holds its first kSourceHead bytes.
bool tableTextInBlocks(const char* path, const TableFormat* format, size_t* start,
                       std::string* head);

// What the end of a text-format load asks of the vectors, wherever they are held.
struct TableTextShape {
    int32_t columns = 0;       // values of the first vector
    bool regular = true;       // every vector holds `columns` values
    int64_t fraction_at = -1;  // the first vector (from 0) whose label is a finite fraction, or -1
    double fraction = 0.0;     // that label
};

// The shape of the vectors of set, numbered from first, in a text whose first vector holds
// columns values.
TableTextShape tableTextShape(HFSET set, int32_t columns, int64_t first);

// The shape of before's vectors and then after's.
TableTextShape tableTextFollow(const TableTextShape& before, const TableTextShape& after);

// Where the values of each vector of a text go under the label and feature columns a format
// names.
struct TableTextColumns {
    bool moved = false;             // false: every vector stays as it was read
    std::vector<int32_t> features;  // the column of each feature, in the vector's new order
    int32_t label = -1;             // the label's column, last in the vector; -1: every label is 0
};

// The names and the warning tableLoad gives a text of vectors shaped as shape, whose first
// kSourceHead bytes are head, and in *moved where each vector's values go; false after its
// refusal (reported, names->why set). names is cleared first.
bool tableTextKept(const TableTextShape& shape, const std::string& head, const TableFormat* format,
                   TableNames* names, TableTextColumns* moved);

// names->why after the text's load refused it (text_report of textload.h; long_line as it
// gives it).
void tableTextRefused(int32_t long_line, const std::string& head, TableNames* names);

namespace tarn {

// Reads a table of one format from a source (source.h) that stays open and the caller's; name is
// the one its reports give. Results and reports are tableLoadStream's.
using SourceLoader = HFSET (*)(Source* source, const char* name, const TableFormat* format,
                               TableNames* names);

// Reads a table of one format from the file that tableLoad opened from path and closes after:
// for a format that reads a file better than through a source.
using PathLoader = HFSET (*)(FILE* file, const char* path, const TableFormat* format,
                             TableNames* names);

// Suffixes a format may have (TABLE_AUTO), at most.
constexpr size_t kMostSuffixes = 4;

// One format of data table. Whatever names or picks a format reads the table of them: -f and
// --output-format with their usage and help lines, the choice by a file's name, tableLoad's and
// tableLoadStream's dispatch, and the Python package. A new format is a row and its loader.
struct FileFormat {
    int32_t kind = TABLE_AUTO;   // its TableKind, never TABLE_AUTO
    const char* name = nullptr;  // as -f and --output-format take it
    // What a file's name ends in to be read in this format when none is given (in lower case;
    // unused ones empty).
    std::array<std::string_view, kMostSuffixes> suffixes{};
    bool output = false;             // whether -O can write the table of scores in it
    SourceLoader load = nullptr;     // every load but tableLoad's with load_path
    PathLoader load_path = nullptr;  // tableLoad's, when given
};

// Every format, in the order the usage text names them.
std::span<const FileFormat> file_formats();

// The format of a TableKind, or null (TABLE_AUTO included).
const FileFormat* file_format(int32_t kind);

// The formats' names in table order, only those -O writes when output, joined by between and the
// last two by last: "csv|tsv|text" for ("|", "|"), "csv, tsv or text" for (", ", " or ").
std::string format_names(bool output, std::string_view between, std::string_view last);

}  // namespace tarn

#endif
