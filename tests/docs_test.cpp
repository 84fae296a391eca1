// The README and the manual page document every option the usage text lists.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>

#include "tests/testkit.h"

namespace {

TEST(Documentation, EveryOptionOfTheUsageTextIsDocumented) {
    const std::string usage = testkit::run_tarn({}).out;
    const std::string readme = testkit::read_file(TARN_SOURCE_DIR "/README.md");
    const std::string manual = testkit::read_file(TARN_SOURCE_DIR "/doc/tarn.1");
    ASSERT_FALSE(readme.empty());
    ASSERT_FALSE(manual.empty());
    static const std::regex option_line("^(usage: tarn)? +-([A-Za-z]) ");
    std::istringstream lines(usage);
    int options = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, option_line)) continue;
        const std::string letter = m[2];
        ++options;
        // An options-table row in the README, an option paragraph in the manual page.
        EXPECT_NE(readme.find("| `-" + letter), std::string::npos) << "README lacks -" << letter;
        EXPECT_TRUE(manual.find(".B \\-" + letter + "\n") != std::string::npos ||
                    manual.find(".BI \\-" + letter + " ") != std::string::npos)
            << "tarn.1 lacks -" << letter;
    }
    EXPECT_GE(options, 12);
}

}  // namespace
