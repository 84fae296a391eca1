// Input sources: a byte stream as the loaders should see it. A gzip or zstd stream, told by its
// first bytes and not by its name, is decompressed; a UTF-8 byte-order mark at the start of the
// (decompressed) text is dropped; and the first bytes of the text are kept for the loaders'
// messages and for names given in a comment line. Any other stream passes through unchanged.
#ifndef TARN_VECTORS_SOURCE_H
#define TARN_VECTORS_SOURCE_H

#include <cstdio>
#include <string>

// One open source. The raw stream stays its owner's and must stay open until sourceClose.
// The decoded stream fails (its error indicator set, no more bytes) when the raw stream fails
// or the compressed data is corrupt or cut short, so a reader never takes a shortened text for
// the whole one.
struct Source;

// A new source over raw, owned by the caller, or null when it cannot be made.
Source* sourceOpen(FILE* raw);

// The decoded stream, owned by the source: it need not be able to go back.
FILE* sourceStream(Source* source);

// Why the decoder failed ("gzip: invalid block type", "zstd: the stream is cut short"), or ""
// when it did not (a read error of the raw stream is the raw stream's to tell).
const std::string& sourceError(const Source* source);

// The first bytes of the decoded text handed out so far, at most kSourceHead of them, after a
// byte-order mark.
const std::string& sourceHead(const Source* source);
constexpr size_t kSourceHead = 65536;

// Closes the decoded stream and releases the source; raw stays open. A null source is ignored.
void sourceClose(Source* source);

#endif
