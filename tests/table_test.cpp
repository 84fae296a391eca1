// Tables: the formats, the columns, the class names, compression, every refusal with its
// explanation, and whole runs on the same data written each way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/table_check.h"
#include "tests/testkit.h"
#include "vectors/arena.h"
#include "vectors/readnums.h"
#include "vectors/table.h"

namespace {

using testkit::Outcome;
using testkit::ReportCapture;
using testkit::run_tarn;
using testkit::TempFile;

using Rows = std::vector<std::vector<double>>;

struct Loaded {
    HFSET set;
    TableNames names;
    std::vector<testkit::Report> reports;
};

Loaded load(const std::string& path, const TableFormat& format) {
    ReportCapture capture;
    Loaded loaded;
    loaded.set = tableLoad(path.c_str(), &format, &loaded.names);
    loaded.reports = capture.reports();
    return loaded;
}

Loaded load(const std::string& path, int32_t kind, const char* label = nullptr,
            const char* features = nullptr, tarn::VectorArena* arena = nullptr) {
    return load(path, TableFormat{kind, label, features, 1, arena});
}

Rows rows_of(HFSET set) {
    Rows rows;
    for (int32_t p = 0; set != nullptr && p < set->vector_number; ++p)
        rows.emplace_back(set->vectors[p]->vector, set->vectors[p]->vector + set->vectors[p]->dim);
    return rows;
}

// One data set written in every way a user may have it: each loads to the same vectors, the
// features in order and the label last.
TEST(Table, TheSameDataInEveryFormatLoadsTheSame) {
    const Rows expected = {{1.5, 0.25, 0}, {-2, 3e-3, 1}, {4, 0.5, 0}};
    struct Case {
        const char* name;
        std::string contents;
        std::string suffix;
        int32_t kind;
        const char* label = nullptr;
        const char* features = nullptr;
    };
    const std::string csv = "x,y,class\n1.5,0.25,normal\n-2,3e-3,anomaly\n4,50%,normal\n";
    // Members, frames and streams split mid-line read as one text, as the tools read them.
    const std::string head = csv.substr(0, 20), tail = csv.substr(20);
    const std::string skippable = std::string("\x50\x2a\x4d\x18\x04\0\0\0abcd", 12);
    const Case cases[] = {
        {"text", "# x y class\n1.5 0.25 0\n-2, 3e-3, 1\n\n4 50% 0\n", ".txt", TABLE_AUTO},
        {"csv, class names", csv, ".csv", TABLE_AUTO},
        {"csv by -f", csv, ".txt", TABLE_CSV},
        {"csv, gzip", gzip_bytes(csv), ".csv.gz", TABLE_AUTO},
        {"csv, zstd, upper-case name", zstd_bytes(csv), ".CSV.zst", TABLE_AUTO},
        {"csv, xz", xz_bytes(csv), ".csv.xz", TABLE_AUTO},
        {"csv, bzip2", bzip2_bytes(csv), ".csv.bz2", TABLE_AUTO},
        {"csv, two gzip members", gzip_bytes(head) + gzip_bytes(tail), ".csv.gz", TABLE_AUTO},
        {"csv, gzip, zero padding", gzip_bytes(csv) + std::string(100, '\0'), ".csv", TABLE_AUTO},
        {"csv, two zstd frames", zstd_bytes(head) + zstd_bytes(tail), ".csv", TABLE_AUTO},
        {"csv, zstd after a skippable frame", skippable + zstd_bytes(csv), ".csv", TABLE_AUTO},
        {"csv, two xz streams, padded", xz_bytes(head) + std::string(4, '\0') + xz_bytes(tail),
         ".csv", TABLE_AUTO},
        {"csv, two bzip2 streams", bzip2_bytes(head) + bzip2_bytes(tail), ".csv", TABLE_AUTO},
        {"csv, CR line ends", "x,y,class\r1.5,0.25,normal\r-2,3e-3,anomaly\r4,50%,normal\r", ".csv",
         TABLE_AUTO},
        {"csv, byte-order mark, CRLF",
         "\xef\xbb\xbfx,y,class\r\n1.5,0.25,normal\r\n-2,3e-3,"
         "anomaly\r\n4,50%,normal\r\n",
         ".csv", TABLE_AUTO},
        {"csv, quoted",
         "\"x\",\"y, \"\"the second\"\"\",class\n\"1.5\",0.25,normal\n-2,3e-3,"
         "anomaly\n4,50%,\"normal\"\n",
         ".csv", TABLE_AUTO},
        {"csv, semicolons", "x;y;class\n1.5;0.25;0\n-2;3e-3;1\n4;50%;0\n", ".csv", TABLE_AUTO},
        {"csv, no header", "1.5,0.25,normal\n-2,3e-3,anomaly\n4,50%,normal\n", ".csv", TABLE_AUTO},
        {"csv, label first", "class,x,y\nnormal,1.5,0.25\nanomaly,-2,3e-3\nnormal,4,50%\n", ".csv",
         TABLE_AUTO, "class"},
        {"csv, label by number", "class,x,y\n0,1.5,0.25\n1,-2,3e-3\n0,4,50%\n", ".csv", TABLE_AUTO,
         "1"},
        {"csv, a column left out", "id,x,y,class\na,1.5,0.25,0\nb,-2,3e-3,1\nc,4,50%,0\n", ".csv",
         TABLE_AUTO, nullptr, "x,3"},
        {"csv, no header, an id column left out", "a,1.5,0.25,0\nb,-2,3e-3,1\nc,4,50%,0\n", ".csv",
         TABLE_AUTO, nullptr, "2,3"},
        {"tsv", "x\ty\tclass\n1.5\t0.25\tnormal\n-2\t3e-3\tanomaly\n4\t50%\tnormal\n", ".tsv",
         TABLE_AUTO},
        {"text, gzip, label first", gzip_bytes("0 1.5 0.25\n1 -2 3e-3\n0 4 50%\n"), ".gz",
         TABLE_AUTO, "1"},
        {"text, zstd", zstd_bytes("1.5 0.25 0\n-2 3e-3 1\n4 0.5 0\n"), "", TABLE_AUTO},
        {"text, xz", xz_bytes("1.5 0.25 0\n-2 3e-3 1\n4 0.5 0\n"), "", TABLE_AUTO},
        {"text, bzip2", bzip2_bytes("1.5 0.25 0\n-2 3e-3 1\n4 0.5 0\n"), "", TABLE_AUTO},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents, c.suffix);
        // Vectors carved from an arena (as a run loads them) or allocated one by one.
        for (const bool carve : {false, true}) {
            tarn::VectorArena arena;
            Loaded loaded =
                load(file.path(), c.kind, c.label, c.features, carve ? &arena : nullptr);
            EXPECT_EQ(rows_of(loaded.set), expected) << c.name;
            EXPECT_TRUE(loaded.reports.empty()) << c.name;
            EXPECT_EQ(loaded.set != nullptr ? loaded.set->vector_size : 0, 3) << c.name;
            tarn::release_set(loaded.set, &arena);
        }
    }
}

