// The memory estimate of a run's graph and the decision to stop before the edges.
#include "detect/budget.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "detect/construct.h"
#include "driver/tarn.h"
#include "rules/rules.h"
#include "tests/testkit.h"

namespace {

using namespace tarn;

using testkit::TempFile;

TEST(Budget, AllocatorBlocksAreHeaderPlusRequestInGranulesOfSixteen) {
    struct Case {
        double request;
        double block;
    };
    const Case cases[] = {{0, 32},  {1, 32},  {24, 32},   {25, 48},   {40, 48},
                          {48, 64}, {56, 64}, {104, 112}, {120, 128}, {4096, 4112}};
    for (const Case& c : cases)
        EXPECT_EQ(allocator_bytes(c.request), c.block) << c.request;
}

TEST(Budget, GraphNeedCountsVertexVectorAndTwoRecordsPerPair) {
    // 4 vertices of 3 components: a vertex record (104 bytes, slab-carved), a vector record (16:
    // 32) and 3 doubles (24: 32) each. 4 × 2 pairs of two 48-byte records, slab-carved; the working
    // copy of 2 components and a vertex pointer per vertex, and 2^16 list entries of 24 bytes.
    const GraphNeed need = graph_need(4, 3, 2);
    EXPECT_EQ(need.vectors, 4 * (104 + 32 + 32));
    EXPECT_EQ(need.edges, 8 * 2 * 48 + 4 * (2 * 8 + 8) + 65536 * 24);
}

TEST(Budget, TheRulesWorkingMemoryCountsWhenItExceedsTheConstructions) {
    // The rule runs after the construction's working set is released: the larger one counts.
    const GraphNeed plain = graph_need(1000, 3, 10);
    const double pairs = 1000.0 * 10 * 2 * 48;
    const double working = plain.edges - pairs;
    EXPECT_EQ(graph_need(1000, 3, 10, false, 1, working / 2).edges, plain.edges);
    EXPECT_EQ(graph_need(1000, 3, 10, false, 1, working * 3).edges, pairs + working * 3);
}

TEST(Budget, GraphNeedDoesNotWrapAtTheLimits) {
    const int32_t max = std::numeric_limits<int32_t>::max();
    const GraphNeed need = graph_need(max, 3, max - 1);
    EXPECT_TRUE(std::isfinite(need.edges));
    EXPECT_GT(need.edges, 1e20);  // about 2^62 pairs of 96 bytes
    EXPECT_FALSE(graph_fits(need, 1e18));
}

TEST(Budget, EdgesMustFitWhatIsAvailable) {
    const GraphNeed need{1000.0, 5000.0};  // the vectors are already held
    EXPECT_TRUE(graph_fits(need, 5000.0));
    EXPECT_TRUE(graph_fits(need, 1e12));
    EXPECT_FALSE(graph_fits(need, 4999.0));
    EXPECT_FALSE(graph_fits(need, 0.0));
}

TEST(Budget, AvailableMemoryComesFromMeminfo) {
    TempFile meminfo(
        "MemTotal:       1000 kB\nMemFree:         500 kB\nMemAvailable:    750 kB\n"
        "Buffers:          10 kB\n");
    EXPECT_EQ(available_memory(meminfo.path().c_str()), 750.0 * 1024);
    TempFile old_kernel("MemTotal:       1000 kB\nMemFree:         500 kB\n");
    EXPECT_EQ(available_memory(old_kernel.path().c_str()), -1.0);
    EXPECT_EQ(available_memory("/nonexistent/meminfo"), -1.0);
}

TEST(Budget, TheSmallestLimitBindsAndIsNamed) {
    // A fake /proc and cgroup tree per case; meminfo gives 1000 KiB unless a case leaves it out.
    using Files = std::vector<std::pair<std::string, std::string>>;
    const char* v2 = " under the cgroup's memory.max";
    const char* v1 = " under the cgroup's memory.limit_in_bytes";
    struct Case {
        Files files;
        double bytes;
        std::string where;
    };
    const std::string meminfo = "MemTotal: 4000 kB\nMemAvailable: 1000 kB\n";
    const Case cases[] = {
        {{{"proc/meminfo", meminfo}}, 1024000, ""},
        {{}, -1, ""},
        {{{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/a/b\n"},
          {"cg/a/b/memory.max", "800000\n"},
          {"cg/a/b/memory.current", "300000\n"}},
         500000,
         v2},
        {{{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/a/b\n"},
          {"cg/a/b/memory.max", "800000\n"},
          {"cg/a/b/memory.current", "300000\n"},
          {"cg/a/memory.max", "400000\n"},
          {"cg/a/memory.current", "300000\n"}},
         100000,
         v2},
        {{{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/a\n"},
          {"cg/a/memory.max", "max\n"},
          {"cg/a/memory.current", "300000\n"}},
         1024000,
         ""},
        {{{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/\n"},
          {"cg/unified/memory.max", "90000\n"},
          {"cg/unified/memory.current", "10000\n"}},
         80000,
         v2},
        {{{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "5:devices:/\n4:memory:/x\n0::/\n"},
          {"cg/memory/x/memory.limit_in_bytes", "700000\n"},
          {"cg/memory/x/memory.usage_in_bytes", "100000\n"}},
         600000,
         v1},
        {{{"proc/self/cgroup", "3:cpu,memory:/x/y\n"},
          {"cg/memory/memory.limit_in_bytes", "9223372036854771712\n"},
          {"cg/memory/memory.usage_in_bytes", "100000\n"},
          {"cg/memory/x/y/memory.limit_in_bytes", "200000\n"},
          {"cg/memory/x/y/memory.usage_in_bytes", "250000\n"}},
         0,
         v1},
    };
    for (const Case& c : cases) {
        char folder_template[] = "/tmp/tarn-limits-XXXXXX";
        const std::filesystem::path root = mkdtemp(folder_template);
        for (const auto& [name, contents] : c.files) {
            std::filesystem::create_directories((root / name).parent_path());
            std::ofstream(root / name) << contents;
        }
        const std::string proc = root / "proc", cgroup = root / "cg";
        const MemoryLimit limit = memory_limit({proc.c_str(), cgroup.c_str()});
        EXPECT_EQ(limit.bytes, c.bytes) << c.files.size() << " files, " << c.where;
        EXPECT_EQ(std::string(limit.where), c.where) << c.files.size() << " files";
        std::filesystem::remove_all(root);
    }
}

TEST(Budget, AnAddressSpaceLimitStopsTheRunAndIsNamed) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit allows";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the address sanitizer reserves more address space than any limit allows";
#endif
#endif
    // 20000 vectors keeping 10000 neighbours each need over 0.8 GB (4 bytes a target); ulimit
    // -v 512 MiB binds.
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "0 0\n";
    TempFile input(text);
    const testkit::Outcome outcome = testkit::run_in_child([&] {
        const rlimit address_space{512 << 20, 512 << 20};
        setrlimit(RLIMIT_AS, &address_space);
        execl(TARN_BINARY, TARN_BINARY, "-k", "10000", "-i", input.path().c_str(),
              static_cast<char*>(nullptr));
    });
    EXPECT_EQ(outcome.status, 255);
    double need_mib = 0, available_mib = 0;
    char where[128] = "";
    ASSERT_EQ(
        std::sscanf(outcome.out.c_str(),
                    "The graph needs %lf MiB of memory, but only %lf MiB are available%127[^\n]",
                    &need_mib, &available_mib, where),
        3)
        << outcome.out;
    EXPECT_STREQ(where, " under the address-space limit (ulimit -v)");
    EXPECT_LT(available_mib, 512);
    EXPECT_GT(need_mib, 20000.0 * 10000 * 4 / 1048576);
}

TEST(Budget, ARunTooBigForTheMachineStopsBeforeTheEdges) {
    if (available_memory() < 0) GTEST_SKIP() << "no MemAvailable on this system";
    // 100000 vectors keeping 99999 neighbours each need about 10^10 edge pairs, over a
    // terabyte, while loading them takes a few megabytes.
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "0 0\n";
    TempFile input(text);
    // The check weighs the builder that will run: -b's, -x's, or without either the brute
    // force, which the choice takes when k is near n.
    const std::pair<const char*, bool> builders[] = {{"-b", false}, {"-x", true}, {"", false}};
    for (const auto& [option, indexed] : builders) {
        std::vector<std::string> args = {"-k", "99999", "-i", input.path()};
        if (*option != '\0') args.push_back(option);
        const testkit::Outcome outcome = testkit::run_tarn(args);
        EXPECT_EQ(outcome.status, 255);
        EXPECT_EQ(outcome.err, "");
        double need_mib = 0, available_mib = 0;
        ASSERT_EQ(std::sscanf(outcome.out.c_str(),
                              "The graph needs %lf MiB of memory, but only %lf MiB are available\n",
                              &need_mib, &available_mib),
                  2)
            << outcome.out;
        Parameters* p = init_params();
        const GraphNeed need =
            lists_need(100000, 2, 99999, indexed, 1, tarn::judge_bytes(p, 100000, 99999), -1,
                       tarn::VectorsHeld::kFeatures);
        std::free(p);
        EXPECT_EQ(need_mib, std::round((need.vectors + need.edges) / 1048576.0)) << option;
        EXPECT_LT(available_mib, need_mib);
        EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 1);  // no report line
    }
}

}  // namespace
