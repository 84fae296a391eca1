// The SVG picture: escaping, well-formedness, one circle per vector agreeing with the marks,
// the one-feature layout, the score sizes, and the stops when the file cannot be written.
#include "driver/plot.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using namespace tarn;

using testkit::Outcome;
using testkit::run_tarn;
using testkit::TempFile;

// A small XML well-formedness check, enough for what the plot writer produces: an optional
// declaration, then one root element; every tag closed in order; attributes quoted; '<' never
// in text or values; '&' only in the five named references or numeric ones; no control
// characters. Returns "" when the text passes, else what failed.
class XmlCheck {
public:
    explicit XmlCheck(const std::string& text) : s_(text) {}

    std::string run() {
        if (s_.compare(0, 5, "<?xml") == 0) {
            size_t end = s_.find("?>");
            if (end == std::string::npos) return "unterminated declaration";
            i_ = end + 2;
        }
        skip_blanks();
        if (!element()) return error_;
        skip_blanks();
        if (i_ != s_.size()) return "content after the root element at " + std::to_string(i_);
        return "";
    }

private:
    bool fail(const std::string& what) {
        if (error_.empty()) error_ = what + " at " + std::to_string(i_);
        return false;
    }
    void skip_blanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t'))
            ++i_;
    }
    bool name(std::string* out) {
        size_t start = i_;
        while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) ||
                                  s_[i_] == '-' || s_[i_] == '_' || s_[i_] == ':' || s_[i_] == '.'))
            ++i_;
        *out = s_.substr(start, i_ - start);
        return i_ > start || fail("name expected");
    }
    // Character data up to the given stop character; checks references and control bytes.
    bool characters(char stop) {
        while (i_ < s_.size() && s_[i_] != stop) {
            unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (s_[i_] == '<') return fail("'<' in character data");
            if (c < 0x20 && c != '\n' && c != '\t' && c != '\r') return fail("control character");
            if (s_[i_] == '&') {
                static const std::regex reference("&(amp|lt|gt|quot|apos|#[0-9]+|#x[0-9a-fA-F]+);");
                std::smatch m;
                std::string rest = s_.substr(i_, 12);
                if (!std::regex_search(rest, m, reference, std::regex_constants::match_continuous))
                    return fail("bad reference");
                i_ += static_cast<size_t>(m.length(0));
                continue;
            }
            ++i_;
        }
        return true;
    }
    bool element() {
        if (i_ >= s_.size() || s_[i_] != '<') return fail("'<' expected");
        ++i_;
        std::string tag;
        if (!name(&tag)) return false;
        for (;;) {
            skip_blanks();
            if (i_ >= s_.size()) return fail("unterminated tag");
            if (s_.compare(i_, 2, "/>") == 0) {
                i_ += 2;
                return true;
            }
            if (s_[i_] == '>') break;
            std::string attribute;
            if (!name(&attribute)) return false;
            if (i_ >= s_.size() || s_[i_] != '=') return fail("'=' expected");
            ++i_;
            if (i_ >= s_.size() || (s_[i_] != '"' && s_[i_] != '\'')) return fail("quote expected");
            char quote = s_[i_++];
            if (!characters(quote)) return false;
            if (i_ >= s_.size()) return fail("unterminated value");
            ++i_;
        }
        ++i_;  // '>'
        for (;;) {
            if (!characters('<')) return false;
            if (i_ >= s_.size()) return fail("element " + tag + " not closed");
            if (s_.compare(i_, 2, "</") == 0) {
                i_ += 2;
                std::string closing;
                if (!name(&closing)) return false;
                if (closing != tag) return fail("</" + closing + "> closes <" + tag + ">");
                skip_blanks();
                if (i_ >= s_.size() || s_[i_] != '>') return fail("'>' expected");
                ++i_;
                return true;
            }
            if (!element()) return false;
        }
    }

    const std::string& s_;
    size_t i_ = 0;
    std::string error_;
};

std::string xml_error(const std::string& text) {
    return XmlCheck(text).run();
}

TEST(XmlCheckItself, CatchesBrokenDocuments) {
    EXPECT_EQ(xml_error("<?xml version=\"1.0\"?>\n<a x=\"1\"><b/>t &amp; &#38;</a>\n"), "");
    const char* broken[] = {"<a><b></a></b>", "<a>&</a>",       "<a x=1/>",    "<a>x<y</a>",
                            "<a/><b/>",       "<a x=\"<\"/>",   "<a>\x01</a>", "<a>",
                            "<a>&nbsp;</a>",  "<a x=\"1\"></A>"};
    for (const char* text : broken)
        EXPECT_NE(xml_error(text), "") << text;
}

