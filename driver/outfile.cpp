#include "driver/outfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

// The hidden file while it is written, for the handler of the signals that end a run: an
// interrupted run (Ctrl-C, a kill, a closed terminal) removes it rather than leaving a file of
// tens of megabytes hidden in the target's folder. Null while no file is pending.
const char* volatile pending_file = nullptr;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void remove_pending_file(int signal) {
    if (const char* path = pending_file; path != nullptr) unlink(path);
    // Then the signal's own ending, as if no handler had been there.
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigaction(signal, &plain, nullptr);
    raise(signal);
}

// Holds the handler of the ending signals while a file is written, and puts back the ones it
// found when it goes. A signal the run ignores (nohup's SIGHUP) stays ignored.
class PendingFile {
public:
    // path names the temporary file from now on; it must outlive this record.
    explicit PendingFile(const std::string& path) {
        pending_file = path.c_str();
        struct sigaction handler {};
        handler.sa_handler = remove_pending_file;
        sigemptyset(&handler.sa_mask);
        for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
            sigaction(kEndingSignals[i], nullptr, &previous_[i]);
            if (previous_[i].sa_handler == SIG_DFL) sigaction(kEndingSignals[i], &handler, nullptr);
        }
    }
    ~PendingFile() {
        for (size_t i = 0; i < std::size(kEndingSignals); ++i)
            sigaction(kEndingSignals[i], &previous_[i], nullptr);
        pending_file = nullptr;
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

private:
    struct sigaction previous_[std::size(kEndingSignals)];
};

// Writes straight into path, the way a target that cannot be replaced is written.
int32_t write_in_place(const char* path, const tarn::FileWriter& write) {
    FILE* out = std::fopen(path, "w");
    if (out == nullptr) return -1;
    int32_t failed = write(out);
    int saved = errno;
    if (std::fclose(out) != 0) return -1;
    if (failed != 0) {
        errno = saved;
        return -1;
    }
    return 0;
}

}  // namespace

namespace tarn {

int32_t write_whole_file(const char* path, const char* hidden, const FileWriter& write) {
    std::string target = path;
    struct stat info;
    const bool exists = stat(path, &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) return write_in_place(path, write);
    if (char* resolved = realpath(path, nullptr); resolved != nullptr) {
        target = resolved;  // a symbolic link keeps pointing at the result
        std::free(resolved);
    }
    const size_t slash = target.rfind('/');
    std::string temporary =
        (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + hidden +
        "XXXXXX";
    // The handler knows the name before the file exists: mkstemp writes the name in place before
    // it creates the file, so no signal finds a file the handler does not know.
    PendingFile pending(temporary);
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        if (exists && (errno == EACCES || errno == EPERM)) return write_in_place(path, write);
        return -1;
    }
    // mkstemp makes the file private; the result gets the target's mode, or that of a new file.
    mode_t mode = exists ? info.st_mode & 07777 : 0;
    if (!exists) {
        mode = umask(0);
        umask(mode);
        mode = 0666 & ~mode;
    }
    FILE* out = fdopen(fd, "w");
    if (out == nullptr) {
        const int saved = errno;
        close(fd);
        unlink(temporary.c_str());
        errno = saved;
        return -1;
    }
    int32_t failed = write(out);
    int saved = errno;
    if (failed == 0 && (std::fflush(out) != 0 || fchmod(fd, mode) != 0 || fsync(fd) != 0)) {
        failed = -1;
        saved = errno;
    }
    if (std::fclose(out) != 0 && failed == 0) {
        failed = -1;
        saved = errno;
    }
    if (failed == 0 && rename(temporary.c_str(), target.c_str()) != 0) {
        failed = -1;
        saved = errno;
    }
    if (failed != 0) {
        unlink(temporary.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}

bool names_the_input(const char* path, const char* input) {
    struct stat target, source;
    if (stat(path, &target) != 0) return false;  // a file yet to be made is no file read
    const int found =
        std::strcmp(input, "-") == 0 ? fstat(STDIN_FILENO, &source) : stat(input, &source);
    return found == 0 && target.st_dev == source.st_dev && target.st_ino == source.st_ino;
}

}  // namespace tarn
