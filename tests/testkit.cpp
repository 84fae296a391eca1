#include "tests/testkit.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testkit {
namespace {

std::vector<Report> captured;

int32_t capture_hook(int32_t code, const char* detail, const char* file, int32_t line) {
    captured.push_back({code, detail ? detail : "(null)", file ? file : "(null)", line});
    return 0;
}

std::string make_temp_path() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/tarn-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    return name.data();
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

std::string capture_fd(FILE* stream, int fd, const std::function<void()>& fn) {
    TempFile sink;
    std::fflush(stream);
    int saved = dup(fd);
    int target = open(sink.path().c_str(), O_WRONLY | O_TRUNC);
    dup2(target, fd);
    close(target);
    fn();
    std::fflush(stream);
    dup2(saved, fd);
    close(saved);
    return sink.read();
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Report& r) {
    return out << "{" << r.code << ", " << r.detail << ", " << r.file << ", " << r.line << "}";
}

Report report(int32_t code, const char* file, int32_t line) {
    return {code, "(null)", file, line};
}

ReportCapture::ReportCapture() : previous_(ReportError) {
    captured.clear();
    SetReportError(capture_hook);
}

ReportCapture::~ReportCapture() {
    SetReportError(previous_);
    captured.clear();
}

const std::vector<Report>& ReportCapture::reports() const {
    return captured;
}
void ReportCapture::clear() {
    captured.clear();
}

namespace {

// Runs the binary with standard input from in_path; standard error goes to err_path when given
// ("" closes it), else it is captured.
Outcome spawn_tarn(const std::vector<std::string>& args, const std::string& in_path,
                   const std::string* err_path) {
    TempFile out, err;
    std::vector<std::string> words{TARN_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.path().c_str(), O_WRONLY | O_TRUNC, 0);
    if (err_path == nullptr) {
        posix_spawn_file_actions_addopen(&actions, 2, err.path().c_str(), O_WRONLY | O_TRUNC, 0);
    } else if (err_path->empty()) {
        posix_spawn_file_actions_addclose(&actions, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, err_path->c_str(), O_WRONLY, 0);
    }
    pid_t pid;
    int rc = posix_spawn(&pid, TARN_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " TARN_BINARY);
    int raw = 0;
    waitpid(pid, &raw, 0);
    return {out.read(), err_path == nullptr ? err.read() : "", decode_status(raw)};
}

}  // namespace

Outcome run_tarn(const std::vector<std::string>& args, const std::string& input) {
    TempFile in(input);
    return spawn_tarn(args, in.path(), nullptr);
}

Outcome run_tarn_redirected(const std::vector<std::string>& args, const std::string& in_path,
                            const std::string& err_path) {
    return spawn_tarn(args, in_path, &err_path);
}

Outcome run_in_child(const std::function<void()>& fn) {
    TempFile out, err;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.path().c_str(), O_WRONLY | O_TRUNC);
        int e = open(err.path().c_str(), O_WRONLY | O_TRUNC);
        dup2(o, 1);
        dup2(e, 2);
        fn();
        std::fflush(nullptr);
        _exit(0);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    return {out.read(), err.read(), decode_status(raw)};
}

TempFile::TempFile(const std::string& contents, const std::string& suffix)
    : path_(make_temp_path()) {
    if (!suffix.empty()) {
        // The name is unique without the suffix; the file with the suffix takes its place.
        std::remove(path_.c_str());
        path_ += suffix;
    }
    std::ofstream(path_, std::ios::binary) << contents;
}

TempFile::~TempFile() {
    std::remove(path_.c_str());
}

std::string TempFile::read() const {
    return read_file(path_);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string capture_stdout(const std::function<void()>& fn) {
    return capture_fd(stdout, 1, fn);
}
std::string capture_stderr(const std::function<void()>& fn) {
    return capture_fd(stderr, 2, fn);
}

HFV vector_of(std::initializer_list<double> values) {
    HFV fv = fvCreate(static_cast<int32_t>(values.size()));
    int32_t i = 0;
    for (double value : values)
        fvSetElement(fv, i++, value);
    return fv;
}

}  // namespace testkit
