#include "driver/tarn.h"

#include <fcntl.h>
#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <sys/time.h>

#include "detect/construct.h"
#include "detect/core.h"
#include "detect/init.h"
#include "detect/lof.h"
#include "detect/overflow.h"
#include "detect/rules.h"
#include "driver/evaluate.h"
#include "driver/outfile.h"
#include "driver/plot.h"
#include "driver/progress.h"
#include "driver/scores.h"
#include "driver/util.h"
#include "graph/graph.h"
#include "graph/metric.h"
#include "rules/rules.h"
#include "vectors/arena.h"
#include "vectors/fvector.h"
#include "vectors/table.h"

const char* id = "Wed Nov 17 15:58:03 EET 2004";

namespace {

// The options besides the rule letters, which come from the rule table.
constexpr const char* kOptions = "i:I:k:T:j:oeP:g:xbf:L:F:sc:zG:O:r:d:R:W:";

// The long options: --help and --version only print (and end the run with status 0).
enum LongOption {
    kHelp = 0x100,
    kVersion,
    kOutputFormat,
    kSkip,
    kHeader,
    kNoHeader,
    kMissing,
    kDecimal,
    kId
};
constexpr option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"output-format", required_argument, nullptr, kOutputFormat},
    {"skip", required_argument, nullptr, kSkip},
    {"header", no_argument, nullptr, kHeader},
    {"no-header", no_argument, nullptr, kNoHeader},
    {"na", required_argument, nullptr, kMissing},
    {"decimal", required_argument, nullptr, kDecimal},
    {"id", required_argument, nullptr, kId},
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

// Every rule's key, the default rule's first: rule_keys(", ", " or ") gives "indegree, mutual,
// mean, max or lof".
std::string rule_keys(const char* separator, const char* last_separator) {
    std::vector<const char*> keys;
    for (const tarn::Rule& rule : tarn::rules())
        keys.insert(rule.flag == nullptr ? keys.begin() : keys.end(), rule.key);
    std::string text;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) text += i + 1 == keys.size() ? last_separator : separator;
        text += keys[i];
    }
    return text;
}

[[noreturn]] void refuse_value(const char* option, const char* value, const char* why);

