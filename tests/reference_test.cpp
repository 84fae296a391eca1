// Scoring vectors against a reference set (-R) and its saved model (-W): each query scored as if
// alone, the same bytes whatever the builder, the threads, the batch or the model, and every
// damaged model refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/testkit.h"

namespace {

using testkit::run_tarn;
using testkit::TempFile;

// n vectors of small whole coordinates (many ties and equal vectors), label 0; the generator
// is a fixed linear congruence.
std::string grid_points(int n, uint32_t seed, uint32_t side = 9) {
    std::ostringstream out;
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < 2; ++c) {
            seed = seed * 1103515245u + 12345u;
            out << (seed >> 16) % side << ' ';
        }
        out << (i % 7 == 0 ? 1 : 0) << '\n';
    }
    return out.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

const std::string kReference = grid_points(60, 7);
const std::string kQueries = grid_points(9, 99) + "3 4 0\n100 100 1\n";
const std::vector<std::string> kRules = {"indegree", "mutual", "mean", "max",   "lof",
                                         "knn",      "knnw",   "loop", "inflo", "cof"};

// A query's in-edges are the reference vectors that would keep it were it offered last: so for
// the rules that read only a vector's own lists, a query scores as the last vector of a run on
// the reference and that query.
TEST(Reference, AQueryScoresAsTheLastVectorOfTheReferenceWithIt) {
    TempFile reference(kReference);
    struct Row {
        std::vector<const char*> rules;
        const char* metric;
    };
    const std::vector<Row> rows = {
        {{"indegree", "mutual", "mean", "max", "knn", "knnw"}, "euclidean"},
        {{"indegree", "max", "knnw"}, "manhattan"},
        {{"indegree", "mean", "knn"}, "chebyshev"},
        {{"mutual", "max", "knn"}, "minkowski:3"},
        {{"indegree", "mean", "knnw"}, "cosine"},
    };
    for (const Row& row : rows) {
        for (const char* rule : row.rules) {
            for (const char* builder : {"-x", "-b"}) {
                const std::vector<std::string> base = {"-r", rule, "-k",       "4",
                                                       "-s", "-d", row.metric, builder};
                const std::vector<std::string> scored = lines_of(
                    run_tarn(with(base, {"-R", reference.path(), "-i", "-"}), kQueries).out);
                const std::vector<std::string> queries = lines_of(kQueries);
                ASSERT_EQ(scored.size(), queries.size()) << rule;
                for (size_t q = 0; q < queries.size(); ++q) {
                    const std::string alone =
                        run_tarn(with(base, {"-i", "-"}), kReference + queries[q] + "\n").out;
                    EXPECT_EQ(scored[q], lines_of(alone).back())
                        << rule << builder << row.metric << " query " << q;
                }
            }
        }
    }
}

// Each query is scored as if alone: a batch split anywhere, any builder and any number of
// threads print the same scores.
TEST(Reference, ScoresDoNotDependOnTheBatchTheBuilderOrTheThreads) {
    // The second reference holds each of its 9 vectors some 30 times.
    for (const std::string& points : {kReference, grid_points(270, 3, 3)}) {
        TempFile reference(points);
        const std::vector<std::string> queries = lines_of(kQueries);
        for (const std::string& rule : kRules) {
            const std::vector<std::string> base = {
                "-r", rule, "-k", "4", "-s", "-R", reference.path(), "-i", "-"};
            const std::string whole = run_tarn(base, kQueries).out;
            std::string split;
            for (size_t q = 0; q < queries.size(); q += 4) {
                std::string batch;
                for (size_t i = q; i < std::min(q + 4, queries.size()); ++i)
                    batch += queries[i] + "\n";
                split += run_tarn(base, batch).out;
            }
            EXPECT_EQ(split, whole) << rule;
            for (const char* builder : {"-x", "-b", "-j2"}) {
                EXPECT_EQ(run_tarn(with(base, {builder}), kQueries).out, whole) << rule << builder;
            }
            for (const char* metric : {"manhattan", "minkowski:2.5"}) {
                const std::vector<std::string> measured = with(base, {"-d", metric});
                EXPECT_EQ(run_tarn(with(measured, {"-x"}), kQueries).out,
                          run_tarn(with(measured, {"-b", "-j2"}), kQueries).out)
                    << rule << metric;
            }
        }
    }
}

