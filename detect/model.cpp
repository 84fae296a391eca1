#include "detect/model.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tarn {
namespace {

constexpr unsigned char kMagic[8] = {0x89, 't', 'a', 'r', 'n', '\r', '\n', 0x1a};
constexpr uint32_t kByteOrder = 0x01020304;
constexpr uint32_t kSwappedOrder = 0x04030201;
constexpr int32_t kMetricKinds = 5;
// Fields of the payload before its arrays: n, features, k, metric, p (two words), standardise,
// overflow, the count of unstandardised columns.
constexpr size_t kFixedBytes = 7 * sizeof(int32_t) + sizeof(double);

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Writes the payload's pieces, keeping its length and CRC.
class Writer {
public:
    explicit Writer(std::FILE* f) : f_(f) {}
    template <typename T>
    void put(const T* data, size_t count) {
        const size_t bytes = count * sizeof(T);
        if (bytes == 0) return;
        crc_ = crc32_z(crc_, reinterpret_cast<const Bytef*>(data), bytes);
        length_ += bytes;
        ok_ = ok_ && std::fwrite(data, 1, bytes, f_) == bytes;
    }
    template <typename T>
    void put(T value) {
        put(&value, 1);
    }
    uint64_t length() const { return length_; }
    uint64_t crc() const { return crc_; }
    bool ok() const { return ok_; }

private:
    std::FILE* f_;
    uLong crc_ = crc32_z(0, nullptr, 0);
    uint64_t length_ = 0;
    bool ok_ = true;
};

// Reads the payload's pieces within its stated length, keeping its CRC.
class Reader {
public:
    Reader(std::FILE* f, uint64_t length) : f_(f), left_(length) {}
    template <typename T>
    bool get(T* data, size_t count) {
        if (count > left_ / sizeof(T)) return false;
        const size_t bytes = count * sizeof(T);
        if (bytes == 0) return true;
        if (std::fread(data, 1, bytes, f_) != bytes) return false;
        crc_ = crc32_z(crc_, reinterpret_cast<const Bytef*>(data), bytes);
        left_ -= bytes;
        return true;
    }
    template <typename T>
    bool get(T& value) {
        return get(&value, 1);
    }
    uint64_t left() const { return left_; }
    uint64_t crc() const { return crc_; }

private:
    std::FILE* f_;
    uint64_t left_;
    uLong crc_ = crc32_z(0, nullptr, 0);
};

std::string failure_text(int error) {
    return std::strerror(error != 0 ? error : EIO);
}

// Checks the payload's fixed fields; the reason when they cannot describe a reference.
std::optional<std::string> check_shape(int32_t n, int32_t features, const ModelShape& shape,
                                       int32_t unstandardised) {
    if (n < 2 || features < 0 || shape.k < 1 || shape.k >= n)
        return "holds no reference graph (its sizes are out of range)";
    if (shape.metric < 0 || shape.metric >= kMetricKinds || !(shape.minkowski_p >= 1) ||
        !std::isfinite(shape.minkowski_p))
        return "names a distance this tarn does not know";
    if ((shape.standardise != 0 && shape.standardise != 1) || unstandardised < 0 ||
        unstandardised > features)
        return "holds a damaged standardisation";
    return std::nullopt;
}

// Reads the arrays into reference once the fixed fields are known.
bool read_arrays(Reader& in, int32_t n, int32_t features, const ModelShape& shape,
                 int32_t unstandardised, Reference* reference) {
    const size_t rows = static_cast<size_t>(n);
    const size_t width = static_cast<size_t>(features) + 1;
    const size_t k = static_cast<size_t>(shape.k);
    // The stated length must hold every array exactly (per vector its components, its k targets
    // and its k-distance): checked before anything is allocated.
    uint64_t vectors = 0, edges = 0;
    if (__builtin_mul_overflow(uint64_t{rows}, uint64_t{width} * 8 + 8, &vectors) ||
        __builtin_mul_overflow(uint64_t{rows}, uint64_t{k} * 4, &edges))
        return false;
    const uint64_t scales = shape.standardise == 1 ? uint64_t{width - 1} * 20 : 0;
    const uint64_t columns = uint64_t(static_cast<uint32_t>(unstandardised)) * 4;
    uint64_t need = 0;
    if (__builtin_add_overflow(vectors, edges, &need) || need + scales + columns != in.left())
        return false;
    reference->notes.unstandardised.resize(static_cast<size_t>(unstandardised));
    if (!in.get(reference->notes.unstandardised.data(), reference->notes.unstandardised.size()))
        return false;
    if (shape.standardise == 1) {
        reference->notes.scales.resize(static_cast<size_t>(features));
        for (ColumnScale& s : reference->notes.scales) {
            if (!in.get(s.exponent) || !in.get(s.mean) || !in.get(s.sd)) return false;
        }
    }
    reference->values.resize(rows * width);
    if (!in.get(reference->values.data(), reference->values.size())) return false;
    NeighbourLists& lists = reference->lists;
    lists.n = n;
    lists.k = shape.k;
    lists.target.resize(rows * k);
    lists.kdist.resize(rows);
    return in.get(lists.target.data(), lists.target.size()) &&
           in.get(lists.kdist.data(), lists.kdist.size());
}

// Whether every stored column and target names a place in the reference, and no vertex
// lists itself.
bool consistent(const Reference& reference, int32_t features) {
    for (const int32_t c : reference.notes.unstandardised) {
        if (c < 0 || c >= features) return false;
    }
    const NeighbourLists& lists = reference.lists;
    for (int32_t s = 0; s < lists.n; ++s) {
        for (size_t at = lists.at(s); at < lists.at(s + 1); ++at) {
            if (lists.target[at] < 0 || lists.target[at] >= lists.n || lists.target[at] == s)
                return false;
        }
    }
    return true;
}

std::optional<std::string> read_payload(std::FILE* f, uint64_t length, Reference* reference,
                                        ModelShape* shape) {
    Reader in(f, length);
    int32_t n = 0, features = 0, overflow = 0, unstandardised = 0;
    if (!in.get(n) || !in.get(features) || !in.get(shape->k) || !in.get(shape->metric) ||
        !in.get(shape->minkowski_p) || !in.get(shape->standardise) || !in.get(overflow) ||
        !in.get(unstandardised))
        return "is cut short";
    if (std::optional<std::string> why = check_shape(n, features, *shape, unstandardised))
        return why;
    if (!read_arrays(in, n, features, *shape, unstandardised, reference))
        return "is cut short or holds more than its sizes say";
    uint64_t stored = 0;
    if (std::fread(&stored, sizeof stored, 1, f) != 1) return "is cut short";
    if (stored != in.crc()) return "is damaged: its checksum does not match its contents";
    if (std::fgetc(f) != EOF) return "holds more than its sizes say";
    if (!consistent(*reference, features)) return "holds a damaged graph";
    reference->notes.overflow = overflow != 0;
    reference->rows.features = features;
    reference->rows.row.resize(static_cast<size_t>(n));
    const size_t width = static_cast<size_t>(features) + 1;
    for (size_t i = 0; i < static_cast<size_t>(n); ++i)
        reference->rows.row[i] = reference->values.data() + i * width;
    return std::nullopt;
}

}  // namespace

