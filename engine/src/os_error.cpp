// The Debug form of an OS error, as the pool's start failure reports it.
#include "os_error.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include "brenmor/texts.hpp"

namespace brenmor::pool::detail {

namespace {

// GNU strerror_r returns the text; the XSI form (musl, for one) returns 0 and
// fills the buffer. Overloads pick whichever the C library declares.
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

const char* kind_of(int code) {
    switch (code) {
        case EAGAIN: return texts::kKindWouldBlock;
        case ENOMEM: return texts::kKindOutOfMemory;
        case EPERM:
        case EACCES: return texts::kKindPermissionDenied;
        case EINVAL: return texts::kKindInvalidInput;
        default: return texts::kKindUncategorized;
    }
}

}  // namespace

std::string os_error_debug(int code) {
    char buffer[256] = {};
    const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
    std::string debug = texts::kOsErrorCode;
    debug += std::to_string(code);
    debug += texts::kOsErrorKind;
    debug += kind_of(code);
    debug += texts::kOsErrorMessage;
    for (const char* at = text; *at; ++at) {
        if (*at == '"' || *at == '\\') debug += '\\';
        debug += *at;
    }
    debug += texts::kOsErrorClose;
    return debug;
}

}  // namespace brenmor::pool::detail
