// tarn._core: the detector's core for Python. The package's tarn/__init__.py checks and converts
// the arguments and documents them; this module only moves arrays in and out of the core.
//
// The core allows one detection at a time per process (the graph store's pools are
// process-wide), so every call takes one mutex, after releasing the interpreter lock. The work
// runs on a thread of its own while the calling thread, holding the interpreter lock only for a
// moment every 100 ms, looks for signals: on Ctrl-C it asks the construction to stop, waits for
// the worker (the core frees everything on its way out) and raises KeyboardInterrupt.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/parameters.h"
#include "detect/construct.h"
#include "detect/core.h"
#include "driver/evaluate.h"
#include "driver/tarn.h"
#include "errors/errorapi.h"
#include "graph/metric.h"
#include "rules/rules.h"
#include "vectors/arena.h"
#include "vectors/table.h"

namespace py = pybind11;

namespace {

using Rows = py::array_t<double, py::array::c_style | py::array::forcecast>;

constexpr auto kPollInterval = std::chrono::milliseconds(100);

std::timed_mutex detection;

// Text from the data (a name, a field quoted in a message) need not be UTF-8: bytes that are not
// become U+FFFD rather than a decoding error.
py::str text_of(const std::string& bytes) {
    PyObject* text =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<py::ssize_t>(bytes.size()), "replace");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::list texts_of(const std::vector<std::string>& all) {
    py::list texts;
    for (const std::string& bytes : all)
        texts.append(text_of(bytes));
    return texts;
}

[[noreturn]] void raise_text(PyObject* type, const std::string& bytes) {
    PyErr_SetObject(type, text_of(bytes).ptr());
    throw py::error_already_set();
}

// The core's error as the exception Python expects: MemoryError for exhausted memory,
// KeyboardInterrupt for a cancelled construction, else ValueError, the command line's text
// without its line end.
[[noreturn]] void raise(const tarn::Error& error) {
    std::string text = error.message;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    switch (error.kind) {
        case tarn::ErrorKind::kAllocation:
        case tarn::ErrorKind::kMemoryCheck:
            raise_text(PyExc_MemoryError, text);
        case tarn::ErrorKind::kCancelled:
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw py::error_already_set();
        default:
            raise_text(PyExc_ValueError, text);
    }
}

// Runs work() -> std::optional<tarn::Error> on a thread of its own, one such call at a time per
// process, with the interpreter lock released; see the head of the file. Called with the lock.
template <typename Work>
std::optional<tarn::Error> run_detached(Work work) {
    std::optional<tarn::Error> result;
    std::exception_ptr failure;
    bool interrupted = false;
    {
        py::gil_scoped_release release;
        // A signal while another call holds the core is looked for too.
        auto signalled = [&] {
            py::gil_scoped_acquire acquire;
            return PyErr_CheckSignals() != 0;
        };
        std::unique_lock<std::timed_mutex> exclusive(detection, std::defer_lock);
        while (!exclusive.try_lock_for(kPollInterval)) {
            if (signalled()) {
                interrupted = true;
                break;
            }
        }
        if (!interrupted) {
            tarn::cancel_construction.store(false);
            std::mutex mutex;
            std::condition_variable finished;
            bool done = false;
            std::thread worker([&] {
                try {
                    result = work();
                } catch (...) {
                    failure = std::current_exception();
                }
                std::lock_guard<std::mutex> lock(mutex);
                done = true;
                finished.notify_one();
            });
            std::unique_lock<std::mutex> lock(mutex);
            while (!finished.wait_for(lock, kPollInterval, [&] { return done; })) {
                lock.unlock();
                const bool stop = !interrupted && signalled();
                lock.lock();
                if (stop) {
                    interrupted = true;
                    tarn::cancel_construction.store(true);
                }
            }
            lock.unlock();
            worker.join();
            tarn::cancel_construction.store(false);
        }
    }
    // The signal handler's exception (KeyboardInterrupt) is pending on this thread.
    if (interrupted) throw py::error_already_set();
    if (failure) std::rethrow_exception(failure);
    return result;
}

// The parameters of a run as the command line's defaults with the caller's options.
struct Options {
    Parameters* p = init_params();
    Options() = default;
    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;
    ~Options() { std::free(p); }
};

void set_method(Parameters* p, const std::string& method) {
    if (method == "tree") p->index = 1;
    if (method == "brute") p->brute = 1;
}

// The metric by the command line's name for -d (the package maps the ecosystem's names to it);
// a name -d refuses is a ValueError with -d's reason.
void set_metric(Parameters* p, const std::string& name) {
    tarn::Metric metric;
    const char* why = nullptr;
    if (!tarn::metric_by_name(name.c_str(), &metric, &why))
        throw py::value_error("'" + name + "' " + why);
    p->metric = static_cast<int32_t>(metric.kind);
    p->minkowski_p = metric.p;
}

// A numpy array that owns a moved core array; no copy of the verdict.
template <typename T>
py::array_t<T> adopt(tarn::Array<T>&& values) {
    auto* owned = new tarn::Array<T>(std::move(values));
    py::capsule release(owned, [](void* a) { delete static_cast<tarn::Array<T>*>(a); });
    return py::array_t<T>({static_cast<py::ssize_t>(owned->size())}, owned->data(), release);
}

int32_t rows_of(const Rows& x) {
    return static_cast<int32_t>(x.shape(0));
}

int32_t columns_of(const Rows& x) {
    return static_cast<int32_t>(x.shape(1));
}

py::dict detect(const Rows& x, int32_t k, const std::string& rule, std::optional<double> threshold,
                int32_t indegree, double share, bool standardise, int32_t threads,
                const std::string& method, const std::string& metric,
                const std::optional<Rows>& reference) {
    Options options;
    Parameters* p = options.p;
    p->k = k;
    p->I = indegree;
    // No threshold: 0.0 for the rules that have one, a share of the most outlying for the rules
    // that mark a score.
    p->th = threshold.value_or(0.0);
    p->threshold_given = threshold ? 1 : 0;
    p->share = share;
    p->standardise = standardise ? 1 : 0;
    p->threads = threads;
    const tarn::Rule* selected = tarn::rule_by_key(rule.c_str());
    if (selected == nullptr) throw py::value_error("no rule is called " + rule);
    if (selected->flag != nullptr) p->*selected->flag = 1;
    set_method(p, method);
    set_metric(p, metric);
    tarn::Verdict verdict;
    const double* rows = x.data();
    const int32_t n = rows_of(x), d = columns_of(x);
    if (std::optional<tarn::Error> error = run_detached([&] {
            if (!reference) return tarn::detect_features(rows, n, d, p, &verdict);
            return tarn::detect_features_against(reference->data(), rows_of(*reference), rows, n, d,
                                                 p, &verdict);
        })) {
        raise(*error);
    }
    py::dict result;
    result["score"] = adopt(std::move(verdict.score));
    result["lof"] = adopt(std::move(verdict.lof));
    result["marked"] = adopt(std::move(verdict.marked));
    result["indegree"] = adopt(std::move(verdict.indegree));
    result["built_indegree"] = adopt(std::move(verdict.built_indegree));
    return result;
}

py::tuple kneighbors(const Rows& x, int32_t k, int32_t threads, const std::string& method,
                     const std::string& metric, const std::optional<Rows>& reference) {
    Options options;
    Parameters* p = options.p;
    p->k = k;
    p->threads = threads;
    set_method(p, method);
    set_metric(p, metric);
    const int32_t n = rows_of(x), d = columns_of(x);
    // Room only once k is known to fit; the core says what is wrong with it otherwise.
    const bool fits = k >= 1 && k < (reference ? rows_of(*reference) : n);
    const py::ssize_t rows = fits ? n : 0, columns = fits ? k : 0;
    py::array_t<double> distances({rows, columns});
    py::array_t<int32_t> indices({rows, columns});
    double* dist = distances.mutable_data();
    int32_t* index = indices.mutable_data();
    const double* data = x.data();
    if (std::optional<tarn::Error> error = run_detached([&] {
            if (!reference) return tarn::neighbours(data, n, d, p, dist, index);
            return tarn::neighbours_against(reference->data(), rows_of(*reference), data, n, d, p,
                                            dist, index);
        })) {
        raise(*error);
    }
    return py::make_tuple(distances, indices);
}

// What the readers report while a table loads, for the exception's text.
std::string* reports = nullptr;

int32_t keep_report(int32_t code, const char* detail, const char* file, int32_t line) {
    if (reports == nullptr) return 0;
    if (!reports->empty()) *reports += "; ";
    *reports += std::string(file) + " (" + std::to_string(line) + "): error " +
                std::to_string(code) + " (" + GetErrorString(code) + ")";
    if (detail != nullptr) *reports += std::string(": ") + detail;
    return 0;
}

// The label of a vector's last component as a vertex takes it: truncation toward zero, 0 for
// not-a-number, saturating at the 32-bit limits.
int32_t label_of(double value) {
    if (std::isnan(value)) return 0;
    if (value <= -2147483649.0) return INT32_MIN;
    if (value >= 2147483648.0) return INT32_MAX;
    return static_cast<int32_t>(value);
}

// The file as the command line reads it with -f kind, -L label, -F features, --skip skip,
// --header or --no-header (header 1 or 0, -1 neither), --na drop (drop), --decimal (decimal, ""
// for neither) and --id id: (X, labels, feature names, label name, class names, warning, ids,
// row numbers, rows left out); ids and row numbers as TableNames holds them.
py::tuple load(const std::string& path, int32_t kind, std::optional<std::string> label,
               std::optional<std::string> features, int64_t skip, int32_t header, bool drop,
               const std::string& decimal, std::optional<std::string> id) {
    // The set lives only until its numbers are copied out: its vectors are carved, not each
    // allocated.
    struct Loaded {
        tarn::VectorArena arena;
        HFSET set = nullptr;
        ~Loaded() { tarn::release_set(set, &arena); }
    } loaded;
    const TableFormat format{.kind = kind,
                             .label = label ? label->c_str() : nullptr,
                             .features = features ? features->c_str() : nullptr,
                             .threads = 1,
                             .arena = &loaded.arena,
                             .skip = skip,
                             .header = header,
                             .missing = drop ? TABLE_NA_DROP : TABLE_NA_ERROR,
                             .decimal = decimal.empty() ? char{0} : decimal[0],
                             .id = id ? id->c_str() : nullptr};
    TableNames names;
    std::string reported;
    std::optional<tarn::Error> error = run_detached([&]() -> std::optional<tarn::Error> {
        // The report hook is process-wide: it is only replaced while this call holds the core.
        const ERRFN previous = ReportError;
        reports = &reported;
        ReportError = keep_report;
        tarn::AllocationFailuresThrow scope;
        try {
            loaded.set = tableLoad(path.c_str(), &format, &names);
        } catch (const std::bad_alloc&) {
            loaded.set = nullptr;
        }
        ReportError = previous;
        reports = nullptr;
        if (loaded.set == nullptr && names.why.empty() && reported.empty()) {
            return tarn::Error{tarn::ErrorKind::kAllocation, "Allocation failed"};
        }
        return std::nullopt;
    });
    if (error) raise(*error);
    HFSET set = loaded.set;
    if (set == nullptr) {
        const std::string& why = names.why.empty() ? reported : names.why;
        raise_text(PyExc_ValueError, "Cannot load vectors from " + path + ": " + why);
    }
    const py::ssize_t n = fvsGetSize(set);
    const py::ssize_t d = n > 0 ? fvGetDim(fvsGetVector(set, 1)) : 1;
    // The text reader accepts a longer line after a shorter one; the detector does not.
    for (int32_t i = 1; i <= n; ++i) {
        const int32_t dim = fvGetDim(fvsGetVector(set, i));
        if (dim != d) {
            raise_text(PyExc_ValueError, "Vector " + std::to_string(i) + " has " +
                                             std::to_string(dim) +
                                             " values, the first vector has " + std::to_string(d));
        }
    }
    py::array_t<double> x({n, d - 1});
    py::array_t<int32_t> labels({n});
    auto xs = x.mutable_unchecked<2>();
    auto ls = labels.mutable_unchecked<1>();
    for (py::ssize_t i = 0; i < n; ++i) {
        HFV v = fvsGetVector(set, static_cast<int32_t>(i) + 1);
        for (py::ssize_t c = 0; c + 1 < d; ++c)
            xs(i, c) = fvGetElement(v, static_cast<int32_t>(c));
        ls(i) = label_of(fvGetElement(v, static_cast<int32_t>(d) - 1));
    }
    py::array_t<int64_t> rows({static_cast<py::ssize_t>(names.rows.size())});
    std::copy(names.rows.begin(), names.rows.end(), rows.mutable_data());
    return py::make_tuple(x, labels, texts_of(names.features), text_of(names.label),
                          texts_of(names.classes), text_of(names.warning), texts_of(names.ids),
                          rows, names.dropped);
}

// The formats' names, as -f takes them, in the order its usage line names them.
py::tuple format_names() {
    py::list names;
    for (const tarn::FileFormat& format : tarn::file_formats())
        names.append(format.name);
    return py::tuple(names);
}

py::tuple evaluate(
    const py::array_t<double, py::array::c_style | py::array::forcecast>& score,
    const py::array_t<int32_t, py::array::c_style | py::array::forcecast>& positive) {
    const int32_t n = static_cast<int32_t>(score.shape(0));
    return py::make_tuple(tarn::roc_auc(score.data(), positive.data(), n),
                          tarn::average_precision(score.data(), positive.data(), n),
                          tarn::precision_at_positives(score.data(), positive.data(), n));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The detector's core; use the functions of the tarn package.";
    m.def("detect", &detect);
    m.def("kneighbors", &kneighbors);
    m.def("load", &load);
    m.def("evaluate", &evaluate);
    // Every rule's key, whether its higher ranking scores are the more outlying, and whether it
    // marks a score (a share of the most outlying by default), in the table's order.
    m.def("rules", [] {
        py::list keys;
        for (const tarn::Rule& rule : tarn::rules())
            keys.append(py::make_tuple(rule.key, rule.higher_is_outlying,
                                       rule.limit == tarn::Limit::kScore));
        return keys;
    });
    // The share a rule that marks a score marks when nothing else is asked for.
    m.attr("DEFAULT_SHARE") = tarn::kDefaultShare;
    m.def("table_kind", [](const std::string& name) { return tableKindOf(name.c_str()); });
    m.attr("FORMATS") = format_names();
}