// What a row of the format table keeps for the names and the choice by a file's name to reach it:
// a name and a kind of its own, a loader, and suffixes of its own in lower case (a file's name
// matches in any letter case).
TEST(Table, EveryFormatIsReachedByItsNameAndSuffixes) {
    std::set<std::string_view> suffixes;
    for (const tarn::FileFormat& format : tarn::file_formats()) {
        EXPECT_EQ(tableKindOf(format.name), format.kind) << format.name;
        EXPECT_EQ(tarn::file_format(format.kind), &format) << format.name;
        EXPECT_NE(format.load, nullptr) << format.name;
        for (const std::string_view suffix : format.suffixes) {
            if (suffix.empty()) continue;
            EXPECT_TRUE(suffixes.insert(suffix).second) << suffix;
            EXPECT_TRUE(std::none_of(suffix.begin(), suffix.end(), ::isupper)) << suffix;
        }
    }
    EXPECT_EQ(tarn::file_format(TABLE_AUTO), nullptr);
}

TEST(Table, NamesFromAHeaderOrAComment) {
    struct Case {
        std::string contents;
        std::string suffix;
        const char* label;
        std::vector<std::string> features;
        std::string label_name;
        std::vector<std::string> classes;
    };
    const Case cases[] = {
        {"y,x,c\n1,2,b\n3,4,a\n5,6,b\n", ".csv", nullptr, {"y", "x"}, "c", {"b", "a"}},
        {"c,x\n1,2\n0,4\n", ".csv", "c", {"x"}, "c", {}},
        {"x,y\n1,2\n3,4\n", ".csv", "none", {"x", "y"}, "", {}},
        {"# x y label\n1 2 0\n", ".txt", nullptr, {"x", "y"}, "label", {}},
        {"# x, y\n# the data\n1 2 0\n", ".txt", nullptr, {}, "", {}},  // not right before
        {"# x y\n1 2 0\n", ".txt", nullptr, {}, "", {}},               // not one per column
        {"# x y\x01 c\n1 2 0\n", ".txt", nullptr, {}, "", {}},         // a control character
        {"1,2\n3,4\n", ".csv", nullptr, {}, "", {}},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents, c.suffix);
        Loaded loaded = load(file.path(), TABLE_AUTO, c.label);
        EXPECT_NE(loaded.set, nullptr) << c.contents;
        EXPECT_EQ(loaded.names.features, c.features) << c.contents;
        EXPECT_EQ(loaded.names.label, c.label_name) << c.contents;
        EXPECT_EQ(loaded.names.classes, c.classes) << c.contents;
        fvsDestroy(loaded.set);
    }
}

