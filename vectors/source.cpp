// Input sources. The decoded stream is a stdio stream over a cookie, so that the loaders read
// compressed and plain input alike, line by line, without holding the whole text.
#include "vectors/source.h"

#include <bzlib.h>
#include <lzma.h>
#include <sys/types.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kChunk = 65536;
constexpr size_t kMostOut = size_t{1} << 20;  // decoded bytes asked of a decoder at once
constexpr std::string_view kByteOrderMark = "\xef\xbb\xbf";

enum class Codec { kNone, kGzip, kZstd, kXz, kBzip2 };

// bzip2: "BZh", the block size '1' to '9', then the magic of a first block or of the end of an
// empty stream. Text may well start with "BZh9"; it does not go on like this.
bool bzip2_rest(std::string_view start) {
    return start.size() >= kSourceMagic && start[3] >= '1' && start[3] <= '9' &&
           (start.substr(4, 6) == "1AY&SY" || start.substr(4, 6) == "\x17\x72\x45\x38\x50\x90");
}

// A zstd frame, or a skippable frame (pzstd writes one first): magic 0xFD2FB528, or 0x184D2A50
// to 0x184D2A5F, little-endian.
bool zstd_start(std::string_view start) {
    return start.starts_with("\x28\xb5\x2f\xfd") ||
           (start.size() >= 4 && (static_cast<unsigned char>(start[0]) & 0xf0) == 0x50 &&
            start.substr(1, 3) == "\x2a\x4d\x18");
}

// A format told by the first bytes of a stream: a compressed one that a source reads, or an
// archive, compression or text encoding that it names when it refuses it (codec kNone).
struct Format {
    const char* name;
    Codec codec;
    std::string_view magic;                          // the first bytes
    bool (*rest)(std::string_view start) = nullptr;  // what must hold of them beyond, or null
    bool text = false;                               // a text encoding, not a compression
};

constexpr Format kFormats[] = {
    {.name = "gzip", .codec = Codec::kGzip, .magic = "\x1f\x8b"},
    {.name = "zstd", .codec = Codec::kZstd, .magic = "", .rest = zstd_start},
    {.name = "xz",
     .codec = Codec::kXz,
     .magic = {"\xfd"
               "7zXZ\0",
               6}},
    {.name = "bzip2", .codec = Codec::kBzip2, .magic = "BZh", .rest = bzip2_rest},
    {.name = "zip", .codec = Codec::kNone, .magic = "PK\x03\x04"},
    {.name = "zip", .codec = Codec::kNone, .magic = "PK\x05\x06"},  // an empty archive
    {.name = "zip", .codec = Codec::kNone, .magic = "PK\x07\x08"},  // a spanned archive
    {.name = "7z", .codec = Codec::kNone, .magic = "7z\xbc\xaf\x27\x1c"},
    {.name = "rar", .codec = Codec::kNone, .magic = "Rar!\x1a\x07"},
    {.name = "lz4", .codec = Codec::kNone, .magic = "\x04\x22\x4d\x18"},
    {.name = "lzip", .codec = Codec::kNone, .magic = "LZIP\x01"},
    {.name = "compress (.Z)", .codec = Codec::kNone, .magic = "\x1f\x9d"},
    // Spreadsheets save "Unicode text" so; read byte by byte it holds a NUL in every character.
    {.name = "UTF-16", .codec = Codec::kNone, .magic = "\xff\xfe", .text = true},
    {.name = "UTF-16", .codec = Codec::kNone, .magic = "\xfe\xff", .text = true},
};

// Why a format that is not read is refused.
std::string not_read(const Format* format) {
    return format->text
               ? std::string(format->name) + " text, which tarn does not read (save it as UTF-8)"
               : "compressed as " + std::string(format->name) + ", which tarn does not read";
}

// The format a stream that starts with these bytes is in, or null for plain text (UTF-8).
const Format* format_of(std::string_view start) {
    for (const Format& format : kFormats) {
        if (start.starts_with(format.magic) && (format.rest == nullptr || format.rest(start)))
            return &format;
    }
    return nullptr;
}

}  // namespace

