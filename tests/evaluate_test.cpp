// Evaluation against the labels: the ranking measures with their tie rules, and the exact
// summary a run prints on standard error.
#include "driver/evaluate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using namespace tarn;

using testkit::Outcome;
using testkit::run_tarn;
using testkit::TempFile;

const double kNan = NAN;
const double kInf = INFINITY;

struct Measures {
    double auc, ap, precision;
};

Measures measure(const std::vector<double>& score, const std::vector<int32_t>& positive) {
    int32_t n = static_cast<int32_t>(score.size());
    return {roc_auc(score.data(), positive.data(), n),
            average_precision(score.data(), positive.data(), n),
            precision_at_positives(score.data(), positive.data(), n)};
}

// Equal, or both not-a-number (undefined).
void expect_same(double actual, double expected, const char* what, size_t row) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << what << " row " << row << ": " << actual;
    } else {
        EXPECT_DOUBLE_EQ(actual, expected) << what << " row " << row;
    }
}

struct MeasureCase {
    std::vector<double> score;  // higher is more outlying
    std::vector<int32_t> positive;
    Measures expected;
};

// Figures computed by hand from the definitions in driver/evaluate.h.
const MeasureCase kMeasureCases[] = {
    // Perfect and reversed rankings without ties. Reversed: positives at ranks 3 and 4 give
    // precisions 1/3 and 2/4.
    {{4, 3, 2, 1}, {1, 1, 0, 0}, {1.0, 1.0, 1.0}},
    {{4, 3, 2, 1}, {0, 0, 1, 1}, {0.0, (1.0 / 3 + 0.5) / 2, 0.0}},
    // A tie group of three (one positive) across the cut at m = 2: pairs 3 + (0.5 + 0.5 + 1)
    // over 6; AP (1 × 1/1 + 1 × 2/4) / 2; the last place of the top 2 is worth 1/3.
    {{3, 2, 2, 2, 1}, {1, 1, 0, 0, 0}, {5.0 / 6, 0.75, (1 + 1.0 / 3) / 2}},
    // Everything tied: a coin toss.
    {{1, 1, 1, 1}, {1, 0, 0, 0}, {0.5, 0.25, 0.25}},
    // Not-a-number ranks below -infinity.
    {{kNan, 1, -kInf}, {1, 0, 0}, {0.0, 1.0 / 3, 0.0}},
    // Not-a-number scores tie with each other; infinity is a score like any other.
    {{kNan, kNan, kInf}, {1, 0, 1}, {0.75, (1 + 2.0 / 3) / 2, 0.75}},
    {{kInf, kInf, 0}, {1, 0, 0}, {0.75, 0.5, 0.5}},
    // Undefined without positives, with only positives, and without items.
    {{1, 2}, {0, 0}, {kNan, kNan, kNan}},
    {{1, 2}, {1, 1}, {kNan, kNan, kNan}},
    {{}, {}, {kNan, kNan, kNan}},
};

TEST(RankingMeasures, HandComputedFiguresWithTies) {
    for (size_t row = 0; row < std::size(kMeasureCases); ++row) {
        const MeasureCase& c = kMeasureCases[row];
        Measures m = measure(c.score, c.positive);
        expect_same(m.auc, c.expected.auc, "ROC AUC", row);
        expect_same(m.ap, c.expected.ap, "average precision", row);
        expect_same(m.precision, c.expected.precision, "precision at positives", row);
    }
}

TEST(RankingMeasures, ItemOrderDoesNotMatter) {
    // Ties are treated as groups, never broken by position, so every order gives the same bits.
    std::mt19937 random(7);
    for (size_t row = 0; row < std::size(kMeasureCases); ++row) {
        MeasureCase c = kMeasureCases[row];
        Measures before = measure(c.score, c.positive);
        for (int round = 0; round < 5; ++round) {
            std::vector<size_t> order(c.score.size());
            for (size_t i = 0; i < order.size(); ++i)
                order[i] = i;
            std::shuffle(order.begin(), order.end(), random);
            std::vector<double> score;
            std::vector<int32_t> positive;
            for (size_t i : order) {
                score.push_back(c.score[i]);
                positive.push_back(c.positive[i]);
            }
            Measures after = measure(score, positive);
            expect_same(after.auc, before.auc, "ROC AUC", row);
            expect_same(after.ap, before.ap, "average precision", row);
            expect_same(after.precision, before.precision, "precision at positives", row);
        }
    }
}