bool is_model(const char* path) {
    File f(std::fopen(path, "rb"));
    unsigned char magic[sizeof kMagic];
    return f != nullptr && std::fread(magic, 1, sizeof magic, f.get()) == sizeof magic &&
           std::memcmp(magic, kMagic, sizeof magic) == 0;
}

std::optional<std::string> write_model(const char* path, const Reference& reference,
                                       const ModelShape& shape) {
    errno = 0;
    File f(std::fopen(path, "wb"));
    if (f == nullptr) return failure_text(errno);
    const Rows& rows = reference.rows;
    const NeighbourLists& lists = reference.lists;
    const int32_t n = static_cast<int32_t>(rows.size());
    const size_t width = static_cast<size_t>(rows.features) + 1;
    const bool standardised = shape.standardise == 1;
    const uint64_t length = kFixedBytes + reference.notes.unstandardised.size() * sizeof(int32_t) +
                            (standardised ? static_cast<size_t>(rows.features) * 20 : 0) +
                            rows.size() * width * 8 + lists.target.size() * sizeof(int32_t) +
                            lists.kdist.size() * sizeof(double);
    bool ok = std::fwrite(kMagic, 1, sizeof kMagic, f.get()) == sizeof kMagic;
    const uint32_t header[2] = {kByteOrder, kModelVersion};
    ok = ok && std::fwrite(header, sizeof header, 1, f.get()) == 1;
    ok = ok && std::fwrite(&length, sizeof length, 1, f.get()) == 1;
    Writer out(f.get());
    out.put(n);
    out.put(rows.features);
    out.put(shape.k);
    out.put(shape.metric);
    out.put(shape.minkowski_p);
    out.put(shape.standardise);
    out.put(static_cast<int32_t>(reference.notes.overflow ? 1 : 0));
    out.put(static_cast<int32_t>(reference.notes.unstandardised.size()));
    out.put(reference.notes.unstandardised.data(), reference.notes.unstandardised.size());
    for (size_t c = 0; standardised && c < static_cast<size_t>(rows.features); ++c) {
        const ColumnScale& s = reference.notes.scales[c];
        out.put(s.exponent);
        out.put(s.mean);
        out.put(s.sd);
    }
    for (size_t i = 0; i < rows.size(); ++i)
        out.put(rows[i], width);
    out.put(lists.target.data(), lists.target.size());
    out.put(lists.kdist.data(), lists.kdist.size());
    const uint64_t crc = out.crc();
    ok = ok && out.ok() && out.length() == length &&
         std::fwrite(&crc, sizeof crc, 1, f.get()) == 1 && std::fflush(f.get()) == 0;
    const int error = errno;
    struct stat written;
    const bool regular = fstat(fileno(f.get()), &written) == 0 && S_ISREG(written.st_mode);
    if (std::fclose(f.release()) != 0 || !ok) {
        const int failure = errno != 0 ? errno : error;
        // A model cut short would only be refused later; a device or pipe is left as it is.
        if (regular) std::remove(path);
        return failure_text(failure);
    }
    return std::nullopt;
}

std::optional<std::string> read_model(const char* path, Reference* reference, ModelShape* shape) {
    errno = 0;
    File f(std::fopen(path, "rb"));
    if (f == nullptr) return "cannot be read: " + failure_text(errno);
    unsigned char magic[sizeof kMagic];
    uint32_t header[2] = {0, 0};
    uint64_t length = 0;
    if (std::fread(magic, 1, sizeof magic, f.get()) != sizeof magic ||
        std::memcmp(magic, kMagic, sizeof magic) != 0)
        return "is not a tarn model";
    if (std::fread(header, sizeof header, 1, f.get()) != 1) return "is cut short";
    if (header[0] == kSwappedOrder)
        return "was written on a machine of the other byte order; save it again here";
    if (header[0] != kByteOrder) return "is damaged: its byte-order mark is wrong";
    if (header[1] != kModelVersion) {
        return "is a model of format version " + std::to_string(header[1]) +
               "; this tarn reads version " + std::to_string(kModelVersion);
    }
    if (std::fread(&length, sizeof length, 1, f.get()) != 1) return "is cut short";
    return read_payload(f.get(), length, reference, shape);
}

}  // namespace tarn
