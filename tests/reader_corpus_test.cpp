// Replays the committed fuzz corpora through the fuzz targets' own checks, so that every run of
// the suite re-checks the inputs the fuzzer found interesting.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/reader_check.h"
#include "fuzz/table_check.h"
#include "tests/testkit.h"

namespace {

using Check = std::string (*)(const uint8_t* data, size_t size);

// Runs check on every file of the corpus folder; returns how many there were.
size_t replay(const char* folder, Check check) {
    const std::filesystem::path corpus = std::filesystem::path(TARN_SOURCE_DIR) / folder;
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        const std::string bytes = testkit::read_file(entry.path().string());
        std::string broken;
        // The loaders write "Problem in line" for the inputs they refuse; keep the log clean.
        testkit::capture_stderr(
            [&] { broken = check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); });
        EXPECT_EQ(broken, "") << entry.path().filename();
        ++inputs;
    }
    return inputs;
}

TEST(ReaderCorpus, EveryInputKeepsTheReaderAndLoaderPromises) {
    EXPECT_GT(replay("fuzz/corpus/reader", check_reader_input), 50u);  // not an empty folder
}

TEST(TableCorpus, EveryInputKeepsTheTableLoaderPromises) {
    EXPECT_GT(replay("fuzz/corpus/table", check_table_input), 5u);
}

}  // namespace
