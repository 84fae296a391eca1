// The progress line of long constructions: one self-updating line on standard error with the
// share of source vertices done and the time left, shown only when standard error is a
// terminal and the construction has already run for a second, and cleared when it ends.
#ifndef TARN_DRIVER_PROGRESS_H
#define TARN_DRIVER_PROGRESS_H

#include <cstddef>
#include <cstdint>

namespace tarn {

// Installs the construction listener when standard error is a terminal; does nothing
// otherwise. The clock starts now.
void progress_start();

// Clears the line if it is showing and removes the listener. Safe without progress_start.
void progress_stop();

// Writes the text of the line for done of total sources after elapsed seconds into buf (size
// bytes, NUL-terminated, truncated to fit): "tarn: neighbour graph  42% done, 12 s left", the
// time left as "%d s", "%d min %02d s" or "%d h %02d min", rounded up.
void progress_text(char* buf, size_t size, int32_t done, int32_t total, double elapsed);

}  // namespace tarn

#endif