// Small look-alikes of data sets as scikit-learn ships them and as R and pandas write them: each
// reads to its rows, names, ids (with the rows' numbers when some were left out) and classes.
TEST(Table, DataSetsAsPublishedReadRight) {
    struct Case {
        const char* name;
        std::string contents;
        std::string suffix;
        TableFormat format;
        Rows rows;
        std::vector<std::string> features;
        std::vector<std::string> ids = {};
        std::vector<int64_t> numbers = {};
        std::vector<std::string> classes = {};
        int64_t dropped = 0;
    };
    const Rows arrests = {{13.2, 236, 58, 21.2}, {13, 337, 45, 16.1}, {2.2, 48, 32, 11.2}};
    const std::vector<std::string> crimes = {"Murder", "Assault", "UrbanPop"};
    const std::vector<std::string> states = {"Alabama", "North Carolina", "Vermont"};
    const Case cases[] = {
        {"wine, its note skipped",
         "3,3,class_0,class_1,class_2\n14.23,1.71,2.43,0\n13.2,1.78,2.14,1\n12.37,.94,1.36,2\n",
         ".csv",
         {.skip = 1},
         {{14.23, 1.71, 2.43, 0}, {13.2, 1.78, 2.14, 1}, {12.37, .94, 1.36, 2}},
         {}},
        {"breast cancer, its note skipped",
         "2,2,malignant,benign\n17.99,10.38,0\n13.54,14.36,1\n",
         ".csv",
         {.skip = 1},
         {{17.99, 10.38, 0}, {13.54, 14.36, 1}},
         {}},
        {"iris, its note as wide as the rows",
         "2,4,setosa,versicolor,virginica\n5.1,3.5,1.4,.2,0\n6.3,3.3,6,2.5,2\n",
         ".csv",
         {.skip = 1},
         {{5.1, 3.5, 1.4, .2, 0}, {6.3, 3.3, 6, 2.5, 2}},
         {}},
        {"diabetes raw: spaces, gzip",
         gzip_bytes("59 2 32.1 87\n48 1 21.6 69\n"),
         ".csv.gz",
         {},
         {{59, 2, 32.1, 87}, {48, 1, 21.6, 69}},
         {}},
        {"linnerud: spaces, a header",
         "Chins Situps Jumps\n5 162 60\n2  110\t60 \n",
         ".csv",
         {},
         {{5, 162, 60}, {2, 110, 60}},
         {"Chins", "Situps"}},
        {"airquality by write.csv, NA dropped",
         "\"\",\"Ozone\",\"Wind\",\"Day\"\n\"1\",41,7.4,1\n\"2\",NA,8,2\n\"3\",18,NA,3\n\"4\",28,"
         "14.9,4\n",
         ".csv",
         {.missing = TABLE_NA_DROP},
         {{41, 7.4, 1}, {28, 14.9, 4}},
         {"Ozone", "Wind"},
         {"1", "4"},
         {1, 4},
         {},
         2},
        {"USArrests by write.table",
         "\"Murder\" \"Assault\" \"UrbanPop\" \"Rape\"\n\"Alabama\" 13.2 236 58 21.2\n\"North "
         "Carolina\" 13 337 45 16.1\n\"Vermont\" 2.2 48 32 11.2\n",
         ".txt",
         {.kind = TABLE_CSV},
         arrests,
         crimes,
         states},
        {"USArrests by write.csv2",
         "\"\";\"Murder\";\"Assault\";\"UrbanPop\";\"Rape\"\n\"Alabama\";13,2;236;58;21,2\n\"North "
         "Carolina\";13;337;45;16,1\n\"Vermont\";2,2;48;32;11,2\n",
         ".csv",
         {},
         arrests,
         crimes,
         states},
        {"pandas' index",
         ",x,label\n0,1.5,0\n1,-2,1\n",
         ".csv",
         {},
         {{1.5, 0}, {-2, 1}},
         {"x"},
         {"0", "1"}},
        {"pandas' index beside another id",
         ",x,y,label\n0,1.5,2,0\n1,-2,3,1\n",
         ".csv",
         {.id = "x"},
         {{2, 0}, {3, 1}},
         {"y"},
         {"1.5", "-2"}},
        {"a header of numbers, told",
         "400,450,500,class\n.1,.2,.3,a\n.4,.5,.6,b\n",
         ".csv",
         {.features = "500,450", .header = 1},
         {{.3, .2, 0}, {.6, .5, 1}},
         {"500", "450"},
         {},
         {},
         {"a", "b"}},
        {"years, an id column",
         "country,1990,2000,region\nFrance,1.5,2.5,EU\nJapan,3.5,4.5,AS\n",
         ".csv",
         {.features = "1990,2000", .header = 1, .id = "country"},
         {{1.5, 2.5, 0}, {3.5, 4.5, 1}},
         {"1990", "2000"},
         {"France", "Japan"},
         {},
         {"EU", "AS"}},
        {"decimal commas in a comma file",
         "x,y\n\"1,5\",0\n\"2,5\",1\n",
         ".csv",
         {.decimal = ','},
         {{1.5, 0}, {2.5, 1}},
         {"x"}},
        {"a first row with NA, dropped",
         "1,NA,0\n2,3,1\n4,5,0\n",
         ".csv",
         {.missing = TABLE_NA_DROP},
         {{2, 3, 1}, {4, 5, 0}},
         {},
         {},
         {2, 3},
         {},
         1},
        {"a class left out names no class",
         "x,class\n1,a\n2,NA\n3,b\n4,?\n",
         ".csv",
         {.missing = TABLE_NA_DROP},
         {{1, 0}, {3, 1}},
         {"x"},
         {},
         {1, 3},
         {"a", "b"},
         2},
        {"a note skipped, CRLF",
         "exported today\r\nx,y\r\n1,0\r\n2,1\r\n",
         ".csv",
         {.skip = 1},
         {{1, 0}, {2, 1}},
         {"x"}},
        {"the text format, a note skipped",
         "150,4,setosa\n# x y c\n1 2 0\n3 4 1\n",
         ".txt",
         {.skip = 1},
         {{1, 2, 0}, {3, 4, 1}},
         {"x", "y"}},
        {"a .tsv file of commas", "x,y\n1,0\n2,1\n", ".tsv", {}, {{1, 0}, {2, 1}}, {"x"}},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents, c.suffix);
        Loaded loaded = load(file.path(), c.format);
        EXPECT_EQ(loaded.names.why, "") << c.name;
        EXPECT_EQ(rows_of(loaded.set), c.rows) << c.name;
        EXPECT_EQ(loaded.names.features, c.features) << c.name;
        EXPECT_EQ(loaded.names.ids, c.ids) << c.name;
        EXPECT_EQ(loaded.names.rows, c.numbers) << c.name;
        EXPECT_EQ(loaded.names.dropped, c.dropped) << c.name;
        EXPECT_EQ(loaded.names.classes, c.classes) << c.name;
        fvsDestroy(loaded.set);
    }
}

