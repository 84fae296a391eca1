#include "vectors/textload.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <vector>

#include "errors/errorapi.h"
#include "vectors/arena.h"
#include "vectors/readnums.h"

namespace {

// A part keeps the handles of its vectors in chunks of this many, mapped apart from the C
// library's heap so that each goes back to the system as soon as the set holds its vectors.
constexpr size_t kChunkHandles = size_t{1} << 17;
constexpr size_t kChunkBytes = kChunkHandles * sizeof(HFV);

// The report lines are fvsLoadStream's, so that a caller cannot tell the two loads apart.
constexpr int32_t kReaderRecord = 1202;
constexpr int32_t kReaderBuffer = 1210;
constexpr int32_t kVector = 1232;
constexpr int32_t kReported = 0;  // the set refused, with a report of its own

using tarn::TextFailure;
using tarn::TextLines;

// One part: its share of the bytes, what it read and how it ended. Lines are counted from 1
// within the part; the join turns them into the file's line numbers.
// Each part is written by its own thread at every line: on cache lines of its own, so that
// the threads do not stall on each other's counters.
struct alignas(64) Part {
    size_t begin = 0, end = 0;  // the part reads the lines that start in [begin, end)
    HFSET set = nullptr;        // part 0 only: its vectors, in the set the load returns
    std::vector<HFV*> chunks;   // the other parts: full chunks of kChunkHandles, the last
    size_t tail = 0;            // holding `tail`
    TextLines run;              // what reading the part came to
    tarn::VectorArena arena;    // the part's vectors when the load carves them
};

// The lowest index of a part that failed, so that the parts behind it can stop: their lines
// come after the failure, which the join reports.
struct Progress {
    std::atomic<size_t> first_failed{SIZE_MAX};

    void failed(size_t part) {
        size_t seen = first_failed.load(std::memory_order_relaxed);
        while (part < seen && !first_failed.compare_exchange_weak(seen, part)) {
        }
    }
    bool behind_failure(size_t part) const {
        return first_failed.load(std::memory_order_relaxed) < part;
    }
};

// Releases a set of the load: its slots and record, and its vectors unless they are carved
// (those go with their arena).
void destroy_set(HFSET set, bool carved) {
    if (carved) {
        fvsDestroyHandedOn(set);
    } else {
        fvsDestroy(set);
    }
}

// Releases a part's vectors.
void destroy_vectors(Part& part, bool carved) {
    destroy_set(part.set, carved);
    part.set = nullptr;
    for (size_t c = 0; c < part.chunks.size(); ++c) {
        const size_t used = c + 1 == part.chunks.size() ? part.tail : kChunkHandles;
        if (!carved) {
            for (size_t i = 0; i < used; ++i)
                fvDestroy(part.chunks[c][i]);
        }
        munmap(part.chunks[c], kChunkBytes);
    }
    part.chunks.clear();
    part.tail = 0;
}

// Keeps fv's handle; false when no chunk can be had (fv is then the caller's).
bool keep(Part& part, HFV fv) {
    if (part.chunks.empty() || part.tail == kChunkHandles) {
        void* chunk =
            mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (chunk == MAP_FAILED) return false;
        try {
            part.chunks.push_back(static_cast<HFV*>(chunk));
        } catch (const std::bad_alloc&) {
            munmap(chunk, kChunkBytes);
            return false;
        }
        part.tail = 0;
    }
    part.chunks.back()[part.tail++] = fv;
    return true;
}

// Reads part `index` of the file open as fd, whose bytes end at file_end. The part starts at
// its first line: at begin when that is where the text starts, else after the first line feed
// at or after begin − 1. Part 0 fills its set itself.
class PartReader {
public:
    PartReader(int fd, size_t file_end, size_t block, bool carved, Part& part)
        : fd_(fd),
          file_end_(file_end),
          capacity_(std::max<size_t>(block, 16)),
          part_(part),
          run_(part.run),
          arena_(carved ? &part.arena : nullptr) {}
    ~PartReader() {
        std::free(buffer_);
        readnumsDestroy(reader_);
    }
    PartReader(const PartReader&) = delete;
    PartReader& operator=(const PartReader&) = delete;

