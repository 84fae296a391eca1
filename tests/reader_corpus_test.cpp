// Replays the committed fuzz corpus through the fuzz target's own checks, so that every run of
// the suite re-checks the inputs the fuzzer found interesting.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/reader_check.h"
#include "fuzz/table_check.h"
#include "tests/testkit.h"

namespace {

TEST(ReaderCorpus, EveryInputKeepsTheReaderAndLoaderPromises) {
    const std::filesystem::path corpus =
        std::filesystem::path(TARN_SOURCE_DIR) / "fuzz/corpus/reader";
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string bytes = testkit::read_file(entry.path().string());
        std::string broken;
        // The loader writes "Problem in line" for the inputs it refuses; keep the log clean.
        testkit::capture_stderr([&] {
            broken =
                check_reader_input(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        });
        EXPECT_EQ(broken, "") << entry.path().filename();
        ++inputs;
    }
    EXPECT_GT(inputs, 50u);  // the corpus is there, not an empty folder
}

TEST(TableCorpus, EveryInputKeepsTheTableLoaderPromises) {
    const std::filesystem::path corpus =
        std::filesystem::path(TARN_SOURCE_DIR) / "fuzz/corpus/table";
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string bytes = testkit::read_file(entry.path().string());
        std::string broken;
        testkit::capture_stderr([&] {
            broken =
                check_table_input(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        });
        EXPECT_EQ(broken, "") << entry.path().filename();
        ++inputs;
    }
    EXPECT_GT(inputs, 5u);
}

}  // namespace