// The first row against the rows after it, every column counted and -F none: a header, data, or
// what --header and --no-header say.
TEST(Table, TheFirstRowIsToldFromTheRowsAfterIt) {
    struct Case {
        std::string contents;
        TableFormat format;
        std::vector<std::string> features;  // the header's, none when the first row is data
        size_t rows;
    };
    const Case cases[] = {
        {"x,y,class\n1,2,a\n3,4,b\n", {}, {"x", "y"}, 2},
        {"1,2,class\n3,4,0\n5,6,1\n", {}, {"1", "2"}, 2},         // a name over numbers
        {"400,450,class\n1,2,normal\n3,4,anomaly\n", {}, {}, 3},  // numbers need --header
        {"400,450,class\n1,2,normal\n3,4,anomaly\n", {.header = 1}, {"400", "450"}, 2},
        {"1,2,normal\n3,4,anomaly\n", {}, {}, 2},
        {"a,1,2,0\nb,3,4,1\n", {.features = "2,3"}, {}, 2},
        {"id,1,2,0\nb,3,4,1\n", {.features = "2,3"}, {}, 2},  // a text column's name tells nothing
        {"1,2,0\n3,4,1\n", {.header = 1}, {"1", "2"}, 1},
        {"x,y,c\n1,2,0\n", {.header = 0, .missing = TABLE_NA_DROP, .decimal = 0}, {}, 0},
        {"1,NA,0\n2,3,1\n", {.header = 1}, {"1", "NA"}, 1},
        {"1,2,0\n", {}, {}, 1},  // a lone row of numbers
        {"x;y\n1,5;0\n2,5;1\n", {}, {"x"}, 2},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents, ".csv");
        Loaded loaded = load(file.path(), c.format);
        EXPECT_EQ(loaded.names.features, c.features) << c.contents;
        EXPECT_EQ(rows_of(loaded.set).size(), c.rows) << c.contents << loaded.names.why;
        fvsDestroy(loaded.set);
    }
}

// What the guess, the options and the columns refuse: one report, and what was found with a way on.
TEST(Table, NotesMissingValuesAndMissingFeaturesAreRefusedWithAWayOn) {
    struct Case {
        std::string contents;
        std::string suffix;
        TableFormat format;
        int32_t code;
        int32_t check;
        std::string why;
    };
    const std::string note = " looks like a note on the data";
    const std::string skip = ", not a header or a data row: --skip 1 leaves it out";
    const Case cases[] = {
        {"178,3,class_0,class_1,class_2\n14.23,1.71,2.43,0\n13.2,1.78,2.14,1\n",
         ".csv",
         {},
         6,
         250,
         "line 1 (\"178,3,class_0,class_1,class_2\")" + note +
             " (5 fields, and 4 in the rows after it)" + skip},
        {"2,4,setosa,versicolor,virginica\n5.1,3.5,1.4,.2,0\n6.3,3.3,6,2.5,2\n",
         ".csv",
         {},
         6,
         250,
         "line 1 (\"2,4,setosa,versicolor,virginica\")" + note + skip},
        {"2,2,\n\"x\",\"y\",\"v\"\n1,2,3\n4,5,6\n",
         ".csv",
         {},
         6,
         250,  // Boston's
         "line 1 (\"2,2,\")" + note + skip},
        {"My data\nx,y\n1,0\n2,1\n",
         ".csv",
         {},
         6,
         250,
         "line 1 (\"My data\")" + note + " (1 field, and 2 in the rows after it)" + skip},
        {"note\nMy data\nx,y\n1,0\n",
         ".csv",
         {.skip = 1},
         6,
         250,
         "line 2 (\"My data\")" + note +
             " (1 field, and 2 in the rows after it), not a header or a data row: --skip 2 "
             "leaves it out"},
        {"1,NA,0\n2,3,1\n",
         ".csv",
         {},
         6,
         260,
         "line 1 holds numbers but for \"NA\" in column 2: a data row with a missing value? --na "
         "drop leaves such rows out, --header reads the row as a header"},
        {"x;y\n1,5;0\n2,5;1\n",
         ".csv",
         {.decimal = '.'},
         6,
         70,
         "line 2, column 1 (\"x\"): \"1,5\" is not a number"},
        {"value\n1\n2\n",
         ".csv",
         {},
         6,
         270,
         "no feature column: every row holds one field (\"value\"), the label's; -L none reads it "
         "as a feature"},
        {"name,x\na,1\nb,2\n",
         ".csv",
         {.id = "name"},
         6,
         270,
         "no feature column: column 1 (\"name\") holds the ids and column 2 (\"x\") the label"},
        {"\"\" \"x\"\n\"a\" 1\n\"b\" 2\n",
         ".csv",
         {},
         6,
         270,
         "no feature column: column 1 (\"\") holds the ids and column 2 (\"x\") the label"},
        {"1\n2\n3\n",
         ".txt",
         {},
         6,
         55,
         "no feature column: every line holds one value (\"1\"), the label's; -L none reads it as "
         "a feature"},
        {"1 2 0\n",
         ".txt",
         {.id = "1"},
         1,
         280,
         "--id reads CSV and TSV, not the text format (-f csv reads values separated by white "
         "space as a table)"},
        {"1 2 0\n",
         ".txt",
         {.missing = TABLE_NA_DROP},
         1,
         280,
         "--na drop reads CSV and TSV, not the text format (-f csv reads values separated by "
         "white space as a table)"},
        {"name,x,y\na,1,0\n",
         ".csv",
         {.id = "y"},
         1,
         110,
         "--id names column 3 (\"y\"), the label column"},
        {"name,x,y\na,1,0\n",
         ".csv",
         {.features = "name,x", .id = "1"},
         1,
         110,
         "-F names column 1 (\"name\"), the id column"},
        {"name,x,y\na,1,0\n",
         ".csv",
         {.id = "z"},
         1,
         110,
         "--id \"z\" names no column of the 3 named columns"},
        {"x,y\n1,0\n",
         ".csv",
         {.skip = 5},
         7,
         160,
         "the file holds no row after the 5 lines --skip leaves out"},
        {"x,y\n,0\nNA,1\n",
         ".csv",
         {.missing = TABLE_NA_DROP},
         7,
         175,
         "every data row holds a missing value: --na drop left out all 2"},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents, c.suffix);
        Loaded loaded = load(file.path(), c.format);
        EXPECT_EQ(loaded.set, nullptr) << c.why;
        EXPECT_EQ(loaded.reports,
                  (std::vector<testkit::Report>{testkit::report(c.code, "table.c", c.check)}))
            << c.why;
        EXPECT_EQ(loaded.names.why, c.why);
        EXPECT_TRUE(loaded.names.ids.empty() && loaded.names.rows.empty()) << c.why;
    }
}

