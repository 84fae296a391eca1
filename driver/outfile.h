// Files a run writes besides its report (the picture, the table of scores). Each is written to a
// new file in the target's folder and renamed over the target only once complete: a failure
// part way (a full disk, a signal) leaves no partial file and any older one of that name intact.
#ifndef TARN_DRIVER_OUTFILE_H
#define TARN_DRIVER_OUTFILE_H

#include <cstdint>
#include <cstdio>
#include <functional>

namespace tarn {

// Writes a file's contents to out; returns nonzero when a write failed, with errno telling why.
using FileWriter = std::function<int32_t(FILE* out)>;

// Writes path through write. The new file is hidden in path's folder (its name starts with
// hidden, "XXXXXX" follows) and takes path's mode, or a new file's; a symbolic link keeps
// pointing at the result. A path that exists but is no regular file (a device, a FIFO), or whose
// folder takes no new file, is written in place. SIGINT, SIGTERM and SIGHUP while the hidden
// file exists remove it before the signal ends the run. Returns 0, or -1 with errno telling why.
int32_t write_whole_file(const char* path, const char* hidden, const FileWriter& write);

// Whether path names the input file (same device and inode, whatever names or links lead to it;
// an input "-" is standard input): writing path would destroy the data.
bool names_the_input(const char* path, const char* input);

}  // namespace tarn

#endif