// A saved model scores exactly as the reference rebuilt, for every rule and with -z.
TEST(Reference, AModelScoresAsTheReferenceRebuilt) {
    TempFile reference(kReference), queries(kQueries);
    for (const std::vector<std::string>& shape :
         {std::vector<std::string>{"-k", "4"}, std::vector<std::string>{"-k", "5", "-z"},
          std::vector<std::string>{"-k", "3", "-d", "minkowski:3"},
          std::vector<std::string>{"-k", "4", "-d", "cosine"}}) {
        TempFile model("", ".tarn");
        ASSERT_EQ(run_tarn(with(shape, {"-W", model.path(), "-R", reference.path()})).status, 0);
        for (const std::string& rule : kRules) {
            const std::vector<std::string> run = {"-r", rule, "-s",          "-o",
                                                  "-e", "-i", queries.path()};
            const testkit::Outcome rebuilt =
                run_tarn(with(with(run, shape), {"-R", reference.path()}));
            const testkit::Outcome saved = run_tarn(with(run, {"-R", model.path()}));
            EXPECT_EQ(saved.status, 0) << saved.out;
            EXPECT_EQ(saved.out + saved.err, rebuilt.out + rebuilt.err) << rule;
        }
    }
}

// The model file's bytes with one change.
std::string changed(std::string bytes, size_t at, const std::string& with_bytes) {
    return bytes.replace(at, with_bytes.size(), with_bytes);
}

TEST(Reference, DamagedModelsAreRefused) {
    TempFile reference(kReference), queries(kQueries), model("", ".tarn");
    ASSERT_EQ(run_tarn({"-W", model.path(), "-R", reference.path()}).status, 0);
    const std::string good = model.read();
    struct Case {
        std::string bytes;
        std::string says;
    };
    const std::vector<Case> cases = {
        {good.substr(0, 12), "is cut short"},
        {good.substr(0, 40), "is cut short"},
        {good.substr(0, good.size() - 1), "is cut short"},
        {good + "x", "holds more than its sizes say"},
        {changed(good, good.size() / 2, "\x7f"), "checksum does not match"},
        {changed(good, 8, std::string("\x01\x02\x03\x04", 4)), "other byte order"},
        {changed(good, 12, std::string("\x02\0\0\0", 4)),
         "format version 2; this tarn reads version 1"},
        {changed(good, 24, std::string("\x01\0\0\0", 4)), "sizes are out of range"},
    };
    for (const Case& c : cases) {
        TempFile damaged(c.bytes, ".tarn");
        const testkit::Outcome outcome = run_tarn({"-R", damaged.path(), "-i", queries.path()});
        EXPECT_EQ(outcome.status, 255) << c.says;
        EXPECT_NE(outcome.out.find("Cannot load the model from " + damaged.path() + ": it "),
                  std::string::npos)
            << outcome.out;
        EXPECT_NE(outcome.out.find(c.says), std::string::npos) << outcome.out;
    }
}

TEST(Reference, CombinationsThatCannotWorkAreRefused) {
    TempFile reference(kReference), queries(kQueries), model("", ".tarn"), wide("1 2 3 0\n");
    ASSERT_EQ(run_tarn({"-k", "4", "-W", model.path(), "-R", reference.path()}).status, 0);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-W", model.path(), "-i", queries.path()}, "-W saves the reference set of -R"},
        {{"-R", "-", "-i", "-"}, "-i and -R cannot both read standard input"},
        {{"-W", reference.path(), "-R", reference.path()}, "it is an input file"},
        {{"-k", "3", "-R", model.path(), "-i", queries.path()}, "built with -k 4, not -k 3"},
        {{"-z", "-R", model.path(), "-i", queries.path()}, "built without -z"},
        {{"-d", "manhattan", "-R", model.path(), "-i", queries.path()},
         "built with another distance"},
        {{"-R", reference.path(), "-i", wide.path()},
         "Vector 1 has 4 values, the reference's vectors have 3"},
        {{"-k", "60", "-R", reference.path(), "-i", queries.path()}, "too BIG"},
        {{"-W", "/dev/full", "-R", reference.path()},
         "Cannot write the model to /dev/full: No space left on device"},
    };
    for (const auto& [args, says] : cases) {
        const testkit::Outcome outcome = run_tarn(args);
        EXPECT_EQ(outcome.status, 255) << says;
        EXPECT_NE((outcome.out + outcome.err).find(says), std::string::npos)
            << outcome.out << outcome.err;
    }
    // A failed model is removed only where it is a file of its own, never a device.
    struct stat full;
    EXPECT_TRUE(stat("/dev/full", &full) == 0 && S_ISCHR(full.st_mode));
}

}  // namespace