// Every refusal: one report, nothing loaded, and one line that says where and what.
TEST(Table, RefusalsSayWhereAndWhat) {
    const std::string data = "x,y\n1,0\n2,1\n3,0\n4,1\n5,0\n";
    struct Case {
        std::string contents;
        int32_t kind;
        const char* label;
        const char* features;
        int32_t code;
        int32_t check;
        std::string why;
    };
    const Case cases[] = {
        {"a,b,c\n1,2,0\n3,4\n", TABLE_CSV, nullptr, nullptr, 6, 90,
         "line 3 has 2 values, line 1 has 3"},
        {"a\tb\n1\t0\n\n2\t3\t1\n", TABLE_TSV, nullptr, nullptr, 6, 90,
         "line 4 has 3 values, line 1 has 2"},
        {"x,y\n1,0\n\"2,1\n3,0\n", TABLE_CSV, nullptr, nullptr, 6, 140,
         "a quote opened after line 2 is never closed"},
        {"\"\"\"\n1,2\n", TABLE_CSV, nullptr, nullptr, 6, 140,
         "a quote opened in the first row is never closed"},
        {"x,y\n1,0\n2\"5,1\n", TABLE_CSV, nullptr, nullptr, 6, 130,
         "line 3: a quote inside a field that is not quoted whole, or text after a closing quote "
         "(error parsing data while strict checking enabled)"},
        {"", TABLE_CSV, nullptr, nullptr, 7, 160, "the file holds no row"},
        {"\n\r\n", TABLE_TSV, nullptr, nullptr, 7, 160, "the file holds no row"},
        {"x,y\n", TABLE_CSV, nullptr, nullptr, 7, 170,
         "line 1 is a header and no data row follows"},
        {"x,y,x\n1,2,0\n", TABLE_CSV, nullptr, nullptr, 6, 100,
         "line 1: the name \"x\" heads columns 1 and 3"},
        {data, TABLE_CSV, "z", nullptr, 1, 110, "-L \"z\" names no column of the 2 named columns"},
        {"1,0\n", TABLE_CSV, "3", nullptr, 1, 110, "-L \"3\" names no column of the 2 columns"},
        {data, TABLE_CSV, nullptr, "x,y", 1, 110, "-F names column 2 (\"y\"), the label column"},
        {data, TABLE_CSV, "none", "x,1", 1, 110, "-F names column 1 (\"x\") twice"},
        {"1 2 0\n", TABLE_TEXT, "4", nullptr, 1, 50, "-L \"4\" names no column of the 3 columns"},
        {"x,y\n1,0\n2,a\n", TABLE_CSV, nullptr, nullptr, 6, 70,
         "line 3, column 2 (\"y\"): \"a\" is not a number, but the label column holds numbers"},
        {"x,y\n1,a\n2,1\n", TABLE_CSV, nullptr, nullptr, 6, 60,
         "line 3, column 2 (\"y\"): \"1\" is a number, but the label column holds class names"},
        {"x,y\n1,0\n2,3\n,1\n", TABLE_CSV, nullptr, nullptr, 6, 70,
         "line 4, column 1 (\"x\"): \"\" is not a number (a missing value: --na drop leaves such "
         "rows out)"},
        {"x,y\n1,0\nNA,1\n", TABLE_CSV, nullptr, nullptr, 6, 70,
         "line 3, column 1 (\"x\"): \"NA\" is not a number (a missing value: --na drop leaves such "
         "rows out)"},
        {"1\t0\n2 x\t1\n", TABLE_TSV, nullptr, nullptr, 6, 70,
         "line 2, column 1: \"2 x\" is not a number"},
        {"x,y\n1,0\n" + std::string(5000, '7') + "z,1\n", TABLE_CSV, nullptr, nullptr, 6, 70,
         "line 3, column 1 (\"x\"): \"" + std::string(40, '7') + "...\" is not a number"},
        {std::string("x,y\n1,0\n2\0,1\n", 13), TABLE_CSV, nullptr, nullptr, 6, 180,
         "line 3 holds a NUL byte"},
        {std::string("x,y,class\n1,2,normal\n3,4,\"normal\0\"\n", 33), TABLE_CSV, nullptr, nullptr,
         6, 180, "line 3 holds a NUL byte"},
        {std::string("id,x,y\na\0,1,0\n", 15), TABLE_CSV, nullptr, "2", 6, 180,
         "line 2 holds a NUL byte"},  // a column left out
        {"x,y,class\r1,2,a\r3,4\r", TABLE_CSV, nullptr, nullptr, 6, 90,
         "line 3 has 2 values, line 1 has 3"},
        {"x,y,class\r\n1,2,a\n\n3,4\r5,6,b\r\n", TABLE_CSV, nullptr, nullptr, 6, 90,
         "line 4 has 2 values, line 1 has 3"},
        {"x,class\n1,a\n2,\"b\nc\"\n", TABLE_CSV, nullptr, nullptr, 6, 230,
         "line 4, column 2 (\"class\"): the class name \"b\\x0ac\" holds a control character"},
        {"x,class\n1,a\x7f\n", TABLE_CSV, nullptr, nullptr, 6, 230,
         "line 2, column 2 (\"class\"): the class name \"a\\x7f\" holds a control character"},
        {"x,y\n1," + std::string(1025, 'a') + "\n", TABLE_CSV, nullptr, nullptr, 6, 220,
         "line 2, column 2 (\"y\"): a class name longer than 1 KiB"},
        {"\"x\ty\",class\n1,a\n", TABLE_CSV, nullptr, nullptr, 6, 240,
         "line 1, column 1: the column name \"x\\x09y\" holds a control character"},
        {"1,2,0\n", TABLE_CSV, "2147483648", nullptr, 1, 110,
         "-L \"2147483648\" names no column of the 3 columns"},
        {"x,y\nNaN,0\n-Inf,1\n", TABLE_CSV, nullptr, nullptr, 6, 80,
         "line 3, column 1 (\"x\"): \"-Inf\" is accepted on the first data row only"},
        {"1,2,0\n", 9, nullptr, nullptr, 1, 290, "no table format has the number 9"},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents);
        for (const bool carve : {false, true}) {
            tarn::VectorArena arena;  // the rows read before the refusal are carved here
            Loaded loaded =
                load(file.path(), c.kind, c.label, c.features, carve ? &arena : nullptr);
            EXPECT_EQ(loaded.set, nullptr) << c.why;
            EXPECT_EQ(loaded.reports,
                      (std::vector<testkit::Report>{testkit::report(c.code, "table.c", c.check)}))
                << c.why;
            EXPECT_EQ(loaded.names.why, c.why);
        }
    }
}

