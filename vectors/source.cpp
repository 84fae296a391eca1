// Input sources. The decoded stream is a stdio stream over a cookie, so that the loaders read
// compressed and plain input alike, line by line, without holding the whole text.
#include "vectors/source.h"

#include <sys/types.h>
#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <vector>

namespace {

constexpr size_t kChunk = 65536;
constexpr unsigned char kGzipMagic[] = {0x1f, 0x8b};
constexpr unsigned char kZstdMagic[] = {0x28, 0xb5, 0x2f, 0xfd};
constexpr char kByteOrderMark[] = "\xef\xbb\xbf";

enum class Codec { kPlain, kGzip, kZstd };

}  // namespace

// The raw bytes read but not yet decoded are in[in_pos, in_end). started turns true with the
// first read, which looks at the magic bytes and the byte-order mark; pending holds decoded
// bytes that the mark check took and that no read has handed out yet.
struct Source {
    FILE* raw = nullptr;
    FILE* stream = nullptr;
    Codec codec = Codec::kPlain;
    std::vector<unsigned char> in = std::vector<unsigned char>(kChunk);
    size_t in_pos = 0, in_end = 0;
    bool raw_done = false;    // the raw stream ended or failed
    bool started = false;     // the first read has looked at the start
    bool frame_open = false;  // a compressed member or frame has begun and not ended
    z_stream zlib{};
    bool zlib_ready = false;
    ZSTD_DStream* zstd = nullptr;
    std::string pending;
    std::string error;
    std::string head;
};

