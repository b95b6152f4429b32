// The engine's fixed texts.
//
// Part of the engine's interface: callers match on them, and they keep the
// vocabulary of the runtime whose behaviour this system reproduces (Rust's
// panic report, rayon's pool errors, io::Error's Debug form, ndarray's
// bounds failure). Do not reword them.
#pragma once

namespace brenmor::texts {

// The first line of a panic report, followed by "FILE:LINE:COLUMN:\n".
inline constexpr const char* kPanicReportStart = "\nthread '<unnamed>' panicked at ";
// An index past the end of a stack's arrays.
inline constexpr const char* kIndexOutOfBounds = "ndarray: index out of bounds";
// The worker pool could not be started; the kind follows, then " }".
inline constexpr const char* kPoolNotInitialized =
    "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: ";
// ... on every pass after a failed start.
inline constexpr const char* kPoolAlreadyInitialized = "GlobalPoolAlreadyInitialized";
// ... with the OS error of the failed thread creation: "IOError(Os { ... })".
inline constexpr const char* kPoolIoError = "IOError(";
// io::Error's Debug form: Os { code: 11, kind: WouldBlock, message: "..." }.
inline constexpr const char* kOsErrorCode = "Os { code: ";
inline constexpr const char* kOsErrorKind = ", kind: ";
inline constexpr const char* kOsErrorMessage = ", message: \"";
inline constexpr const char* kOsErrorClose = "\" }";
// io::ErrorKind names of the codes a thread creation can fail with.
inline constexpr const char* kKindWouldBlock = "WouldBlock";
inline constexpr const char* kKindOutOfMemory = "OutOfMemory";
inline constexpr const char* kKindPermissionDenied = "PermissionDenied";
inline constexpr const char* kKindInvalidInput = "InvalidInput";
inline constexpr const char* kKindUncategorized = "Uncategorized";

}  // namespace brenmor::texts