// What one row, field or line may take is bounded, whatever a small compressed file expands to:
// each limit refused just past it, compressed, naming the line. The text format's long line is
// read through a source, from a file in blocks, and on two threads whose split falls inside it.
TEST(Table, LimitsBoundWhatALoadHolds) {
    const std::string field(kTableLongestField + 1, '7');
    std::string columns;
    for (int32_t c = 0; c <= kTableMostColumns; ++c)
        columns += c == 0 ? "1" : ",1";
    const std::string line = "1 0\n" + std::string(tarn::kLongestLine, '2') + " 0\n";
    struct Case {
        std::string contents;
        int32_t kind;
        int32_t threads;
        std::string why;
    };
    const Case cases[] = {
        {zstd_bytes(field), TABLE_CSV, 1, "line 1, column 1: a field longer than 1 MiB"},
        {zstd_bytes("x,y\n1,0\n2,\"\n" + field + "\"\n"), TABLE_CSV, 1,
         "line 4, column 2 (\"y\"): a field longer than 1 MiB"},
        {zstd_bytes("x\ty\n1\t0\n2\t1" + std::string(kTableLongestRow, '\t')), TABLE_TSV, 1,
         "line 3: a row longer than 64 MiB"},
        {zstd_bytes(columns + "\n"), TABLE_CSV, 1, "line 1: more than 1000000 columns"},
        {zstd_bytes(line), TABLE_TEXT, 1, "line 2 is longer than 64 MiB"},
        {line, TABLE_TEXT, 1, "line 2 is longer than 64 MiB"},
        {line, TABLE_TEXT, 2, "line 2 is longer than 64 MiB"},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents);
        Loaded loaded = load(file.path(), TableFormat{c.kind, nullptr, nullptr, c.threads});
        EXPECT_EQ(loaded.set, nullptr) << c.why;
        EXPECT_EQ(loaded.reports.size(), 1u) << c.why;
        EXPECT_EQ(loaded.names.why, c.why);
    }
    // A line just as long as the reader takes, line feed included, is read.
    TempFile longest(zstd_bytes("1" + std::string(tarn::kLongestLine - 3, ' ') + "0\n"));
    Loaded loaded = load(longest.path(), TABLE_TEXT);
    EXPECT_EQ(rows_of(loaded.set).size(), 1u);
    fvsDestroy(loaded.set);
}

// The text format's refusals of a line, replayed on the text the loader keeps: where and what.
TEST(Table, TextRefusalsSayWhereAndWhat) {
    const std::string far(70000, '\n');  // the refused line lies beyond the text kept
    const std::pair<std::string, std::string> cases[] = {
        {"x y label\n1 2 0\n",
         "line 1, field 1: \"x\" is not a number (a header row? name the file .csv or use -f csv)"},
        {"1,2,0\n3,4,1\n",
         "line 1: a comma must be followed by white space in the text format (use -f csv)"},
        {"# a b c\n1 2 0\n\n3 4 5 1\n6 7\n", "line 5 has 2 values, line 4 has 4"},
        {"1 2 0\n3 NaN 1\n", "line 2: NaN and Inf are accepted on the first data line only"},
        {"1 2 0\n3 4% 1\n5 six 0", "line 3, field 2: \"six\" is not a number"},
        // White space before an item that is not a number is an item of 0, as the reader counts.
        {" ,\n5\n", "line 2 has 1 values, line 1 has 2"},
        {"1 2 0\n\t,\n", "line 2 has 2 values, line 1 has 3"},
        {"1 2 0\n" + far + "1 x 0\n", ""},
    };
    for (const auto& [contents, why] : cases) {
        TempFile file(contents);
        Loaded loaded = load(file.path(), TABLE_TEXT);
        EXPECT_EQ(loaded.set, nullptr) << why;
        EXPECT_EQ(loaded.names.why, why);
        fvsDestroy(loaded.set);
    }
}

