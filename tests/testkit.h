// Shared helpers of the test programs: a capturing report hook, a process runner for the tarn
// binary, and scratch files that remove themselves.
#ifndef TARN_TESTS_TESTKIT_H
#define TARN_TESTS_TESTKIT_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "errors/errorapi.h"
#include "vectors/fvector.h"

namespace testkit {

// One call of the report hook.
struct Report {
    int32_t code;
    std::string detail;  // "(null)" stands for a null detail
    std::string file;
    int32_t line;
    bool operator==(const Report&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Report& report);

// Report with a null detail, the common case.
Report report(int32_t code, const char* file, int32_t line);

// Installs a hook that records every report while the object lives; restores the previous hook
// when it goes.
class ReportCapture {
public:
    ReportCapture();
    ~ReportCapture();
    ReportCapture(const ReportCapture&) = delete;
    ReportCapture& operator=(const ReportCapture&) = delete;
    const std::vector<Report>& reports() const;
    void clear();

private:
    ERRFN previous_;
};

// What a finished process left behind.
struct Outcome {
    std::string out;
    std::string err;
    int status;  // exit status byte, or 128 + signal number when killed
};

// Runs the tarn binary with the given arguments (not counting argv[0]) and standard input.
Outcome run_tarn(const std::vector<std::string>& args, const std::string& input = "");

// Runs the tarn binary with standard input read from the file in_path and standard error sent
// to the file err_path instead of being captured ("" closes it); Outcome::err is then empty.
Outcome run_tarn_redirected(const std::vector<std::string>& args, const std::string& in_path,
                            const std::string& err_path);

// Runs fn in a child process with standard output and standard error captured.
Outcome run_in_child(const std::function<void()>& fn);

// A file under the system's temporary folder, removed when the object goes; its name ends in
// suffix (".csv", say) when one is given.
class TempFile {
public:
    explicit TempFile(const std::string& contents = "", const std::string& suffix = "");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    std::string read() const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);

// A new vector holding exactly the given components; the caller owns it.
HFV vector_of(std::initializer_list<double> values);

// Captures what a callable writes to the C stream stdout or stderr (fd-level redirection).
std::string capture_stdout(const std::function<void()>& fn);
std::string capture_stderr(const std::function<void()>& fn);

}  // namespace testkit

#endif