    void read(bool text_start, size_t index, Progress& progress) {
        first_part_ = index == 0;
        reader_ = readnumsCreate();
        if (reader_ == nullptr) return fail_memory(kReaderRecord);
        buffer_ = static_cast<char*>(std::malloc(capacity_ + 1));
        if (buffer_ == nullptr) return fail_memory(kReaderBuffer);
        base_ = text_start ? part_.begin : part_.begin - 1;
        next_ = base_;
        bool skipping = !text_start;  // the rest of the line the previous part reads
        const char* line;
        size_t length;
        while (next_line(&line, &length)) {
            const size_t offset = base_ + static_cast<size_t>(line - buffer_);
            if (skipping) {
                skipping = false;
                continue;
            }
            if (offset >= part_.end || progress.behind_failure(index)) return;
            ++run_.lines;
            if (!take_line(line, length)) break;
        }
        // A line too long that began before the part, or begins after it, is another part's
        // to refuse: this one then ends quietly.
        if (too_long_ && !skipping && base_ < part_.end) {
            ++run_.lines;
            fail_line();
            run_.too_long = true;
        }
        if (run_.failure != TextFailure::kNone) progress.failed(index);
    }

private:
    void fail_memory(int32_t check) {
        run_.failure = TextFailure::kNoMemory;
        run_.check = check;
    }

    // The next whole line in the buffer, with its line feed when it has one; false at the end of
    // the bytes or after a failure.
    bool next_line(const char** line, size_t* length) {
        for (;;) {
            char* start = buffer_ + cursor_;
            const size_t held = filled_ - cursor_;
            if (const void* feed = std::memchr(start, '\n', held)) {
                *line = start;
                *length = static_cast<size_t>(static_cast<const char*>(feed) - start) + 1;
                cursor_ += *length;
                return true;
            }
            if (next_ == file_end_) {
                if (held == 0) return false;
                start[held] = '\0';  // stops strtod at the end of a last line without a feed
                *line = start;
                *length = held;
                cursor_ = filled_;
                return true;
            }
            if (!refill()) return false;
        }
    }

    // Moves the unfinished line to the front of the buffer, doubles the buffer when that line
    // fills it (up to kLongestLine: a longer line sets too_long_ and ends the reading), and
    // reads on behind it.
    bool refill() {
        const size_t held = filled_ - cursor_;
        std::memmove(buffer_, buffer_ + cursor_, held);
        base_ += cursor_;
        cursor_ = 0;
        filled_ = held;
        if (held == capacity_) {
            // The line, its feed still to come, is longer than the stream reader takes.
            if (capacity_ >= tarn::kLongestLine) {
                too_long_ = true;
                return false;
            }
            const size_t size = std::min(2 * capacity_, tarn::kLongestLine);
            char* grown = static_cast<char*>(std::realloc(buffer_, size + 1));
            if (grown == nullptr) {
                fail_memory(kReaderBuffer);
                return false;
            }
            buffer_ = grown;
            capacity_ = size;
        }
        const size_t wanted = std::min(capacity_ - filled_, file_end_ - next_);
        ssize_t got;
        do {
            got = pread(fd_, buffer_ + filled_, wanted, static_cast<off_t>(next_));
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            run_.failure = TextFailure::kReadError;
            return false;
        }
        if (got == 0) file_end_ = next_;  // the file was cut short while being read
        filled_ += static_cast<size_t>(got);
        next_ += static_cast<size_t>(got);
        return true;
    }

    // Parses one line; false when it ends the part's reading with a failure.
    bool take_line(const char* line, size_t length) {
        const char* end = line + length;
        if (std::memchr(line, '\0', length) != nullptr) return fail_line();
        if (!tarn::readnums_is_data_line(line, end)) return true;
        int32_t count = 0;
        bool marked = false;
        switch (tarn::readnums_items(reader_, line, end, &count, &marked)) {
            case tarn::ItemsRead::kMalformed:
                return fail_line();
            case tarn::ItemsRead::kNoMemory:
                fail_memory(kReaderBuffer);
                return false;
            case tarn::ItemsRead::kRead:
                break;
        }
        if (run_.first_line == 0) {
            run_.first_line = run_.lines;
            run_.first_count = count;
            run_.first_marked = marked;
        } else if (count < run_.last_count || marked) {
            return fail_line();
        }
        run_.last_count = count;
        HFV fv = arena_ != nullptr ? arena_->make(count) : fvCreateUnreported(count);
        if (fv == nullptr) {
            fail_memory(kVector);
            return false;
        }
        std::memcpy(fv->vector, reader_->BufferVector, static_cast<size_t>(count) * sizeof(double));
        // Part 0 runs on the calling thread and fills the set itself, as fvsLoadStream does:
        // its vectors need no handles kept on the side.
        if (first_part_) {
            if (part_.set == nullptr && (part_.set = fvsCreate(1, count)) == nullptr) {
                tarn::release_vector(fv, arena_);
                fail_memory(kReported);
                return false;
            }
            if (fvsAddVector(part_.set, fv) == 0) {
                tarn::release_vector(fv, arena_);
                fail_memory(kReported);
                return false;
            }
        } else if (!keep(part_, fv)) {
            tarn::release_vector(fv, arena_);
            fail_memory(kVector);
            return false;
        }
        return true;
    }

