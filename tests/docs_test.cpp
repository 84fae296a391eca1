// The README and the manual page document every option the usage text lists, long ones too.
#include <gtest/gtest.h>

#include <filesystem>
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
    // The long options too: a row each in the README, a paragraph each in the manual page.
    static const std::regex long_option(" --([a-z-]+)");
    int long_options = 0;
    for (std::sregex_iterator at(usage.begin(), usage.end(), long_option), end; at != end; ++at) {
        const std::string name = (*at)[1];
        std::string escaped;
        for (const char c : name)
            escaped += c == '-' ? std::string("\\-") : std::string(1, c);
        ++long_options;
        EXPECT_NE(readme.find("| `--" + name), std::string::npos) << "README lacks --" << name;
        EXPECT_TRUE(manual.find(".B \\-\\-" + escaped + "\n") != std::string::npos ||
                    manual.find(".BI \\-\\-" + escaped + " ") != std::string::npos)
            << "tarn.1 lacks --" << name;
    }
    EXPECT_GE(long_options, 9);
}

// Every test the reliability table names exists: a row cannot point at a test that is gone.
TEST(Documentation, TheReliabilityTableNamesTestsThatExist) {
    const std::string table = testkit::read_file(TARN_SOURCE_DIR "/doc/reliability.md");
    std::string tests;
    for (const auto& entry : std::filesystem::directory_iterator(TARN_SOURCE_DIR "/tests"))
        tests += testkit::read_file(entry.path().string());
    tests += testkit::read_file(TARN_SOURCE_DIR "/python/tests/test_tarn.py");
    tests += testkit::read_file(TARN_SOURCE_DIR "/tests/mpi_compare.py");
    ASSERT_FALSE(table.empty());
    static const std::regex named(
        "`(([A-Z][A-Za-z]+)\\.([A-Z][A-Za-z]+|\\*)|test_[a-z_]+|[a-z]+_check)`");
    int rows = 0;
    for (std::sregex_iterator m(table.begin(), table.end(), named), end; m != end; ++m, ++rows) {
        const std::string suite = (*m)[2], name = (*m)[3];
        const std::string wanted = suite.empty()
                                       ? (*m)[1].str() + "("
                                       : "TEST(" + suite + (name == "*" ? "" : ", " + name);
        EXPECT_NE(tests.find(wanted), std::string::npos) << (*m)[1];
    }
    EXPECT_GE(rows, 40);
}

}  // namespace