TEST(RankingMeasures, AucMatchesPairCountingOnRandomTiedScores) {
    std::mt19937 random(11);
    for (int round = 0; round < 50; ++round) {
        int32_t n = 2 + static_cast<int32_t>(random() % 60);
        std::vector<double> score;
        std::vector<int32_t> positive;
        for (int32_t i = 0; i < n; ++i) {
            uint32_t draw = random() % 8;  // few distinct values, so many ties, and some NaN
            score.push_back(draw == 7 ? kNan : static_cast<double>(draw));
            positive.push_back(random() % 3 == 0 ? 1 : 0);
        }
        double wins = 0;
        double pairs = 0;
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t j = 0; j < n; ++j) {
                if (positive[i] != 1 || positive[j] != 0) continue;
                double a = std::isnan(score[i]) ? -kInf : score[i];
                double b = std::isnan(score[j]) ? -kInf : score[j];
                // No drawn value is -infinity, so NaN can stand below everything here.
                pairs += 1;
                wins += a > b ? 1.0 : a == b ? 0.5 : 0.0;
            }
        }
        double expected = pairs == 0 ? kNan : wins / pairs;
        expect_same(roc_auc(score.data(), positive.data(), n), expected, "ROC AUC", 0);
    }
}

// Whole runs with -e: figures computed by hand for four points on a line and variants.
// Neighbours of 0, 1, 3, 10: with k = 1 they are 1, 0, 1, 3 (in-degrees 1, 2, 1, 0); with
// k = 2 they are {1, 3}, {0, 3}, {1, 0}, {3, 1} (in-degrees 2, 3, 3, 0; -X values 3, 0, 0,
// and +infinity for the vector nobody keeps; threshold 8T − 1). Local outlier factors with
// k = 1: 1, 1, 2, 3.5.
TEST(EvaluationSummary, ExactLinesOnStandardError) {
    struct Case {
        std::string contents;
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {"0 0\n1 0\n3 0\n10 1\n",
         {"-k", "1"},
         "rule: in-degree, n: 4, k: 1\n"
         "marked: 1, labelled outliers (label 1): 1\n"
         "TP: 1, FP: 0, FN: 0, TN: 3\n"
         "precision: 1.000000, recall: 1.000000, F1: 1.000000\n"
         "ranking score: in-degree after construction, lower is more outlying\n"
         "ROC AUC: 1.000000, average precision: 1.000000, precision at 1: 1.000000\n"},
        // The outlier at 3 ties with 0 at in-degree 1 below the unkept 10: AUC (0 + ½ + 1) / 3,
        // AP 1 / 3 (the tie group ends at rank 3), and the top place holds 10.
        {"0 0\n1 0\n3 1\n10 0\n",
         {"-k", "1", "-I", "1"},
         "rule: in-degree, n: 4, k: 1\n"
         "marked: 3, labelled outliers (label 1): 1\n"
         "TP: 1, FP: 2, FN: 0, TN: 1\n"
         "precision: 0.333333, recall: 1.000000, F1: 0.500000\n"
         "ranking score: in-degree after construction, lower is more outlying\n"
         "ROC AUC: 0.500000, average precision: 0.333333, precision at 1: 0.000000\n"},
        // The outlier at 3 scores 0 like 1, below 10 (infinity) and 0 (3).
        {"0 0\n1 0\n3 1\n10 0\n",
         {"-k", "2", "-X", "-T", "0.375"},
         "rule: maximum incoming distance, n: 4, k: 2\n"
         "marked: 2, labelled outliers (label 1): 1\n"
         "TP: 0, FP: 2, FN: 1, TN: 1\n"
         "precision: 0.000000, recall: 0.000000, F1: 0.000000\n"
         "ranking score: (k / in-degree) * largest incoming distance, higher is more outlying\n"
         "ROC AUC: 0.166667, average precision: 0.250000, precision at 1: 0.000000\n"},
        // -P 0: three outliers scoring 1, 1, 2 below the inlier's 3.5.
        {"0 0\n1 0\n3 0\n10 1\n",
         {"-k", "1", "-l", "-P", "0"},
         "rule: local outlier factor, n: 4, k: 1\n"
         "marked: 4, labelled outliers (label 0): 3\n"
         "TP: 3, FP: 1, FN: 0, TN: 0\n"
         "precision: 0.750000, recall: 1.000000, F1: 0.857143\n"
         "ranking score: local outlier factor, higher is more outlying\n"
         "ROC AUC: 0.000000, average precision: 0.666667, precision at 3: 0.666667\n"},
        // Three equal points score not-a-number and rank below the far point's infinity.
        {"0 0 1\n0 0 0\n0 0 0\n5 0 0\n",
         {"-k", "2", "-l"},
         "rule: local outlier factor, n: 4, k: 2\n"
         "marked: 1, labelled outliers (label 1): 1\n"
         "TP: 0, FP: 1, FN: 1, TN: 2\n"
         "precision: 0.000000, recall: 0.000000, F1: 0.000000\n"
         "ranking score: local outlier factor, higher is more outlying\n"
         "ROC AUC: 0.333333, average precision: 0.250000, precision at 1: 0.000000\n"},
        // No vector carries the outlier label.
        {"0 0\n1 0\n3 0\n10 1\n",
         {"-k", "1", "-m", "-P", "5"},
         "rule: mutual k-nearest neighbours, n: 4, k: 1\n"
         "marked: 2, labelled outliers (label 5): 0\n"
         "TP: 0, FP: 2, FN: 0, TN: 2\n"
         "precision: 0.000000, recall: undefined, F1: 0.000000\n"
         "ranking score: in-degree after pruning, lower is more outlying\n"
         "ROC AUC: undefined, average precision: undefined, precision at 0: undefined\n"},
        // Every vector carries it; -M's value 2 for 0 equals the threshold and does not mark.
        {"0 7\n1 7\n3 7\n10 7\n",
         {"-k", "2", "-M", "-T", "0.375", "-P", "7"},
         "rule: mean incoming distance, n: 4, k: 2\n"
         "marked: 1, labelled outliers (label 7): 4\n"
         "TP: 1, FP: 0, FN: 3, TN: 0\n"
         "precision: 1.000000, recall: 0.250000, F1: 0.400000\n"
         "ranking score: (k / in-degree) * incoming distance sum / k, higher is more outlying\n"
         "ROC AUC: undefined, average precision: undefined, precision at 4: undefined\n"},
        // Neither marks nor labelled outliers: every vertex keeps both others.
        {"0 0\n1 0\n3 0\n",
         {"-k", "2"},
         "rule: in-degree, n: 3, k: 2\n"
         "marked: 0, labelled outliers (label 1): 0\n"
         "TP: 0, FP: 0, FN: 0, TN: 3\n"
         "precision: undefined, recall: undefined, F1: undefined\n"
         "ranking score: in-degree after construction, lower is more outlying\n"
         "ROC AUC: undefined, average precision: undefined, precision at 0: undefined\n"},
    };
    for (const Case& c : cases) {
        TempFile input(c.contents);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", input.path()});
        Outcome plain = run_tarn(args);
        args.push_back("-e");
        Outcome evaluated = run_tarn(args);
        EXPECT_EQ(evaluated.err, c.err) << ::testing::PrintToString(c.args);
        EXPECT_EQ(evaluated.out, plain.out);  // the report itself is untouched
        EXPECT_EQ(evaluated.status, 0);
    }
}

TEST(EvaluationSummary, CombinesWithMarksAndComesAfterTheReport) {
    TempFile input("0 0\n1 0\n3 0\n10 1\n");
    Outcome outcome = run_tarn({"-e", "-o", "-k", "1", "-i", input.path()});
    EXPECT_EQ(outcome.out, "0.000000 0 0\n0.000000 0 0\n0.000000 0 0\n0.000000 1 1\n");
    EXPECT_EQ(outcome.err.substr(0, 28), "rule: in-degree, n: 4, k: 1\n");
    // A stop before the report prints no summary either.
    Outcome stopped = run_tarn({"-e", "-k", "4", "-i", input.path()});
    EXPECT_EQ(stopped.err, "");
    EXPECT_EQ(stopped.status, 255);
}

}  // namespace
