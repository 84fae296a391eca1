// Numeric text reader: turns a text stream into number vectors, one per data line, and keeps
// the number of the last line read for error messages.
//
// Line grammar. A line is the text up to and including the next "\n" (or the rest of the
// stream). White space is blank, tab, newline, vertical tab, form feed and carriage return.
// A line of white space only, or whose first non-white character is "%" or "#", is skipped.
// Any other line is a data line: a run of items, each
//   a number as strtod reads it in the C locale (0, consuming nothing, where none can be read),
//   optionally "%" (value times 0.01), optionally one ",",
//   then the end of the line or at least one white-space character.
// Anything else where the white space is due makes the line malformed. A data line containing
// the text "NaN" or "Inf" (exactly so spelled) is marked incomplete, its values still read.
// A line holding a NUL byte anywhere is malformed, whatever else it holds (a comment or blank
// line too): read as C text it would end at the NUL and silently lose the rest. So is a line
// longer than tarn::kLongestLine, which the reader never holds whole.
//
// The reader never reports through ReportError and never ends the process.
#ifndef TARN_VECTORS_READNUMS_H
#define TARN_VECTORS_READNUMS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// State of one reader; one reader per stream. The two buffers are allocated on first use, only
// ever grow (by doubling; the line buffer up to one more than tarn::kLongestLine) and belong to
// the reader until readnumsDestroy. Whatever the reader
// hands out points into them and stays valid only until the next read call on the reader.
struct ReadNums {
    int32_t LineNumber;     // lines returned so far plus the start value (1, or as reset),
                            // at most INT32_MAX
    int32_t BufSize;        // capacity of Buffer in characters; 1024 at creation
    char* Buffer;           // the line buffer, or null before the first line
    int32_t BufVectorSize;  // capacity of BufferVector in doubles; 1024 at creation
    double* BufferVector;   // the number buffer, or null before the first ReadVector
};

// A new reader with the counter at 1 and no buffers yet, owned by the caller and released with
// readnumsDestroy. Null when the record cannot be allocated.
ReadNums* readnumsCreate();

// Sets the line counter. With 0, CurrentLineNumber is the 1-based number of the last line read.
void ResetLineCounter(ReadNums* handle, int32_t NewValue);

// The line counter; 0 for a null reader.
int32_t CurrentLineNumber(ReadNums* handle);

// The next line of F in the reader's line buffer, with its "\n" when it has one, and counts it.
// A line longer than the buffer is read again from its start after the buffer doubled (on a
// stream that cannot go back, the rest is read behind the part already held); of a line longer
// than tarn::kLongestLine the first kLongestLine characters are returned. Null at the end
// of the stream, after a read error, and when the line buffer cannot be allocated (the reader
// then holds no line buffer). As C text, a line holding a NUL byte ends at its first one.
char* ReadTextFileLine(ReadNums* handle, FILE* F);

// Reads lines until a data line and returns its values in the reader's number buffer.
// *Dimensionality: in, the least count expected (raised to 1 when not positive, and stored so
// even on a null result); out on success, the count of values read (at least 1).
// *Incomplete: 1 on success when fewer values than expected were read or the line contains
// "NaN" or "Inf", else 0. *Errors: 1 when the line is malformed, else 0.
// Null with *Errors 1: a malformed line, or a buffer of the reader could not be allocated (the
// line cannot be read; the reader then holds no line buffer or no number buffer, which a
// malformed line never leaves behind). Null with *Errors 0: no data line before the end of the
// stream. Both flags are 0 on every null result except those two.
double* ReadVector(ReadNums* handle, FILE* F, int32_t* Dimensionality, int32_t* Incomplete,
                   int32_t* Errors);

// A number as a data line's item starts: strtod's value and end in the C locale, whatever
// locale the process has set, through a fast path for plain decimals.
double readnumsStrtod(const char* text, char** end);

namespace tarn {

// The longest line the readers take, its line feed included (64 MiB): a longer one is malformed,
// so that one line of a small compressed file cannot take the memory of the machine.
constexpr size_t kLongestLine = size_t{1} << 26;

// ReadVector, telling besides in *too_long whether a null result with *Errors 1 is a line longer
// than kLongestLine.
double* read_vector(ReadNums* handle, FILE* F, int32_t* Dimensionality, int32_t* Incomplete,
                    int32_t* Errors, bool* too_long);

// Whether the line [line, end), free of NUL bytes, is a data line rather than a blank or comment
// line.
bool readnums_is_data_line(const char* line, const char* end);

enum class ItemsRead { kRead, kMalformed, kNoMemory };

// Reads the items of the data line [line, end) into handle's number buffer, *count of them, and
// sets *marked when the line contains "NaN" or "Inf". The line holds no NUL byte and ends in its
// line feed, or else the byte at end must be readable and stop a number (a NUL). kMalformed: an
// item is not followed by white space or the end; kNoMemory: the number buffer could not be
// allocated or grow (the reader then holds none). *count and *marked are kept only on kRead.
ItemsRead readnums_items(ReadNums* handle, const char* line, const char* end, int32_t* count,
                         bool* marked);

}  // namespace tarn

// Releases the buffers that were allocated and the record; a null reader is ignored. Returns 0.
int32_t readnumsDestroy(ReadNums* handle);

#endif
