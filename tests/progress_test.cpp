// The progress line: its text, and through a pseudo-terminal that it shows on long runs, is
// cleared at the end, and never reaches standard error when that is not a terminal.
#include "driver/progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using namespace tarn;

using testkit::Outcome;
using testkit::TempFile;

TEST(ProgressText, ShareDoneAndTimeLeftRoundedUp) {
    struct Case {
        int32_t done, total;
        double elapsed;
        const char* text;
    };
    const Case cases[] = {
        {1, 4, 2.0, "tarn: neighbour graph  25% done, 6 s left"},
        {99, 100, 0.5, "tarn: neighbour graph  99% done, 1 s left"},  // 0.005 s rounds up
        {50, 100, 59.5, "tarn: neighbour graph  50% done, 1 min 00 s left"},
        {1, 3, 61.0, "tarn: neighbour graph  33% done, 2 min 02 s left"},
        {1, 100, 100.0, "tarn: neighbour graph   1% done, 2 h 45 min left"},
        {2147483646, 2147483647, 1.0, "tarn: neighbour graph  99% done, 1 s left"},
    };
    for (const Case& c : cases) {
        char text[128];
        progress_text(text, sizeof text, c.done, c.total, c.elapsed);
        EXPECT_STREQ(text, c.text) << c.done << "/" << c.total;
    }
}

// Random vectors of the given size; the label column is 0.
std::string vectors(int32_t n, int32_t dim) {
    std::string text;
    uint32_t state = 12345;
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = 0; j < dim; ++j) {
            state = state * 1664525u + 1013904223u;
            text += std::to_string(state >> 22) + " ";
        }
        text += "0\n";
    }
    return text;
}

struct TerminalRun {
    std::string terminal;  // everything written to the pseudo-terminal (standard error)
    std::string out;       // standard output, redirected to a file
    int status;
    double seconds;
};

// Runs tarn with standard error (and input) on a pseudo-terminal and standard output in a file.
TerminalRun run_on_terminal(const std::vector<std::string>& args) {
    TempFile out;
    std::vector<std::string> words{TARN_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    auto start = std::chrono::steady_clock::now();
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        int fd = open(out.path().c_str(), O_WRONLY | O_TRUNC);
        dup2(fd, 1);
        close(fd);
        execv(TARN_BINARY, argv.data());
        _exit(127);
    }
    TerminalRun run{"", "", -1, 0.0};
    if (pid < 0) return run;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got > 0) {
            run.terminal.append(buffer, static_cast<size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the child has closed the terminal
        }
    }
    close(master);
    int raw = 0;
    waitpid(pid, &raw, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
    run.out = out.read();
    return run;
}

size_t count_lines(const std::string& text) {
    size_t lines = 0;
    for (char c : text)
        lines += c == '\n' ? 1 : 0;
    return lines;
}

TEST(ProgressLine, ShownOnATerminalDuringALongConstructionAndCleared) {
    // The line appears only after a second of construction, so grow the input until a run
    // lasts clearly longer than that; the assertion is about the line, not about the time.
    int32_t n = 7000;
    for (int attempt = 0; attempt < 5; ++attempt, n = n * 3 / 2) {
        TempFile input(vectors(n, 64));
        TerminalRun run = run_on_terminal({"-k", "5", "-i", input.path()});
        ASSERT_EQ(run.status, 0) << run.terminal;
        EXPECT_EQ(count_lines(run.out), static_cast<size_t>(n));
        if (run.seconds < 1.5) {
            // Too quick to be sure the construction passed the one-second mark (loading and
            // the report take a few hundredths of a second of a run this size).
            continue;
        }
        ASSERT_NE(run.terminal.find("% done, "), std::string::npos) << run.terminal;
        EXPECT_EQ(run.terminal.substr(0, 23), "\rtarn: neighbour graph ");
        EXPECT_EQ(run.terminal.find('\n'), std::string::npos);  // one line, rewritten
        // The last thing written is the clearing: carriage return, blanks, carriage return.
        size_t last_text = run.terminal.find_last_not_of(" \r");
        size_t clear = run.terminal.find('\r', last_text);
        ASSERT_NE(clear, std::string::npos);
        EXPECT_EQ(run.terminal.back(), '\r');
        EXPECT_GT(run.terminal.size() - clear, 2u);

        // The same run with standard error in a file writes nothing there.
        Outcome piped = testkit::run_tarn({"-k", "5", "-i", input.path()});
        EXPECT_EQ(piped.err, "");
        EXPECT_EQ(piped.out, run.out);
        return;
    }
    FAIL() << "no run lasted long enough to see the progress line";
}

TEST(ProgressLine, QuickRunsLeaveTheTerminalAlone) {
    TempFile input("0 0\n1 0\n3 0\n10 1\n");
    TerminalRun run = run_on_terminal({"-k", "1", "-i", input.path()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.terminal, "");
    EXPECT_EQ(run.out, "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n");
}

}  // namespace
