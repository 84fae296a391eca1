#include "vectors/readnums.h"

#include <locale.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "vectors/decimal.h"

namespace {

constexpr int32_t InitialBufSize = 1024;
constexpr int32_t InitialBufVectorSize = 1024;

// What the line buffer holds outside the line handed out: anything but NUL, so that the one
// NUL fgets writes after a line can be found even when the line holds NUL bytes of its own.
constexpr char kFiller = '\n';

// The C locale's white-space class, independent of the locale the process has set.
bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Numbers are always read in the C locale, so that a host program's locale (a decimal comma,
// say) cannot change the grammar. Created once, never changed, never released.
locale_t c_locale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

// strtod at text in the C locale, after the fast path for decimals, which reads up to last.
// *slow tells which of the two read the number.
double read_number(const char* text, const char* last, char** end, bool* slow) {
    double value;
    const char* stop;
    *slow = !tarn::read_decimal(text, last, &value, &stop);
    if (!*slow) {
        *end = const_cast<char*>(stop);
        return value;
    }
    locale_t locale = c_locale();
    return locale != static_cast<locale_t>(0) ? strtod_l(text, end, locale) : strtod(text, end);
}

// A number far from the end of its C text is read by the fast path within this window; a
// longer one (rare) is left to strtod, so that the text's length need not be known.
constexpr size_t kNumberWindow = 128;

}  // namespace

double readnumsStrtod(const char* text, char** end) {
    const size_t length = strnlen(text, kNumberWindow);
    bool slow;
    const double value = read_number(text, text + length, end, &slow);
    // At the window's end the number may go on, or an exponent the window cut ("1e", "1e-")
    // may have been left out.
    if (!slow && length == kNumberWindow && text + length - *end <= 2) {
        locale_t locale = c_locale();
        return locale != static_cast<locale_t>(0) ? strtod_l(text, end, locale) : strtod(text, end);
    }
    return value;
}

