// Input sources: a byte stream as the loaders should see it. A gzip, zstd, xz or bzip2 stream,
// told by its first bytes and not by its name, is decompressed, its members, frames or streams
// read one after another as one text; a UTF-8 byte-order mark at the start of the (decompressed)
// text is dropped; and the first bytes of the text are kept for the loaders' messages and for
// names given in a comment line. Any other stream passes through unchanged, but for a few
// archive and compression formats, and UTF-16 text, that are recognised and refused by name.
#ifndef TARN_VECTORS_SOURCE_H
#define TARN_VECTORS_SOURCE_H

#include <cstdio>
#include <string>
#include <string_view>

// One open source. The raw stream stays its owner's and must stay open until sourceClose.
// The decoded stream fails (its error indicator set, no more bytes) when the raw stream fails,
// the compressed data is corrupt or cut short, the raw bytes are a format that is not read
// ("compressed as zip, which tarn does not read"), the decompressed text is compressed once
// more, or it grows beyond the source's limit, so a reader never takes a shortened text for the
// whole one.
struct Source;

// A new source over raw, owned by the caller, or null when it cannot be made. most_text is the
// number of bytes a compressed stream may decompress to (the memory the run can have: a text
// that outgrows it could not be held as vectors either); below 0, no limit.
Source* sourceOpen(FILE* raw, double most_text = -1.0);

// The decoded stream, owned by the source: it need not be able to go back.
FILE* sourceStream(Source* source);

// Why the decoded stream failed ("gzip: invalid block type", "zstd: the compressed stream is cut
// short", "compressed as zip, which tarn does not read"), or "" when it did not (a read error of
// the raw stream is the raw stream's to tell).
const std::string& sourceError(const Source* source);

// The first bytes of the decoded text handed out so far, at most kSourceHead of them, after a
// byte-order mark.
const std::string& sourceHead(const Source* source);
constexpr size_t kSourceHead = 65536;

// Whether a stream that starts with these bytes (all of it when it is shorter than kSourceMagic)
// is not plain text to a source: compressed in a format it reads, or one it refuses by name.
bool sourceCompressed(std::string_view start);
constexpr size_t kSourceMagic = 10;  // the longest run of first bytes that tells a format

// Whether the source decompresses what it reads (known once the first bytes are read).
bool sourceDecompresses(const Source* source);

// Closes the decoded stream and releases the source; raw stays open. A null source is ignored.
void sourceClose(Source* source);

#endif
