// The shape of a table's first lines: the delimiter each sample gets, and what a field holds.
#include <gtest/gtest.h>

#include <string>

#include "vectors/tableshape.h"

namespace {

TEST(TableShape, TheDelimiterSplitsTheRowsAlike) {
    struct Case {
        std::string sample;
        bool prefer_tab;
        unsigned char delimiter;
    };
    const Case cases[] = {
        {"x,y,class\n1,2,a\n3,4,b\n", false, ','},
        {"x;y;class\n1,5;2;a\n3;4,5;b\n", false, ';'},  // decimal commas, not delimiters
        {"a;b\n1,5;2,5\n3,5;4,5\n", false, ';'},        // as many commas in every row
        {"x\ty\n1\t2\n", false, '\t'},                  // a .csv name with tabs
        {"Chins Situps Jumps\n5 162 60\n2  110\t60\n", false, kShapeWhiteSpace},
        {"\"a\" \"b\"\n\"New York\" 1 2\n\"c\" 3 4\n", false, kShapeWhiteSpace},  // R's header
        {"x\ty\tname\n1\t2\tNew York\n3\t4\tParis\n", false, '\t'},  // a tab over a blank
        {"x,y\n1,2\n", true, ','},                                   // a .tsv name with commas
        {"x\ty\n1\t2\n", true, '\t'},
        {"178,13,c0,c1\n1,2,3,4,5,6,7,8,9,10,11,12,13,0\n2,2,3,4,5,6,7,8,9,10,11,12,13,1\n", false,
         ','},                                   // a note before the rows
        {"\"a,b\",c\n\"1,5\",2\n", false, ','},  // quoted delimiters
        {"value\n1\n2\n", false, ','},           // one column: the old rule
        {"a;b\n", false, ';'},
        {"value\n1\n", true, '\t'},
        {"1 2 3\n4 5 6\n7 8", false, kShapeWhiteSpace},  // the last record unfinished
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shapeDelimiter(c.sample, true, c.prefer_tab), c.delimiter) << c.sample;
    }
}

TEST(TableShape, AFieldIsANumberAMissingValueOrText) {
    struct Case {
        std::string field;
        bool decimal_comma;
        int32_t kind;
        double value;  // for a number
    };
    const Case cases[] = {
        {"3.9", false, SHAPE_NUMBER, 3.9}, {"3,9", true, SHAPE_NUMBER, 3.9},
        {"3,9", false, SHAPE_TEXT, 0},     {"1.234,5", true, SHAPE_TEXT, 0},
        {"1,2,3", true, SHAPE_TEXT, 0},    {" 50% ", false, SHAPE_NUMBER, 0.5},
        {"NaN", false, SHAPE_NUMBER, 0},   {"NA", false, SHAPE_MISSING, 0},
        {"", false, SHAPE_MISSING, 0},     {" ? ", false, SHAPE_MISSING, 0},
        {"#N/A", false, SHAPE_MISSING, 0}, {"<NA>", false, SHAPE_MISSING, 0},
        {"null", true, SHAPE_MISSING, 0},  {"None", false, SHAPE_TEXT, 0},
        {"NAN", false, SHAPE_NUMBER, 0},   {"setosa", false, SHAPE_TEXT, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(shapeField(c.field, c.decimal_comma), c.kind) << c.field;
        double value = 0;
        const bool number = shapeNumber(c.field.c_str(), c.field.size(), c.decimal_comma, &value);
        EXPECT_EQ(number, c.kind == SHAPE_NUMBER) << c.field;
        if (number && c.value != 0) {
            EXPECT_EQ(value, c.value) << c.field;
        }
    }
    EXPECT_TRUE(shapeMissing("NaN"));  // a number, and a missing value to --na drop
}

}  // namespace