TEST(XmlEscape, EntitiesControlCharactersAndBadBytes) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"plain/path.txt", "plain/path.txt"},
        {"a&b<c>\"d'", "a&amp;b&lt;c&gt;&quot;d&apos;"},
        {"tab\there\x01\x7f", "tab?here??"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xff\xfe", "??"},
        {"cut\xc3", "cut?"},           // a sequence cut short by the end of the text
        {"\xc0\xaf", "??"},            // overlong
        {"\xed\xa0\x80", "???"},       // a surrogate
        {"\xef\xbf\xbe", "???"},       // U+FFFE is not a character XML allows
        {"\xf4\x90\x80\x80", "????"},  // beyond U+10FFFF
        {"\xe2\x82", "??"},            // cut short
    };
    for (const Case& c : cases)
        EXPECT_EQ(xml_escape(c.in), c.out) << c.in;
}

struct Circle {
    std::string cls;
    double cx, cy, r;
};

// The vector circles of a plot by 1-based position.
std::map<int, Circle> circles(const std::string& svg) {
    static const std::regex circle(
        "<circle id=\"v([0-9]+)\" class=\"([a-z]+)\" cx=\"([-0-9.]+)\" cy=\"([-0-9.]+)\" "
        "r=\"([0-9.]+)\"");
    std::map<int, Circle> result;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), circle);
         it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        int id = std::stoi(m[1]);
        EXPECT_EQ(result.count(id), 0u) << "vector " << id << " drawn twice";
        result[id] = {m[2], std::stod(m[3]), std::stod(m[4]), std::stod(m[5])};
    }
    return result;
}

// The third field of each line of a -o report.
std::vector<std::string> marks(const std::string& report) {
    std::vector<std::string> result;
    for (size_t start = 0; start < report.size();) {
        size_t end = report.find('\n', start);
        size_t space = report.rfind(' ', end);
        result.push_back(report.substr(space + 1, end - space - 1));
        start = end + 1;
    }
    return result;
}

Outcome run_with_plot(const std::string& input_path, std::vector<std::string> args,
                      std::string* svg) {
    TempFile plot;
    args.insert(args.end(), {"-i", input_path, "-g", plot.path()});
    Outcome outcome = run_tarn(args);
    *svg = plot.read();
    return outcome;
}

TEST(Plot, EveryRuleDrawsOneWellFormedCirclePerVectorInTheColourOfItsMark) {
    const std::string sample = TARN_SOURCE_DIR "/examples/sample.txt";
    struct Case {
        std::vector<std::string> args;
        std::string title;
    };
    const Case cases[] = {
        {{"-k", "10"}, ">in-degree rule, k = 10, I = 0, "},
        {{"-k", "10", "-I", "9"}, ">in-degree rule, k = 10, I = 9, "},
        {{"-m", "-k", "5"}, ">mutual k-nearest neighbours rule, k = 5, "},
        {{"-M", "-k", "10", "-T", "0.3"}, ">mean incoming distance rule, k = 10, T = 0.3, "},
        {{"-X", "-k", "10", "-T", "0.5"}, ">maximum incoming distance rule, k = 10, T = 0.5, "},
        {{"-l", "-k", "10", "-T", "2"}, ">local outlier factor rule, k = 10, T = 2, "},
        {{"-l", "-k", "10", "-c", "0.05"}, ">local outlier factor rule, k = 10, share 0.05, "},
        {{"-m", "-k", "5", "-c", "0.1"}, ">mutual k-nearest neighbours rule, k = 5, share 0.1, "},
    };
    for (const Case& c : cases) {
        std::string svg;
        Outcome plotted = run_with_plot(sample, c.args, &svg);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", sample});
        Outcome plain = run_tarn(args);
        args.push_back("-o");
        Outcome marked = run_tarn(args);
        ASSERT_EQ(plotted.status, 0) << plotted.err;
        EXPECT_EQ(plotted.err, "");
        EXPECT_EQ(plotted.out, plain.out);  // the picture leaves the report alone
        EXPECT_EQ(xml_error(svg), "") << c.title;
        EXPECT_NE(svg.find(c.title + sample + "</text>"), std::string::npos) << c.title;

        std::vector<std::string> expected = marks(marked.out);
        std::map<int, Circle> drawn = circles(svg);
        ASSERT_EQ(drawn.size(), expected.size()) << c.title;
        int32_t marked_count = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            const Circle& circle = drawn[static_cast<int>(i + 1)];
            EXPECT_EQ(circle.cls, expected[i] == "1" ? "marked" : "inlier") << i + 1;
            marked_count += expected[i] == "1" ? 1 : 0;
        }
        EXPECT_NE(svg.find("marked outlier (" + std::to_string(marked_count) + ")"),
                  std::string::npos);
        EXPECT_NE(svg.find("label 1 (8)"), std::string::npos);  // the planted outliers
    }
}

