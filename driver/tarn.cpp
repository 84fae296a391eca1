#include "driver/tarn.h"

#include <fcntl.h>
#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <sys/time.h>

#include "detect/construct.h"
#include "detect/core.h"
#include "detect/init.h"
#include "detect/lof.h"
#include "detect/overflow.h"
#include "detect/rules.h"
#include "driver/evaluate.h"
#include "driver/plot.h"
#include "driver/progress.h"
#include "driver/util.h"
#include "graph/graph.h"
#include "vectors/arena.h"
#include "vectors/fvector.h"
#include "vectors/table.h"

const char* id = "Wed Nov 17 15:58:03 EET 2004";

namespace {

// The options besides the rule letters, which come from the rule table.
constexpr const char* kOptions = "i:I:k:T:j:oeP:g:xbf:L:F:sc:zG:";

// The long options, which only print: the usage text or the version, and status 0.
enum LongOption { kHelp = 0x100, kVersion };
constexpr option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// kOptions followed by every rule's letter.
const char* option_string() {
    static char options[64];
    if (options[0] != '\0') return options;
    size_t length = std::strlen(kOptions);
    std::memcpy(options, kOptions, length);
    for (const tarn::Rule& rule : tarn::rules()) {
        if (rule.letter != 0) options[length++] = rule.letter;
    }
    options[length] = '\0';
    return options;
}

// Sets the flag of the rule whose letter option is; false when no rule has that letter.
bool select_rule(Parameters* parap, int option) {
    for (const tarn::Rule& rule : tarn::rules()) {
        if (rule.letter != 0 && rule.letter == option) {
            parap->*rule.flag = 1;
            return true;
        }
    }
    return false;
}

// atoi's syntax (leading white space, a sign, decimal digits, stop at the first other
// character, 0 when nothing converts), but a value beyond 32 bits saturates instead of being
// undefined.
int32_t to_int32(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

// Ends a run whose report cannot reach standard output whole. A reader that went away (a
// closed pipe, with SIGPIPE ignored) ends the run quietly, as other Unix tools do; any other
// failure is named on standard error. error is the errno of the failed write, 0 if unknown.
[[noreturn]] void report_not_written(int error) {
    if (error != EPIPE) {
        std::fprintf(stderr, "tarn: cannot write the report to standard output: %s\n",
                     error != 0 ? std::strerror(error) : "write error");
    }
    std::exit(-1);
}

// Warns about a word of the command line that is neither an option nor an option's argument;
// the run goes on without it. The hint guesses the option the word was meant for: -g for a
// name ending in ".svg", -i for an existing file, none otherwise.
void warn_stray_word(const char* word) {
    const size_t length = std::strlen(word);
    struct stat info;
    const char* option = nullptr;
    if (length >= 4 && strcasecmp(word + length - 4, ".svg") == 0) {
        option = "-g";
    } else if (stat(word, &info) == 0 && !S_ISDIR(info.st_mode)) {
        option = "-i";
    }
    if (option != nullptr) {
        std::fprintf(stderr, "tarn: ignoring '%s': not an option (did you mean %s %s?)\n", word,
                     option, word);
    } else {
        std::fprintf(stderr, "tarn: ignoring '%s': not an option\n", word);
    }
}

// Whether text starts as atoi reads a number.
bool is_number(const char* text) {
    char* end;
    std::strtol(text, &end, 10);
    return end != text;
}

// -c's share: atof's syntax, and in (0, 1] (a not-a-number is not); else the usage text.
double to_share(const char* text) {
    const double share = std::strtod(text, nullptr);
    if (!(share > 0.0 && share <= 1.0)) print_usage();
    return share;
}

// -G's "i,j": two feature column numbers from 1, stored from 0; anything else gets the usage
// text.
void to_plot_columns(const char* text, Parameters* p) {
    char* end;
    const long x = std::strtol(text, &end, 10);
    if (end == text || *end != ',') print_usage();
    const char* second = end + 1;
    const long y = std::strtol(second, &end, 10);
    const long most = std::numeric_limits<int32_t>::max();
    if (end == second || *end != '\0' || x < 1 || y < 1 || x > most || y > most) print_usage();
    p->plot_x = static_cast<int32_t>(x - 1);
    p->plot_y = static_cast<int32_t>(y - 1);
}

// The usage text on standard output, without ending the process.
void write_usage() {
    std::printf("%s\n", id);
    std::printf("tarn: outlier detection on the k-nearest-neighbour graph of a vector file\n");
    std::printf("prints one line per vector: its score and its label (the last column)\n");
    std::printf("\n");
    std::printf("usage: tarn  -i [ts]\n");
    std::printf("             -i -  (read the vectors from standard input)\n");
    std::printf("             -k [n of neighbours]\n");
    std::printf("             -I [indegree]\n");
    for (const tarn::Rule& rule : tarn::rules()) {
        if (rule.usage != nullptr) std::printf("             %s\n", rule.usage);
    }
    std::printf("             -T  [Threshold]\n");
    std::printf("             -j [n of threads, 0 for all processors]\n");
    std::printf("             -o  (print outlier marks)\n");
    std::printf("             -e  (evaluate against the labels)\n");
    std::printf("             -P [outlier label]\n");
    std::printf("             -g [svg plot file]\n");
    std::printf("             -x  (exact spatial index)\n");
    std::printf("             -b  (tiled brute force)\n");
    std::printf("             -f [csv|tsv|text]\n");
    std::printf("             -L [label column or none]\n");
    std::printf("             -F [feature columns]\n");
    std::printf("             -s  (print the rule's score)\n");
    std::printf("             -c [share of the most outlying to mark]\n");
    std::printf("             -z  (standardise the features)\n");
    std::printf("             -G [feature columns to plot, as i,j]\n");
    std::printf("             --help, --version\n");
}

char* copy_text(const char* text) {
    size_t length = std::strlen(text);
    char* copy = static_cast<char*>(allocate(length + 1, NO_INIT));
    std::memcpy(copy, text, length + 1);
    return copy;
}

// A later occurrence of an option replaces the text an earlier one left.
void replace_text(char** field, const char* text) {
    std::free(*field);
    *field = copy_text(text);
}

}  // namespace

Parameters* init_params() {
    Parameters* p = static_cast<Parameters*>(allocate(sizeof(Parameters), NO_INIT));
    // Every field not named below, a rule's flag among them, starts at zero or null.
    *p = Parameters{};
    p->k = 3;
    p->threads = 1;
    p->outlier_label = 1;
    p->format = TABLE_AUTO;
    p->plot_x = -1;
    p->plot_y = -1;
    return p;
}

void parse_params(Parameters* parap, int argc, char** argv) {
    int option;
    while ((option = getopt_long(argc, argv, option_string(), kLongOptions, nullptr)) != -1) {
        if (select_rule(parap, option)) continue;
        switch (option) {
            case 'i':
                replace_text(&parap->instr, optarg);
                break;
            case 'I':
                parap->I = to_int32(optarg);
                break;
            case 'k':
                parap->k = to_int32(optarg);
                break;
            case 'T':
                parap->th = std::strtod(optarg, nullptr);
                break;
            case 'j':
                parap->threads = to_int32(optarg);
                if (parap->threads < 0) print_usage();
                break;
            case 'o':
                parap->marks = 1;
                break;
            case 'e':
                parap->evaluate = 1;
                break;
            case 'P':
                parap->outlier_label = to_int32(optarg);
                std::free(parap->outlier_name);  // a later -P replaces the class name
                parap->outlier_name = is_number(optarg) ? nullptr : copy_text(optarg);
                break;
            case 'g':
                replace_text(&parap->plotstr, optarg);
                break;
            case 'x':  // -x and -b: the later one decides
                parap->index = 1;
                parap->brute = 0;
                break;
            case 'b':
                parap->brute = 1;
                parap->index = 0;
                break;
            case 'f':
                parap->format = tableKindOf(optarg);
                if (parap->format < 0) print_usage();
                break;
            case 'L':
                replace_text(&parap->label_column, optarg);
                break;
            case 'F':
                replace_text(&parap->feature_columns, optarg);
                break;
            case 's':
                parap->print_score = 1;
                break;
            case 'c':
                parap->share = to_share(optarg);
                break;
            case 'z':
                parap->standardise = 1;
                break;
            case 'G':
                to_plot_columns(optarg, parap);
                break;
            case kHelp:
                write_usage();
                std::exit(0);
            case kVersion:
                std::printf("tarn %s\n", TARN_VERSION);
                std::exit(0);
            default:
                print_usage();
        }
    }
    for (int i = optind; i < argc; ++i)
        warn_stray_word(argv[i]);
}

void open_files(Parameters* p) {
    // A closed standard output would also let the next file opened take its descriptor.
    if (fcntl(STDOUT_FILENO, F_GETFL) == -1) report_not_written(EBADF);
    // So would a closed standard error. A descriptor open for reading only holds its place:
    // writes to standard error fail on it as on the closed one, and -e sees the failure.
    if (fcntl(STDERR_FILENO, F_GETFL) == -1) {
        const int held = open("/dev/null", O_RDONLY);
        if (held >= 0 && held != STDERR_FILENO) {
            dup2(held, STDERR_FILENO);
            close(held);
        }
    }
    if (p->instr != nullptr) return;
    std::printf("No input file set!\n");
    print_usage();
}

void print_usage() {
    write_usage();
    std::exit(-1);
}

int32_t print_results(Graph* g, Parameters* p) {
    Iterator* it = iterate_start();
    while (Vertex* v = iterate_vertex(g, it)) {
        const double stored =
            p != nullptr && p->print_score == 1 ? tarn::ranking_score(v, p) : v->lof;
        tarn::print_report_line(stored, v->flag, tarn::vertex_marked(v), p);
    }
    tarn::finish_report();
    return 0;
}

namespace tarn {

void print_report_line(double score, int32_t label, int32_t marked, const Parameters* p) {
    // The score is rounded to single precision before it is printed.
    const double rounded = static_cast<double>(static_cast<float>(score));
    if (p != nullptr && p->marks == 1) {
        std::printf("%f %d %d\n", rounded, label, marked);
    } else {
        std::printf("%f %d\n", rounded, label);
    }
}

namespace {

// Appends one report line as print_report_line prints it.
void append_report_line(std::string& out, double score, int32_t label, int32_t marked, bool marks) {
    const double rounded = static_cast<double>(static_cast<float>(score));
    auto format = [&](char* line, size_t size) {
        return marks ? std::snprintf(line, size, "%f %d %d\n", rounded, label, marked)
                     : std::snprintf(line, size, "%f %d\n", rounded, label);
    };
    char line[128];
    const size_t length = static_cast<size_t>(format(line, sizeof line));
    if (length < sizeof line) {
        out.append(line, length);
        return;
    }
    std::string longer(length + 1, '\0');
    format(longer.data(), longer.size());
    out.append(longer.data(), length);
}

// Report lines a thread formats at a time.
constexpr int32_t kReportBlock = 8192;

// One block's text. Neighbouring blocks are formatted on different threads, each appending at
// every line: each on a cache line of its own, so that the threads do not stall on each other.
struct alignas(64) ReportBlock {
    std::string text;
};

}  // namespace

void print_report(const double* score, const int32_t* label, const int32_t* marked, int32_t n,
                  const Parameters* p) {
    const bool marks = p->marks == 1;
    const int32_t threads = construction_threads(p->threads);
    // A window of blocks is formatted on the threads, then written in order.
    std::vector<ReportBlock> blocks(static_cast<size_t>(threads) * 4);
    const int32_t window = kReportBlock * static_cast<int32_t>(blocks.size());
    for (int32_t first = 0; first < n; first += window) {
        const int32_t count = std::min(window, n - first);
        auto format = [&](int32_t, int32_t begin, int32_t end) {
            std::string& block = blocks[static_cast<size_t>(begin / kReportBlock)].text;
            block.clear();
            for (int32_t i = first + begin; i < first + end; ++i)
                append_report_line(block, score[i], label[i], marked[i], marks);
        };
        for_each_range(count, kReportBlock, threads, format);
        for (int32_t b = 0; b * kReportBlock < count; ++b) {
            const std::string& block = blocks[static_cast<size_t>(b)].text;
            std::fwrite(block.data(), 1, block.size(), stdout);
        }
    }
}

bool resolve_outlier_class(Parameters* p) {
    if (p->outlier_name == nullptr) return true;
    if (p->names != nullptr) {
        const std::vector<std::string>& classes = p->names->classes;
        for (size_t c = 0; c < classes.size(); ++c) {
            if (classes[c] == p->outlier_name) {
                p->outlier_label = static_cast<int32_t>(c);
                return true;
            }
        }
    }
    std::printf("-P %s names no class of the input\n", p->outlier_name);
    return false;
}

void check_plot_columns(Graph* g, const Parameters* p) {
    check_plot_columns(fvGetDim(g->top->vector) - 1, p);
}

void check_plot_columns(int32_t features, const Parameters* p) {
    if (p->plotstr == nullptr || p->plot_x < 0) return;
    if (p->plot_x < features && p->plot_y < features) return;
    std::printf("-G %d,%d names a column beyond the %d feature columns of the input\n",
                p->plot_x + 1, p->plot_y + 1, features);
    std::exit(-1);
}

void warn_of_unstandardised(const Array<int32_t>& columns) {
    for (int32_t c : columns)
        std::fprintf(
            stderr, "tarn: feature column %d cannot be standardised: it holds NaN or Inf\n", c + 1);
}

void warn_of_overflow() {
    std::fprintf(stderr,
                 "tarn: distances overflow beyond 1.8e308 (coordinates above about 1e154); "
                 "scale the data\n");
}

void refuse_plot_over_input(const Parameters* p) {
    std::fprintf(stderr, "Cannot write the plot to %s: it is the input file\n", p->plotstr);
}

void report_plot_failure(const Parameters* p, int error) {
    std::fprintf(stderr, "Cannot write the plot to %s: %s\n", p->plotstr, std::strerror(error));
}

void report_evaluation_failure(int error) {
    std::fprintf(stderr, "tarn: cannot write the evaluation to standard error: %s\n",
                 std::strerror(error));
}

void warn_of_duplicates(DuplicateScores counts) {
    if (counts.nan + counts.inf == 0) return;
    std::fprintf(stderr,
                 "tarn: %d vectors have local outlier factor nan and %d inf: duplicated points "
                 "(see README)\n",
                 counts.nan, counts.inf);
}

void release(Graph* g, Parameters* parap) {
    if (g != nullptr) free_graph(g);
    std::free(g);
    std::free(parap->instr);
    std::free(parap->plotstr);
    std::free(parap->label_column);
    std::free(parap->feature_columns);
    std::free(parap->outlier_name);
    std::free(parap);
}

}  // namespace tarn

namespace {

using tarn::release;

// The picture of the loaded vectors with the verdict; -1 with errno telling why on failure.
int32_t write_picture(HFSET set, const tarn::Verdict& verdict, Parameters* p) {
    const tarn::Rows rows = tarn::set_rows(set);
    const tarn::PlotVectors picture{rows.row.data(),       rows.features,
                                    verdict.lof.data(),    verdict.label.data(),
                                    verdict.marked.data(), static_cast<int32_t>(rows.size())};
    return tarn::write_plot(picture, p, p->plotstr);
}

int run(int argc, char** argv) {
    long watch = setwatch();
    (void)watch;  // kept for prtime; a run prints no timing line
    Parameters* parap = init_params();
    TableNames names;  // column and class names, for the evaluation and the picture
    parap->names = &names;
    parse_params(parap, argc, argv);
    open_files(parap);
    // Checked before anything is read, so that the picture can never replace the data.
    if (parap->plotstr != nullptr && tarn::plot_names_input(parap->plotstr, parap->instr)) {
        tarn::refuse_plot_over_input(parap);
        release(nullptr, parap);
        return -1;
    }
    tarn::progress_start();
    // The run releases its vectors all at once: they are carved rather than each allocated.
    tarn::VectorArena arena;
    HFSET set = tarn::load_vectors(parap, &arena);
    if (set == nullptr) std::exit(-1);
    // The verdict comes from flat neighbour lists: nobody asks for the linked graph here.
    tarn::Verdict verdict;
    tarn::RunNotes notes;
    if (std::optional<tarn::Error> failure = tarn::detect_set(set, parap, &verdict, &notes)) {
        std::fputs(failure->message.c_str(), stdout);
        std::exit(-1);
    }
    tarn::progress_stop();
    tarn::warn_of_unstandardised(notes.unstandardised);
    if (notes.overflow) tarn::warn_of_overflow();
    if (!tarn::resolve_outlier_class(parap)) std::exit(-1);
    const int32_t n = fvsGetSize(set);
    tarn::check_plot_columns(fvGetDim(fvsGetVector(set, 1)) - 1, parap);
    if (tarn::selected_rule(parap).kind == tarn::RULE_LOF)
        tarn::warn_of_duplicates(notes.duplicates);
    auto finish = [&](int status) {
        tarn::release_set(set, &arena);
        release(nullptr, parap);
        return status;
    };
    // The picture comes before the report, so that a run that cannot write it stops with no
    // report line, like every other stop.
    if (parap->plotstr != nullptr && write_picture(set, verdict, parap) != 0) {
        tarn::report_plot_failure(parap, errno);
        return finish(-1);
    }
    const tarn::Array<double>& stored = parap->print_score == 1 ? verdict.score : verdict.lof;
    tarn::print_report(stored.data(), verdict.label.data(), verdict.marked.data(), n, parap);
    tarn::finish_report();
    if (parap->evaluate == 1) {
        std::fflush(stdout);
        tarn::print_evaluation(verdict.score.data(), verdict.label.data(), verdict.marked.data(), n,
                               parap, stderr);
        // The evaluation is a result like the report: lost, it fails the run.
        if (std::fflush(stderr) != 0 || std::ferror(stderr) != 0) {
            tarn::report_evaluation_failure(errno);
            return finish(-1);
        }
    }
    return finish(0);
}

}  // namespace

namespace tarn {

void finish_report() {
    // The final flush names its own failure; a failure of an earlier write has left its errno,
    // which the successful writes after it do not clear.
    const int earlier = errno;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        report_not_written(errno != 0 ? errno : earlier);
}

int run_command_line(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const AllocationFailure& failure) {
        std::printf("Allocation of %zu bytes failed\n", failure.size());
    } catch (const std::bad_alloc&) {
        std::printf("Allocation failed\n");
    }
    std::fflush(stdout);
    return -1;
}

}  // namespace tarn

long setwatch() {
    return static_cast<long>(std::time(nullptr));
}

void prtime(long start, int32_t dcalc) {
    timeval now;
    gettimeofday(&now, nullptr);
    double elapsed = static_cast<double>(now.tv_sec) +
                     static_cast<double>(now.tv_usec) / 1000000.0 - static_cast<double>(start);
    std::printf("Time: %6.1f DCalc: %d\n", elapsed, dcalc);
}