// A compressed stream cut short or damaged is a failed load with the decoder's reason, in every
// format: never a shorter data set.
TEST(Table, DamagedCompressedInputIsRefused) {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += std::to_string(i) + ".5 " + std::to_string(i % 2) + "\n";
    const std::string gz = gzip_bytes(text), zst = zstd_bytes(text);
    std::string flipped = gz;
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x55);
    const std::string xz = xz_bytes(text), bz2 = bzip2_bytes(text);
    struct Case {
        std::string contents;
        int32_t kind;
        int32_t check;
        std::string why;
        double memory = -1;
    };
    const Case cases[] = {
        {gz.substr(0, gz.size() / 2), TABLE_TEXT, 1227, "gzip: the compressed stream is cut short"},
        {zst.substr(0, zst.size() / 2), TABLE_TSV, 150, "zstd: the compressed stream is cut short"},
        {gz.substr(0, gz.size() - 4), TABLE_CSV, 150, "gzip: the compressed stream is cut short"},
        {flipped, TABLE_TSV, 150, "gzip: "},
        {xz.substr(0, xz.size() / 2), TABLE_TEXT, 1227, "xz: the compressed stream is cut short"},
        {bz2.substr(0, bz2.size() / 2), TABLE_CSV, 150,
         "bzip2: the compressed stream is cut short"},
        {xz + "trailing text", TABLE_TEXT, 1227, "xz: the compressed data is corrupt"},
        {bz2 + "trailing text", TABLE_CSV, 150, "bzip2: data that is not bzip2 after a stream"},
        {gz + std::string("\0\0\1", 3), TABLE_TEXT, 1227,
         "gzip: bytes other than zero in the padding after the last member"},
        {"PK\x03\x04" + text, TABLE_CSV, 150, "compressed as zip, which tarn does not read"},
        {"7z\xbc\xaf\x27\x1c" + text, TABLE_TEXT, 1227,
         "compressed as 7z, which tarn does not read"},
        {"\x04\x22\x4d\x18" + text, TABLE_TEXT, 1227,
         "compressed as lz4, which tarn does not read"},
        {std::string("\xff\xfe\x31\0,\0\x30\0\n\0", 10), TABLE_CSV, 150,
         "UTF-16 text, which tarn does not read (save it as UTF-8)"},
        {zstd_bytes(std::string("\xfe\xff\0\x31\0 \0\x30\0\n", 10)), TABLE_TEXT, 1227,
         "zstd: UTF-16 text, which tarn does not read (save it as UTF-8)"},
        {gzip_bytes(zst), TABLE_TEXT, 1227,
         "gzip: the decompressed text is compressed again, as zstd; tarn reads one layer"},
        {"\xef\xbb\xbf" + gz, TABLE_CSV, 150,
         "gzip data behind a byte-order mark: the mark belongs inside the compressed text"},
        {zst, TABLE_TEXT, 1227,
         "zstd: the text decompresses to more than the 4096 bytes of memory the run can have",
         4096},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents);
        Loaded loaded =
            load(file.path(), TableFormat{c.kind, nullptr, nullptr, 1, nullptr, c.memory});
        EXPECT_EQ(loaded.set, nullptr) << c.why;
        ASSERT_EQ(loaded.reports.size(), 1u) << c.why;
        EXPECT_EQ(loaded.reports[0].code, 5) << c.why;
        EXPECT_EQ(loaded.reports[0].line, c.check) << c.why;
        EXPECT_EQ(loaded.names.why.rfind(file.path() + ": " + c.why, 0), 0u) << loaded.names.why;
        fvsDestroy(loaded.set);
    }
}

// ---- whole runs ----

std::string sample_rows(const char* separator, bool names) {
    const std::string sample = testkit::read_file(TARN_SOURCE_DIR "/examples/sample.txt");
    std::string out = std::string("x") + separator + "y" + separator + "class\n";
    for (size_t start = 0; start < sample.size();) {
        size_t end = sample.find('\n', start);
        const std::string line = sample.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        char x[32], y[32];
        int label;
        if (std::sscanf(line.c_str(), "%31s %31s %d", x, y, &label) != 3) continue;
        const std::string cls = names ? (label == 1 ? "anomaly" : "normal") : std::to_string(label);
        out += std::string(x) + separator + y + separator + cls + "\n";
    }
    return out;
}

TEST(Formats, TheShippedSampleInEveryFormatGivesTheSameReport) {
    const std::string sample = TARN_SOURCE_DIR "/examples/sample.txt";
    const Outcome reference = run_tarn({"-l", "-k", "10", "-o", "-i", sample});
    ASSERT_EQ(reference.status, 0);
    const std::string csv = sample_rows(",", true);
    TempFile as_csv(csv, ".csv"), as_tsv(sample_rows("\t", false), ".tsv");
    TempFile as_gz(gzip_bytes(csv), ".csv.gz");
    TempFile as_zst(zstd_bytes(testkit::read_file(sample)), ".zst");
    const std::vector<std::vector<std::string>> runs = {
        {"-i", as_csv.path()},
        {"-i", as_tsv.path()},
        {"-i", as_gz.path()},
        {"-i", as_zst.path()},
        {"-f", "csv", "-L", "class", "-F", "y,x", "-i", as_csv.path()}};
    for (const std::vector<std::string>& run : runs) {
        std::vector<std::string> args = {"-l", "-k", "10", "-o"};
        args.insert(args.end(), run.begin(), run.end());
        const Outcome outcome = run_tarn(args);
        // Features in another order measure the same distances: the same report.
        EXPECT_EQ(outcome.out, reference.out) << args.back();
        EXPECT_EQ(outcome.err, "") << args.back();
        EXPECT_EQ(outcome.status, 0) << args.back();
    }
    const Outcome piped = run_tarn({"-l", "-k", "10", "-o", "-f", "csv", "-i", "-"}, csv);
    EXPECT_EQ(piped.out, reference.out);
    const Outcome piped_gz =
        run_tarn({"-l", "-k", "10", "-o", "-i", "-"}, gzip_bytes(testkit::read_file(sample)));
    EXPECT_EQ(piped_gz.out, reference.out);
}

