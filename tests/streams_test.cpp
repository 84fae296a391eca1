// Process-level tests of where a run reads and writes: input from standard input, pipes, FIFOs
// and process substitution, and a report that cannot be written whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using testkit::Outcome;
using testkit::run_tarn;
using testkit::TempFile;

// Runs a bash command line; $TARN is the binary, $IN and $DIR name a file and a scratch folder.
Outcome run_shell(const std::string& command, const std::string& in = "",
                  const std::string& dir = "") {
    return testkit::run_in_child([&] {
        setenv("TARN", TARN_BINARY, 1);
        setenv("IN", in.c_str(), 1);
        setenv("DIR", dir.c_str(), 1);
        execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char*>(nullptr));
        std::perror("bash");
        _exit(127);
    });
}

// Six vectors of 400 features and a label: every line is longer than the reader's first line
// buffer of 1024 characters.
std::string long_lines() {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> value(0.0, 10.0);
    std::string text = "# six long vectors\n";
    char number[32];
    for (int row = 0; row < 6; ++row) {
        for (int i = 0; i < 400; ++i) {
            std::snprintf(number, sizeof number, "%.6f ", value(random));
            text += number;
        }
        text += std::to_string(row % 2) + "\n";
    }
    return text;
}

TEST(Input, EveryKindOfStreamGivesTheReportOfTheFile) {
    TempFile file(long_lines());
    const Outcome reference = run_tarn({"-l", "-k", "2", "-i", file.path()});
    ASSERT_EQ(reference.status, 0);
    ASSERT_EQ(reference.err, "");
    ASSERT_EQ(std::count(reference.out.begin(), reference.out.end(), '\n'), 6);

    char dir_pattern[] = "/tmp/tarn-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dir_pattern), nullptr);
    const std::string dir = dir_pattern;
    const std::string flags = "\"$TARN\" -l -k 2 -i ";
    const std::vector<std::string> commands = {
        "cat \"$IN\" | " + flags + "-",
        flags + "- < \"$IN\"",
        "cat \"$IN\" | " + flags + "/dev/stdin",
        flags + "<(cat \"$IN\")",
        "mkfifo \"$DIR/fifo\" && { cat \"$IN\" > \"$DIR/fifo\" & } && " + flags + "\"$DIR/fifo\"",
    };
    for (const std::string& command : commands) {
        const Outcome outcome = run_shell(command, file.path(), dir);
        EXPECT_EQ(outcome.out, reference.out) << command;
        EXPECT_EQ(outcome.err, "") << command;
        EXPECT_EQ(outcome.status, 0) << command;
    }
    std::remove((dir + "/fifo").c_str());
    rmdir(dir.c_str());
}

TEST(Input, StandardInputThatCannotBeLoadedIsNamed) {
    struct Case {
        std::string command;
        std::string err;
    };
    const Case cases[] = {
        {"printf '# nothing\\n' | \"$TARN\" -i -", "fvector.c (1207): error 7 (Empty file)\n"},
        {"printf '1 0\\n2, 0\\n3,0\\n' | \"$TARN\" -i -",
         "Problem in line 3\nfvector.c (1224): error 6 (Invalid file format)\n"
         "line 3: a comma must be followed by white space in the text format (use -f csv)\n"},
        {"\"$TARN\" -i - <&-", "fvector.c (1227): error 5 (Can't load file): standard input\n"},
        // Endless input that is refused ends the run: the rest is not read.
        {"\"$TARN\" -f csv -i - < /dev/zero",
         "table.c (180): error 6 (Invalid file format)\nline 1 holds a NUL byte\n"},
        {"yes '1 2 0' | sed '3s/.*/1 2 0 x/' | \"$TARN\" -i -",
         "Problem in line 3\nfvector.c (1224): error 6 (Invalid file format)\n"
         "line 3, field 4: \"x\" is not a number\n"},
        {"yes '1,2,0' | sed '3s/.*/1,2/' | \"$TARN\" -f csv -i -",
         "table.c (90): error 6 (Invalid file format)\nline 3 has 2 values, line 1 has 3\n"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = run_shell("timeout 60 " + c.command);
        EXPECT_EQ(outcome.out, "Cannot load vectors from standard input\n") << c.command;
        EXPECT_EQ(outcome.err, c.err) << c.command;
        EXPECT_EQ(outcome.status, 255) << c.command;
    }
}

TEST(Input, ReadErrorOfAFileFailsTheLoad) {
    // A folder opens for reading, but every read of it fails: no vector, and no empty file.
    const Outcome outcome = run_tarn({"-i", "/"});
    EXPECT_EQ(outcome.out, "Cannot load vectors from /\n");
    EXPECT_EQ(outcome.err, "fvector.c (1227): error 5 (Can't load file): /\n");
    EXPECT_EQ(outcome.status, 255);
}

// The report, the usage text of --help and the version are results: lost, they fail the run.
TEST(Output, TextThatCannotBeWrittenIsAFailure) {
    TempFile file("0 0\n1 0\n3 0\n10 1\n");
    struct Case {
        std::string command;
        std::string err;
    };
    const std::string report = "-l -k 1 -i \"$IN\" ";
    const std::string lost = "tarn: cannot write the ";
    const Case cases[] = {
        {report + "> /dev/full", lost + "report to standard output: No space left on device\n"},
        {report + ">&-", lost + "report to standard output: Bad file descriptor\n"},
        // open, but for reading only
        {report + "1< \"$IN\"", lost + "report to standard output: Bad file descriptor\n"},
        {"--help > /dev/full", lost + "help to standard output: No space left on device\n"},
        {"--help >&-", lost + "help to standard output: Bad file descriptor\n"},
        {"--version > /dev/full", lost + "version to standard output: No space left on device\n"},
        {"-l --version 1< \"$IN\"", lost + "version to standard output: Bad file descriptor\n"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = run_shell("\"$TARN\" " + c.command, file.path());
        EXPECT_EQ(outcome.err, c.err) << c.command;
        EXPECT_EQ(outcome.status, 255) << c.command;
    }
}

TEST(Output, AReaderThatLeavesEarlyEndsTheRunQuietly) {
    // A report far bigger than a pipe's buffer, so that it cannot all be written before head
    // has gone.
    std::string text;
    for (int i = 0; i < 12000; ++i)
        text += std::to_string(i % 97) + " " + std::to_string(i % 89) + " 0\n";
    TempFile file(text);
    struct Case {
        std::string setup;
        int status;  // killed by SIGPIPE, or status -1 after EPIPE when SIGPIPE is ignored
    };
    const Case cases[] = {{"", 128 + 13}, {"trap '' PIPE; ", 255}};
    for (const Case& c : cases) {
        const Outcome outcome = run_shell(
            c.setup + "\"$TARN\" -i \"$IN\" | head -n 2; exit ${PIPESTATUS[0]}", file.path());
        EXPECT_EQ(outcome.out, "0.000000 0\n0.000000 0\n") << c.setup;
        EXPECT_EQ(outcome.err, "") << c.setup;
        EXPECT_EQ(outcome.status, c.status) << c.setup;
    }
}

}  // namespace
