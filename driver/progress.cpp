#include "driver/progress.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "detect/construct.h"

namespace {

using Clock = std::chrono::steady_clock;

// The line is shown only once this much time has passed, so quick runs never flicker.
constexpr double kQuietSeconds = 1.0;

// The state of the one line. A construction may report from several threads, so the listener
// serialises on the mutex; a report that would wait is dropped, the next one follows soon.
struct ProgressState {
    std::mutex mutex;
    Clock::time_point start;
    int32_t last_done = 0;  // the most sources reported so far; older reports are ignored
    size_t shown = 0;       // characters of the line now on the terminal, 0 when none
    char text[128] = "";    // the text now on the terminal; an unchanged text is not rewritten
    bool finished = false;  // construction ended: nothing more is written
};

ProgressState state;

void clear_line() {
    if (state.shown == 0) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(state.shown), "");
    state.shown = 0;
}

void on_progress(int32_t done, int32_t total) {
    std::unique_lock<std::mutex> lock(state.mutex, std::try_to_lock);
    if (!lock.owns_lock() || state.finished || done <= state.last_done) return;
    state.last_done = done;
    if (done >= total) {
        clear_line();
        state.finished = true;
        return;
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - state.start).count();
    if (elapsed < kQuietSeconds) return;
    char text[sizeof state.text];
    tarn::progress_text(text, sizeof text, done, total, elapsed);
    if (state.shown > 0 && std::strcmp(text, state.text) == 0) return;
    std::memcpy(state.text, text, sizeof text);
    size_t length = std::strlen(text);
    // Pad with blanks over whatever the previous, longer line left.
    int pad = state.shown > length ? static_cast<int>(state.shown - length) : 0;
    std::fprintf(stderr, "\r%s%*s", text, pad, "");
    state.shown = length + static_cast<size_t>(pad);
}

}  // namespace

namespace tarn {

void progress_start() {
    if (isatty(STDERR_FILENO) == 0) return;
    std::lock_guard<std::mutex> lock(state.mutex);
    state.start = Clock::now();
    state.last_done = 0;
    state.shown = 0;
    state.finished = false;
    tarn::construction_progress = on_progress;
}

void progress_stop() {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (tarn::construction_progress == on_progress) tarn::construction_progress = nullptr;
    clear_line();
    state.finished = true;
}

void progress_text(char* buf, size_t size, int32_t done, int32_t total, double elapsed) {
    int64_t percent = total > 0 ? static_cast<int64_t>(done) * 100 / total : 0;
    double left = done > 0 ? elapsed * (total - done) / done : 0.0;
    // Capped so that the conversion stays defined however little is done yet.
    int64_t seconds = static_cast<int64_t>(std::ceil(std::fmin(left, 1e9)));
    char eta[48];
    if (seconds < 60) {
        std::snprintf(eta, sizeof eta, "%lld s", static_cast<long long>(seconds));
    } else if (seconds < 3600) {
        std::snprintf(eta, sizeof eta, "%lld min %02lld s", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    } else {
        std::snprintf(eta, sizeof eta, "%lld h %02lld min", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds % 3600 / 60));
    }
    std::snprintf(buf, size, "tarn: neighbour graph %3lld%% done, %s left",
                  static_cast<long long>(percent), eta);
}

}  // namespace tarn
