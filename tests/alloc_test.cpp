// Allocation failures. This program is linked with malloc, calloc, realloc, aligned_alloc and
// free wrapped (the linker's --wrap, see tests/CMakeLists.txt), which affects the library code
// linked into it and nothing else: the product never carries the seam. Each operation runs
// once with its 1st allocation failing, once with its 2nd, and so on until a run sees no
// failure; every failing run must give exactly the reports of its row, the operation's failure
// value, and leave no block behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "detect/core.h"
#include "detect/init.h"
#include "driver/run.h"
#include "driver/tarn.h"
#include "errors/errorapi.h"
#include "tests/testkit.h"
#include "vectors/fvector.h"
#include "vectors/readnums.h"

namespace {

// The seam's state. Only counted allocations can fail, and only while armed.
struct Seam {
    bool armed = false;
    bool new_too = false;  // operator new counts (and fails) like malloc
    long seen = 0;         // allocations asked for since arming
    long fail_at = 0;      // the one that fails, 1-based
    long live = 0;         // blocks handed out by the wrapped functions and not yet freed
};
Seam seam;

bool fail_now() {
    return seam.armed && ++seam.seen == seam.fail_at;
}

}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void* __real_aligned_alloc(size_t alignment, size_t size);
void __real_free(void* block);

void* __wrap_malloc(size_t size) {
    if (fail_now()) return nullptr;
    void* block = __real_malloc(size);
    if (block != nullptr) ++seam.live;
    return block;
}

void* __wrap_calloc(size_t count, size_t size) {
    if (fail_now()) return nullptr;
    void* block = __real_calloc(count, size);
    if (block != nullptr) ++seam.live;
    return block;
}

void* __wrap_realloc(void* block, size_t size) {
    if (fail_now()) return nullptr;
    void* moved = __real_realloc(block, size);
    if (block == nullptr && moved != nullptr) ++seam.live;
    return moved;
}

void* __wrap_aligned_alloc(size_t alignment, size_t size) {
    if (fail_now()) return nullptr;
    void* block = __real_aligned_alloc(alignment, size);
    if (block != nullptr) ++seam.live;
    return block;
}

void __wrap_free(void* block) {
    if (block != nullptr) --seam.live;
    __real_free(block);
}
}