TEST(Plot, OneFeatureGoesAgainstThePositionAndScoresSetTheSize) {
    // Local outlier factors with k = 1: 1, 1, 2, 3.5; the first two at the base size.
    TempFile input("0 0\n1 0\n3 0\n10 1\n");
    std::string svg;
    Outcome outcome = run_with_plot(input.path(), {"-l", "-k", "1", "-T", "1.5"}, &svg);
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(xml_error(svg), "");
    std::map<int, Circle> c = circles(svg);
    ASSERT_EQ(c.size(), 4u);
    EXPECT_LT(c[1].cx, c[2].cx);
    EXPECT_LT(c[2].cx, c[3].cx);
    EXPECT_LT(c[3].cx, c[4].cx);
    EXPECT_GT(c[1].cy, c[2].cy);  // the value rises, so the point goes up the canvas
    EXPECT_EQ(c[1].r, c[2].r);
    EXPECT_LT(c[2].r, c[3].r);
    EXPECT_LT(c[3].r, c[4].r);
    EXPECT_EQ(c[3].cls, "marked");
    EXPECT_NE(svg.find(">position in the file<"), std::string::npos);

    // Without -l every point has the same size.
    run_with_plot(input.path(), {"-k", "1"}, &svg);
    c = circles(svg);
    EXPECT_EQ(c[1].r, c[4].r);
}

TEST(Plot, GChoosesTheColumnsPlotted) {
    TempFile input("a,b,c,class\n1,30,200,0\n2,10,300,0\n3,20,100,1\n", ".csv");
    std::string svg;
    Outcome outcome = run_with_plot(input.path(), {"-k", "1", "-G", "3,1"}, &svg);
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_EQ(xml_error(svg), "");
    EXPECT_NE(svg.find("font-size=\"13\">c</text>"), std::string::npos);  // the x axis
    EXPECT_NE(svg.find("rotate(-90)\" text-anchor=\"middle\" font-size=\"13\">a</text>"),
              std::string::npos);
    std::map<int, Circle> c = circles(svg);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_LT(c[3].cx, c[1].cx);  // c: 100 < 200 < 300
    EXPECT_LT(c[1].cx, c[2].cx);
    EXPECT_GT(c[1].cy, c[2].cy);  // a: 1 < 2 < 3, rising up the canvas
    EXPECT_GT(c[2].cy, c[3].cy);
    // A column beyond the features stops the run before the report.
    outcome = run_with_plot(input.path(), {"-k", "1", "-G", "1,4"}, &svg);
    EXPECT_EQ(outcome.out, "-G 1,4 names a column beyond the 3 feature columns of the input\n");
    EXPECT_EQ(outcome.status, 255);
}