    bool fail_line() {
        run_.failure = TextFailure::kBadLine;
        run_.bad_line = run_.lines;
        return false;
    }

    const int fd_;
    size_t file_end_;
    size_t capacity_;  // bytes the buffer holds, one more for a terminator
    Part& part_;
    TextLines& run_;                  // part_.run
    tarn::VectorArena* const arena_;  // where vectors are carved, or null: each allocated
    bool first_part_ = false;
    ReadNums* reader_ = nullptr;
    char* buffer_ = nullptr;
    size_t base_ = 0;        // the file offset of buffer_[0]
    size_t next_ = 0;        // the file offset of the next byte to read
    size_t cursor_ = 0;      // where the next line starts in the buffer
    size_t filled_ = 0;      // bytes held
    bool too_long_ = false;  // the line that begins at base_ is longer than kLongestLine
};

void read_part(int fd, size_t start, size_t file_end, const tarn::TextLoad& how,
               std::vector<Part>& parts, size_t index, Progress& progress) {
    if (how.arena != nullptr) parts[index].arena.share_limit(*how.arena);
    PartReader reader(fd, file_end, how.block, how.arena != nullptr, parts[index]);
    reader.read(parts[index].begin == start, index, progress);
}

// Reads every part, parts 1 … on threads of their own and part 0 on the calling thread. A part
// whose thread cannot be had is read on the calling thread afterwards.
void read_parts(int fd, size_t start, size_t file_end, const tarn::TextLoad& how,
                std::vector<Part>& parts) {
    Progress progress;
    std::vector<std::thread> threads;
    std::vector<size_t> left;
    for (size_t i = 1; i < parts.size(); ++i) {
        try {
            threads.emplace_back(read_part, fd, start, file_end, std::cref(how), std::ref(parts), i,
                                 std::ref(progress));
        } catch (const std::exception&) {
            left.push_back(i);
        }
    }
    read_part(fd, start, file_end, how, parts, 0, progress);
    for (size_t i : left)
        read_part(fd, start, file_end, how, parts, i, progress);
    for (std::thread& thread : threads)
        thread.join();
}

// The parts' vectors in one set of nominal size dim, in file order; each chunk is released once
// the set holds its vectors. Null after the set's report, with every vector destroyed (carved
// ones stay with the arena).
HFSET join(std::vector<Part>& parts, bool carved, int32_t dim) {
    HFSET fvs = parts[0].set != nullptr ? parts[0].set : fvsCreate(1, dim);
    parts[0].set = nullptr;
    bool failed = fvs == nullptr;
    for (Part& part : parts) {
        for (size_t c = 0; c < part.chunks.size(); ++c) {
            HFV* chunk = part.chunks[c];
            const size_t used = c + 1 == part.chunks.size() ? part.tail : kChunkHandles;
            size_t i = 0;
            while (!failed && i < used && fvsAddVector(fvs, chunk[i]) != 0)
                ++i;
            if (i < used && !failed) {
                // The set refused to grow (reported): it goes with what it holds.
                destroy_set(fvs, carved);
                fvs = nullptr;
                failed = true;
            }
            for (; i < used && !carved; ++i)
                fvDestroy(chunk[i]);
            munmap(chunk, kChunkBytes);
        }
        part.chunks.clear();
        part.tail = 0;
    }
    return fvs;
}

// Hands every part's carved vectors to arena; false after a report when memory fails.
bool adopt_carvings(std::vector<Part>& parts, tarn::VectorArena* arena) {
    for (Part& part : parts) {
        if (arena != nullptr && !arena->adopt(part.arena)) {
            ReportError(ESR_NOT_ENOUGH_MEMORY, nullptr, "fvector.c", kVector);
            return false;
        }
    }
    return true;
}

// The vectors of parts that read well and found data, in one set; null after a report, with
// *run a failure of memory.
HFSET gather_parts(std::vector<Part>& parts, const tarn::TextLoad& how, TextLines* run) {
    HFSET fvs = adopt_carvings(parts, how.arena)
                    ? join(parts, how.arena != nullptr, run->first_count)
                    : nullptr;
    if (fvs == nullptr) {
        run->failure = TextFailure::kNoMemory;
        run->check = kReported;
    }
    return fvs;
}

}  // namespace