// Fisher's iris data as shipped (CSV, a header, class names) and rewritten as a user may have
// it: text with class numbers, TSV with the label first, compressed, piped.
TEST(Formats, IrisInEveryFormatGivesTheSameReport) {
    const std::string iris = testkit::read_file(TARN_SOURCE_DIR "/examples/iris.csv");
    std::string text, tsv, unlabelled;
    std::vector<std::string> classes;
    for (size_t start = iris.find('\n') + 1; start < iris.size();) {
        const size_t end = iris.find('\n', start);
        std::string line = iris.substr(start, end - start);
        start = end + 1;
        const size_t last = line.rfind(',');
        const std::string name = line.substr(last + 1);
        std::string features = line.substr(0, last);
        size_t cls = std::find(classes.begin(), classes.end(), name) - classes.begin();
        if (cls == classes.size()) classes.push_back(name);
        std::string spaced = features;
        std::replace(spaced.begin(), spaced.end(), ',', ' ');
        text += spaced + " " + std::to_string(cls) + "\n";
        unlabelled += spaced + " 0\n";
        std::replace(features.begin(), features.end(), ',', '\t');
        tsv += name + "\t" + features + "\n";
    }
    ASSERT_EQ(classes.size(), 3u);
    TempFile as_text(text, ".txt"), as_tsv(tsv, ".tsv"), as_gz(gzip_bytes(iris), ".csv.gz");
    TempFile as_csv(iris, ".csv");
    const Outcome reference = run_tarn({"-l", "-k", "10", "-o", "-i", as_text.path()});
    ASSERT_EQ(reference.status, 0);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-i", as_csv.path()},
                                                 {"-L", "1", "-i", as_tsv.path()},
                                                 {"-i", as_gz.path()},
                                                 {"-f", "csv", "-i", "-"}}) {
        std::vector<std::string> run = {"-l", "-k", "10", "-o"};
        run.insert(run.end(), args.begin(), args.end());
        const Outcome outcome = run_tarn(run, iris);
        EXPECT_EQ(outcome.out, reference.out) << args.back();
        EXPECT_EQ(outcome.status, 0) << args.back();
    }
    // Without its label column iris keeps all four features: -L none, the names left out.
    TempFile as_unlabelled(unlabelled);
    EXPECT_EQ(run_tarn({"-l", "-k", "10", "-L", "none", "-F", "1,2,3,4", "-i", as_csv.path()}).out,
              run_tarn({"-l", "-k", "10", "-i", as_unlabelled.path()}).out);
}

TEST(Formats, ClassNamesInTheEvaluationAndThePicture) {
    TempFile csv(sample_rows(",", true), ".csv"), svg("", ".svg");
    const Outcome named = run_tarn(
        {"-l", "-k", "10", "-T", "2", "-e", "-P", "anomaly", "-g", svg.path(), "-i", csv.path()});
    EXPECT_EQ(named.status, 0);
    EXPECT_NE(named.err.find("marked: 16, labelled outliers (label anomaly): 8\n"),
              std::string::npos)
        << named.err;
    const std::string picture = svg.read();
    EXPECT_NE(picture.find(">x</text>"), std::string::npos);
    EXPECT_NE(picture.find(">y</text>"), std::string::npos);
    EXPECT_NE(picture.find("label anomaly (8)"), std::string::npos);
    EXPECT_NE(picture.find("label normal, score"), std::string::npos);

    const Outcome unknown = run_tarn({"-e", "-P", "anomalous", "-i", csv.path()});
    EXPECT_EQ(unknown.out, "-P anomalous names no class of the input\n");
    EXPECT_EQ(unknown.status, 255);
}

TEST(Formats, RefusalsAndWarningsOnStandardError) {
    struct Case {
        std::string contents;
        std::string suffix;
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    };
    const Case cases[] = {
        {"x,y,z\n1,NA,0\n",
         ".csv",
         {},
         "Cannot load vectors from %\n",
         "table.c (70): error 6 (Invalid file format)\n"
         "line 2, column 2 (\"y\"): \"NA\" is not a number (a missing value: --na drop leaves "
         "such rows out)\n",
         255},
        {"1 2 0\n3 4 0.25\n5 6 1\n",
         ".txt",
         {},
         "0.000000 0\n0.000000 0\n0.000000 1\n",
         "tarn: the last column is read as the label, but line 2 holds 0.25 there; if the file "
         "has no label column, use -L none\n",
         0},
        {"1 2 0\n3 4 0.25\n5 6 1\n",
         ".txt",
         {"-L", "none"},
         "0.000000 0\n0.000000 0\n0.000000 0\n",
         "",
         0},
        {" ,\n5\n",
         ".txt",
         {},
         "Cannot load vectors from %\n",
         "Problem in line 2\nfvector.c (1224): error 6 (Invalid file format)\n"
         "line 2 has 1 values, line 1 has 2\n",
         255},
        // A control byte of the file reaches the message escaped, never the terminal.
        {"1 \x1b[31mred 0\n",
         ".txt",
         {},
         "Cannot load vectors from %\n",
         "Problem in line 1\nfvector.c (1224): error 6 (Invalid file format)\n"
         "line 1, field 2: \"\\x1b[31mred\" is not a number (a header row? name the file .csv or "
         "use -f csv)\n",
         255},
        {"PK\x03\x04\x14",
         ".csv",
         {},
         "Cannot load vectors from %\n",
         "table.c (150): error 5 (Can't load file): %\n"
         "%: compressed as zip, which tarn does not read\n",
         255},
    };
    for (const Case& c : cases) {
        TempFile file(c.contents, c.suffix);
        std::vector<std::string> args = {"-k", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"-i", file.path()});
        const Outcome outcome = run_tarn(args);
        std::string out = c.out, err = c.err;
        for (std::string* text : {&out, &err}) {
            for (size_t at; (at = text->find('%')) != std::string::npos;)
                text->replace(at, 1, file.path());
        }
        EXPECT_EQ(outcome.out, out) << c.contents;
        EXPECT_EQ(outcome.err, err) << c.contents;
        EXPECT_EQ(outcome.status, c.status) << c.contents;
    }
}

}  // namespace