// The raw bytes read but not yet decoded are in[in_pos, in_end). started turns true with the
// first read, which looks at the magic bytes and the byte-order mark; pending holds decoded
// bytes that the start took and that no read has handed out yet. Once failed, the decoded
// stream gives no more bytes.
struct Source {
    FILE* raw = nullptr;
    FILE* stream = nullptr;
    const Format* format = nullptr;  // the compression read, or null for plain text
    std::vector<unsigned char> in = std::vector<unsigned char>(kChunk);
    size_t in_pos = 0, in_end = 0;
    bool raw_done = false;    // the raw stream ended or failed
    bool started = false;     // the first read has looked at the start
    bool failed = false;      // a read failed: so does every later one
    bool frame_open = false;  // a compressed member, frame or stream has begun and not ended
    bool ended = false;       // xz: the last stream ended; bzip2: a stream ended
    bool padding = false;     // gzip: zero bytes came where a member could begin
    double most_text = -1.0;  // bytes a compressed stream may decompress to; below 0, any
    double decoded = 0.0;     // bytes it decompressed to so far
    z_stream zlib{};
    bool zlib_ready = false;
    ZSTD_DStream* zstd = nullptr;
    lzma_stream xz{};
    bool xz_ready = false;
    bz_stream bzip2{};
    bool bzip2_ready = false;
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
// member, frame or stream is left unfinished.
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

// Concatenated gzip members read as one text, as gzip itself reads them; so is zero padding
// after the last member, which gzip ignores too.
ssize_t read_gzip(Source* s, char* buf, size_t size) {
    for (;;) {
        const bool more = fill_input(s);
        if (!more && !s->frame_open) return raw_end(s, "gzip");
        if (more && !s->frame_open && (s->padding || s->in[s->in_pos] == 0)) {
            // A member starts with its magic, never with a zero byte: padding, to the end.
            while (s->in_pos < s->in_end && s->in[s->in_pos] == 0)
                ++s->in_pos;
            if (s->in_pos < s->in_end) {
                s->error = "gzip: bytes other than zero in the padding after the last member";
                return -1;
            }
            s->padding = true;
            continue;
        }
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

// Concatenated zstd frames read as one text, as zstd itself reads them; the library passes
// over skippable frames.
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

const char* xz_reason(lzma_ret result) {
    switch (result) {
        case LZMA_MEM_ERROR:
            return "cannot allocate the decoder's memory";
        case LZMA_MEMLIMIT_ERROR:
            return "the stream needs more memory to decode than the run can have";
        case LZMA_FORMAT_ERROR:
            return "data that is not in the xz format";
        case LZMA_OPTIONS_ERROR:
            return "the stream uses options this decoder does not know";
        case LZMA_BUF_ERROR:
            return "the compressed stream is cut short";
        default:
            return "the compressed data is corrupt";
    }
}

// Concatenated xz streams and their padding read as one text, as xz itself reads them: the
// decoder learns of the end of the raw bytes (LZMA_FINISH) and tells a clean end from a cut.
ssize_t read_xz(Source* s, char* buf, size_t size) {
    while (!s->ended) {
        const bool more = fill_input(s);
        if (!more && std::ferror(s->raw) != 0) return -1;
        s->xz.next_in = s->in.data() + s->in_pos;
        s->xz.avail_in = s->in_end - s->in_pos;
        s->xz.next_out = reinterpret_cast<uint8_t*>(buf);
        s->xz.avail_out = size;
        const lzma_ret result = lzma_code(&s->xz, more ? LZMA_RUN : LZMA_FINISH);
        s->in_pos = s->in_end - s->xz.avail_in;
        s->ended = result == LZMA_STREAM_END;
        if (result != LZMA_OK && result != LZMA_STREAM_END) {
            s->error = std::string("xz: ") + xz_reason(result);
            return -1;
        }
        const size_t produced = size - s->xz.avail_out;
        if (produced > 0) return static_cast<ssize_t>(produced);
    }
    return 0;
}

const char* bzip2_reason(int result) {
    switch (result) {
        case BZ_MEM_ERROR:
            return "cannot allocate the decoder's memory";
        case BZ_DATA_ERROR_MAGIC:
            return "data that is not bzip2 after a stream";
        default:
            return "the compressed data is corrupt";
    }
}

// Concatenated bzip2 streams read as one text, as bzip2 itself reads them.
ssize_t read_bzip2(Source* s, char* buf, size_t size) {
    for (;;) {
        const bool more = fill_input(s);
        if (!more && !s->frame_open) return raw_end(s, "bzip2");
        if (more && s->ended) {  // another stream follows: a decoder of its own
            BZ2_bzDecompressEnd(&s->bzip2);
            s->bzip2_ready = BZ2_bzDecompressInit(&s->bzip2, 0, 0) == BZ_OK;
            s->ended = false;
            if (!s->bzip2_ready) {
                s->error = std::string("bzip2: ") + bzip2_reason(BZ_MEM_ERROR);
                return -1;
            }
        }
        s->bzip2.next_in = reinterpret_cast<char*>(s->in.data() + s->in_pos);
        s->bzip2.avail_in = static_cast<unsigned int>(s->in_end - s->in_pos);
        s->bzip2.next_out = buf;
        s->bzip2.avail_out = static_cast<unsigned int>(size);
        const int result = BZ2_bzDecompress(&s->bzip2);
        s->in_pos = s->in_end - s->bzip2.avail_in;
        if (result != BZ_OK && result != BZ_STREAM_END) {
            s->error = std::string("bzip2: ") + bzip2_reason(result);
            return -1;
        }
        s->ended = result == BZ_STREAM_END;
        s->frame_open = !s->ended;
        const size_t produced = size - s->bzip2.avail_out;
        if (produced > 0) return static_cast<ssize_t>(produced);
        if (!more) return raw_end(s, "bzip2");
    }
}

// A size for a message: "1.5 GiB", "3.0 MiB", "4096 bytes".
std::string size_text(double bytes) {
    char text[48];
    if (bytes >= 1024.0 * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
    } else if (bytes >= 1024.0 * 1024) {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    } else {
        std::snprintf(text, sizeof text, "%.0f bytes", bytes);
    }
    return text;
}

// Decoded bytes into buf; 0 at the end, -1 after a failure, and at every call after one.
ssize_t decode(Source* s, char* buf, size_t size) {
    if (s->failed) return -1;
    size = std::min(size, kMostOut);
    ssize_t n;
    switch (s->format != nullptr ? s->format->codec : Codec::kNone) {
        case Codec::kGzip:
            n = read_gzip(s, buf, size);
            break;
        case Codec::kZstd:
            n = read_zstd(s, buf, size);
            break;
        case Codec::kXz:
            n = read_xz(s, buf, size);
            break;
        case Codec::kBzip2:
            n = read_bzip2(s, buf, size);
            break;
        default:
            n = read_plain(s, buf, size);
            break;
    }
    if (n > 0 && s->format != nullptr && s->most_text >= 0) {
        s->decoded += static_cast<double>(n);
        if (s->decoded > s->most_text) {
            s->error = std::string(s->format->name) + ": the text decompresses to more than the " +
                       size_text(s->most_text) + " of memory the run can have";
            n = -1;
        }
    }
    s->failed = n < 0;
    return n;
}

// Sets up the decoder of format; false, with the reason, when it cannot be had.
bool open_decoder(Source* s, const Format* format) {
    s->format = format;
    const std::string name = std::string(format->name) + ": ";
    switch (format->codec) {
        case Codec::kGzip: {
            const int result = inflateInit2(&s->zlib, 16 + MAX_WBITS);  // gzip wrapper only
            s->zlib_ready = result == Z_OK;
            if (!s->zlib_ready) s->error = name + zError(result);
            return s->zlib_ready;
        }
        case Codec::kZstd:
            s->zstd = ZSTD_createDStream();
            if (s->zstd == nullptr) s->error = name + "cannot allocate the decoder";
            return s->zstd != nullptr;
        case Codec::kXz: {
            // A stream's dictionary is its own to choose (up to 1.5 GiB): what the run can
            // have bounds it.
            const uint64_t memory = s->most_text >= 0 && s->most_text < 1.8e19
                                        ? static_cast<uint64_t>(s->most_text)
                                        : UINT64_MAX;
            const lzma_ret result = lzma_stream_decoder(&s->xz, memory, LZMA_CONCATENATED);
            s->xz_ready = result == LZMA_OK;
            if (!s->xz_ready) s->error = name + xz_reason(result);
            return s->xz_ready;
        }
        case Codec::kBzip2:
            s->bzip2_ready = BZ2_bzDecompressInit(&s->bzip2, 0, 0) == BZ_OK;
            if (!s->bzip2_ready) s->error = name + bzip2_reason(BZ_MEM_ERROR);
            return s->bzip2_ready;
        default:
            s->error = not_read(format);
            return false;
    }
}

// Picks the codec by the first raw bytes and drops a byte-order mark from the decoded text.
// False, with the reason, when the decoder cannot start or the text is compressed once more
// (inside the compression, or behind a byte-order mark).
bool start(Source* s) {
    s->started = true;
    // A few bytes at a time, so that a pipe or a terminal is never waited on for more than the
    // magic bytes before the text begins.
    while (s->in_end < kSourceMagic && !s->raw_done) {
        const size_t n = std::fread(s->in.data() + s->in_end, 1, kSourceMagic - s->in_end, s->raw);
        if (n == 0) s->raw_done = true;
        s->in_end += n;
    }
    const Format* format =
        format_of({reinterpret_cast<const char*>(s->in.data()), std::min(s->in_end, kSourceMagic)});
    if (format != nullptr && !open_decoder(s, format)) return false;
    char first[kSourceMagic + kByteOrderMark.size()];
    size_t got = 0;
    while (got < sizeof first) {
        const ssize_t n = decode(s, first + got, sizeof first - got);
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    std::string_view text(first, got);
    const bool marked = text.starts_with(kByteOrderMark);
    if (marked) text.remove_prefix(kByteOrderMark.size());
    if (const Format* inner = format_of(text); inner != nullptr) {
        const std::string in = format != nullptr ? std::string(format->name) + ": " : "";
        if (inner->text) {
            s->error = in + not_read(inner);
        } else if (format != nullptr) {
            s->error = in + "the decompressed text is compressed again, as " + inner->name +
                       "; tarn reads one layer";
        } else {
            s->error =
                std::string(inner->name) +
                " data behind a byte-order mark: the mark belongs inside the compressed text";
        }
        s->failed = true;
        return false;
    }
    s->pending.assign(text);
    return true;
}

ssize_t read_source(void* cookie, char* buf, size_t size) {
    Source* s = static_cast<Source*>(cookie);
    if (!s->started && !start(s)) {
        s->failed = true;
        return -1;
    }
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

Source* sourceOpen(FILE* raw, double most_text) {
    if (raw == nullptr) return nullptr;
    Source* s = new Source;
    s->raw = raw;
    s->most_text = most_text;
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

bool sourceCompressed(std::string_view start) {
    return format_of(start.substr(0, kSourceMagic)) != nullptr;
}

bool sourceDecompresses(const Source* source) {
    return source->format != nullptr;
}

void sourceClose(Source* source) {
    if (source == nullptr) return;
    std::fclose(source->stream);
    if (source->zlib_ready) inflateEnd(&source->zlib);
    ZSTD_freeDStream(source->zstd);
    if (source->xz_ready) lzma_end(&source->xz);
    if (source->bzip2_ready) BZ2_bzDecompressEnd(&source->bzip2);
    delete source;
}