namespace tarn {

size_t text_split(size_t start, size_t bytes, size_t count, size_t index) {
    return index == count ? start + bytes : start + bytes / count * index;
}

HFSET text_load_lines(int fd, size_t start, size_t file_end, size_t begin, size_t end,
                      const TextLoad& how, TextLines* lines) {
    const size_t bytes = end - begin;
    const size_t least = std::max<size_t>(how.least_part, 1);
    const size_t most = static_cast<size_t>(std::max(how.threads, 1));
    const size_t count = std::clamp<size_t>(bytes / least, 1, most);
    std::vector<Part> parts(count);
    for (size_t i = 0; i < count; ++i) {
        parts[i].begin = text_split(begin, bytes, count, i);
        parts[i].end = text_split(begin, bytes, count, i + 1);
    }
    read_parts(fd, start, file_end, how, parts);
    TextLines run;
    for (const Part& part : parts)
        run = text_follow(run, part.run);
    HFSET fvs = run.failure == TextFailure::kNone && run.first_line != 0
                    ? gather_parts(parts, how, &run)
                    : nullptr;
    for (Part& part : parts)
        destroy_vectors(part, how.arena != nullptr);
    *lines = run;
    return fvs;
}

TextLines text_follow(const TextLines& before, const TextLines& after) {
    if (before.failure != TextFailure::kNone) return before;
    TextLines run = after;
    run.lines = before.lines + after.lines;
    if (before.first_line != 0 && after.first_line != 0 &&
        (after.first_count < before.last_count || after.first_marked)) {
        // after's first data line, which it could not check against the line before.
        run.failure = TextFailure::kBadLine;
        run.bad_line = before.lines + after.first_line;
        run.too_long = false;
    } else if (after.failure == TextFailure::kBadLine) {
        run.bad_line = before.lines + after.bad_line;
    }
    if (before.first_line != 0) {
        run.first_line = before.first_line;
        run.first_count = before.first_count;
        run.first_marked = before.first_marked;
        if (after.first_line == 0) run.last_count = before.last_count;
    } else if (after.first_line != 0) {
        run.first_line = before.lines + after.first_line;
    }
    return run;
}

bool text_report(const TextLines& lines, const char* name, int32_t* long_line) {
    *long_line = 0;
    // The reader's counter is 32 bits wide and stops at its largest value.
    const int32_t bad_line = static_cast<int32_t>(std::min<int64_t>(lines.bad_line, INT32_MAX));
    switch (lines.failure) {
        case TextFailure::kNone:
            if (lines.first_line != 0) return false;
            ReportError(ESR_EMPTY_FILE, nullptr, "fvector.c", 1207);
            return true;
        case TextFailure::kBadLine:
            if (lines.too_long) *long_line = bad_line;
            std::fprintf(stderr, "Problem in line %d\n", bad_line);
            ReportError(ESR_INVALID_FILE_FORMAT, nullptr, "fvector.c", 1224);
            return true;
        case TextFailure::kNoMemory:
            if (lines.check != kReported)
                ReportError(ESR_NOT_ENOUGH_MEMORY, nullptr, "fvector.c", lines.check);
            return true;
        case TextFailure::kReadError:
            ReportError(ESR_CANT_LOAD_FILE, name, "fvector.c", 1227);
            return true;
    }
    return true;
}

HFSET text_load(int fd, const char* name, size_t start, const TextLoad& how) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        ReportError(ESR_CANT_LOAD_FILE, name, "fvector.c", 1227);
        return nullptr;
    }
    const size_t file_end = std::max(start, static_cast<size_t>(status.st_size));
    TextLines run;
    HFSET fvs = text_load_lines(fd, start, file_end, start, file_end, how, &run);
    int32_t long_line = 0;
    if (fvs == nullptr) text_report(run, name, &long_line);
    if (how.long_line != nullptr) *how.long_line = long_line;
    return fvs;
}

}  // namespace tarn