// operator new takes part in the seam only where a test asks for it; elsewhere its blocks come
// from the C library's malloc, uncounted, so that the tables above number malloc's calls alone.
void* operator new(std::size_t size) {
    if (seam.new_too && fail_now()) throw tarn::AllocationFailure(size);
    if (void* block = __real_malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

// The library's nothrow requests (std::stable_sort's buffer) are released through the sized
// delete, so they come from the same malloc; a failure gives null, which the caller falls back
// from.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (seam.new_too && fail_now()) return nullptr;
    return __real_malloc(size == 0 ? 1 : size);
}

void operator delete(void* block) noexcept {
    __real_free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    __real_free(block);
}

namespace {

using testkit::Report;
using testkit::ReportCapture;
using testkit::TempFile;
using testkit::vector_of;

// Fails the fail_at-th allocation while it lives.
class Injection {
public:
    explicit Injection(long fail_at, bool new_too = false) {
        seam.seen = 0;
        seam.fail_at = fail_at;
        seam.new_too = new_too;
        seam.armed = true;
    }
    ~Injection() { seam.armed = false, seam.new_too = false; }
    Injection(const Injection&) = delete;
    Injection& operator=(const Injection&) = delete;
};

Report memory(int32_t line) {
    return testkit::report(ESR_NOT_ENOUGH_MEMORY, "fvector.c", line);
}
Report create(int32_t line) {
    return testkit::report(ESR_VECTOR_CREATE, "fvector.c", line);
}

// attempt(n) sets up its inputs, runs the operation inside an Injection(n), checks what it can
// see of the result, releases everything and returns whether the operation failed. Row i of
// expected holds the reports of the run whose allocation i + 1 fails; the run after the last
// row must succeed without a report.
void sweep(const char* what, const std::vector<std::vector<Report>>& expected,
           const std::function<bool(long)>& attempt) {
    for (long n = 1; n <= static_cast<long>(expected.size()) + 1; ++n) {
        ReportCapture capture;
        const long live = seam.live;
        const std::string err = testkit::capture_stderr([&] {
            const bool failed = attempt(n);
            EXPECT_EQ(failed, n <= static_cast<long>(expected.size()))
                << what << ", allocation " << n << " failing";
        });
        EXPECT_EQ(seam.live, live) << what << " leaks with allocation " << n << " failing";
        const std::vector<Report> none;
        EXPECT_EQ(capture.reports(),
                  n <= static_cast<long>(expected.size()) ? expected[n - 1] : none)
            << what << ", allocation " << n << " failing";
        EXPECT_EQ(err, "") << what;
    }
}

// A set of capacity 1 holding one vector [1, 2, 3].
HFSET one_vector_set() {
    HFSET fvs = fvsCreate(1, 3);
    fvsAddVector(fvs, vector_of({1, 2, 3}));
    return fvs;
}

TEST(AllocationFailure, SingleVectors) {
    sweep("fvCreate", {{memory(62)}, {memory(69)}}, [](long n) {
        HFV fv;
        {
            Injection injection(n);
            fv = fvCreate(3);
        }
        if (fv == nullptr) return true;
        fvDestroy(fv);
        return false;
    });
    HFV source = vector_of({1, 2, 3});
    sweep("fvCreateCopy", {{memory(62), create(135)}, {memory(69), create(135)}}, [&](long n) {
        HFV copy;
        {
            Injection injection(n);
            copy = fvCreateCopy(source);
        }
        if (copy == nullptr) return true;
        EXPECT_EQ(copy->vector[2], 3.0);
        fvDestroy(copy);
        return false;
    });
    fvDestroy(source);
}

TEST(AllocationFailure, Sets) {
    sweep("fvsCreate", {{memory(727)}, {memory(746)}}, [](long n) {
        HFSET fvs;
        {
            Injection injection(n);
            fvs = fvsCreate(4, 3);
        }
        if (fvs == nullptr) return true;
        fvsDestroy(fvs);
        return false;
    });
    sweep("fvsAddVector growth", {{memory(829)}}, [](long n) {
        HFSET fvs = one_vector_set();
        HFV fv = vector_of({4, 5, 6});
        int32_t count;
        {
            Injection injection(n);
            count = fvsAddVector(fvs, fv);
        }
        if (count == 0) {
            // The set is unchanged and the vector still the caller's.
            EXPECT_EQ(fvs->vector_number, 1);
            EXPECT_EQ(fvs->array_size, 1);
            EXPECT_EQ(fvs->vectors[0]->vector[0], 1.0);
            fvDestroy(fv);
        }
        fvsDestroy(fvs);
        return count == 0;
    });
    sweep("fvsAddVectorCopy",
          {{memory(62), create(135), testkit::report(ESR_VECTOR_COPY, "fvector.c", 873)},
           {memory(69), create(135), testkit::report(ESR_VECTOR_COPY, "fvector.c", 873)},
           {memory(829), testkit::report(ESR_VECTOR_SET_ADD, "fvector.c", 880)}},
          [](long n) {
              HFSET fvs = one_vector_set();
              HFV fv = vector_of({4, 5, 6});
              int32_t count;
              {
                  Injection injection(n);
                  count = fvsAddVectorCopy(fvs, fv);
              }
              EXPECT_EQ(fvs->vector_number, count == 0 ? 1 : 2);
              fvDestroy(fv);
              fvsDestroy(fvs);
              return count == 0;
          });
    sweep("fvsCopy",
          {{memory(727)},
           {memory(746)},
           {memory(62), create(135)},
           {memory(69), create(135)},
           {memory(62), create(135)},
           {memory(69), create(135)}},
          [](long n) {
              HFSET fvs = one_vector_set();
              fvsAddVector(fvs, vector_of({4, 5, 6}));
              HFSET copy;
              {
                  Injection injection(n);
                  copy = fvsCopy(fvs);
              }
              if (copy != nullptr) {
                  EXPECT_EQ(copy->vectors[1]->vector[2], 6.0);
              }
              fvsDestroy(copy);
              fvsDestroy(fvs);
              return copy == nullptr;
          });
    sweep("fvsMerge", {{memory(1400)}}, [](long n) {
        HFSET first = one_vector_set(), second = one_vector_set();
        HFSET merged;
        {
            Injection injection(n);
            merged = fvsMerge(first, second);
        }
        if (merged == nullptr) {
            // Both sets unchanged and still the caller's.
            EXPECT_EQ(first->vector_number, 1);
            EXPECT_EQ(second->vector_number, 1);
            fvsDestroy(first);
            fvsDestroy(second);
            return true;
        }
        EXPECT_EQ(merged->vector_number, 2);
        fvsDestroy(merged);
        return false;
    });
}

TEST(AllocationFailure, Reader) {
    sweep("readnumsCreate", {{}}, [](long n) {
        ReadNums* reader;
        {
            Injection injection(n);
            reader = readnumsCreate();
        }
        readnumsDestroy(reader);
        return reader == nullptr;
    });
    // 1500 numbers on a line of about 8000 characters: the number buffer, the line buffer, three
    // doublings of the line buffer (1024 to 8192) and one of the number buffer (1024 to 2048).
    std::string line;
    for (int i = 1; i <= 1500; ++i)
        line += std::to_string(i) + ", ";
    TempFile file(line + "\n");
    sweep("ReadVector", {{}, {}, {}, {}, {}, {}}, [&](long n) {
        FILE* stream = std::fopen(file.path().c_str(), "r");
        ReadNums* reader = readnumsCreate();
        int32_t dimensionality = 0, incomplete = -1, errors = -1;
        const double* values;
        {
            Injection injection(n);
            values = ReadVector(reader, stream, &dimensionality, &incomplete, &errors);
        }
        if (values == nullptr) {
            // Told apart from a malformed line by the buffer the reader lacks.
            EXPECT_EQ(errors, 1);
            EXPECT_EQ(incomplete, 0);
            EXPECT_TRUE(reader->Buffer == nullptr || reader->BufferVector == nullptr);
        } else {
            EXPECT_EQ(dimensionality, 1500);
            EXPECT_EQ(values[1499], 1500.0);
        }
        readnumsDestroy(reader);
        std::fclose(stream);
        return values == nullptr;
    });
}

TEST(AllocationFailure, Load) {
    // The reader and its two buffers, the set and its slots, then per vector its components,
    // its record and, from the second on, the set's growth (capacity 1, 2, 4).
    TempFile file("% three vectors\n1 2 0\n3 4 1\n5 6 0\n");
    sweep("fvsLoad",
          {{memory(1202)},
           {memory(1210)},
           {memory(1210)},
           {memory(727)},
           {memory(746)},
           {memory(1232)},
           {memory(105)},
           {memory(1232)},
           {memory(105)},
           {memory(829)},
           {memory(1232)},
           {memory(105)},
           {memory(829)}},
          [&](long n) {
              HFSET fvs;
              {
                  Injection injection(n);
                  fvs = fvsLoad(file.path().c_str());
              }
              if (fvs != nullptr) {
                  EXPECT_EQ(fvs->vectors[2]->vector[0], 5.0);
              }
              fvsDestroy(fvs);
              return fvs == nullptr;
          });
}

TEST(AllocationFailure, RunEndsWithTheAllocationMessage) {
    TempFile file("0 0 0\n1 0 0\n3 0 0\n10 0 1\n4 1 0\n");
    const std::string report = "0.000000 0\n0.000000 0\n0.000000 0\n0.000000 1\n0.000000 0\n";
    const std::regex allocation("Allocation of [0-9]+ bytes failed\n");
    const std::string cannot_load = "Cannot load vectors from " + file.path() + "\n";
    long failures = 0;
    for (long n = 1;; ++n) {
        const testkit::Outcome outcome = testkit::run_in_child([&] {
            Injection injection(n);
            Parameters* p = init_params();
            const char* argv[] = {"tarn", "-k", "2", "-i", file.path().c_str(), nullptr};
            optind = 0;
            parse_params(p, 5, const_cast<char**>(argv));
            Graph* g = init(p);
            print_results(g, p);
            if (seam.seen >= n) {
                std::printf("allocation %ld failed unnoticed\n", n);
                std::fflush(stdout);
                _exit(1);
            }
        });
        if (outcome.status == 0) {
            EXPECT_EQ(outcome.out, report);
            EXPECT_EQ(outcome.err, "");
            break;
        }
        ++failures;
        // Either the graph or driver code ended the run, or the load refused after its report;
        // never a report line.
        EXPECT_EQ(outcome.status, 255) << "allocation " << n << ": " << outcome.out;
        EXPECT_TRUE(std::regex_match(outcome.out, allocation) || outcome.out == cannot_load)
            << "allocation " << n << ": " << outcome.out;
        if (outcome.out == cannot_load) {
            EXPECT_NE(outcome.err.find("error 2 (Not enough memory"), std::string::npos)
                << outcome.err;
        }
        ASSERT_LT(n, 1000) << "the run never completes";
    }
    EXPECT_GT(failures, 20);  // the load, the vertices, the edges and the walks all allocate
}

// Every allocation of a detection in memory failing in turn, operator new's included: an
// allocation error every time, nothing printed, nothing left behind, until one completes.
TEST(AllocationFailure, TheCoreReturnsAnErrorAndKeepsNothing) {
    const std::vector<double> six = {0, 0, 0, 1, 0, 0, 3, 0, 0, 10, 0, 1, 4, 1, 0, 4, 2, 0};
    // Enough sources for two chunks of k = n − 1 lists: with -j 2 one chunk is searched on its
    // own thread while the other is written.
    std::vector<double> many;
    for (int i = 0; i < 300; ++i)
        many.insert(many.end(), {double(i % 17), double(i % 23), 0.0});
    struct Options {
        const char* name;
        const std::vector<double>& rows;
        int32_t k, lof, mknn, index, threads;
    };
    const Options table[] = {{"default", six, 2, 0, 0, 0, 1},
                             {"-l -x", six, 2, 1, 0, 1, 1},
                             {"-m -j 2", six, 2, 0, 1, 0, 2},
                             {"-l -x -j 2", six, 2, 1, 0, 1, 2},
                             {"-k 299 -b -j 2, two chunks", many, 299, 0, 0, 0, 2},
                             {"-k 299 -l -x -j 2, two chunks", many, 299, 1, 0, 1, 2}};
    const std::regex allocation("Allocation of [0-9]+ bytes failed\n");
    for (const Options& o : table) {
        Parameters* p = init_params();
        p->k = o.k, p->lof = o.lof, p->mknn = o.mknn, p->index = o.index, p->threads = o.threads;
        p->brute = o.index == 1 ? 0 : 1;
        const int32_t n = static_cast<int32_t>(o.rows.size() / 3);
        tarn::Verdict expected;
        ASSERT_FALSE(tarn::detect(o.rows.data(), n, 3, p, &expected).has_value());
        long failures = 0;
        for (long at = 1;; ++at) {
            const long live = seam.live;
            std::optional<tarn::Error> failure;
            tarn::Verdict verdict;
            const std::string out = testkit::capture_stdout([&] {
                Injection injection(at, true);
                failure = tarn::detect(o.rows.data(), n, 3, p, &verdict);
            });
            EXPECT_EQ(out, "") << o.name;
            if (!failure.has_value()) {
                EXPECT_EQ(verdict.score, expected.score) << o.name;
                EXPECT_EQ(verdict.marked, expected.marked) << o.name;
                break;
            }
            ++failures;
            EXPECT_EQ(failure->kind, tarn::ErrorKind::kAllocation) << o.name << " " << at;
            EXPECT_TRUE(std::regex_match(failure->message, allocation)) << failure->message;
            verdict = tarn::Verdict();
            EXPECT_EQ(seam.live, live) << o.name << " leaks with allocation " << at << " failing";
            ASSERT_LT(at, 2000) << o.name << " never completes";
        }
        EXPECT_GT(failures, 10) << o.name;
        std::free(p);
    }
}

// Whole runs of the program with every allocation failing in turn, operator new's included:
// the allocation message and status 255, never a crash, a report only when complete.
TEST(AllocationFailure, EveryOptionEndsWithTheAllocationMessage) {
    TempFile file("0 0 0\n1 0 0\n3 0 0\n10 0 1\n4 1 0\n");
    TempFile picture;
    const std::regex allocation("Allocation (of [0-9]+ bytes )?failed\n");
    const std::vector<std::vector<std::string>> table = {
        {"-x"}, {"-l"}, {"-m"}, {"-j", "2", "-l"}, {"-e"}, {"-g", picture.path()}};
    for (const std::vector<std::string>& options : table) {
        std::vector<std::string> words = {"tarn", "-k", "2", "-i", file.path()};
        words.insert(words.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const std::string what = ::testing::PrintToString(options);
        auto run = [&](long n) {
            return testkit::run_in_child([&] {
                optind = 0;
                int status;
                {
                    Injection injection(n, true);
                    status = tarn::run_command_line(static_cast<int>(words.size()), argv.data());
                }
                std::fflush(nullptr);
                _exit(status & 0xff);
            });
        };
        const testkit::Outcome complete = run(0);
        ASSERT_EQ(complete.status, 0) << what;
        for (long n = 1;; ++n) {
            const testkit::Outcome outcome = run(n);
            if (outcome.status == 0) {
                EXPECT_EQ(outcome.out, complete.out) << what;
                EXPECT_GT(n, 20) << what;  // the load, the graph, the rule and more allocate
                break;
            }
            EXPECT_EQ(outcome.status, 255) << what << ", allocation " << n;
            // The evaluation follows the report: its failure comes after a complete one.
            std::string out = outcome.out;
            if (options[0] == "-e" && out.find("0.000000 1\n") != std::string::npos) {
                out = out.substr(out.rfind("0.000000 0\n") + 11);
            }
            const bool load = out.rfind("Cannot load vectors from ", 0) == 0;
            EXPECT_TRUE(load || std::regex_match(out, allocation))
                << what << ", allocation " << n << ": " << outcome.out;
            ASSERT_LT(n, 2000) << what << " never completes";
        }
    }
}

}  // namespace