// -r KEY: sets the flag of the rule of that key (the default rule has none to set); -r all asks
// for every rule.
void select_rule_by_key(Parameters* parap, const char* key) {
    if (std::strcmp(key, "all") == 0) {
        parap->all_rules = 1;
        return;
    }
    const tarn::Rule* rule = tarn::rule_by_key(key);
    if (rule == nullptr) {
        const std::string why = "is not a rule: " + rule_keys(", ", ", ") + " or all";
        refuse_value("-r", key, why.c_str());
    }
    if (rule->flag != nullptr) parap->*rule->flag = 1;
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

// Ends the run when text meant for standard output is lost. A reader that went away (a closed
// pipe, with SIGPIPE ignored) ends the run quietly, as other Unix tools do; any other failure is
// named on standard error. error is the errno of the failed write, 0 if unknown.
[[noreturn]] void output_lost(const char* what, int error) {
    if (error != EPIPE) {
        std::fprintf(stderr, "tarn: cannot write the %s to standard output: %s\n", what,
                     error != 0 ? std::strerror(error) : "write error");
    }
    std::exit(-1);
}

[[noreturn]] void report_not_written(int error) {
    output_lost("report", error);
}

// Ends a run whose text (the usage text, the version) is all it prints: with status 0 only
// when standard output took the whole text.
[[noreturn]] void finish_printing(const char* what) {
    // As finish_report: a text longer than the stream's buffer may have failed in an earlier
    // write, whose errno the final flush does not set again.
    const int earlier = errno;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        output_lost(what, errno != 0 ? errno : earlier);
    std::exit(0);
}

// Refuses the value of one of tarn's own options: why on standard error, then the usage text.
[[noreturn]] void refuse_value(const char* option, const char* value, const char* why) {
    std::fprintf(stderr, "tarn: %s: '%s' %s\n", option, value, why);
    print_usage();
}

// Values of tarn's own options are read whole: a number with anything after it (-c 0.05x) is
// refused rather than read up to the first character that does not fit.
bool whole_double(const char* text, double* value) {
    char* end;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0';
}

bool whole_long(const char* text, long* value) {
    char* end;
    errno = 0;
    *value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0;
}

// -j's thread count: a whole number, 0 or more; a count beyond 32 bits saturates.
int32_t to_threads(const char* text) {
    char* end;
    const long threads = std::strtol(text, &end, 10);
    if (end == text || *end != '\0') refuse_value("-j", text, "is not a number of threads");
    if (threads < 0) refuse_value("-j", text, "is not a number of threads: 0 or more");
    return static_cast<int32_t>(std::min<long>(threads, std::numeric_limits<int32_t>::max()));
}

// --skip's count of lines: a whole number, 0 or more.
int64_t to_skip(const char* text) {
    long lines;
    if (!whole_long(text, &lines)) refuse_value("--skip", text, "is not a number of lines");
    if (lines < 0) refuse_value("--skip", text, "is not a number of lines: 0 or more");
    return lines;
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

// -c's share: a whole number in (0, 1] (a not-a-number is not); else why, and the usage text.
// A share written as a percentage (-c 5 for 5 %) gets the share it meant as a hint.
double to_share(const char* text) {
    double share;
    if (!whole_double(text, &share)) refuse_value("-c", text, "is not a number");
    if (share > 0.0 && share <= 1.0) return share;
    if (share > 1.0 && share <= 100.0) {
        char why[96];
        std::snprintf(why, sizeof why, "is not a share in (0, 1]; for %g %%, give -c %g", share,
                      share / 100.0);
        refuse_value("-c", text, why);
    }
    refuse_value("-c", text, "is not a share in (0, 1]");
}

// -G's "i,j": two feature column numbers from 1, stored from 0; anything else is refused.
void to_plot_columns(const char* text, Parameters* p) {
    const char* comma = std::strchr(text, ',');
    const std::string first = comma != nullptr ? std::string(text, comma) : std::string();
    long x = 0, y = 0;
    const long most = std::numeric_limits<int32_t>::max();
    if (comma == nullptr || !whole_long(first.c_str(), &x) || !whole_long(comma + 1, &y) || x < 1 ||
        y < 1 || x > most || y > most) {
        refuse_value("-G", text, "is not two feature column numbers from 1, as i,j");
    }
    p->plot_x = static_cast<int32_t>(x - 1);
    p->plot_y = static_cast<int32_t>(y - 1);
}

// -d's metric: a name, or minkowski:P with P a finite number >= 1; anything else is refused.
void to_metric(const char* text, Parameters* p) {
    tarn::Metric metric;
    const char* why = nullptr;
    if (!tarn::metric_by_name(text, &metric, &why)) refuse_value("-d", text, why);
    p->metric = static_cast<int32_t>(metric.kind);
    p->minkowski_p = metric.p;
}

// The usage text on standard output, without ending the process.
void write_usage() {
    std::printf("%s\n", id);
    std::printf("tarn: outlier detection on the k-nearest-neighbour graph of a vector file\n");
    std::printf("prints one line per vector: its score and its label (the last column)\n");
    std::printf("\n");
    std::printf("usage: tarn  -i [ts]\n");
    std::printf("             -i -  (read the vectors from standard input)\n");
    std::printf("             -R [reference set or model to score -i against]\n");
    std::printf("             -W [model file to save the reference in]\n");
    std::printf("             -k [n of neighbours]\n");
    std::printf("             -I [indegree]\n");
    for (const tarn::Rule& rule : tarn::rules()) {
        if (rule.usage != nullptr) std::printf("             %s\n", rule.usage);
    }
    std::printf("             -r [rule: %s]\n", rule_keys("|", "|").c_str());
    std::printf("             -T  [Threshold]\n");
    std::printf("             -j [n of threads, 0 for all processors]\n");
    std::printf("             -o  (print outlier marks)\n");
    std::printf("             -e  (evaluate against the labels)\n");
    std::printf("             -P [outlier label]\n");
    std::printf("             -g [svg plot file]\n");
    std::printf("             -x  (exact spatial index)\n");
    std::printf("             -b  (tiled brute force)\n");
    std::printf("             -f [%s]\n", tarn::format_names(false, "|", "|").c_str());
    std::printf("             -L [label column or none]\n");
    std::printf("             -F [feature columns]\n");
    std::printf("             -s  (print the rule's score)\n");
    std::printf("             -c [share of the most outlying to mark]\n");
    std::printf("             -z  (standardise the features)\n");
    std::printf("             -d [euclidean|manhattan|chebyshev|minkowski:P|cosine]\n");
    std::printf("             -G [feature columns to plot, as i,j]\n");
    std::printf("             -O [table of scores (CSV, TSV), - for standard output]\n");
    std::printf("             --output-format [%s]\n", tarn::format_names(true, "|", "|").c_str());
    std::printf("             --skip [n of lines to leave out first]\n");
    std::printf("             --header  (the first row is a header)\n");
    std::printf("             --no-header  (the first row is data)\n");
    std::printf("             --na [drop|error]  (rows with missing values)\n");
    std::printf("             --decimal [,|.]\n");
    std::printf("             --id [id column]\n");
    std::printf("             --help, --version\n");
}

// --help: what tarn does, every option with its default, examples and the exit statuses. The
// rules' lines come from the rule table.
void write_help() {
    std::fputs(
        "tarn: outlier detection on the exact k-nearest-neighbour graph of a table of vectors.\n"
        "Reads one vector per line or row (text, CSV or TSV; gzip, zstd, xz or bzip2 too), its\n"
        "label in the last column, and prints one line per vector: its score and its label.\n"
        "\n"
        "usage: tarn -i FILE [options]\n"
        "\n"
        "Input\n"
        "  -i FILE     the vectors; - reads standard input (required)\n",
        stdout);
    std::printf("  -f FORMAT   %s (default: by the file's name)\n",
                tarn::format_names(false, ", ", " or ").c_str());
    std::fputs(
        "  -L COLUMN   the label column: a name, a number from 1, or none (default: the last)\n"
        "  -F COLUMNS  the feature columns, names or numbers: -F x,y (default: all but the label)\n"
        "  -z          standardise every feature column before any distance (default: off)\n"
        "  --skip N    leave out the first N lines, a note before the header (default: 0)\n"
        "  --header, --no-header   the first row of a CSV or TSV file is, or is not, a header\n"
        "              (default: guessed from it and the rows after it)\n"
        "  --na drop|error   rows with a missing value (empty, NA, NaN, null, ?) in a feature or\n"
        "              the label are left out and counted, or refused (default: error)\n"
        "  --decimal ,|.   the decimal mark of CSV and TSV numbers (default: a comma where\n"
        "              semicolons separate the fields, else a point)\n"
        "  --id COLUMN the column of row ids, kept apart and written to -O's table (default:\n"
        "              the row names R writes: a header one name short, or an empty first name)\n"
        "\n"
        "Reference set (novelty detection)\n"
        "  -R FILE     score each vector of -i against this fixed reference set instead of\n"
        "              among themselves: a vector file read like -i, or a model saved with -W\n"
        "  -W FILE     save the reference of -R (its vectors, graph and -k, -z, -d) as a model\n"
        "              file; without -i only the model is written\n"
        "\n"
        "Neighbour graph\n"
        "  -k N        the neighbours each vector keeps (default: 3)\n"
        "  -x          build it through the k-d tree (default: the faster for the data)\n"
        "  -b          build it through the brute force; the same graph either way\n"
        "  -j N        threads; 0 for one per processor; the same output (default: 1)\n"
        "  -d METRIC   the distance: euclidean, manhattan, chebyshev, minkowski:P (P a finite\n"
        "              number, 1 or more; 1 and 2 are manhattan and euclidean) or cosine, a\n"
        "              vector of norm 0 at 1 from every other, 0 from another (default: "
        "euclidean)\n"
        "\n"
        "Rule (the first given; default: the in-degree rule)\n",
        stdout);
    for (const tarn::Rule& rule : tarn::rules()) {
        if (rule.letter != 0) std::printf("  -%c          the %s rule\n", rule.letter, rule.name);
    }
    std::printf("  -r RULE     a rule by its name: %s\n", rule_keys(", ", " or ").c_str());
    std::fputs(
        "  -r all      every rule over one graph: a score column each with -s, one line\n"
        "              each in -e's comparison table\n",
        stdout);
    std::fputs(
        "  -I N        the default rule marks an in-degree of N or less (default: 0)\n"
        "  -T X        -M, -X and -l mark a score above X (default: 0.0)\n"
        "  -c SHARE    mark the most outlying share instead of -I and -T: -c 0.05 for 5 %\n"
        "\n"
        "Output\n"
        "  -s          print the rule's ranking score as the first field (default: the local\n"
        "              outlier factor with -l, 0 otherwise)\n"
        "  -o          print the outlier mark (1 or 0) as a third field\n"
        "  -e          evaluate the marks and the ranking against the labels, on standard error\n"
        "  -P LABEL    the outlier class of -e and -g: a number or a class name (default: 1)\n"
        "  -g FILE     write an SVG picture of the verdict: -g verdict.svg\n"
        "  -G I,J      the feature columns the picture plots: -G 3,1 (default: 1,2)\n"
        "  -O FILE     write a table of scores instead of the report: a header, then each row's\n"
        "              id, score, mark, label and class name; - for standard output\n",
        stdout);
    std::printf(
        "  --output-format %s   the table's format (default: tsv for a name ending in .tsv,\n",
        tarn::format_names(true, "|", "|").c_str());
    std::fputs(
        "              csv otherwise)\n"
        "  --help      this text; --version: tarn's version\n"
        "\n"
        "Examples\n"
        "  tarn -l -k 10 -i points.txt                  local outlier factors\n"
        "  tarn -l -k 10 -c 0.05 -z -s -o -i data.csv   the 5 % most outlying, standardised\n"
        "  tarn -l -k 10 -e -P anomaly -g v.svg -i data.csv.gz\n"
        "\n"
        "Exit status: 0 when the report is complete; 255 when the run stopped before it (the\n"
        "reason on standard output or standard error) or its output could not be written.\n",
        stdout);
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
    p->header = -1;
    p->minkowski_p = 2.0;
    return p;
}

void parse_params(Parameters* parap, int argc, char** argv) {
    int option;
    while ((option = getopt_long(argc, argv, option_string(), kLongOptions, nullptr)) != -1) {
        if (select_rule(parap, option)) continue;
        switch (option) {
            case 'r':
                select_rule_by_key(parap, optarg);
                break;
            case 'i':
                replace_text(&parap->instr, optarg);
                break;
            case 'I':
                parap->I = to_int32(optarg);
                break;
            case 'k':
                parap->k = to_int32(optarg);
                parap->shaping_given |= kGivenK;
                break;
            case 'R':
                replace_text(&parap->reference, optarg);
                break;
            case 'W':
                replace_text(&parap->model_path, optarg);
                break;
            case 'T':
                parap->th = std::strtod(optarg, nullptr);
                parap->threshold_given = 1;
                break;
            case 'j':
                parap->threads = to_threads(optarg);
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
                if (parap->format < 0) {
                    const std::string why =
                        "is not a format: " + tarn::format_names(false, ", ", " or ");
                    refuse_value("-f", optarg, why.c_str());
                }
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
                parap->shaping_given |= kGivenStandardise;
                break;
            case 'd':
                to_metric(optarg, parap);
                parap->shaping_given |= kGivenMetric;
                break;
            case 'G':
                to_plot_columns(optarg, parap);
                break;
            case 'O':
                replace_text(&parap->output_path, optarg);
                break;
            case kOutputFormat:
                parap->output_format = tableKindOf(optarg);
                if (const tarn::FileFormat* format = tarn::file_format(parap->output_format);
                    format == nullptr || !format->output) {
                    const std::string why =
                        "is not a table format: " + tarn::format_names(true, ", ", " or ");
                    refuse_value("--output-format", optarg, why.c_str());
                }
                break;
            case kSkip:
                parap->skip = to_skip(optarg);
                break;
            case kHeader:
                parap->header = 1;
                break;
            case kNoHeader:
                parap->header = 0;
                break;
            case kMissing:
                if (std::strcmp(optarg, "drop") != 0 && std::strcmp(optarg, "error") != 0)
                    refuse_value("--na", optarg, "is not drop or error");
                parap->missing = optarg[0] == 'd' ? TABLE_NA_DROP : TABLE_NA_ERROR;
                break;
            case kDecimal:
                if (std::strcmp(optarg, ",") != 0 && std::strcmp(optarg, ".") != 0)
                    refuse_value("--decimal", optarg, "is not a decimal mark: , or .");
                parap->decimal = optarg[0];
                break;
            case kId:
                replace_text(&parap->id_column, optarg);
                break;
            case kHelp:
                write_help();
                finish_printing("help");
            case kVersion:
                std::printf("tarn %s\n", TARN_VERSION);
                finish_printing("version");
            default:
                print_usage();
        }
    }
    for (int i = optind; i < argc; ++i)
        warn_stray_word(argv[i]);
    if (parap->plot_x >= 0 && parap->plotstr == nullptr) {
        std::fprintf(stderr, "tarn: ignoring -G %d,%d: no picture is asked for (-g file.svg)\n",
                     parap->plot_x + 1, parap->plot_y + 1);
    }
    if (parap->all_rules == 1 && parap->plotstr != nullptr)
        refuse_value("-g", parap->plotstr, "draws one rule's verdict: give -r KEY, not -r all");
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
    if (p->model_path != nullptr && p->reference != nullptr) return;  // only the model
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

namespace {

// Writes a report's score into [at, end): "%f" of it rounded to single precision, or for a rule
// with precise scores "%.9g" of the double, as printf prints them (to_chars formats exactly as
// printf does in the C locale, not-a-number and infinity included, in a third of the time).
// Returns one past the last character, or nullptr when it does not fit.
char* put_score(char* at, char* end, double score, bool precise) {
    const std::to_chars_result put =
        precise ? std::to_chars(at, end, score, std::chars_format::general, 9)
                : std::to_chars(at, end, static_cast<double>(static_cast<float>(score)),
                                std::chars_format::fixed, 6);
    return put.ec == std::errc() ? put.ptr : nullptr;
}

// " <value>" into [at, end); nullptr when it does not fit.
char* put_field(char* at, char* end, int32_t value) {
    if (at == nullptr || at == end) return nullptr;
    *at++ = ' ';
    const std::to_chars_result put = std::to_chars(at, end, value);
    return put.ec == std::errc() ? put.ptr : nullptr;
}

// Formats one report line into line (size bytes), returning its length as snprintf does (the
// length it needs where it does not fit): the score (put_score), the label, with marks the
// mark, and a newline.
int format_report_line(char* line, size_t size, double score, int32_t label, int32_t marked,
                       bool marks, bool precise) {
    char* const end = line + size;
    char* at = put_field(put_score(line, end, score, precise), end, label);
    if (marks) at = put_field(at, end, marked);
    if (at != nullptr && at != end) {
        *at++ = '\n';
        return static_cast<int>(at - line);
    }
    if (precise) {
        return marks ? std::snprintf(line, size, "%.9g %d %d\n", score, label, marked)
                     : std::snprintf(line, size, "%.9g %d\n", score, label);
    }
    const double rounded = static_cast<double>(static_cast<float>(score));
    return marks ? std::snprintf(line, size, "%f %d %d\n", rounded, label, marked)
                 : std::snprintf(line, size, "%f %d\n", rounded, label);
}

// Formats one report line and hands its text to take(text, length): from a buffer on the stack,
// or for a line longer than it (never in practice) from the heap.
template <typename Take>
void with_report_line(double score, int32_t label, int32_t marked, bool marks, bool precise,
                      Take take) {
    auto format = [&](char* line, size_t size) {
        return format_report_line(line, size, score, label, marked, marks, precise);
    };
    char line[128];
    const size_t length = static_cast<size_t>(format(line, sizeof line));
    if (length < sizeof line) {
        take(line, length);
        return;
    }
    std::string longer(length + 1, '\0');
    format(longer.data(), longer.size());
    take(longer.data(), length);
}

// Appends one report line as print_report_line prints it.
void append_report_line(std::string& out, double score, int32_t label, int32_t marked, bool marks,
                        bool precise) {
    with_report_line(score, label, marked, marks, precise,
                     [&](const char* text, size_t length) { out.append(text, length); });
}

}  // namespace

void print_rule_columns(const Verdict* const* verdicts, const Parameters* p) {
    const size_t n = verdicts[0]->score.size();
    std::string line;
    char field[64];
    for (size_t i = 0; i < n; ++i) {
        for (size_t r = 0; r < rules().size(); ++r) {
            const Verdict& v = *verdicts[r];
            const double score = p->print_score == 1 ? v.score[i] : v.lof[i];
            // A float's "%f" is at most 47 characters, a "%.9g" at most 16: the field holds it.
            char* end = put_score(field, field + sizeof field, score, rules()[r].precise_score);
            line.append(field, static_cast<size_t>(end - field));
            line += ' ';
        }
        line += std::to_string(verdicts[0]->label[i]);
        for (size_t r = 0; p->marks == 1 && r < rules().size(); ++r)
            line += verdicts[r]->marked[i] != 0 ? " 1" : " 0";
        line += '\n';
        if (line.size() >= 1 << 16 || i + 1 == n) {
            std::fwrite(line.data(), 1, line.size(), stdout);
            line.clear();
        }
    }
}

void print_report_line(double score, int32_t label, int32_t marked, const Parameters* p) {
    with_report_line(score, label, marked, p != nullptr && p->marks == 1,
                     p != nullptr && selected_rule(p).precise_score,
                     [](const char* text, size_t length) { std::fwrite(text, 1, length, stdout); });
}

namespace {

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
    const bool precise = selected_rule(p).precise_score;
    const int32_t threads = worker_threads(p->threads);
    // A window of blocks is formatted on the threads, then written in order.
    std::vector<ReportBlock> blocks(static_cast<size_t>(threads) * 4);
    const int32_t window = kReportBlock * static_cast<int32_t>(blocks.size());
    for (int32_t first = 0; first < n; first += window) {
        const int32_t count = std::min(window, n - first);
        auto format = [&](int32_t, int32_t begin, int32_t end) {
            std::string& block = blocks[static_cast<size_t>(begin / kReportBlock)].text;
            block.clear();
            for (int32_t i = first + begin; i < first + end; ++i)
                append_report_line(block, score[i], label[i], marked[i], marks, precise);
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

void warn_of_overflow(const tarn::Metric& metric) {
    switch (metric.kind) {
        case tarn::MetricKind::kEuclidean:
            std::fputs(
                "tarn: distances overflow beyond 1.8e308 (coordinates above about 1e154); "
                "scale the data\n",
                stderr);
            return;
        case tarn::MetricKind::kCosine:
            std::fputs(
                "tarn: squared norms overflow beyond 1.8e308 (coordinates above about "
                "1e154): their cosine distances are not numbers; scale the data\n",
                stderr);
            return;
        default:
            std::fputs("tarn: distances overflow beyond 1.8e308; scale the data\n", stderr);
    }
}

void warn_of_non_finite(const Rows& rows) {
    constexpr int32_t kNamed = 3;  // vectors named; the others are counted
    int32_t found = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const double* row = rows[i];
        const double* bad = std::find_if(row, row + rows.features,
                                         [](double value) { return !std::isfinite(value); });
        if (bad == row + rows.features) continue;
        if (++found > kNamed) continue;
        std::fprintf(stderr,
                     "tarn: vector %zu holds %g in feature column %td: its distances are not "
                     "numbers or infinite, and so may be the scores they reach; leave it out or "
                     "give it a finite value\n",
                     i + 1, *bad, bad - row + 1);
    }
    if (found > kNamed)
        std::fprintf(stderr, "tarn: and %d more vectors hold NaN or Inf\n", found - kNamed);
}

void refuse_plot_over_input(const Parameters* p) {
    std::fprintf(stderr, "Cannot write the plot to %s: it is the input file\n", p->plotstr);
}

void report_plot_failure(const Parameters* p, int error) {
    std::fprintf(stderr, "Cannot write the plot to %s: %s\n", p->plotstr, std::strerror(error));
}

void report_scores_failure(const Parameters* p, int error) {
    std::fprintf(stderr, "Cannot write the scores to %s: %s\n", p->output_path,
                 std::strerror(error));
}

bool output_names_input(const Parameters* p) {
    if (p->plotstr != nullptr && plot_names_input(p->plotstr, p->instr)) {
        refuse_plot_over_input(p);
        return true;
    }
    if (p->output_path != nullptr && std::strcmp(p->output_path, "-") != 0 &&
        names_the_input(p->output_path, p->instr)) {
        std::fprintf(stderr, "Cannot write the scores to %s: it is the input file\n",
                     p->output_path);
        return true;
    }
    return false;
}

void report_evaluation_failure(int error) {
    std::fprintf(stderr, "tarn: cannot write the evaluation to standard error: %s\n",
                 std::strerror(error));
}

void warn_of_duplicates(DuplicateScores counts, const char* score_name) {
    if (counts.nan + counts.inf == 0) return;
    std::fprintf(stderr,
                 "tarn: %d vectors have %s nan and %d inf: duplicated points (see README)\n",
                 counts.nan, score_name, counts.inf);
}

void release(Graph* g, Parameters* parap) {
    if (g != nullptr) free_graph(g);
    std::free(g);
    std::free(parap->instr);
    std::free(parap->plotstr);
    std::free(parap->label_column);
    std::free(parap->feature_columns);
    std::free(parap->outlier_name);
    std::free(parap->output_path);
    std::free(parap->id_column);
    std::free(parap->reference);
    std::free(parap->model_path);
    std::free(parap);
}

}  // namespace tarn

namespace tarn {

void finish_report() {
    // The final flush names its own failure; a failure of an earlier write has left its errno,
    // which the successful writes after it do not clear.
    const int earlier = errno;
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        report_not_written(errno != 0 ? errno : earlier);
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
