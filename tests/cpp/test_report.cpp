// The numbers every training driver reports: the pass mean and its
// six-decimal text.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report/training_report.hpp"

namespace {

namespace report = tarvinex::report;

TEST(TrainingReport, FormatsSixDecimalsAndNamesTheValuesWithoutDigits) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0.000000"},
        {-0.0, "-0.000000"},
        {1.5, "1.500000"},
        {2.0 / 3.0, "0.666667"},
        {1e20, "100000000000000000000.000000"},
        {-1e-7, "-0.000000"},
        {inf, "inf"},
        {-inf, "-inf"},
        {std::nan(""), "NaN"},
        {-std::nan(""), "NaN"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(report::format_fixed6(c.value), c.text);
    }
}

TEST(TrainingReport, MeanStartsFromNegativeZeroInRowOrder) {
    EXPECT_TRUE(std::signbit(report::mean_distance(std::vector<float>{-0.0F, -0.0F})));
    EXPECT_EQ(report::mean_distance(std::vector<float>{1.0F, 2.0F, 4.0F}), 7.0 / 3.0);
    // Summed in double: 2^24 + 1 is not a float, but the double sum keeps it.
    EXPECT_EQ(report::mean_distance(std::vector<float>{16777216.0F, 1.0F}), 16777217.0 / 2.0);
    EXPECT_TRUE(std::isnan(report::mean_distance(std::vector<float>{1.0F, std::nanf("")})));
}

}  // namespace
