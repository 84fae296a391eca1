// What the first lines of a CSV or TSV table tell before any row is loaded: the delimiter that
// separates its fields, what a field holds (a number, a missing value or text), and what its first
// row is (a header, a header one name short for the row names R writes, data, or a note on the
// data that belongs before it). The table loader (table.h) asks; nothing here reads a file.
#ifndef TARN_VECTORS_TABLESHAPE_H
#define TARN_VECTORS_TABLESHAPE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Runs of blanks and tabs as the delimiter: the loader hands libcsv each such run as one tab and
// leaves out the white space at the start and the end of a line (quoted text stays as it is).
constexpr unsigned char kShapeWhiteSpace = ' ';

// Records of the sample a delimiter is chosen from, at most.
constexpr size_t kShapeRecords = 64;

// The delimiter of a table whose text starts with sample (quoted fields may hold delimiters and
// line breaks; only the records the sample holds whole count, all of them when at_end). Of a
// comma, a semicolon, a tab and white space, the one that splits the records after the first into
// as many fields each, at least two, wins; then the one that splits the first record into as many
// fields (or one fewer, as R writes a header); then the one that splits more records alike; then
// the one that gives more numbers; then the order of prefer_tab: tab first for a TSV table,
// comma first otherwise. When none splits most records in two or more, a TSV table takes tabs,
// a CSV table semicolons when its first line holds one and no comma, else commas.
unsigned char shapeDelimiter(std::string_view sample, bool at_end, bool prefer_tab);

// A whole field as a number: strtod in the C locale, a "%" after it taking a hundredth, white
// space around it. With decimal_comma a field holding one comma and no point reads the comma as
// its point ("3,9" is 3.9). False for anything else, an empty field included. text[length] must
// be readable and end the number (libcsv's appended NUL, a string's own).
bool shapeNumber(const char* text, size_t length, bool decimal_comma, double* value);

// Whether a field, white space around it left out, is one of the spellings of a missing value
// that R, pandas and spreadsheets write: empty, NA, N/A, n/a, NaN, nan, -nan, NULL, null, ?, #N/A
// or <NA>.
bool shapeMissing(std::string_view field);

// What a field holds for the guess below: a number (NaN and Inf spelt so included), else a
// missing value, else text.
enum ShapeField { SHAPE_NUMBER, SHAPE_MISSING, SHAPE_TEXT };
int32_t shapeField(std::string_view field, bool decimal_comma);

// What the first row of a table is.
enum ShapeFirst {
    SHAPE_DATA,       // a data row
    SHAPE_HEADER,     // the columns' names
    SHAPE_ROW_NAMES,  // the names of every column but the first, which holds row names (R)
    SHAPE_NOTE,       // a note on the data before the header or the data: to be refused
    SHAPE_UNSURE,     // numbers but for a missing value, guessed neither way: to be refused
};

// How the guess is asked.
struct ShapeQuestion {
    int32_t header = -1;         // 1: the first row is a header, 0: it is not, -1: guess
    bool decimal_comma = false;  // fields read as shapeNumber reads them with decimal commas
    bool drop_missing = false;   // rows with missing values are left out (a first row too)
    int32_t label_column = -1;   // a lone row only: the label's 0-based column, or -1
};

// The guess, with the column that decided a refusal.
struct ShapeAnswer {
    int32_t first = SHAPE_DATA;  // a ShapeFirst
    int32_t column = -1;         // SHAPE_UNSURE: the 0-based column of the first missing value
};

// What rows[0] is, told from rows[0] against the rows after it (as many as the loader keeps, none
// for a table of one row), column by column:
// - a note: its first two fields are whole numbers, the first no fewer than the data rows after
//   it (a file cut short keeps its note), the second one less than their columns, and
//   every other field is not a number (the counts of rows and features, then class names, as
//   scikit-learn's data files begin), over rows with another count of fields, or numbers under
//   those names, or a header; or it has fewer fields than the rows after it and a header follows
//   it; or it has fewer fields, not one fewer as R's header, and some text;
// - a header one name short (R's row names): one field fewer than the rows after it, and a name
//   over a column of numbers;
// - a header: a field that is text over a column whose later fields are numbers (missing values
//   aside);
// - refused as numbers but for a missing value: a missing value over a column of numbers, the
//   other fields numbers or over columns of text, unless missing values are dropped;
// - data otherwise, a first row of numbers over rows of numbers included (a header of numbers
//   needs header 1). A lone row is a header when a field outside label_column is not a number.
// header 1 or 0 settles it, and no note is looked for (one field short and header 1: row names).
ShapeAnswer shapeFirstRow(const std::vector<std::vector<std::string>>& rows,
                          const ShapeQuestion& question);

#endif