namespace {

// Doubles the line buffer for a line that did not fit, up to one more than kLongestLine. When
// nothing is kept yet, the filled buffer holds the line's first BufSize − 1 characters; if the
// stream can go back by that many (ftello and fseeko succeed), the old buffer is dropped and the
// line will be read again whole. Otherwise (a pipe, say) the text read so far is kept and *kept
// tells how much of it there is. The position is asked for only here, not for every line: on a
// file that is a system call. False, with Buffer released and null, when the buffer cannot grow.
bool grow_line_buffer(ReadNums* handle, FILE* F, int32_t* kept) {
    char* grown = nullptr;
    bool rewound = false;
    if (*kept == 0) {
        const off_t now = ftello(F);
        rewound = now >= 0 && fseeko(F, now - (handle->BufSize - 1), SEEK_SET) == 0;
    }
    const size_t old_size = static_cast<size_t>(handle->BufSize);
    const size_t size = std::min(2 * old_size, tarn::kLongestLine + 1);
    if (rewound) {
        free(handle->Buffer);
        handle->Buffer = nullptr;
        grown = static_cast<char*>(malloc(size));
        if (grown != nullptr) memset(grown, kFiller, size);
    } else {
        grown = static_cast<char*>(realloc(handle->Buffer, size));
        if (grown != nullptr) memset(grown + old_size, kFiller, size - old_size);
    }
    if (grown == nullptr) {
        free(handle->Buffer);
        handle->Buffer = nullptr;
        return false;
    }
    *kept = rewound ? 0 : handle->BufSize - 1;
    handle->Buffer = grown;
    handle->BufSize = static_cast<int32_t>(size);
    return true;
}

// Makes the line buffer free of NUL bytes again once the caller is done with the line it holds.
// A line that ends in its line feed holds one NUL, its terminator, right after it; any other
// (one with a NUL byte, the stream's last, one the caller wrote into) is swept whole.
void sweep_line_buffer(ReadNums* handle) {
    char* buffer = handle->Buffer;
    const size_t size = static_cast<size_t>(handle->BufSize);
    const size_t length = strnlen(buffer, size);
    if (length > 0 && length < size && buffer[length - 1] == '\n') {
        buffer[length] = kFiller;
        return;
    }
    char* const end = buffer + size;
    for (char* p = buffer;
         (p = static_cast<char*>(memchr(p, '\0', static_cast<size_t>(end - p)))) != nullptr;)
        *p++ = kFiller;
}

// Whether F ends here; it is left where it was.
bool at_end(FILE* F) {
    const int c = getc(F);
    if (c == EOF) return true;
    ungetc(c, F);
    return false;
}

// ReadTextFileLine with three more outcomes told apart: *out_of_memory is set when the null
// result comes from a buffer that could not be allocated rather than from the stream's end,
// *nul_byte when the line returned holds a NUL byte before its end, and *too_long when it is
// longer than kLongestLine (the buffer then holds its first kLongestLine characters, and the
// stream is left within the line).
char* read_line(ReadNums* handle, FILE* F, bool* out_of_memory, bool* nul_byte, bool* too_long) {
    *out_of_memory = false;
    *nul_byte = false;
    *too_long = false;
    if (handle == nullptr || F == nullptr || feof(F) || ferror(F)) return nullptr;
    if (handle->Buffer == nullptr) {
        handle->Buffer = static_cast<char*>(malloc(static_cast<size_t>(handle->BufSize)));
        if (handle->Buffer == nullptr) {
            *out_of_memory = true;
            return nullptr;
        }
        memset(handle->Buffer, kFiller, static_cast<size_t>(handle->BufSize));
    } else {
        sweep_line_buffer(handle);
    }
    int32_t kept = 0;
    for (;;) {
        // Whether the line fitted is decided by whether fgets filled the buffer, not by strlen:
        // a NUL byte inside the line must neither hide its end nor make it look unfinished.
        // fgets writes its terminator into the last byte only when it filled the buffer.
        char* last = handle->Buffer + handle->BufSize - 1;
        char* chunk = handle->Buffer + kept;
        *last = '\1';
        if (fgets(chunk, handle->BufSize - kept, F) == nullptr) {
            if (kept == 0) return nullptr;  // end of stream or read error before the line
            handle->Buffer[kept] = '\0';    // the rest failed; keep what was read
            break;
        }
        const bool filled = *last == '\0';
        // fgets wrote at least one character and then its terminator. The first NUL is that
        // terminator when the buffer filled there or a line feed precedes it; otherwise the
        // terminator is the last NUL, as no other is left behind the chunk (sweep_line_buffer).
        const char* first_nul = chunk + strlen(chunk);
        const char* terminator = filled ? last : first_nul;
        if (!filled && (first_nul == chunk || first_nul[-1] != '\n'))
            terminator =
                static_cast<const char*>(memrchr(chunk, '\0', static_cast<size_t>(last - chunk)));
        *nul_byte = *nul_byte || first_nul != terminator;
        if (!filled || last[-1] == '\n' || feof(F) || ferror(F)) break;
        if (static_cast<size_t>(handle->BufSize) > tarn::kLongestLine) {
            if (at_end(F)) break;  // the line fills the buffer exactly and ends the stream
            *too_long = true;
            break;
        }
        if (!grow_line_buffer(handle, F, &kept)) {
            *out_of_memory = true;
            return nullptr;
        }
    }
    // The counter stops at its largest value rather than wrap.
    if (handle->LineNumber < INT32_MAX) handle->LineNumber++;
    return handle->Buffer;
}

// Doubles the number buffer, keeping its values. False, with the buffer released and null (as
// the line buffer after a failed growth), when it cannot grow: the caller can tell exhausted
// memory from a malformed line by the missing buffer.
bool grow_number_buffer(ReadNums* handle) {
    auto* grown = handle->BufVectorSize <= INT32_MAX / 2
                      ? static_cast<double*>(
                            malloc(2 * static_cast<size_t>(handle->BufVectorSize) * sizeof(double)))
                      : nullptr;
    if (grown == nullptr) {
        free(handle->BufferVector);
        handle->BufferVector = nullptr;
        return false;
    }
    memcpy(grown, handle->BufferVector,
           static_cast<size_t>(handle->BufVectorSize) * sizeof(double));
    free(handle->BufferVector);
    handle->BufferVector = grown;
    handle->BufVectorSize *= 2;
    return true;
}

}  // namespace

ReadNums* readnumsCreate() {
    auto* handle = static_cast<ReadNums*>(malloc(sizeof(ReadNums)));
    if (handle == nullptr) return nullptr;
    handle->LineNumber = 1;
    handle->BufSize = InitialBufSize;
    handle->Buffer = nullptr;
    handle->BufVectorSize = InitialBufVectorSize;
    handle->BufferVector = nullptr;
    return handle;
}

void ResetLineCounter(ReadNums* handle, int32_t NewValue) {
    if (handle != nullptr) handle->LineNumber = NewValue;
}

