// Toolkit-wide error vocabulary and the two process-wide reporting hooks.
//
// Library code reports a refusal with one call through ReportError (code, detail or null,
// its own source file literal, the fixed line of the check) and then returns its failure
// value; reporting never ends the process. The hooks are plain globals: a client replaces
// ReportError with SetReportError or by assignment, LogEvent by assignment. Neither hook may
// ever be null, since every reporting module calls through it without a test.
#ifndef TARN_ERRORS_ERRORAPI_H
#define TARN_ERRORS_ERRORAPI_H

#include <cstdint>

// Every code of the toolkit, raised by this program or not; row i of the message table holds
// code i.
enum ErrorCode {
    ESR_FATAL_ERROR = 0,
    ESR_INVALID_PARAMETER,
    ESR_NOT_ENOUGH_MEMORY,
    ESR_NOT_IMPLEMENTED,
    ESR_CANT_OPEN_FILE,
    ESR_CANT_LOAD_FILE,
    ESR_INVALID_FILE_FORMAT,
    ESR_EMPTY_FILE,
    ESR_SDB_ADD_RECORD,
    ESR_SDB_SET_ID,
    ESR_SDB_SET_NAME,
    ESR_SDB_SET_MODEL_PATH,
    ESR_VECTOR_CREATE,
    ESR_VECTOR_COPY,
    ESR_VECTOR_CAT,
    ESR_VECTOR_DIFF,
    ESR_DELTA_CALC_FEATURE,
    ESR_FFT_CREATE,
    ESR_FFT_COMPUTE,
    ESR_FFT,
    ESR_DCT_CREATE,
    ESR_DCT_COMPUTE,
    ESR_DCT,
    ESR_LOG2,
    ESR_SQRT,
    ESR_DISTANCE_FUNCTION,
    ESR_FEATURE_EXTRACT,
    ESR_VECTOR_DIM_AGREE,
    ESR_VECTOR_SET_CREATE,
    ESR_VECTOR_SET_ADD,
    ESR_VECTOR_SET_ADD_COPY,
    ESR_VECTOR_SET_REMOVE,
    ESR_VECTOR_SET_GET,
    ESR_MSINDEX_CREATE_FUNCTION,
    ESR_MSINDEX_SEARCH_FUNCTION,
    ESR_MSINDEX_NN_SEARCH_FUNCTION,
    ESR_NNSEARCH_FUNCTION,
    ESR_PREPROC,
    ESR_PREPROCFUN,
    ESR_SILENCE_REMOVAL_TRAIN,
    ESR_SILENCE_REMOVAL_DETECT,
    ESR_FILTER_BANK_CREATE,
    ESR_FILTER_BANK_ADD_FILTER,
    ESR_FILTER_BANK_CHECK,
    ESR_FILTER_BANK_SIZE,
    ESR_FILTER_BANK_APPLY,
    ESR_FILTER_BANK_APPLY_ONE,
    ESR_FILTER_BANK_PRINT,
    ESR_FILTER_BANK_PRINT_FILTER,
    ESR_FILTER_CREATE,
    ESR_HZ2MEL,
    ESR_HZ2INDEX,
    ESR_MEL_FILTER_BANK_CREATE,
    ESR_MODEL_CONSTR_FAIL,
    ESR_VECTOR_QUANTIZER_CREATE,
    ESR_VECTOR_QUANTIZER_TRAIN,
    ESR_GLA_COPY_RANDOM_VECTORS,
    ESR_GLA_RUN,
    ESR_GLA_PARTITION,
    ESR_GLA_CENTROID_COMPUTATION
};

enum RetStatus { ESR_FAILED = 0, ESR_SUCCEED = 1 };

// One row of the message table.
struct ErrMsg {
    ErrorCode code;     // the code of the row
    const char* descr;  // its message, owned by the module
};

// Report hook: code, detail (or null), reporting module's file literal, line of the check.
// Callers ignore the result.
typedef int32_t (*ERRFN)(int32_t error_code, const char* error_description, const char* file,
                         int32_t line);
// Event-log hook: a description or null.
typedef int32_t (*LOGFN)(const char* event_description);

extern ERRFN ReportError;  // starts as ReportErrorDefault
extern LOGFN LogEvent;     // starts as LogEventDefault

// Stores err_func in ReportError, untested, and returns 0.
int32_t SetReportError(ERRFN err_func);

// Writes one line to standard error: "file (line): error code (message)" and ": detail" when
// a detail is given. Returns 0.
int32_t ReportErrorDefault(int32_t error_code, const char* error_description, const char* file,
                           int32_t line);

// Writes a non-null description and a newline to standard output; returns 0.
int32_t LogEventDefault(const char* event_description);

// The message for a code, or "Unknown error" for a value outside the table. The text belongs to
// the module.
const char* GetErrorString(int32_t error_code);

#endif
