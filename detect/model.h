// A reference set saved as a model file: what scoring new vectors against it needs, so that a
// later run reads it back instead of building the reference's graph again, with the same bytes
// out.
//
// The file: 8 magic bytes, the byte-order mark 0x01020304 and the format version (32-bit
// each, in the writer's byte order), the payload's length (64-bit), the payload, and the
// CRC-32 of the payload (64-bit field). The payload: n, features, k, the metric (kind and
// Minkowski exponent), whether -z standardised the reference, whether its distances
// overflowed, the columns -z could not standardise, each column's scale under -z, the n
// vectors (features and label, doubles), the n × k outbound targets (32-bit) and the n
// k-distances (doubles). Nothing read is trusted: every length, count and target is checked, and a
// file of another version or byte order, cut short or with a changed byte is refused.
#ifndef TARN_DETECT_MODEL_H
#define TARN_DETECT_MODEL_H

#include <cstdint>
#include <optional>
#include <string>

#include "detect/core.h"

namespace tarn {

constexpr uint32_t kModelVersion = 1;

// The options that shaped a reference: a run scoring against the model takes them.
struct ModelShape {
    int32_t k = 0;
    int32_t standardise = 0;
    int32_t metric = 0;
    double minkowski_p = 2.0;
};

// Whether the file at path begins with a model's magic bytes (false when it cannot be read).
bool is_model(const char* path);

// Writes the reference, built with the shape p gives it, to path. Returns the error's text
// (strerror's) on failure.
std::optional<std::string> write_model(const char* path, const Reference& reference,
                                       const ModelShape& shape);

// Reads the model at path into reference (which then owns its vectors) and shape. Returns why
// it was refused, a phrase that follows the file's name ("is cut short", ...).
std::optional<std::string> read_model(const char* path, Reference* reference, ModelShape* shape);

}  // namespace tarn

#endif
