#include "errors/errorapi.h"

#include <cstdio>
#include <iterator>

namespace {

// Row i holds code i; the lookup relies only on the code column, the row count on the array.
constexpr ErrMsg ErrMsgList[] = {
    {ESR_FATAL_ERROR, "Fatal error"},
    {ESR_INVALID_PARAMETER, "Function parameter has invalid value"},
    {ESR_NOT_ENOUGH_MEMORY, "Not enough memory to continue"},
    {ESR_NOT_IMPLEMENTED, "The called function exists but implementation is not ready"},
    {ESR_CANT_OPEN_FILE, "Can't open file"},
    {ESR_CANT_LOAD_FILE, "Can't load file"},
    {ESR_INVALID_FILE_FORMAT, "Invalid file format"},
    {ESR_EMPTY_FILE, "Empty file"},
    {ESR_SDB_ADD_RECORD, "Creating new record in speaker database failed"},
    {ESR_SDB_SET_ID, "Setting id for a speaker in database failed"},
    {ESR_SDB_SET_NAME, "Setting name for a speaker in database failed"},
    {ESR_SDB_SET_MODEL_PATH, "Setting model file name for a speaker in database failed"},
    {ESR_VECTOR_CREATE, "Vector creating failed"},
    {ESR_VECTOR_COPY, "Vector copying failed"},
    {ESR_VECTOR_CAT, "Vector concatenation failed"},
    {ESR_VECTOR_DIFF, "Creating a difference of vectors failed"},
    {ESR_DELTA_CALC_FEATURE, "Computing delta vector failed"},
    {ESR_FFT_CREATE, "Creating Fast Fourier transformation processor failed"},
    {ESR_FFT_COMPUTE, "FFT processor failed in FFT computation"},
    {ESR_FFT, "FFT algorithm used by the FFT processor failed"},
    {ESR_DCT_CREATE, "Creating Discrete Cosine Tranformation processor failed"},
    {ESR_DCT_COMPUTE, "DCT processor failed in DCT computation"},
    {ESR_DCT, "DCT algorithm used by the DCT processor failed"},
    {ESR_LOG2, "Base-2 logarithm function failed"},
    {ESR_SQRT, "Square root function failed"},
    {ESR_DISTANCE_FUNCTION, "Vector distance function failed"},
    {ESR_FEATURE_EXTRACT, "Feature extraction function failed"},
    {ESR_VECTOR_DIM_AGREE, "Vector dimensions do not agree"},
    {ESR_VECTOR_SET_CREATE, "Vector set creating failed"},
    {ESR_VECTOR_SET_ADD, "Adding a vector to a vector set failed"},
    {ESR_VECTOR_SET_ADD_COPY, "Adding copy of a vector to a vector set failed"},
    {ESR_VECTOR_SET_REMOVE, "Removing a vector from a vector set failed"},
    {ESR_VECTOR_SET_GET, "Getting pointer to given vector in a vector set failed"},
    {ESR_MSINDEX_CREATE_FUNCTION, "Metric space index creating function has failed"},
    {ESR_MSINDEX_SEARCH_FUNCTION, "Metric space indexing search function has failed"},
    {ESR_MSINDEX_NN_SEARCH_FUNCTION,
     "Metric space indexing nearest neighbour search function has failed"},
    {ESR_NNSEARCH_FUNCTION, "Nearest neighbour search function has failed"},
    {ESR_PREPROC, "The function ppProcess of a signal processor has failed"},
    {ESR_PREPROCFUN, "One of the processing functions of a signal processor has failed"},
    {ESR_SILENCE_REMOVAL_TRAIN, "Silence removal training function has failed"},
    {ESR_SILENCE_REMOVAL_DETECT, "Silence removal detection function has failed"},
    {ESR_FILTER_BANK_CREATE, "Filter bank creating failed"},
    {ESR_FILTER_BANK_ADD_FILTER, "Adding a new filter in a filter bank has failed"},
    {ESR_FILTER_BANK_CHECK, "Filter bank checking failed"},
    {ESR_FILTER_BANK_SIZE, "Filter bank size query failed"},
    {ESR_FILTER_BANK_APPLY, "Applying filter bank to a spectrum failed"},
    {ESR_FILTER_BANK_APPLY_ONE, "Applying a single filter of filter bank to a spectrum failed"},
    {ESR_FILTER_BANK_PRINT, "Filter bank printing failed"},
    {ESR_FILTER_BANK_PRINT_FILTER, "Filter bank filter printing failed"},
    {ESR_FILTER_CREATE, "Creating a new filter failed"},
    {ESR_HZ2MEL, "Hertz to mel frequency conversion failed"},
    {ESR_HZ2INDEX, "Hertz to frequency index conversion failed"},
    {ESR_MEL_FILTER_BANK_CREATE, "Creating mel filter bank failed"},
    {ESR_MODEL_CONSTR_FAIL, "Model construction failed"},
    {ESR_VECTOR_QUANTIZER_CREATE, "Creating vector quantizer failed"},
    {ESR_VECTOR_QUANTIZER_TRAIN, "Training vector quantizer failed"},
    {ESR_GLA_COPY_RANDOM_VECTORS,
     "Loading previously computed random vectors in GLA initial solution has failed"},
    {ESR_GLA_RUN, "GLA clustering algorithm has failed"},
    {ESR_GLA_PARTITION, "Computation of partition from codebook has failed during GLA iteration"},
    {ESR_GLA_CENTROID_COMPUTATION, "Computation of new centroids has failed during GLA iteration"},
};

static_assert(std::size(ErrMsgList) == 60, "the table carries every toolkit code");

}  // namespace

ERRFN ReportError = ReportErrorDefault;
LOGFN LogEvent = LogEventDefault;

int32_t SetReportError(ERRFN err_func) {
    ReportError = err_func;
    return 0;
}

int32_t ReportErrorDefault(int32_t error_code, const char* error_description, const char* file,
                           int32_t line) {
    std::fprintf(stderr, "%s (%d): ", file, line);
    std::fprintf(stderr, "error %d (%s)", error_code, GetErrorString(error_code));
    if (error_description != nullptr) {
        std::fprintf(stderr, ": %s\n", error_description);
    } else {
        std::fprintf(stderr, "\n");
    }
    return 0;
}

int32_t LogEventDefault(const char* event_description) {
    if (event_description != nullptr) std::printf("%s\n", event_description);
    return 0;
}

const char* GetErrorString(int32_t error_code) {
    for (const ErrMsg& row : ErrMsgList) {
        if (row.code == error_code) return row.descr;
    }
    return "Unknown error";
}