namespace {

// True when raw bytes wait to be decoded, reading more when none do.
bool fill_input(Source* s) {
    if (s->in_pos < s->in_end) return true;
    if (s->raw_done) return false;
    s->in_pos = 0;
    s->in_end = std::fread(s->in.data(), 1, kChunk, s->raw);
    if (s->in_end == 0) s->raw_done = true;
    return s->in_end > 0;
}

// The end of the raw bytes: 0 at a clean end, -1 when the raw stream failed or a compressed
// member or frame is left unfinished.
ssize_t raw_end(Source* s, const char* codec) {
    if (std::ferror(s->raw) != 0) return -1;
    if (!s->frame_open) return 0;
    s->error = std::string(codec) + ": the compressed stream is cut short";
    return -1;
}

ssize_t read_plain(Source* s, char* buf, size_t size) {
    if (fill_input(s)) {
        const size_t n = std::min(size, s->in_end - s->in_pos);
        std::memcpy(buf, s->in.data() + s->in_pos, n);
        s->in_pos += n;
        return static_cast<ssize_t>(n);
    }
    return raw_end(s, "plain");
}

// Concatenated gzip members read as one text, as gzip itself reads them.
ssize_t read_gzip(Source* s, char* buf, size_t size) {
    for (;;) {
        const bool more = fill_input(s);
        if (!more && !s->frame_open) return raw_end(s, "gzip");
        const size_t avail = s->in_end - s->in_pos;
        s->zlib.next_in = s->in.data() + s->in_pos;
        s->zlib.avail_in = static_cast<uInt>(avail);
        s->zlib.next_out = reinterpret_cast<Bytef*>(buf);
        s->zlib.avail_out = static_cast<uInt>(size);
        const int result = inflate(&s->zlib, Z_NO_FLUSH);
        s->in_pos += avail - s->zlib.avail_in;
        if (result == Z_STREAM_END) {
            inflateReset(&s->zlib);
            s->frame_open = false;
        } else if (result == Z_OK) {
            s->frame_open = true;
        } else if (result != Z_BUF_ERROR) {
            s->error =
                std::string("gzip: ") + (s->zlib.msg != nullptr ? s->zlib.msg : zError(result));
            return -1;
        }
        const size_t produced = size - s->zlib.avail_out;
        if (produced > 0) return static_cast<ssize_t>(produced);
        if (!more) return raw_end(s, "gzip");
    }
}

// Concatenated zstd frames read as one text, as zstd itself reads them.
ssize_t read_zstd(Source* s, char* buf, size_t size) {
    for (;;) {
        const bool more = fill_input(s);
        if (!more && !s->frame_open) return raw_end(s, "zstd");
        ZSTD_inBuffer input{s->in.data() + s->in_pos, s->in_end - s->in_pos, 0};
        ZSTD_outBuffer output{buf, size, 0};
        const size_t result = ZSTD_decompressStream(s->zstd, &output, &input);
        s->in_pos += input.pos;
        if (ZSTD_isError(result) != 0) {
            s->error = std::string("zstd: ") + ZSTD_getErrorName(result);
            return -1;
        }
        s->frame_open = result != 0;
        if (output.pos > 0) return static_cast<ssize_t>(output.pos);
        if (!more) return raw_end(s, "zstd");
    }
}

ssize_t decode(Source* s, char* buf, size_t size) {
    switch (s->codec) {
        case Codec::kGzip:
            return read_gzip(s, buf, size);
        case Codec::kZstd:
            return read_zstd(s, buf, size);
        default:
            return read_plain(s, buf, size);
    }
}

bool starts_with(const Source* s, const unsigned char* magic, size_t length) {
    return s->in_end >= length && std::memcmp(s->in.data(), magic, length) == 0;
}

// Picks the codec by the first raw bytes and drops a byte-order mark from the decoded text.
// False when the decoder cannot start.
bool start(Source* s) {
    s->started = true;
    // A few bytes at a time, so that a pipe or a terminal is never waited on for more than the
    // magic bytes before the text begins.
    while (s->in_end < sizeof kZstdMagic && !s->raw_done) {
        const size_t n =
            std::fread(s->in.data() + s->in_end, 1, sizeof kZstdMagic - s->in_end, s->raw);
        if (n == 0) s->raw_done = true;
        s->in_end += n;
    }
    if (starts_with(s, kGzipMagic, sizeof kGzipMagic)) {
        s->codec = Codec::kGzip;
        const int result = inflateInit2(&s->zlib, 16 + MAX_WBITS);  // gzip wrapper only
        if (result != Z_OK) {
            s->error = std::string("gzip: ") + zError(result);
            return false;
        }
        s->zlib_ready = true;
    } else if (starts_with(s, kZstdMagic, sizeof kZstdMagic)) {
        s->codec = Codec::kZstd;
        s->zstd = ZSTD_createDStream();
        if (s->zstd == nullptr) {
            s->error = "zstd: cannot allocate the decoder";
            return false;
        }
    }
    char mark[3];
    size_t got = 0;
    while (got < sizeof mark) {
        const ssize_t n = decode(s, mark + got, sizeof mark - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    s->pending.assign(mark, got);
    if (s->pending == kByteOrderMark) s->pending.clear();
    return true;
}

ssize_t read_source(void* cookie, char* buf, size_t size) {
    Source* s = static_cast<Source*>(cookie);
    if (!s->started && !start(s)) return -1;
    ssize_t n;
    if (!s->pending.empty()) {
        n = static_cast<ssize_t>(std::min(size, s->pending.size()));
        std::memcpy(buf, s->pending.data(), static_cast<size_t>(n));
        s->pending.erase(0, static_cast<size_t>(n));
    } else {
        n = decode(s, buf, size);
    }
    if (n > 0 && s->head.size() < kSourceHead)
        s->head.append(buf, std::min(static_cast<size_t>(n), kSourceHead - s->head.size()));
    return n;
}

}  // namespace

Source* sourceOpen(FILE* raw) {
    if (raw == nullptr) return nullptr;
    Source* s = new Source;
    s->raw = raw;
    s->stream = fopencookie(s, "r", cookie_io_functions_t{read_source, nullptr, nullptr, nullptr});
    if (s->stream == nullptr) {
        delete s;
        return nullptr;
    }
    return s;
}

FILE* sourceStream(Source* source) {
    return source->stream;
}

const std::string& sourceError(const Source* source) {
    return source->error;
}

const std::string& sourceHead(const Source* source) {
    return source->head;
}

void sourceClose(Source* source) {
    if (source == nullptr) return;
    std::fclose(source->stream);
    if (source->zlib_ready) inflateEnd(&source->zlib);
    ZSTD_freeDStream(source->zstd);
    delete source;
}