// Above a few thousand vectors the unmarked, unlabelled ones become one path whose size the
// canvas bounds; marked and labelled vectors keep their circles.
TEST(Plot, BigInputsGrowTheFileLessThanTheInput) {
    auto cloud = [](int32_t n) {
        std::string text;
        char line[64];
        for (int32_t i = 0; i < n; ++i) {
            // A seeded, evenly spread disc, one labelled vector in a thousand.
            const double angle = i * 2.399963, radius = std::sqrt((i + 0.5) / n) * 100;
            std::snprintf(line, sizeof line, "%.6f %.6f %d\n", radius * std::cos(angle),
                          radius * std::sin(angle), i % 1000 == 0 ? 1 : 0);
            text += line;
        }
        return text;
    };
    size_t bytes[2];
    const int32_t n[2] = {10000, 100000};
    for (int32_t i = 0; i < 2; ++i) {
        TempFile input(cloud(n[i]));
        std::string svg;
        Outcome outcome =
            run_with_plot(input.path(), {"-x", "-l", "-k", "5", "-c", "0.001", "-o"}, &svg);
        ASSERT_EQ(outcome.status, 0);
        EXPECT_EQ(xml_error(svg), "");
        bytes[i] = svg.size();
        // Circles for exactly the marked and the labelled vectors.
        std::vector<std::string> m = marks(outcome.out);
        std::map<int, Circle> drawn = circles(svg);
        size_t own = 0;
        for (size_t v = 0; v < m.size(); ++v) {
            const bool kept = m[v] == "1" || v % 1000 == 0;
            own += kept ? 1 : 0;
            EXPECT_EQ(drawn.count(static_cast<int>(v + 1)), kept ? 1u : 0u) << v + 1;
        }
        EXPECT_EQ(drawn.size(), own);
        EXPECT_NE(svg.find("<path class=\"inlier\""), std::string::npos);
    }
    // Ten times the vectors, not three times the bytes.
    EXPECT_LT(bytes[1], 3 * bytes[0]) << bytes[0] << " " << bytes[1];
}

TEST(Plot, NonFiniteCoordinatesAreCountedNotDrawn) {
    TempFile input("inf 0 0\n1 1 0\n2 0 0\n3 1 0\n");
    std::string svg;
    Outcome outcome = run_with_plot(input.path(), {"-l", "-k", "1"}, &svg);
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(xml_error(svg), "");
    EXPECT_EQ(circles(svg).size(), 3u);
    EXPECT_NE(svg.find(">1 not drawn (non-finite)<"), std::string::npos);
}

TEST(Plot, TheFileNameIsEscapedInTheTitle) {
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir && *dir ? dir : "/tmp") + "/tarn plot & <\"quoted\"> 'x' \x01.txt";
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("0 0 0\n1 0 0\n0 1 1\n5 5 1\n", f);
        std::fclose(f);
    }
    std::string svg;
    Outcome outcome = run_with_plot(path, {"-k", "1"}, &svg);
    std::remove(path.c_str());
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(xml_error(svg), "");
    EXPECT_NE(svg.find("plot &amp; &lt;&quot;quoted&quot;&gt; &apos;x&apos; ?.txt</text>"),
              std::string::npos);
}

TEST(Plot, AFileThatCannotBeWrittenStopsTheRunBeforeTheReport) {
    struct Case {
        std::string path, err;
    };
    const Case cases[] = {
        {"/nonexistent/dir/plot.svg",
         "Cannot write the plot to /nonexistent/dir/plot.svg: No such file or directory\n"},
        {"/dev/full", "Cannot write the plot to /dev/full: No space left on device\n"},
    };
    TempFile input("0 0\n1 0\n3 0\n10 1\n");
    for (const Case& c : cases) {
        Outcome outcome = run_tarn({"-e", "-k", "1", "-i", input.path(), "-g", c.path});
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(outcome.status, 255);
    }
}

// A run ended by a signal while it writes its picture leaves no temporary file behind: the
// picture's own name stays free, and the hidden file is removed.
TEST(Plot, ASignalWhileThePictureIsWrittenLeavesNoTemporaryFile) {
    std::string text;
    char line[64];
    for (int32_t i = 0; i < 100000; ++i) {
        std::snprintf(line, sizeof line, "%d %d 0\n", i % 317, i / 317);
        text += line;
    }
    TempFile input(text);
    char pattern[] = "/tmp/tarn-signal-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern, target = dir + "/plot.svg";
    auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        return names;
    };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::signal(signal, SIG_DFL);  // a shell's background job ignores SIGINT
            freopen("/dev/null", "w", stdout);
            execl(TARN_BINARY, TARN_BINARY, "-x", "-k", "1", "-c", "1", "-i", input.path().c_str(),
                  "-g", target.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Signalled as soon as the temporary file is there, within a minute.
        bool seen = false;
        for (int wait = 0; wait < 60000 && !seen; ++wait) {
            seen = !entries().empty();
            if (!seen) usleep(1000);
        }
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(seen) << signal;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << " " << status;
        EXPECT_EQ(entries(), std::vector<std::string>()) << signal;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