int32_t CurrentLineNumber(ReadNums* handle) {
    return handle != nullptr ? handle->LineNumber : 0;
}

char* ReadTextFileLine(ReadNums* handle, FILE* F) {
    bool out_of_memory, nul_byte, too_long;
    return read_line(handle, F, &out_of_memory, &nul_byte, &too_long);
}

double* ReadVector(ReadNums* handle, FILE* F, int32_t* Dimensionality, int32_t* Incomplete,
                   int32_t* Errors) {
    bool too_long;
    return tarn::read_vector(handle, F, Dimensionality, Incomplete, Errors, &too_long);
}

namespace tarn {

double* read_vector(ReadNums* handle, FILE* F, int32_t* Dimensionality, int32_t* Incomplete,
                    int32_t* Errors, bool* too_long) {
    *too_long = false;
    if (handle == nullptr || Dimensionality == nullptr || Incomplete == nullptr ||
        Errors == nullptr)
        return nullptr;
    *Errors = 0;
    *Incomplete = 0;
    if (*Dimensionality <= 0) *Dimensionality = 1;

    // A reader that cannot hold a line or its numbers reports the line as unreadable, so that
    // a caller never takes the rest of the stream for absent.
    if (handle->BufferVector == nullptr) {
        handle->BufferVector = static_cast<double*>(
            malloc(static_cast<size_t>(handle->BufVectorSize) * sizeof(double)));
        if (handle->BufferVector == nullptr) {
            *Errors = 1;
            return nullptr;
        }
    }
    const char* line;
    const char* end;
    do {
        bool out_of_memory, nul_byte;
        line = read_line(handle, F, &out_of_memory, &nul_byte, too_long);
        if (line == nullptr || nul_byte || *too_long) {
            // A NUL byte would end the line's text early and lose what follows it.
            *Errors = out_of_memory || nul_byte || *too_long ? 1 : 0;
            return nullptr;
        }
        end = line + strlen(line);
    } while (!tarn::readnums_is_data_line(line, end));

    int32_t k = 0;
    bool marked = false;
    const tarn::ItemsRead read = tarn::readnums_items(handle, line, end, &k, &marked);
    if (read != tarn::ItemsRead::kRead) {
        *Errors = 1;
        return nullptr;
    }
    if (k < *Dimensionality || marked) *Incomplete = 1;
    *Dimensionality = k;
    return handle->BufferVector;
}

bool readnums_is_data_line(const char* line, const char* end) {
    while (line < end && is_white(*line))
        ++line;
    return line < end && *line != '%' && *line != '#';
}

ItemsRead readnums_items(ReadNums* handle, const char* line, const char* end, int32_t* count,
                         bool* marked) {
    *marked = false;
    if (handle->BufferVector == nullptr) {
        handle->BufferVector = static_cast<double*>(
            malloc(static_cast<size_t>(handle->BufVectorSize) * sizeof(double)));
        if (handle->BufferVector == nullptr) return ItemsRead::kNoMemory;
    }
    // Every pass consumes at least one character or fails the line, so the loop ends. A data
    // line has a non-white character, so at least one item is read.
    int32_t k = 0;
    const char* cursor = line;
    while (cursor < end) {
        if (k == handle->BufVectorSize && !grow_number_buffer(handle)) return ItemsRead::kNoMemory;
        char* stop;
        bool slow;
        const char* start = cursor;
        double value = read_number(cursor, end, &stop, &slow);
        cursor = stop;
        // "NaN" and "Inf" can only be part of a number strtod read: anywhere else a letter makes
        // the line malformed, and the fast path reads no N, a, I or f. So looking there is
        // looking at the whole line.
        if (slow && cursor - start >= 3 &&
            (memmem(start, static_cast<size_t>(cursor - start), "NaN", 3) != nullptr ||
             memmem(start, static_cast<size_t>(cursor - start), "Inf", 3) != nullptr))
            *marked = true;
        if (cursor < end && *cursor == '%') {
            value *= 0.01;
            ++cursor;
        }
        if (cursor < end && *cursor == ',') ++cursor;
        if (cursor < end && !is_white(*cursor)) return ItemsRead::kMalformed;
        while (cursor < end && is_white(*cursor))
            ++cursor;
        handle->BufferVector[k++] = value;
    }
    *count = k;
    return ItemsRead::kRead;
}

}  // namespace tarn

int32_t readnumsDestroy(ReadNums* handle) {
    if (handle == nullptr) return 0;
    free(handle->Buffer);
    free(handle->BufferVector);
    free(handle);
    return 0;
}
